// Write to RAM and Read Memory against a scripted far end whose replies wait in the queue:
// the exact bytes on the wire and every result code.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "isp/isp_transfer.h"
#include "isp_port.h"

namespace {

using Transfer = isptest::PortTest;
using Bytes = std::vector<std::uint8_t>;

const Bytes kFour = {0x12, 0x34, 0x56, 0x78};
const std::string kFourLine = "$$C16>```\r\n";

// The far end's answers wait in the queue, each line's echo ahead of the bootloader's reply.
TEST_F(Transfer, WriteTranscripts) {
  const std::string w = "W 268435456 4\r\n";
  const std::string block = kFourLine + "276\r\n";
  const struct { Bytes bytes; std::string replies; int result; std::string sent; } cases[] = {
      {kFour, w + "0\r\n" + block + "OK\r\n", 0, w + block},
      {{'a', 'b', 'c'}, w + "0\r\n#86)C\r\n294\r\nOK\r\n", 0, w + "#86)C\r\n294\r\n"},  // whole words
      {{}, "", 0, ""},
      // An unanswered "W": sent again after an ESC, eight times in all.
      {kFour, w + "\r\n", 1, [&] {
         std::string all;
         for (int i = 0; i < 8; ++i) all += w + "\x1b";
         return all;
       }()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sent.substr(0, 40) + " answered " + c.replies);
    pty.write(c.replies);
    EXPECT_EQ(nxpWriteRam(268435456u, c.bytes.data(), static_cast<std::uint32_t>(c.bytes.size())),
              c.result);
    EXPECT_EQ(sent(), c.sent);
    devFlushInput();
  }
}

// A "W" refused as sent is asked again ("1" may be a "0" that lost a bit while the bootloader
// waits for data), eight times in all; then the write is refused.
TEST_F(Transfer, RefusedWriteIsAskedAgainThenRefused) {
  const std::string w = "W 268435456 4\r\n";
  std::string heard;
  std::thread far([&] {
    for (int i = 0; i < 8; ++i) {
      if (!pty.waitFor(w, 3000, &heard)) return;
      pty.write(w + "13\r\n");
    }
  });
  EXPECT_EQ(nxpWriteRam(268435456u, kFour.data(), 4), 2);
  far.join();
  std::string expected;
  for (int i = 0; i < 8; ++i) expected += w + "\x1b";
  EXPECT_EQ(heard + sent(), expected) << "no data line follows a refusal";
}

// The twenty data lines of a block of 900 bytes and its checksum line, as they are sent.
std::string blockLines(const Bytes& bytes) {
  std::string block;
  unsigned sum = 0;
  for (std::size_t at = 0; at < 900; at += 45) {
    char line[64];
    uuEncodeLine(line, bytes.data() + at, 45);
    block += std::string(line) + "\r\n";
  }
  for (std::size_t i = 0; i < 900; ++i) {
    sum += bytes[i];
  }
  return block + std::to_string(sum) + "\r\n";
}

TEST_F(Transfer, RefusedBlockIsSentAgainUpToThreeTimes) {
  Bytes bytes(904);
  unsigned sum = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<std::uint8_t>(i);
    sum += i < 900 ? bytes[i] : 0u;
  }
  const std::string block = blockLines(bytes);
  Bytes tail(bytes.begin() + 900, bytes.end());
  char tailLine[64];
  uuEncodeLine(tailLine, tail.data(), 4);
  const std::string tailBlock =
      std::string(tailLine) + "\r\n" +
      std::to_string(tail[0] + tail[1] + tail[2] + tail[3]) + "\r\n";
  // Refused twice after an echo that shows every line as sent, then accepted; the second
  // block at once, within the same "W".
  pty.write("W 268435456 904\r\n0\r\n" + block + "RESEND\r\n" + block + "RESEND\r\n" + block +
            "OK\r\n" + tailBlock + "OK\r\n");
  EXPECT_EQ(nxpWriteRam(268435456u, bytes.data(), 904), 0);
  std::string wire = sent();
  EXPECT_EQ(isptest::countOf(wire, "\r\n" + std::to_string(sum) + "\r\n"), 3);
  EXPECT_EQ(isptest::countOf(wire, "\r\nM"), 3 * 20) << "every line, each time";
  EXPECT_EQ(isptest::countOf(wire, "W "), 1) << "a resend repeats the lines, not the command";
  EXPECT_TRUE(wire.ends_with(block + tailBlock)) << "the last block right behind the first";
}

