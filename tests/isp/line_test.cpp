// The line discipline and the simple commands against a scripted far end.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <time.h>

#include "isp/isp_commands.h"
#include "isp/isp_exchange.h"
#include "isp_port.h"

namespace {

using Line = isptest::PortTest;
using Command = isptest::PortTest;

TEST_F(Line, TerminatorsSizesAndDroppedBytes) {
  pty.write("0\r\nOK\r\n^+$\rA$B\r");
  char line[20];
  EXPECT_EQ(devReadCrLine(line, 7), 1);
  EXPECT_STREQ(line, "0");
  EXPECT_EQ(devReadCrLine(line, 7), 2);  // the LF after the CR is dropped
  EXPECT_STREQ(line, "OK");
  EXPECT_EQ(devReadDollarLine(line, 20), 2);
  EXPECT_STREQ(line, "^+");
  EXPECT_EQ(devReadLine(line, 20, "$\r"), 0);  // the CR right after it
  EXPECT_EQ(devReadCrLine(line, 20), 3);  // '$' is ordinary here
  EXPECT_STREQ(line, "A$B");

  // 19 characters fit a buffer of 20; 20 do not, and the terminator stays queued.
  pty.write("ABCDEFGHIJKLMNOPQRS\rABCDEFGHIJKLMNOPQRST\r");
  EXPECT_EQ(devReadCrLine(line, 20), 19);
  EXPECT_STREQ(line, "ABCDEFGHIJKLMNOPQRS");
  EXPECT_EQ(devReadCrLine(line, 20), -1);
  EXPECT_STREQ(line, "");
  EXPECT_EQ(devReadCrLine(line, 20), 0);

  // Control, NUL and high bytes are dropped and take no room.
  pty.write(std::string("\x01O\x7f\x80K\xff\x1b\t\n\0!\r", 12));
  EXPECT_EQ(devReadCrLine(line, 6), 4);
  EXPECT_STREQ(line, "O\x7fK!");
}

TEST_F(Line, HalfASecondFromTheStartOfTheRead) {
  // A byte every 100 ms and never a terminator: a bound counted from the last byte would
  // not expire before 2.5 s.
  std::thread trickle([this] {
    for (int i = 0; i < 20; ++i) {
      pty.write("x");
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });
  char line[64];
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(devReadCrLine(line, sizeof line), -1);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - begin).count();
  trickle.join();
  EXPECT_STREQ(line, "");
  EXPECT_GE(ms, 495);
  EXPECT_LT(ms, 1900);
  ASSERT_GT(comBytesWaiting(&devicePort), 0);  // the bytes that came after the time-out
  devFlushInput();
  EXPECT_EQ(comBytesWaiting(&devicePort), 0);
}

long long cpuMs() {
  timespec used{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &used);
  return static_cast<long long>(used.tv_sec) * 1000 + used.tv_nsec / 1000000;
}

long long msSince(std::chrono::steady_clock::time_point begin) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - begin).count();
}

// While the reader waits for its line it sleeps: silence costs no processor time, pieces
// that come during the wait make up the line in order, and a port that goes ends the read.
TEST_F(Line, WaitsAsleepForItsLine) {
  char line[64];
  long long cpuBefore = cpuMs();
  auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(devReadCrLine(line, sizeof line), -1);
  const long long silentMs = msSince(begin);
  EXPECT_GE(silentMs, 500);
  EXPECT_LT(cpuMs() - cpuBefore, silentMs / 2) << "the reader spins";

  std::thread pieces([this] {
    for (const char* piece : {"Synch", "ron", "ized\r"}) {
      std::this_thread::sleep_for(std::chrono::milliseconds(60));
      pty.write(piece);
    }
  });
  EXPECT_EQ(devReadCrLine(line, sizeof line), 12);
  pieces.join();
  EXPECT_STREQ(line, "Synchronized");

  std::thread unplug([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    pty.write("0");
    pty.hangUp();
  });
  begin = std::chrono::steady_clock::now();
  EXPECT_EQ(devReadCrLine(line, sizeof line), -1);
  unplug.join();
  EXPECT_STREQ(line, "");
  EXPECT_LT(msSince(begin), 500) << "waited for a line from a port that has gone";
}

