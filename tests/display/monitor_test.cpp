// The switch's console messages: collection, keyword dispatch, progress lines, ready message.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "driver/monitor.h"
#include "driver/run_state.h"
#include "support/clock.h"

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
    for (char byte : bytes) monitorFeed(static_cast<unsigned char>(byte));
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
  }
};

std::string progress(const char* bank, const char* percent, bool newLine = false) {
  return std::string(newLine ? "\n" : "") + "\rUpdating DSPs: Bank = " + bank +
         ", Complete = " + percent + "%";
}

// One transcript: each row's bytes follow the previous row's, as on the wire.
TEST_F(Monitor, Transcript) {
  const std::string spaces(300, ' ');
  const struct {
    std::string bytes, output;
    int ready;
  } rows[] = {
      {"^=P$", "", 1}, {"^=PX$", "", 0}, {"^=P1$", "", 1}, {"=P$", "", 1},  // "^" is optional
      {"^=P\r\n$", "", 1}, {"^=\x80\xFFP$", "", 1},  // control and high bytes are dropped
      {"ab^=P$", "", 1},  // collected text is dropped at the "^"
      {"^!100,2,0$", progress("2", " 16", true), 0}, {"^!100,2,5$", progress("2", "100"), 0},
      {"^!100;7;3$", progress("7", " 66"), 0},  // separators are not examined
      {"^! 100,1,1$", progress("1", " 33"), 0}, {"^!+100,1,2$", progress("1", " 50"), 0},
      {"^!100,1,4$", progress("1", " 83"), 0},
      {"^! boot ok$", "! boot ok$", 0}, {"^!42$", "!42$", 0}, {"^!Hello$", "", 0},
      {"^!" + spaces + "$", std::string("!").append(253, ' ') + "$", 0},
      {"^!" + std::string(252, '-') + "x$", "!" + std::string(252, '-') + "x$", 0},  // fits
      {"^=SZ anything 123$", "", 0}, {"^=V 4.02 Sonarch60$", "", 0}, {"^hello$", "", 0},
      {"^!10", "", 0}, {"0,4,0$", progress("4", " 16", true), 0}, {"^!junk^!42$", "!42$", 0},
      // Missing fields count as 0; nothing behind the message's NUL is read.
      {"^!100$", progress("0", " 16", true), 0}, {"^!100,2$", progress("2", " 16", true), 0},
      {"^!100,12345$", progress("12345", " 16", true), 0},
      {"^!100$", progress("0", " 16", true), 0},
      {"^!" + std::string(250, ' ') + "100$", progress("0", " 16", true), 0},
      {"^!" + std::string(248, ' ') + "100,5$", progress("5", " 16", true), 0},
      // A step outside 0 to 5 still gives a percentage from 0 to 100.
      {"^!100,-1,-1$", progress("4294967295", "  0"), 0},
      {"^!100,3,6$", progress("3", "100"), 0}, {"^!100,3,-8$", progress("3", "  0"), 0},
      {"^!100,3,-2147483648$", progress("3", "  0"), 0},
      {"^!100," + std::string(20, '9') + "," + std::string(20, '9') + "$",
       progress("2147483647", "100"), 0},
      {"^!100000000000000000000100,1,1$", "!100000000000000000000100,1,1$", 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.bytes);
    switchReady = 0;
    EXPECT_EQ(feed(row.bytes), row.output);
    EXPECT_EQ(switchReady, row.ready);
  }
  EXPECT_EQ(std::string(monitorLine), "!100000000000000000000100,1,1$");
  EXPECT_EQ(monitorLength, 0);
}

TEST_F(Monitor, SignOfLifeDispatchResultAndLengthSetFromOutside) {
  feed("^!42$^=P$^! boot$");  // only progress messages are signs of life
  EXPECT_EQ(activityClock, 0u);
  const std::uint32_t before = clockNow();
  activityClock = before - 1;  // outside the window below unless set anew
  feed("^!100,2,0$");
  EXPECT_LE(activityClock - before, clockNow() - before);

  for (const auto& [message, result] :
       {std::pair{"=SZ$", kDispatchHandled}, {"=V$", kDispatchHandled}, {"=P$", kDispatchHandled},
        {"=PA$", kDispatchNoKeyword}, {"=S$", kDispatchNoKeyword}, {"", kDispatchNoKeyword},
        {"=", kDispatchNoKeyword}}) {
    std::strcpy(monitorLine, message);
    EXPECT_EQ(monitorDispatch(monitorLine), result) << message;
  }
  switchReady = 0;
  monitorLength = 1000;
  EXPECT_EQ(feed("=P$"), "");
  EXPECT_EQ(switchReady, 1);
  monitorLength = -5;
  EXPECT_EQ(feed("!42$"), "!42$");
}

}  // namespace
