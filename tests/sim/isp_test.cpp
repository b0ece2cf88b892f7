// The simulated LPC18xx/43xx ISP bootloader over a real pseudo-terminal, as transcripts (host
// sends, chip answers), and its UU line codec. Addresses in decimal: 268435456 = 0x10000000
// (RAM), 436207616 = 0x1A000000 (bank A), 452984832 = 0x1B000000, 436731904 = 0x1A080000.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "tests/sim/host_port.h"

namespace simtest {
namespace {

constexpr const char* kVersion = "0\r\n1\r\n13\r\n";  // K's answer: code, then minor, major

using Isp = SimTest;

TEST_F(Isp, SynchronisationAndEchoOnAndOff) {
  start(blankBootloader());
  EXPECT_EQ(device->mode(), sim::Mode::BootloaderWaiting);
  // Only '?' counts while the rate is measured. The utility's probe ESC ^P$ ? CR: its CR comes
  // at the measured rate and is echoed.
  expectQuiet("\x1b^P$*\r", 100);
  expectReply("\x1b^P$?\r", "Synchronized\r\n\r");
  EXPECT_EQ(device->mode(), sim::Mode::BootloaderSynced);
  run({{"Synchronized\r\n", "Synchronized\r\nOK\r\n"},
       {"O\r", "O\rOK\r\n"},  // the frequency line's value is ignored on these parts
       {"K\r\n", "K\r\n0\r\n1\r\n13\r\n"}, {"A 0\r\n", "A 0\r\n0\r\n"},  // answer not echoed
       {"K\r\n", kVersion}, {"A 1\r\n", "0\r\n"}, {"J\r\n", "J\r\n0\r\n2684471344\r\n0\r\n"},
       {"A 2\r\n", "A 2\r\n12\r\n"},
       {"\x1b^P$?\r", "\x1b^P$?\r1\r\n"},  // a probe to a synchronised chip: invalid command
       {"W 268435456 4\r\n", "W 268435456 4\r\n0\r\n"},
       {"$$C16>```\r\n276\r\n", "$$C16>```\r\n276\r\nOK\r\n"}});  // data lines too
}

TEST_F(Isp, WrongSyncAnswerSendsTheChipBackToMeasuringSilently) {
  start(blankBootloader());
  run({{"?", "Synchronized\r\n"}, {"Synchronised\r\n", "Synchronised\r\n"}});
  EXPECT_EQ(port.readFor(150), "");
  EXPECT_EQ(device->mode(), sim::Mode::BootloaderWaiting);
  port.setBaud(57600);
  expectReply("?", "Synchronized\r\n");
  EXPECT_EQ(device->uartBaud(), 57600);
}

TEST_F(Isp, RateIsKeptAfterSynchronisationUntilB) {
  startSynced(blankBootloader(), /*echoOff=*/false);
  // At 38400 the chip (at 115200) gets garbage, echoes garbage and never sees a line end;
  // '?' is an ordinary character now, so no new measurement either.
  port.setBaud(38400);
  port.send("K\r\n?");
  std::string got = port.readFor(200);
  EXPECT_EQ(got.size(), 4u) << "the echo of each byte, and no answer";
  EXPECT_TRUE(std::all_of(got.begin(), got.end(), [](char c) { return c & 0x80; })) << got;
  EXPECT_EQ(device->uartBaud(), 115200);
  port.setBaud(115200);
  run({{"\x1b", "\x1b"}, {"A 0\r\n", "A 0\r\n0\r\n"},  // ESC clears the garbage
       {"B 12345 1\r\n", "17\r\n"}, {"B 57600 3\r\n", "18\r\n"}, {"B 57600\r\n", "12\r\n"},
       {"B 57600 1\r\n", "0\r\n"}});  // answered at the old rate
  EXPECT_EQ(device->uartBaud(), 57600);
  port.setBaud(57600);
  expectReply("K\r\n", kVersion);
}

TEST_F(Isp, IdentificationLineEndsAndEsc) {
  startSynced();
  run({{"J\r\n", "0\r\n2684471344\r\n0\r\n"}, {"K\r", kVersion}, {"K\n", kVersion},
       {"N\r\n", "0\r\n173813249\r\n1295720224\r\n324498737\r\n610839776\r\n"}});
  expectQuiet("\r\n\r\n\n\r");  // empty lines get nothing
  // ESC drops the line so far: the unlock never happened.
  run({{"U 23\x1bK\r\n", kVersion}, {"E 0 0 0\r\n", "15\r\n"}});
  startSynced(with(blankBootloader(), [](sim::Options& o) {
    o.bank256K = true, o.bootCodeVersion[0] = 2, o.bootCodeVersion[1] = 12;
  }));
  run({{"J\r\n", "0\r\n2684471344\r\n68\r\n"}, {"K\r\n", "0\r\n2\r\n12\r\n"},
       {"P 0 10 0\r\n", "0\r\n"}, {"P 0 11 0\r\n", "7\r\n"}});  // a 256 KB bank ends at 10
}

// Command line -> return code, walked in order on one chip (the unlock comes part way).
struct Code { const char* line; int code; };
constexpr Code kCodes[] = {
    {"X", 1}, {"u 23130", 1}, {"UU 23130", 1}, {"^P$?", 1}, {"Z 1 2", 1}, {"S 0", 15},
    {"C 436207616 268435456 512", 15}, {"E 0 0 0", 15}, {"G 436207616 T", 15}, {"U", 12},
    {"U abc", 12}, {"U 0x5A5A", 12}, {"U 23130 1", 12}, {"J 1", 12}, {"U 1", 16}, {"U 23130", 0},
    {"E 0 0 0", 9}, {"A", 12}, {"A 0 0", 12}, {"W 268435456", 12}, {"R 268435456", 12},
    {"P 0 0", 12}, {"P 0 x 0", 12}, {"E 0 0", 12}, {"I 0 0", 12}, {"C 436207616 268435456", 12},
    {"M 436207616 268435456", 12}, {"G 436207616", 12}, {"G 436207616 A", 12},
    {"W 99999999999 4", 12},  // wider than 32 bits
    // W, R, M, G: alignment 13, count 6, nothing (or ROM work RAM, or flash for W) there 14.
    {"W 268435457 4", 13}, {"W 268435456 3", 6}, {"W 805306368 4", 14}, {"W 436207616 4", 14},
    {"W 268468224 4", 14}, {"W 268435456 32772", 14}, {"W 269008896 4", 14},
    {"R 436207618 4", 13}, {"R 436207616 5", 6}, {"R 1073741824 4", 14}, {"R 436731904 4", 14},
    {"M 436207617 268435456 4", 13}, {"M 436207616 268435458 4", 13},
    {"M 436207616 268435456 2", 6}, {"M 436731904 268435456 4", 14}, {"G 436207618 T", 13},
    {"G 805306368 T", 14},
    // C checks flash alignment 3, RAM alignment 2, RAM 4, flash 5 (also past the bank's end),
    // count 6, then preparation 9 (of every sector touched, in the address's own bank).
    {"C 436207872 268435458 512", 3}, {"C 436207616 268435458 512", 2},
    {"C 436207616 805306368 512", 4}, {"C 436731904 268435456 512", 5},
    {"C 436731392 268435456 1024", 5}, {"C 436207616 268435456 256", 6},
    {"C 436207616 268435456 8192", 6}, {"C 436207616 268435456 2048", 6},
    {"C 436207616 268435456 4096", 9}, {"P 0 0 0", 0}, {"C 436215296 268435456 1024", 9},
    {"P 1 1 0", 0}, {"C 436215296 268435456 1024", 0}, {"C 452984832 268435456 512", 9},
    {"P 5 4 0", 7}, {"P 0 15 0", 7}, {"P 0 0 2", 20}, {"E 3 2 0", 7}, {"E 0 0 2", 20},
    {"I 0 15 1", 7}, {"S 2", 20}, {"P 0 14 1", 0}, {"E 0 14 1", 0}, {"E 0 14 1", 9}, {"S 0", 0},
};

TEST_F(Isp, ReturnCodeOfEveryKindOfWrongCommand) {
  startSynced();
  for (const Code& c : kCodes)
    expectReply(std::string(c.line) + "\r\n", std::to_string(c.code) + "\r\n");
}

TEST_F(Isp, WriteAndReadSmallWithSpaceForZeroAndReadResend) {
  startSynced();
  run({{"W 268435456 4\r\n", "0\r\n"}, {"$$C16>   \r\n276\r\n", "OK\r\n"},  // space is zero too
       {"R 268435456 4\r\n", "0\r\n$$C16>```\r\n276\r\n"}, {"RESEND\r\n", "$$C16>```\r\n276\r\n"},
       {"OK\r\n", ""}, {"K\r\n", kVersion},  // back at the prompt, nothing more of the read
       {"R 436207616 8\r\n", "0\r\n(__________\\`\r\n2040\r\n"},  // erased flash
       {"OK\r\n", ""}, {"K\r\n", kVersion}});
}

TEST_F(Isp, FourKilobytesInBlocksOfTwentyLinesWithResendBothWays) {
  startSynced();
  std::vector<std::uint8_t> data(4096);
  std::uint32_t x = 7;
  for (auto& b : data) b = static_cast<std::uint8_t>((x = x * 1103515245u + 12345u) >> 16);
  std::vector<std::string> blocks = uuBlocks(data);
  ASSERT_EQ(blocks.size(), 5u);  // four of 900 bytes, one of 496
  expectReply("W 268435456 4096\r\n", "0\r\n");
  // A wrong checksum gets RESEND; the whole block comes again.
  std::string spoiled = blocks[0].substr(0, blocks[0].rfind("\r\n", blocks[0].size() - 3) + 2);
  expectReply(spoiled + "1\r\n", "RESEND\r\n");
  for (const std::string& block : blocks) expectReply(block, "OK\r\n");
  expectReply("R 268435456 4096\r\n", "0\r\n");
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    EXPECT_EQ(port.read(blocks[i].size()), blocks[i]) << "block " << i;
    EXPECT_EQ(port.readFor(30), "") << "the chip waits for the host's answer";
    if (i == 1) expectReply("RESEND\r\n", blocks[i]);
    port.send("OK\r\n");
  }
  expectReply("K\r\n", kVersion);
}

TEST(DeviceUuCodec, WorkedExamplesRoundTripsAndBounds) {
  const std::uint8_t abc[] = {'a', 'b', 'c'}, zero[] = {0};
  EXPECT_EQ(sim::uuEncodeLine(abc, 3), "#86)C");
  EXPECT_EQ(sim::uuEncodeLine(zero, 1), "!````");  // zero as backtick, never space
  EXPECT_EQ(sim::uuEncodeLine(nullptr, 0), "`");
  for (std::size_t n = 1; n <= 45; ++n) {
    std::vector<std::uint8_t> in(n), out(64, 0xEE);
    for (std::size_t i = 0; i < n; ++i) in[i] = static_cast<std::uint8_t>(i * 37 + n);
    std::string line = sim::uuEncodeLine(in.data(), n);
    EXPECT_EQ(line.size(), 1 + (n + 2) / 3 * 4) << n;  // 45 bytes: "M" and 60 characters
    ASSERT_EQ(sim::uuDecodeLine(line, out.data(), 64), n);
    EXPECT_TRUE(std::equal(in.begin(), in.end(), out.begin())) << n;
    EXPECT_EQ(out[n], 0xEE) << "nothing stored beyond the line's bytes";
  }
  EXPECT_EQ(sim::uuEncodeLine(std::vector<std::uint8_t>(45).data(), 45)[0], 'M');
  // A line that declares 45 bytes but carries one group: the rest decode as zero, and
  // nothing goes beyond the limit.
  std::uint8_t out[64];
  std::memset(out, 0xEE, sizeof out);
  EXPECT_EQ(sim::uuDecodeLine("M86)C", out, 10), 10u);
  EXPECT_EQ((Bytes{out[0], out[9], out[10]}), (Bytes{'a', 0, 0xEE}));
  EXPECT_EQ(sim::uuDecodeLine("", out, 10), 0u);
}

}  // namespace
}  // namespace simtest