// The echo of the lines sent together is taken in one read, up to the CR of the last of them:
// the lines after the first wait for their readers, and the bootloader's reply, with the LF
// before it, stays at the port.
TEST_F(Line, EchoOfTheLinesSentIsTakenUpToItsLastCr) {
  const char* lines[] = {"P 0 14 0", "#86)C", "294"};
  pty.write("P 0 14 0\r\n#86)C\r\n294\r\n0\r\n");
  for (const char* line : lines) {
    ispSendLine(line);
  }
  EXPECT_TRUE(ispEchoMatches(lines[0]));
  EXPECT_EQ(comBytesWaiting(&devicePort), 4) << "the echo of the other lines is still at the port";
  EXPECT_TRUE(ispEchoMatches(lines[1]));
  EXPECT_TRUE(ispEchoMatches(lines[2]));
  char reply[8];
  EXPECT_EQ(ispReadReply(reply, sizeof reply), 1);
  EXPECT_STREQ(reply, "0");
  EXPECT_EQ(comBytesWaiting(&devicePort), 1) << "only the reply's last LF may be left";
  EXPECT_EQ(sent(), "P 0 14 0\r\n#86)C\r\n294\r\n");

  // What the readers hold is input like any other: a flush discards it with the rest.
  pty.write("P 0 14 0\r\n#86)C\r\n294\r\n0\r\n");
  for (const char* line : lines) {
    ispSendLine(line);
  }
  EXPECT_TRUE(ispEchoMatches(lines[0]));
  devFlushInput();
  pty.write("15\r\n");
  EXPECT_EQ(ispReadReply(reply, sizeof reply), 2);
  EXPECT_STREQ(reply, "15");
}

// A block's echo comes back while the wire carries it, a line every 5.5 ms at 115200 baud: the
// reader sleeps until it should all have come and takes it in a few reads, not one a line.
TEST_F(Line, EchoOfABlockIsTakenInAFewReads) {
  ASSERT_EQ(comSetBaud(&devicePort, 115200), 1);
  currentBaud = 115200;
  std::vector<std::string> lines;  // twenty data lines and the checksum
  for (int i = 0; i < 20; ++i) {
    lines.push_back("M" + std::string(60, static_cast<char>('!' + i)));
  }
  lines.push_back("64731");
  for (const auto& line : lines) {
    ispSendLine(line.c_str());
  }
  std::thread far([&] {
    for (const auto& line : lines) {
      std::this_thread::sleep_for(std::chrono::microseconds(5500));
      pty.write(line + "\r\n");
    }
    pty.write("OK\r\n");
  });
  const long before = isptest::readCalls();
  int matched = 0;
  for (const auto& line : lines) {
    matched += ispEchoMatches(line.c_str()) ? 1 : 0;
  }
  const long reads = isptest::readCalls() - before;
  far.join();
  EXPECT_EQ(matched, 21);
  EXPECT_LE(reads, 10) << "the echo was read a line at a time or finer";
  char reply[8];
  EXPECT_EQ(ispReadReply(reply, sizeof reply), 2);
  EXPECT_STREQ(reply, "OK");
}

