// The switch's console messages: collection, keyword dispatch, progress lines, ready message.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "driver/clock.h"
#include "driver/monitor.h"
#include "driver/run_state.h"

namespace {

class Monitor : public testing::Test {
 protected:
  void SetUp() override {
    std::memset(monitorLine, 0, sizeof monitorLine);
    monitorLength = 0;
    switchReady = 0;
    activityClock = 0;
  }

  // Feeds the bytes and returns what the monitor wrote.
  static std::string feed(const std::string& bytes) {
    std::fflush(stdout);
    testing::internal::CaptureStdout();
    for (char byte : bytes) {
      monitorFeed(static_cast<unsigned char>(byte));
    }
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
  }
};

std::string progressLine(const char* bank, const char* percent) {
  return std::string("\rUpdating DSPs: Bank = ") + bank + ", Complete = " + percent + "%";
}

TEST_F(Monitor, ReadyMessage) {
  EXPECT_EQ(feed("^=P$"), "");
  EXPECT_EQ(switchReady, 1);

  switchReady = 0;
  EXPECT_EQ(feed("^=PX$"), "");  // a letter after the keyword
  EXPECT_EQ(switchReady, 0);

  EXPECT_EQ(feed("^=P1$"), "");
  EXPECT_EQ(switchReady, 1);

  switchReady = 0;
  EXPECT_EQ(feed("^=P\r\n$"), "");  // control characters are dropped
  EXPECT_EQ(switchReady, 1);

  switchReady = 0;
  EXPECT_EQ(feed("ab^=P$"), "");  // collected text is dropped at the "^"
  EXPECT_EQ(switchReady, 1);

  switchReady = 0;
  EXPECT_EQ(feed("=P$"), "");  // no "^": collected all the same
  EXPECT_EQ(switchReady, 1);

  switchReady = 0;
  EXPECT_EQ(feed("^=\x80\xFFP$"), "");  // bytes above 0x7F are dropped too
  EXPECT_EQ(switchReady, 1);
}

TEST_F(Monitor, ProgressLines) {
  const std::uint32_t before = clockNow();
  EXPECT_EQ(feed("^!100,2,0$"), "\n" + progressLine("2", " 16"));
  const std::uint32_t after = clockNow();
  EXPECT_LE(activityClock - before, after - before);  // set to the clock of that moment

  EXPECT_EQ(feed("^!100,2,5$"), progressLine("2", "100"));
  EXPECT_EQ(feed("^!100;7;3$"), progressLine("7", " 66"));  // separators are not examined

  std::string all;
  for (char step = '0'; step <= '5'; step++) {
    all += feed(std::string("^!100,1,") + step + "$");
  }
  EXPECT_EQ(all, "\n" + progressLine("1", " 16") + progressLine("1", " 33") +
                     progressLine("1", " 50") + progressLine("1", " 66") +
                     progressLine("1", " 83") + progressLine("1", "100"));

  EXPECT_EQ(feed("^! 100,3,1$"), progressLine("3", " 33"));  // strtol skips leading blanks
  EXPECT_EQ(feed("^!+100,3,2$"), progressLine("3", " 50"));
  EXPECT_EQ(switchReady, 0);
}

TEST_F(Monitor, OtherBangMessagesAreShownAsTheyCame) {
  EXPECT_EQ(feed("^! boot ok$"), "! boot ok$");
  EXPECT_EQ(feed("^!42$"), "!42$");
  EXPECT_EQ(feed("^!$"), "!$");
  EXPECT_EQ(feed("^!Hello$"), "");  // a letter follows the "!"
  EXPECT_EQ(activityClock, 0u);      // only progress messages are signs of life
}

TEST_F(Monitor, OverlongMessageIsCut) {
  const std::string cut = "!" + std::string(253, ' ') + "$";
  EXPECT_EQ(feed("^!" + std::string(300, ' ') + "$"), cut);
  EXPECT_EQ(std::string(monitorLine), cut);
  EXPECT_EQ(monitorLength, 0);

  // Exactly 254 characters fit without being cut.
  EXPECT_EQ(feed("^!" + std::string(252, '-') + "x$"), "!" + std::string(252, '-') + "x$");
}

TEST_F(Monitor, IgnoredMessages) {
  EXPECT_EQ(feed("^=SZ anything 123$"), "");
  EXPECT_EQ(feed("^=V 4.02 Sonarch60$"), "");
  EXPECT_EQ(feed("^=VX$"), "");
  EXPECT_EQ(feed("^hello$"), "");
  EXPECT_EQ(feed("^$"), "");
  EXPECT_EQ(switchReady, 0);
}

TEST_F(Monitor, MessageCollectedAcrossCallsAndRestartedByCaret) {
  EXPECT_EQ(feed("^!10"), "");
  EXPECT_EQ(monitorLength, 3);
  EXPECT_EQ(feed("0,4,0$"), "\n" + progressLine("4", " 16"));
  EXPECT_EQ(feed("^!junk^!42$"), "!42$");
}

TEST_F(Monitor, DispatchResultAndTableOrder) {
  std::strcpy(monitorLine, "=SZ$");
  EXPECT_EQ(monitorDispatch(monitorLine), 0);
  std::strcpy(monitorLine, "=V$");
  EXPECT_EQ(monitorDispatch(monitorLine), 0);
  std::strcpy(monitorLine, "=P$");
  EXPECT_EQ(monitorDispatch(monitorLine), 0);
  EXPECT_EQ(switchReady, 1);
  std::strcpy(monitorLine, "=PA$");
  EXPECT_EQ(monitorDispatch(monitorLine), 1);
  std::strcpy(monitorLine, "=S$");  // shorter than "=SZ": stops inside the message
  EXPECT_EQ(monitorDispatch(monitorLine), 1);
  std::strcpy(monitorLine, "");
  EXPECT_EQ(monitorDispatch(monitorLine), 1);
  std::strcpy(monitorLine, "=");
  EXPECT_EQ(monitorDispatch(monitorLine), 1);
}

// A progress message that ends before its fields counts them as 0 and never reads beyond
// its own terminating NUL, whatever an earlier message left behind it.
TEST_F(Monitor, TruncatedProgressMessages) {
  EXPECT_EQ(feed("^!100$"), "\n" + progressLine("0", " 16"));
  EXPECT_EQ(feed("^!100,2$"), "\n" + progressLine("2", " 16"));
  EXPECT_EQ(feed("^!100,$"), "\n" + progressLine("0", " 16"));

  // Leave digits behind the NUL of the next, shorter message.
  feed("^!100,12345$");
  EXPECT_EQ(feed("^!100$"), "\n" + progressLine("0", " 16"));

  // The number ends right before the "$" in the last slot, so the NUL is the buffer's last
  // byte: stepping over it would leave monitorLine.
  EXPECT_EQ(feed("^!" + std::string(250, ' ') + "100$"), "\n" + progressLine("0", " 16"));
  EXPECT_EQ(feed("^!" + std::string(248, ' ') + "100,5$"), "\n" + progressLine("5", " 16"));
}

TEST_F(Monitor, OutOfRangeNumbersDoNotMisbehave) {
  EXPECT_EQ(feed("^!100,-1,-1$"), progressLine("4294967295", "  0"));
  EXPECT_EQ(feed("^!100,99999999999999999999,99999999999999999999$"),
            progressLine("2147483647", "1431655765"));
  EXPECT_EQ(feed("^!100000000000000000000100,1,1$"), "!100000000000000000000100,1,1$");
}

TEST_F(Monitor, LengthSetOutsideTheCollectorRestarts) {
  monitorLength = 1000;
  EXPECT_EQ(feed("=P$"), "");
  EXPECT_EQ(switchReady, 1);
  monitorLength = -5;
  EXPECT_EQ(feed("!42$"), "!42$");
}

}  // namespace