// A block's data lines and its checksum go out in one write, after the "W" that announced it.
TEST_F(Transfer, BlockGoesOutInOneWrite) {
  ASSERT_EQ(comSetBaud(&devicePort, 115200), 1);
  currentBaud = 115200;  // a block's bytes take 110 ms on the wire, well within a write's time
  Bytes bytes(900);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<std::uint8_t>(i * 7);
  }
  const std::string block = blockLines(bytes);
  const std::string w = "W 268435456 900\r\n";
  pty.write(w + "0\r\n" + block + "OK\r\n");
  const long before = isptest::writeCalls();
  EXPECT_EQ(nxpWriteRam(268435456u, bytes.data(), 900), 0);
  EXPECT_EQ(isptest::writeCalls() - before, 2) << "the \"W\", then the block";
  EXPECT_EQ(sent(), w + block);
}

// A data line that came back otherwise than it was sent: the bootloader's answer to the block
// decides. OK: its sum matched, so a single character otherwise was most likely spoilt on its
// way back; the word under it is read back, and the block is done when RAM holds it as sent.
// Read back otherwise, or two characters otherwise (two errors that cancel in the sum): its
// RAM holds other bytes, so the block goes again with a fresh "W", no ESC needed. RESEND: it
// found the sum wrong and waits for the block, which goes again within the same "W". Anything
// else: ESC, and a fresh "W".
TEST_F(Transfer, EchoThatDiffersIsSettledByTheAnswerOrAReadBack) {
  const std::string w = "W 268435456 4\r\n";
  const std::string block = kFourLine + "276\r\n";
  const std::string otherwise = "$$C26>```\r\n276\r\n";  // the third byte 0x96, not 0x56
  const std::string r = "R 268435456 4\r\n";
  using Steps = std::vector<std::pair<std::string, std::string>>;
  const struct { const char* what; Steps steps; std::string sent; } cases[] = {
      {"OK, read back as sent",
       {{w, w + "0\r\n"}, {"276\r\n", otherwise + "OK\r\n"}, {r, r + "0\r\n" + block},
        {"OK\r\n", "OK\r\n"}},
       w + block + r + "OK\r\n"},
      {"OK, read back otherwise",
       {{w, w + "0\r\n"}, {"276\r\n", otherwise + "OK\r\n"},
        {r, r + "0\r\n$$C26>```\r\n340\r\n"}, {"OK\r\n", "OK\r\n"}, {w, w + "0\r\n"},
        {"276\r\n", block + "OK\r\n"}},
       w + block + r + "OK\r\n" + w + block},
      {"OK, two characters otherwise",
       {{w, w + "0\r\n"}, {"276\r\n", "$$C26?```\r\n276\r\nOK\r\n"}, {w, w + "0\r\n"},
        {"276\r\n", block + "OK\r\n"}},
       w + block + w + block},
      {"RESEND", {{w, w + "0\r\n"}, {"276\r\n", otherwise + "RESEND\r\n"}, {"276\r\n", block + "OK\r\n"}},
       w + block + block},
      {"garbled", {{w, w + "0\r\n"}, {"276\r\n", otherwise + "RESEMD\r\n"}, {w, w + "0\r\n"},
                   {"276\r\n", block + "OK\r\n"}},
       w + block + "\x1b" + w + block},
      // The data line's CR spoilt on its way back: that echo ends at its LF, the checksum's
      // echo and the OK are read in step, and the block goes again without an ESC.
      {"CR spoilt", {{w, w + "0\r\n"}, {"276\r\n", "$$C16>```\x8d\n276\r\nOK\r\n"}, {w, w + "0\r\n"},
                     {"276\r\n", block + "OK\r\n"}},
       w + block + w + block},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    lineBudgetEnd();
    std::string heard;
    std::thread far = isptest::answering(pty, c.steps, &heard);
    EXPECT_EQ(nxpWriteRam(268435456u, kFour.data(), 4), 0);
    far.join();
    EXPECT_EQ(heard + sent(), c.sent);
    devFlushInput();
  }
}

