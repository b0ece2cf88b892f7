// The simulator's line faults over a real pseudo-terminal, as transcripts: a flipped bit in a
// command line and a compensating pair arrive as the chip's UART receives them, so its echo
// shows them; random bit errors are seeded and repeat; the LPC18xx echoes a line end as
// CR LF LF. With none of them asked for, nothing changes.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/common/child_process.h"
#include "tests/sim/host_port.h"

namespace simtest {
namespace {

using LineFaults = SimTest;

template <class Tweak>
sim::Options bootloaderWith(Tweak tweak) {
  return with(blankBootloader(), [&](sim::Options& o) { tweak(o.lineFaults); });
}

// The second command line (the first is "A 0") arrives with bit 0 of its byte 0 flipped:
// "J" (0x4A) as "K" (0x4B). Its echo is "K" and the chip answers K: the boot code version.
// Command lines before and after it are untouched.
TEST_F(LineFaults, CorruptCommandStrikesTheKthCommandLineAsReceived) {
  startSynced(bootloaderWith([](sim::LineFaults& f) { f.corruptCommand = 2, f.corruptCommandBit = 0; }),
              /*echoOff=*/false);
  run({{"A 1\r\n", "A 1\r\n0\r\n"},                       // command line 1
       {"J\r\n", "K\r\n0\r\n1\r\n13\r\n"},                 // line 2, as received
       {"J\r\n", "J\r\n0\r\n2684471344\r\n0\r\n"}});       // line 3: once only
  // Byte 8, bit 2 of "W 268437256 4" (the '2' of ...7256 as '6'): a valid address the chip
  // takes; the echo shows where.
  startSynced(bootloaderWith([](sim::LineFaults& f) { f.corruptCommand = 1, f.corruptCommandBit = 8 * 8 + 2; }),
              /*echoOff=*/false);
  run({{"W 268437256 4\r\n", "W 268437656 4\r\n0\r\n"}});
}

// The second command line arrives as sent and is executed as sent, but its echo leaves with a
// flipped bit: "J" (0x4A) echoed as "K". The answer is J's; later echoes are untouched.
TEST_F(LineFaults, CorruptEchoStrikesOnlyTheEchoOfTheKthCommandLine) {
  startSynced(bootloaderWith([](sim::LineFaults& f) { f.corruptEcho = 2, f.corruptEchoBit = 0; }),
              /*echoOff=*/false);
  run({{"A 1\r\n", "A 1\r\n0\r\n"},
       {"J\r\n", "K\r\n0\r\n2684471344\r\n0\r\n"},
       {"J\r\n", "J\r\n0\r\n2684471344\r\n0\r\n"}});
}

// In the chosen block one byte comes +1 and another -1: the sum still holds, the chip answers
// OK, and what it echoes and stores differs from what was sent.
TEST_F(LineFaults, SumPairIsAcknowledgedOkAndShowsInTheEcho) {
  std::vector<std::uint8_t> data(88);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7 + 1);
  const std::string block = uuBlocks(data)[0];
  startSynced(bootloaderWith([](sim::LineFaults& f) { f.sumPairBlock = 2; }), /*echoOff=*/false);
  for (int round = 1; round <= 3; ++round) {  // blocks 1, 2 (the pair) and 3
    SCOPED_TRACE(round);
    expectReply("W 268435456 88\r\n", "W 268435456 88\r\n0\r\n");
    const std::string echo = port.exchange(block, block.size() + 4);
    EXPECT_EQ(echo.substr(echo.size() - 4), "OK\r\n");
    EXPECT_EQ(echo.substr(0, echo.size() - 4) == block, round != 2) << echo;
    // What the chip holds: read back with R, the echo of the host's OK taken too.
    port.send("R 268435456 88\r\n");
    const std::string back = port.read(1 << 16, 300);
    port.send("OK\r\n");
    port.read(4, 300);
    std::vector<std::uint8_t> stored;
    std::uint32_t sum = 0;
    std::size_t at = back.find("\r\n0\r\n") + 5;
    for (int line = 0; line < 2; ++line) {
      const std::size_t end = back.find("\r\n", at);
      std::uint8_t bytes[64];
      const std::size_t n = sim::uuDecodeLine(back.substr(at, end - at), bytes, sizeof bytes);
      stored.insert(stored.end(), bytes, bytes + n);
      at = end + 2;
    }
    for (std::size_t i = 0; i < data.size(); ++i) sum += stored[i] - data[i] + 256u;
    int changed = 0;
    for (std::size_t i = 0; i < data.size(); ++i) changed += stored[i] != data[i];
    EXPECT_EQ(changed, round == 2 ? 2 : 0);
    EXPECT_EQ(sum, 256u * 88) << "the two changes cancel in the sum";
  }
}

// The same seed gives the same errors; rate 0 (with any seed) changes nothing at all.
TEST_F(LineFaults, BitErrorsAreSeededAndRateZeroChangesNothing) {
  const std::string line = "W 268435456 4\r\n";
  std::string text;
  for (int i = 0; i < 40; ++i) text += line;
  auto echoOf = [&](double rate, std::uint64_t seed) {
    sim::Options o = bootloaderWith([&](sim::LineFaults& f) { f.bitErrorRate = rate; });
    o.seed = seed;
    start(o);
    // Synchronised by hand, so that errors strike only the stream below.
    port.exchange("?", 14);
    port.exchange("Synchronized\r\n", 18);
    port.exchange("O\r\n", 7);
    port.exchange("\x1b", 1);
    port.send(text);
    return port.readFor(300);
  };
  const std::string clean = echoOf(0.0, 1);
  EXPECT_EQ(clean.substr(0, line.size()), line);
  EXPECT_EQ(echoOf(0.0, 99), clean) << "rate 0 draws nothing";
  const std::string noisy = echoOf(1e-3, 5);
  EXPECT_NE(noisy, clean);
  EXPECT_GT(noisy.size(), text.size() / 2) << "synchronised";
  EXPECT_EQ(echoOf(1e-3, 5), noisy) << "the same seed, the same errors";
  EXPECT_NE(echoOf(1e-3, 6), noisy);
}

TEST_F(LineFaults, LpcEighteenEchoesALineEndAsCrLfLf) {
  start(bootloaderWith([](sim::LineFaults& f) { f.echoCrLfLf = true; }));
  run({{"?", "Synchronized\r\n"}, {"Synchronized\r\n", "Synchronized\r\n\nOK\r\n"},
       {"O\r\n", "O\r\n\nOK\r\n"}, {"K\r\n", "K\r\n\n0\r\n1\r\n13\r\n"},   // CR LF
       {"K\r", "K\r\n\n0\r\n1\r\n13\r\n"},     // CR alone
       {"A 0\r\n", "A 0\r\n\n0\r\n"},           // and once echo is off, nothing more
       {"K\r\n", "0\r\n1\r\n13\r\n"}});
}

// The reply to the K-th command of one letter leaves with one bit flipped, its line ends
// included; its echo, the replies to other commands and to that letter's other commands are
// untouched.
TEST_F(LineFaults, FlipReplyStrikesOneBitOfTheKthReplyOfALetter) {
  // J's reply "0", "2684471344", "0": byte 3 is the '2' of the first word, bit 0 makes it '3'.
  startSynced(bootloaderWith([](sim::LineFaults& f) {
    f.replyFlipLetter = 'J', f.replyFlipCommand = 2, f.replyFlipBit = 3 * 8 + 0;
  }), /*echoOff=*/false);
  run({{"J\r\n", "J\r\n0\r\n2684471344\r\n0\r\n"}, {"K\r\n", "K\r\n0\r\n1\r\n13\r\n"},
       {"J\r\n", "J\r\n0\r\n3684471344\r\n0\r\n"}, {"J\r\n", "J\r\n0\r\n2684471344\r\n0\r\n"}});
  // The CR of a refusal: bit 0 of byte 2 of "15\r\n".
  startSynced(bootloaderWith([](sim::LineFaults& f) {
    f.replyFlipLetter = 'E', f.replyFlipCommand = 1, f.replyFlipBit = 2 * 8 + 0;
  }), /*echoOff=*/false);
  run({{"E 0 0 0\r\n", "E 0 0 0\r\n15\x0C\n"}, {"E 0 0 0\r\n", "E 0 0 0\r\n15\r\n"}});
}

// The K-th reply of a letter leaves with one byte lost, wherever it falls in the reply, its
// line ends included: the host reads the rest; the echo and the other replies are whole.
TEST_F(LineFaults, LoseReplyDropsOneByteOfTheKthReplyOfALetter) {
  const std::string reply = "J\r\n0\r\n2684471344\r\n0\r\n";  // its echo, then its reply
  for (std::size_t at = 3; at < reply.size(); ++at) {
    SCOPED_TRACE(at);
    startSynced(bootloaderWith([&](sim::LineFaults& f) {
      f.replyLoseLetter = 'J', f.replyLoseCommand = 2, f.replyLoseByte = static_cast<int>(at - 3);
    }), /*echoOff=*/false);
    std::string lost = reply;
    lost.erase(at, 1);
    for (const std::string& expected : {reply, std::string("K\r\n0\r\n1\r\n13\r\n")})
      expectReply(expected.substr(0, 3), expected);
    expectReply("J\r\n", lost);
    expectReply("J\r\n", reply);
  }
}

// The K-th identity frame answering "^V$" leaves with one bit flipped or one byte lost,
// wherever it falls from its "^" to its "$"; the answers before and after it are whole.
TEST_F(LineFaults, IdentityFaultsStrikeOneByteOfTheKthIdentityFrame) {
  const std::string frame = "^=V \"Sonarch60\" 4.02,86,5,4101$";
  for (std::size_t at = 0; at < frame.size(); ++at)
    for (const bool lose : {false, true}) {
      SCOPED_TRACE(::testing::Message() << (lose ? "byte lost: " : "bit flipped in byte ") << at);
      const int bit = static_cast<int>(at % 8), byte = static_cast<int>(at);
      start(with(installedSwitch(), [&](sim::Options& o) {
        if (lose) o.lineFaults.identityLoseAnswer = 2, o.lineFaults.identityLoseByte = byte;
        else o.lineFaults.identityFlipAnswer = 2, o.lineFaults.identityFlipBit = byte * 8 + bit;
      }), 19200);
      std::string struck = frame;
      if (lose) struck.erase(at, 1);
      else struck[at] = static_cast<char>(struck[at] ^ (1 << bit));
      for (const std::string& expected : {frame, struck, frame}) expectReply("^V$", expected);
    }
}

TEST(SwitchSimLineFaultOptions, HelpNamesThemAndBadValuesAreRefused) {
  const std::string program = std::string(VLFWU_BIN_DIR) + "/switch-sim";
  vlfwu_test::ChildProcess help;
  ASSERT_TRUE(help.start(program, {"--help"}));
  auto result = help.wait(10000);
  EXPECT_EQ(result.exitCode, 0);
  for (const char* option : {"--ber RATE", "--seed S", "corrupt-command=K:BIT", "corrupt-echo=K:BIT", "sum-pair=K",
                             "flip-reply=L:K:BIT", "lose-reply=L:K:BYTE", "flip-identity=K:BIT", "lose-identity=K:BYTE",
                             "refuse-command=L:K:CODE", "--echo-crlflf"})
    EXPECT_NE(result.output.find(option), std::string::npos) << option;
  for (std::vector<std::string> args :
       {std::vector<std::string>{"--ber", "2"}, {"--ber", "often"}, {"--seed", "-1"},
        {"--fault", "corrupt-command=3"}, {"--fault", "corrupt-command=0:1"}, {"--fault", "corrupt-echo=2"},
        {"--fault", "sum-pair=x"}, {"--fault", "flip-reply=M:1"}, {"--fault", "flip-reply=m:1:3"},
        {"--fault", "lose-reply=M:0:1"}, {"--fault", "flip-identity=1"}, {"--fault", "lose-identity=0:1"},
        {"--fault", "refuse-command=P:0:9"}, {"--fault", "refuse-command=PP:1:9"}}) {
    vlfwu_test::ChildProcess child;
    ASSERT_TRUE(child.start(program, args));
    result = child.wait(10000);
    EXPECT_EQ(result.exitCode, 2) << args[0] << " " << args[1];
    EXPECT_NE(result.output.find("switch-sim:"), std::string::npos) << result.output;
  }
}

}  // namespace
}  // namespace simtest

namespace simtest {
namespace {

// A line that comes and goes: for the last 400 ms of every second nothing crosses it, either
// way; before and after, exchanges go through untouched.
TEST_F(LineFaults, DropoutCarriesNothingWhileTheLineIsAway) {
  startSynced(bootloaderWith([](sim::LineFaults& f) { f.dropoutEveryMs = 1000, f.dropoutMs = 400; }),
              /*echoOff=*/false);
  bool sawAway = false, sawBack = false;
  for (int i = 0; i < 40 && !(sawAway && sawBack); ++i) {
    port.send("J\r\n");
    const std::string got = port.read(64, 100);
    if (got.empty()) {
      sawAway = true;
    } else if (got == "J\r\n0\r\n2684471344\r\n0\r\n") {
      sawBack = sawAway;
    } else {
      port.readFor(150);  // a reply cut by the line going away: what is left of it
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
  }
  EXPECT_TRUE(sawAway) << "the line never went away";
  EXPECT_TRUE(sawBack) << "the line never came back whole";
}

}  // namespace
}  // namespace simtest