// The bootloader echoes each line before it answers; its echo shows what it received.
TEST_F(Command, SendsItsLineChecksItsEchoAndJudgesTheReply) {
  constexpr int kEchoDiffers = kExchangeEchoDiffers;
  const struct { std::function<int()> call; const char *reply, *line; int result; } cases[] = {
      {nxpUnlock, "U 23130\r\n0\r\n", "U 23130\r\n", 0},
      // Refused as sent: asked again, since one flipped bit makes "0" read as "1", "2", "4" or
      // "8"; the later attempts hear nothing.
      {nxpUnlock, "U 23130\r\n16\r\n", "U 23130\r\nU 23130\r\n\x1bU 23130\r\n\x1b", kEchoDiffers},
      // XOFF and XON, the bootloader's flow control, may come between any two bytes of an echo.
      {nxpUnlock, "U 23\x13\x11" "130\r\n0\r\n", "U 23130\r\n", 0},
      // A control byte the bootloader received is part of its echo: not the line sent.
      {[] { return nxpEraseSectors(8, 10, 0); }, "\x0b" "E 8 10 0\r\n0\r\n", "E 8 10 0\r\n\x1b",
       kEchoDiffers},
      {[] { return nxpPrepareSectors(0, 14, 1); }, "P 0 14 1\r\n0\r\n", "P 0 14 1\r\n", 0},
      {[] { return nxpPrepareSectors(255, 255, 255); }, "P 255 255 255\r\n9\r\n",
       "P 255 255 255\r\nP 255 255 255\r\n\x1bP 255 255 255\r\n\x1b", kEchoDiffers},
      // The LPC18xx echoes a line end as CR LF LF; an erase's "0" is held against a blank check.
      {[] { return nxpEraseSectors(8, 10, 0); }, "E 8 10 0\r\n\n0\r\nI 8 10 0\r\n\n0\r\n",
       "E 8 10 0\r\nI 8 10 0\r\n", 0},
      {[] { return nxpEraseSectors(0, 9, 0); }, "E 0 9 0\r\n0\r\nI 0 9 0\r\n8\r\n0\r\n4294967295\r\n",
       "E 0 9 0\r\nI 0 9 0\r\n", 1},
      {[] { return nxpEraseSectors(1, 1, 0); }, "E 1 1 0\r\n15\r\n", "E 1 1 0\r\n", 1},
      {[] { return nxpCopyRamToFlash(436207616u, 268435456u, 4096u); },
       "C 436207616 268435456 4096\r\n0\r\n", "C 436207616 268435456 4096\r\n", 0},
      // Copy and Erase are sent once: a line error is their caller's to mend. The ESC after
      // it ends whatever the bootloader made of the line.
      {[] { return nxpCopyRamToFlash(436207616u, 268435456u, 4096u); },
       "C 436207616 268435556 4096\r\n0\r\n", "C 436207616 268435456 4096\r\n\x1b", kEchoDiffers},
      {[] { return nxpEraseSectors(0, 9, 0); }, "E 0 9 0\r\np\r\n", "E 0 9 0\r\n\x1b",
       kExchangeGarbled},
      // Only exactly "0" is success: one flipped bit makes "10" or "15" begin with '0'.
      {[] { return nxpCopyRamToFlash(0, 0, 512); }, "C 0 0 512\r\n05\r\n", "C 0 0 512\r\n", 1},
      {[] { return nxpCopyRamToFlash(0, 0, 512); }, "C 0 0 512\r\n00\r\n", "C 0 0 512\r\n", 1},
      // Go: the bootloader may jump before it answers, so silence is left to the restart watch.
      {[] { return nxpGo(436207616u); }, "", "G 436207616 T\r\n", kGoNoAnswer},
      {[] { return nxpGo(0); }, "G 0 T\r\n", "G 0 T\r\n", kGoNoAnswer},
      {[] { return nxpGo(0); }, "G 0 T\r\n0\r\n", "G 0 T\r\n", kGoStarted},
      // Compare: equal takes two answers "0"; "10" is a difference, its offset line read too.
      {[] { return nxpCompare(436207616u, 268435968u, 4u); },
       "M 436207616 268435968 4\r\n0\r\nM 436207616 268435968 4\r\n0\r\n",
       "M 436207616 268435968 4\r\nM 436207616 268435968 4\r\n", 0},
      {[] { return nxpCompare(1, 2, 4096); }, "M 1 2 4096\r\n10\r\n1024\r\n", "M 1 2 4096\r\n", 2},
      // "10" and offset 0 with its '1' lost, or the whole line "10": a lone "0" is not equal.
      {[] { return nxpCompare(1, 2, 4); }, "M 1 2 4\r\n0\r\n0\r\n",
       "M 1 2 4\r\nM 1 2 4\r\n\x1bM 1 2 4\r\n\x1bM 1 2 4\r\n\x1b", 1},
      {[] { return nxpCompare(1, 2, 4); }, "M 1 2 4\r\n0\r\n",
       "M 1 2 4\r\nM 1 2 4\r\n\x1bM 1 2 4\r\n\x1bM 1 2 4\r\n\x1b", 1},
      // Anything else, a refusal included ("1" may be a "10" that lost a bit), is asked again
      // up to four times, then a failed compare.
      {[] { return nxpCompare(1, 2, 4); }, "M 1 2 4\r\n13\r\n",
       "M 1 2 4\r\n\x1bM 1 2 4\r\n\x1bM 1 2 4\r\n\x1bM 1 2 4\r\n\x1b", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.line) + " answered " + c.reply);
    pty.write(c.reply);
    EXPECT_EQ(c.call(), c.result);
    EXPECT_EQ(sent(), c.line);
    EXPECT_LE(comBytesWaiting(&devicePort), 1) << "only the reply's last LF may be left";
    devFlushInput();
  }
}