// A block's echo is taken through the CR of its last line in one read; when line ends the
// echo should have had did not come, that read takes bytes of the answer too. They are the
// answer's all the same: an XON ahead of "OK" makes it garbled, and the block goes again with
// a fresh "W" after an ESC.
TEST_F(Transfer, AnswerTakenWithTheEchoIsHeldToTheSameStandard) {
  const std::string w = "W 268435456 4\r\n";
  const std::string block = kFourLine + "276\r\n";
  // No LF after the "0" nor after the data line: the read for the echo owed takes the LF and
  // the XON that follow the checksum line.
  const std::vector<std::pair<std::string, std::string>> steps = {
      {w, w + "0\r"}, {"276\r\n", "$$C16>```\r276\r\n\x11" "OK\r\n"},
      {w, w + "0\r\n"}, {"276\r\n", block + "OK\r\n"}};
  std::string heard;
  std::thread far = isptest::answering(pty, steps, &heard);
  EXPECT_EQ(nxpWriteRam(268435456u, kFour.data(), 4), 0);
  far.join();
  EXPECT_EQ(heard + sent(), w + block + "\x1b" + w + block);
}

// A bootloader at the far end that echoes every line and takes every block; the "W" lines it
// is told of are echoed otherwise, as if they had arrived so. It keeps every "W" it heard.
class EchoingFarEnd {
 public:
  EchoingFarEnd(vlfwu_test::PseudoTerminal& pty, std::string sent, std::string arrived)
      : pty_(pty), sent_(std::move(sent)), arrived_(std::move(arrived)), thread_([this] { run(); }) {}
  ~EchoingFarEnd() {
    stop_ = true;
    thread_.join();
  }
  std::vector<std::string> heard() {
    std::lock_guard<std::mutex> lock(mutex_);
    return heard_;
  }

 private:
  void run() {
    std::string pending;
    while (!stop_) {
      pty_.waitFor("\n", 20, &pending);  // a whole line, or whatever came meanwhile
      std::erase(pending, '\x1b');
      for (auto end = pending.find("\r\n"); end != std::string::npos; end = pending.find("\r\n")) {
        const std::string line = pending.substr(0, end);
        pending.erase(0, end + 2);
        std::string reply = line + "\r\n";
        if (line.starts_with("W ")) {
          std::lock_guard<std::mutex> lock(mutex_);
          reply = (heard_.emplace_back(line) == sent_ ? std::exchange(arrived_, sent_) : line) +
                  "\r\n0\r\n";
        } else if (!line.empty() && line.find_first_not_of("0123456789") == std::string::npos) {
          reply += "OK\r\n";
        }
        pty_.write(reply);
      }
    }
  }
  vlfwu_test::PseudoTerminal& pty_;
  std::string sent_, arrived_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<std::string> heard_;
  std::thread thread_;
};

