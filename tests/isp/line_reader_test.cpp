#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include "isp/device_line.h"
#include "port_fixture.h"
#include "transport/serial.h"

namespace {

using isptest::millisecondsOf;
using isptest::PortTest;

using LineReader = PortTest;

// The pseudo-terminal passes bytes on at once, but give them a moment to be counted.
void settle() { std::this_thread::sleep_for(std::chrono::milliseconds(20)); }

TEST_F(LineReader, ReadsOneCrLineAndLeavesTheRestQueued) {
  peer.send("0\r\nOK\r\n");
  settle();
  char line[7];
  EXPECT_EQ(devReadCrLine(line, sizeof line), 1);
  EXPECT_STREQ(line, "0");
  // The LF that followed the CR is dropped at the start of the next line.
  EXPECT_EQ(devReadCrLine(line, sizeof line), 2);
  EXPECT_STREQ(line, "OK");
  EXPECT_EQ(comBytesWaiting(&devicePort), 1);  // the final LF
}

TEST_F(LineReader, NineteenCharactersFitTwentyButTwentyDoNot) {
  char line[20];
  peer.send("ABCDEFGHIJKLMNOPQRS\r");
  EXPECT_EQ(devReadCrLine(line, sizeof line), 19);
  EXPECT_STREQ(line, "ABCDEFGHIJKLMNOPQRS");

  peer.send("ABCDEFGHIJKLMNOPQRST\r");
  std::memset(line, 'x', sizeof line);
  EXPECT_EQ(devReadCrLine(line, sizeof line), -1);
  EXPECT_STREQ(line, "");
  // The reader stopped after its 20 characters: the terminator is still there for the next.
  EXPECT_EQ(devReadCrLine(line, sizeof line), 0);
  EXPECT_STREQ(line, "");
}

TEST_F(LineReader, DropsControlAndHighBytesWithoutCountingThem) {
  peer.send(std::string("\x01O\x7f\x80K\xff\x1b\t\n", 10) + std::string(1, '\0') + "!\r");
  char line[6];  // room for five characters: the dropped bytes must not take any
  EXPECT_EQ(devReadCrLine(line, sizeof line), 4);
  EXPECT_STREQ(line, "O\x7fK!");
}

TEST_F(LineReader, TerminatorSetsDecideWhereALineEnds) {
  peer.send("^+$\r^V1$");
  char line[20];
  EXPECT_EQ(devReadDollarLine(line, sizeof line), 2);
  EXPECT_STREQ(line, "^+");
  EXPECT_EQ(devReadLine(line, sizeof line, "$\r"), 0);  // the CR right after it
  EXPECT_EQ(devReadDollarLine(line, sizeof line), 3);
  EXPECT_STREQ(line, "^V1");
  // With the CR set, '$' is an ordinary character.
  peer.send("A$B\r");
  EXPECT_EQ(devReadCrLine(line, sizeof line), 3);
  EXPECT_STREQ(line, "A$B");
}

TEST_F(LineReader, SilenceEndsTheReadAfterHalfASecond) {
  char line[20];
  std::memset(line, 'x', sizeof line);
  int result = 0;
  const long long ms = millisecondsOf([&] { result = devReadCrLine(line, sizeof line); });
  EXPECT_EQ(result, -1);
  EXPECT_STREQ(line, "");
  EXPECT_GE(ms, 495);
  EXPECT_LT(ms, 1500);
}

TEST_F(LineReader, TheBoundRunsFromTheStartOfTheCallNotTheLastByte) {
  // A byte every 100 ms for two seconds, never a terminator: a time-out counted from the
  // last byte would not expire before 2.5 s.
  std::thread trickle([this] {
    for (int i = 0; i < 20; ++i) {
      peer.send("x");
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });
  char line[64];
  int result = 0;
  const long long ms = millisecondsOf([&] { result = devReadCrLine(line, sizeof line); });
  trickle.join();
  EXPECT_EQ(result, -1);
  EXPECT_GE(ms, 495);
  EXPECT_LT(ms, 1900);
}

TEST_F(LineReader, ALineCompletedInTimeIsReturned) {
  std::thread late([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    peer.send("OK\r\n");
  });
  char line[7];
  EXPECT_EQ(devReadCrLine(line, sizeof line), 2);
  late.join();
  EXPECT_STREQ(line, "OK");
}

TEST_F(LineReader, FlushDiscardsEverythingWaiting) {
  peer.send(std::string(300, 'z') + "\r\n");
  settle();
  ASSERT_GT(comBytesWaiting(&devicePort), 0);
  devFlushInput();
  EXPECT_EQ(comBytesWaiting(&devicePort), 0);
  char line[7];
  EXPECT_EQ(devReadCrLine(line, sizeof line), -1);
}

TEST_F(LineReader, SendRoutinesWriteExactlyTheirBytes) {
  devSend("J\r\n");
  devSendChar(0x1B);
  devSendChar(0x13F);  // only the low 8 bits: '?'
  devPrintf("W %u %u\r\n", 268435456u, 4u);
  devPrintf("%u\r\n", 4294967295u);
  EXPECT_EQ(peer.receive(), "J\r\n\x1b?W 268435456 4\r\n4294967295\r\n");
}

// The per-byte step on its own, including the edges a port cannot easily produce.
TEST(LineAcceptByte, StepsThroughALine) {
  char buffer[3];
  int stored = 0;
  EXPECT_EQ(lineAcceptByte(buffer, 3, &stored, 'A', "\r"), kLineStored);
  EXPECT_EQ(lineAcceptByte(buffer, 3, &stored, '\0', "\r"), kLineDropped)
      << "NUL is never a terminator";
  EXPECT_EQ(lineAcceptByte(buffer, 3, &stored, 0x9B, "\r"), kLineDropped);
  EXPECT_EQ(lineAcceptByte(buffer, 3, &stored, 'B', "\r"), kLineStored);
  EXPECT_EQ(lineAcceptByte(buffer, 3, &stored, '\r', "\r"), kLineTerminated);
  EXPECT_EQ(stored, 2);
  EXPECT_STREQ(buffer, "AB");
}

TEST(LineAcceptByte, NeverWritesPastTheBuffer) {
  char buffer[4] = {'a', 'b', 'c', 'd'};
  int stored = 2;
  EXPECT_EQ(lineAcceptByte(buffer, 2, &stored, '\r', "\r"), kLineFull);
  EXPECT_EQ(lineAcceptByte(buffer, 2, &stored, 'Z', "\r"), kLineFull);
  EXPECT_EQ(stored, 2);
  EXPECT_EQ(buffer[2], 'c');
  stored = 0;
  EXPECT_EQ(lineAcceptByte(buffer, 0, &stored, '\r', "\r"), kLineFull);
  EXPECT_EQ(buffer[0], 'a');
  // A buffer of one holds only the empty line.
  EXPECT_EQ(lineAcceptByte(buffer, 1, &stored, '$', "$\r"), kLineTerminated);
  EXPECT_EQ(buffer[0], '\0');
}

}  // namespace