// A command that changes no flash is given again when its echo or its reply was spoilt on
// the line, up to three times; silence three times is a line error.
TEST_F(Command, SpoiltExchangesOfRepeatableCommandsAreSentAgain) {
  std::string heard;
  std::thread far = isptest::answering(pty, {{"P 0 14 0\r\n", "P 0 15 0\r\n0\r\n"},   // received otherwise
                                    {"P 0 14 0\r\n", "P 0 14 0\r\no\r\n"},  // reply garbled
                                    {"P 0 14 0\r\n", "P 0 14 0\r\n0\r\n"}},
                              &heard);
  EXPECT_EQ(nxpPrepareSectors(0, 14, 0), 0);
  far.join();
  EXPECT_EQ(heard + sent(), "P 0 14 0\r\n\x1bP 0 14 0\r\n\x1bP 0 14 0\r\n");

  heard.clear();
  far = isptest::answering(pty, {{"M 1 2 4\r\n", "M 1 2 4\r\n1O\r\n"}, {"M 1 2 4\r\n", "M 1 2 4\r\n10\r\n8\r\n"}},
                  &heard);
  EXPECT_EQ(nxpCompare(1, 2, 4), kCompareDifferent);
  far.join();

  const auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(nxpUnlock(), kExchangeEchoDiffers);
  EXPECT_GE(msSince(begin), 3 * 500);
  EXPECT_EQ(sent(), "U 23130\r\n\x1bU 23130\r\n\x1bU 23130\r\n\x1b");
}

TEST_F(Command, ReadPartIdTakesTwoDecimalWords) {
  const struct { const char* reply; std::uint32_t first; std::uint32_t second; } cases[] = {
      {"J\r\n0\r\n4026652720\r\n68\r\n", 4026652720u & 0xFFFFu, 68},
      {"J\r\n0\r\n70000\r\n0\r\n", 70000 - 65536, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reply);
    pty.write(std::string(c.reply) + c.reply);  // two reads in a row must agree
    std::uint32_t words[2] = {99, 99};
    EXPECT_EQ(nxpReadPartId(words), kPartIdRead);
    EXPECT_EQ(sent(), "J\r\nJ\r\n");
    EXPECT_EQ(words[0], c.first);
    EXPECT_EQ(words[1], c.second);
  }
}