// A "W" that arrived with another address, among bytes this write already put in place, may
// have put data there: the write goes again from that address (the word it falls in, and not
// below the write's start). One that arrived anywhere else only sends its own block again.
// Either way the spoilt block makes the next ones go in the next smaller size. (A line that
// spoilt a block before: each block has a "W" of its own, 440 bytes.)
TEST_F(Transfer, MisdirectedWriteGoesAgainFromWhereItMayHavePutData) {
  const Bytes bytes(1800, 0x5A);
  constexpr std::uint32_t kBase = 268435456, kEnd = kBase + 1800;
  const std::string first = "W 268435456 440", second = "W 268435896 440";
  // The two "W"s, then one for every 176 bytes from an address to the end.
  const auto thenFrom = [&](std::uint32_t from) {
    std::vector<std::string> heard = {first, second};
    for (std::uint32_t at = from; at < kEnd; at += 176) {
      heard.push_back("W " + std::to_string(at) + " " + std::to_string(std::min(176u, kEnd - at)));
    }
    return heard;
  };
  const struct { const char* arrived; std::vector<std::string> heard; } cases[] = {
      {"W 268435656 440", thenFrom(kBase + 200)},
      {"W 268435658 440", thenFrom(kBase + 200)},
      {"W 268435356 440", thenFrom(kBase)},
      {"W 268437356 440", thenFrom(kBase + 440)},   // ahead of the block
      {"W 268435896 4400", thenFrom(kBase + 440)},  // not back over the first
      {"W 268435896 44", thenFrom(kBase + 440)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arrived);
    lineBudgetEnd();
    lineBlockSpoilt();
    std::vector<std::string> heard;
    {
      EchoingFarEnd farEnd(pty, second, c.arrived);
      EXPECT_EQ(nxpWriteRam(268435456u, bytes.data(), 1800), 0);
      heard = farEnd.heard();
    }
    EXPECT_EQ(heard, c.heard);
    devFlushInput();
  }
}

TEST_F(Transfer, ReadTranscripts) {
  std::string zeroBlock;
  for (int i = 0; i < 20; ++i) {
    zeroBlock += "M" + std::string(60, '`') + "\r\n";
  }
  const std::string r4 = "R 268435456 4\r\n";
  const struct { std::uint32_t count; std::string replies; int result; std::string sent, out; }
      cases[] = {
      {4, r4 + "0\r\n" + kFourLine + "276\r\nOK\r\n", 4, r4 + "OK\r\n", ""},
      {0, "", 0, "", ""},
      // A zero-length line is skipped; a line longer than the block gives only what is due.
      {4, r4 + "0\r\n`\r\n&$C16>```\r\n276\r\nOK\r\n", 4, r4 + "OK\r\n", ""},
      // The checksum line too: XON before "276" is no sum.
      {4, r4 + "0\r\n" + kFourLine + "\x11" "276\r\nRESEND\r\n" + kFourLine + "276\r\nOK\r\n", 4,
       r4 + "RESEND\r\nOK\r\n", ""},
      // A block whose sum does not match is asked for again.
      {4, r4 + "0\r\n" + kFourLine + "277\r\nRESEND\r\n" + kFourLine + "276\r\nOK\r\n", 4,
       r4 + "RESEND\r\nOK\r\n", ""},
      // A refusal is asked again (it may be a damaged "0"), four times in all; the result
      // is then minus the bytes of the blocks before.
      {4, r4 + "14\r\n", 0, r4 + "\x1b" + r4 + "\x1b" + r4 + "\x1b" + r4 + "\x1b", ""},
      {1800, "R 268435456 900\r\n0\r\n" + zeroBlock + "0\r\nOK\r\nR 268436356 900\r\n14\r\n", -900,
       // Each spoilt attempt asks for a smaller block, as a noisy line needs.
       "R 268435456 900\r\nOK\r\nR 268436356 900\r\n\x1bR 268436356 440\r\n\x1b"
       "R 268436356 176\r\n\x1bR 268436356 88\r\n\x1b", ""},
      // Three bytes are asked for as a word; the checksum covers all four sent.
      {3, r4 + "0\r\n" + kFourLine + "276\r\nOK\r\n", 3, r4 + "OK\r\n", ""},
      // The checksum never comes: the block is asked for four times in all, then given up.
      {4, r4 + "0\r\n" + kFourLine, 0, [&] {
         std::string all;
         for (int i = 0; i < 4; ++i) all += r4 + "\x1b";
         return all;
       }(), "Timeout\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sent.substr(0, 40) + " answered " + c.replies.substr(0, 40));
    lineBudgetEnd();
    pty.write(c.replies);
    Bytes got(c.count + 1, 0xEE);
    testing::internal::CaptureStdout();
    EXPECT_EQ(nxpReadMemory(got.data(), 268435456u, c.count), c.result);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.out);
    EXPECT_EQ(sent(), c.sent);
    EXPECT_EQ(got[c.count], 0xEE) << "wrote past the count";
    if (c.result > 0 && c.result <= 4) {
      EXPECT_EQ(Bytes(got.begin(), got.begin() + c.result),
                Bytes(kFour.begin(), kFour.begin() + c.result));
    }
    devFlushInput();
  }
}