// A part identification that the line spoils is asked again; one never read is no
// identification at all: both words 0 with kPartIdUnread, never a 512 KB bank by default.
TEST_F(Command, SpoiltPartIdIsAskedAgainAndNeverGuessed) {
  const std::string j = "J\r\n";
  const std::string good = j + "0\r\n2684471344\r\n68\r\n";
  std::string heard;
  std::thread far = isptest::answering(
      pty, {{j, "K\r\n0\r\n1\r\n13\r\n"},          // "K" arrived: the boot code version
            {j, j + "0\r\n2684471344\r\n\x11" "68\r\n"},  // XON in a word
            {j, good}, {j, good}},
      &heard);
  std::uint32_t words[2] = {99, 99};
  EXPECT_EQ(nxpReadPartId(words), kPartIdRead);
  far.join();
  EXPECT_EQ(words[1], 68u);
  EXPECT_EQ(heard + sent(), j + "\x1b" + j + "\x1b" + j + j);

  // A digit with a bit error is still a digit: two reads that disagree are a third's to settle.
  heard.clear();
  far = isptest::answering(pty, {{j, good}, {j, j + "0\r\n2684471344\r\n69\r\n"}, {j, good}}, &heard);
  EXPECT_EQ(nxpReadPartId(words), kPartIdUnread) << "no two reads in a row alike";
  far.join();
  EXPECT_EQ(isptest::countOf(heard + sent(), j), kPartIdReads);

  heard.clear();
  far = isptest::answering(pty, {{j, j + "0\r\n"},  // the words lost
                                 {j, j + "1\r\n"},  // refused
                                 {j, j + "0\r\n 12abc\r\n-2\r\n"}},
                           &heard);
  words[0] = words[1] = 99;
  EXPECT_EQ(nxpReadPartId(words), kPartIdUnread);
  far.join();
  EXPECT_EQ(words[0], 0u);
  EXPECT_EQ(words[1], 0u);
  EXPECT_EQ(isptest::countOf(heard + sent(), j), kPartIdReads) << heard;
}

// A Go is sent again only while the bootloader is seen to be still there; what it answered
// to a line that arrived otherwise is read, not taken for a jump.
TEST_F(Command, GoTellsWhatTheBootloaderAnswered) {
  const std::string g = "G 436263100 T\r\n";
  const std::string other = "G 436263108 T\r\n";
  const struct { std::vector<std::pair<std::string, std::string>> steps; int result; int sends; } cases[] = {
      {{{g, other + "15\r\n"}, {g, g + "0\r\n"}}, kGoStarted, 2},      // refused the other line
      {{{g, other + "0\r\n"}}, kGoStartedOtherLine, 1},                // jumped from elsewhere
      {{{g, other}}, kGoNoAnswer, 1},                                  // no answer to read
      {{{g, g + "\x13" "0\r\n"}, {g, g + "0\r\n"}}, kGoStarted, 2},    // a damaged answer
      {{{g, g + "15\r\n"}, {g, g + "15\r\n"}, {g, g + "15\r\n"}}, kGoRefused, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.steps.front().second);
    std::string heard;
    std::thread far = isptest::answering(pty, c.steps, &heard);
    EXPECT_EQ(nxpGo(436263100u), c.result);
    far.join();
    const std::string all = heard + sent();
    EXPECT_EQ(isptest::countOf(all, g), c.sends) << all;
    devFlushInput();
  }
}

// A reply is held to the same standard as an echo: XON, XOFF or any other byte the reply
// cannot hold makes it garbled, so "10" whose '1' took a bit error (XON "0") is no success.
TEST_F(Command, FlowControlInAReplyIsNoSuccess) {
  const std::string m = "M 436211712 268435456 4096\r\n";
  for (const char* reply : {"\x11" "0", "\x13" "0", "0\x11", "\x1b" "0", "0 "}) {
    SCOPED_TRACE(reply);
    std::string heard;
    std::thread far = isptest::answering(pty, {{m, m + reply + "\r\n"}, {m, m + "10\r\n12\r\n"}}, &heard);
    EXPECT_EQ(nxpCompare(436211712u, 268435456u, 4096u), kCompareDifferent);
    far.join();
    EXPECT_EQ(isptest::countOf(heard + sent(), m), 2);
  }
  // A copy or an erase is not asked again: its caller hears of the line error.
  const std::string c = "C 436211712 268435456 4096\r\n";
  pty.write(c + "\x11" "0\r\n");
  EXPECT_EQ(nxpCopyRamToFlash(436211712u, 268435456u, 4096u), kExchangeGarbled);
  EXPECT_EQ(sent(), c + "\x1b");
}

}  // namespace