// The data lines of a read come one after the other at the wire's pace; each is taken in one
// read once it should all have come, not a byte at a time.
TEST_F(Transfer, DataLinesOfAReadAreTakenWhole) {
  ASSERT_EQ(comSetBaud(&devicePort, 115200), 1);
  currentBaud = 115200;
  const std::string r = "R 268435456 180\r\n";  // four whole data lines
  const std::string line = "M" + std::string(60, '`') + "\r\n";
  std::thread far([&] {
    if (!pty.waitFor(r, 3000)) return;
    pty.write(r + "0\r\n");
    for (int i = 0; i < 4; ++i) {
      std::this_thread::sleep_for(std::chrono::microseconds(5400));  // a line's time on the wire
      pty.write(line);
    }
    pty.write("0\r\n");
    if (!pty.waitFor("OK\r\n", 3000)) return;
    pty.write("OK\r\n");
  });
  Bytes out(180, 0xEE);
  const long before = isptest::readCalls();
  EXPECT_EQ(nxpReadMemory(out.data(), 268435456u, 180), 180);
  const long reads = isptest::readCalls() - before;
  far.join();
  EXPECT_EQ(out, Bytes(180, 0));
  // The command's echo and return code, four lines, the checksum and the echo of "OK", each in
  // a read or two.
  EXPECT_LE(reads, 16) << "a data line was read in pieces";
}

// A data line is held to what the bootloader sends: a character outside the backtick form, a
// flow-control byte, or a length that does not fit its count makes the block asked for afresh,
// even where the sum would still match.
TEST_F(Transfer, DamagedDataLineIsAskedForAfresh) {
  const std::string r4 = "R 268435456 4\r\n";
  const std::string good = r4 + "0\r\n" + kFourLine + "276\r\nOK\r\n";
  for (const std::string bad : {"&$C16>`ab", "$$C\x11" "16>```", "$$C16>``", "$$C16>```\x13"}) {
    SCOPED_TRACE(bad);
    std::string heard;
    std::thread far = isptest::answering(pty, {{r4, r4 + "0\r\n" + bad + "\r\n276\r\n"}, {r4, good}}, &heard);
    Bytes got(4, 0xEE);
    EXPECT_EQ(nxpReadMemory(got.data(), 268435456u, 4), 4);
    far.join();
    EXPECT_EQ(heard + sent(), r4 + "\x1b" + r4 + "OK\r\n");
    EXPECT_EQ(got, kFour);
    devFlushInput();
  }
}

}  // namespace

namespace {

// Work done again is counted once: a block whose sum differed is asked for with RESEND, and
// when the echo of that RESEND comes back spoilt a fresh "R" follows; the two are one repeat.
TEST_F(Transfer, ABlockAskedForAgainIsCountedOnce) {
  const std::string r4 = "R 268435456 4\r\n";
  std::thread far([&] {
    std::string heard;
    const std::pair<std::string, std::string> script[] = {
        {r4, r4 + "0\r\n" + kFourLine + "277\r\n"}, {"RESEND\r\n", "RESENT\r\n"},
        {r4, r4 + "0\r\n" + kFourLine + "276\r\n"}, {"OK\r\n", "OK\r\n"}};
    for (const auto& [awaited, answer] : script) {
      if (!pty.waitFor(awaited, 3000, &heard)) return;
      pty.write(answer);
    }
  });
  lineBudgetStart();
  Bytes got(4, 0);
  EXPECT_EQ(nxpReadMemory(got.data(), 268435456u, 4), 4);
  far.join();
  EXPECT_EQ(got, kFour);
  EXPECT_EQ(lineBudget.repeated, 1u);
  lineBudgetEnd();
}

}  // namespace
