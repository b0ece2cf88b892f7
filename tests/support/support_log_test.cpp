// The support log's writer on its own: how line traffic and console texts become records, when
// a Write-to-RAM block is shortened, what the file must be and what happens when it fills up.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "isp/isp_transfer.h"
#include "support/platform.h"
#include "support/support_log.h"
#include "tests/common/support_log_reader.h"

namespace {

using vlfwu_test::LogRecord;
using vlfwu_test::SupportLog;

class SupportLogWriter : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vlfwu-log-test-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    path_ = dir_ + "/support.log";
  }
  void TearDown() override {
    logClose();
    std::filesystem::remove_all(dir_);
  }

  void open() {
    char why[160] = "";
    ASSERT_EQ(logOpen(path_.c_str(), why, sizeof why), kLogOpened) << why;
  }
  std::string content() const {
    std::ifstream in(path_, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  SupportLog closeAndRead() {
    logClose();
    SupportLog log;
    std::string why;
    EXPECT_TRUE(vlfwu_test::readSupportLog(content(), &log, &why)) << why << "\n" << content();
    return log;
  }
  // Each record as "tag text", with the bytes of a quoted record rather than their escapes.
  static std::vector<std::string> texts(const SupportLog& log) {
    std::vector<std::string> all;
    for (const LogRecord& record : log.records) {
      all.push_back(record.tag + " " + (record.quoted ? record.bytes : record.text));
    }
    return all;
  }

  std::string dir_;
  std::string path_;
};

void send(const std::string& bytes) { logSent(bytes.data(), static_cast<int>(bytes.size())); }
void receive(const std::string& bytes) { logReceived(bytes.data(), static_cast<int>(bytes.size())); }

// One UU data line of n bytes of value, with its line end, as the update sends it.
std::string dataLine(int n, std::uint8_t value) {
  std::uint8_t bytes[45];
  std::fill(bytes, bytes + n, value);
  char line[kUuLineChars + 1];
  uuEncodeLine(line, bytes, n);
  return std::string(line) + "\r\n";
}

// A Write-to-RAM block of two data lines, up to the switch's answer to its checksum.
std::string writeBlock(const std::string& answer) {
  const std::string lines = dataLine(45, 0x11) + dataLine(3, 0x22);
  send("W 268435456 48\r\n");
  receive("0\r");
  send(dataLine(45, 0x11));
  send(dataLine(3, 0x22));
  send("831\r\n");
  receive(answer);
  return lines;
}

TEST_F(SupportLogWriter, WriteToRamBlockIsShortenedOnlyWhenTheSwitchAnsweredOk) {
  open();
  const std::string lines = writeBlock("\nOK\r");
  writeBlock("\nRESEND\r");
  send("W 268435456 48\r\n");
  receive("\n0\r");
  send(dataLine(45, 0x11));
  logEvent("step", "no answer");  // the switch fell silent in the middle of the block
  const SupportLog log = closeAndRead();

  char summary[96];
  std::snprintf(summary, sizeof summary, "sent [2 UU lines, %zu bytes, FNV-1a 0x%08X]", lines.size(),
                static_cast<unsigned>(vlfwu_test::fnv1a(lines)));
  const std::vector<std::string> expected = {
      "sent W 268435456 48\r\n", "recv 0\r",
      summary,  // answered OK: shortened
      "sent 831\r\n", "recv \nOK\r",
      "sent W 268435456 48\r\n", "recv 0\r",
      "sent " + dataLine(45, 0x11), "sent " + dataLine(3, 0x22),  // answered RESEND: whole
      "sent 831\r\n", "recv \nRESEND\r",
      "sent W 268435456 48\r\n", "recv \n0\r",
      "sent " + dataLine(45, 0x11),  // never answered: whole
      "step no answer",
  };
  EXPECT_EQ(texts(log), expected);
}

TEST_F(SupportLogWriter, LineTrafficEndsItsRecordsAtLineEndsTurnsPausesAndItsBound) {
  open();
  send("U 23130\r\nP 0 9");  // one write holding a line and the start of the next
  send(" 0\r\n");
  receive("0");
  receive("\r");  // the switch's line ends at its CR; the LF comes with the next reply
  receive("\n0\r");
  receive(std::string(300, 'x'));
  send("^V$");
  platformSleepMs(80);  // a pause on the line: the switch's answer is a record of its own
  send("^V$");
  receive(std::string("\x1B\x80\"\\", 4));
  const SupportLog log = closeAndRead();
  const std::vector<std::string> expected = {
      "sent U 23130\r\n", "sent P 0 9 0\r\n", "recv 0\r", "recv \n0\r",
      "recv " + std::string(128, 'x'), "recv " + std::string(128, 'x'), "recv " + std::string(44, 'x'),
      "sent ^V$", "sent ^V$", std::string("recv \x1B\x80\"\\", 9),
  };
  EXPECT_EQ(texts(log), expected);
}

TEST_F(SupportLogWriter, ConsoleRecordsAreTheLinesTheUserReads) {
  open();
  for (const char* text : {"\nValtrane / Omrix firmware update utility. Version 2.4", "\nCopyright.\n",
                           "Firmware validated.\n", "Firmware validated.\n", "\nCOM3: ", "An X was found", "\n",
                           "\nUpdating firmware:   0% complete.", "\rUpdating firmware:   3% complete.",
                           "\n\nError 4: Lost the connection.\n"}) {
    logConsole(text, static_cast<int>(std::strlen(text)));
  }
  logKey('Y');
  logKey(0);
  logKey(kKeyEndOfInput);
  logOutcome("outcome: no update was made");
  const SupportLog log = closeAndRead();
  const std::vector<std::string> expected = {
      "con \nValtrane / Omrix firmware update utility. Version 2.4",
      "con \nCopyright.\n",
      "con Firmware validated.\n",
      "con Firmware validated.\n",
      "con \nCOM3: An X was found",
      "con \n\nUpdating firmware:   0% complete.",
      "con \rUpdating firmware:   3% complete.",
      "con \n\nError 4: Lost the connection.\n",
      "key 0x59 'Y'",
      "key 0x00 (an extended key; its code follows)",
      "key none: the input has ended",
      "run outcome: no update was made; last message \"Error 4: Lost the connection.\"",
  };
  EXPECT_EQ(texts(log), expected);
  EXPECT_EQ(vlfwu_test::loggedConsole(log),
            "\nValtrane / Omrix firmware update utility. Version 2.4\nCopyright.\nFirmware validated.\nFirmware "
            "validated.\n\nCOM3: An X was found\n\nUpdating firmware:   0% complete.\rUpdating firmware:   3% "
            "complete.\n\nError 4: Lost the connection.\n");
}

TEST_F(SupportLogWriter, EveryByteValueReadsBackAsItWasSent) {
  open();
  std::string all;
  for (int byte = 0; byte < 256; ++byte) {
    all.push_back(static_cast<char>(byte));
  }
  send(all);
  logConsole(all.data(), static_cast<int>(all.size()));
  const SupportLog log = closeAndRead();
  EXPECT_TRUE(vlfwu_test::sameLineBytes(log, "sent", all));
  EXPECT_EQ(vlfwu_test::loggedConsole(log), all);
}

TEST_F(SupportLogWriter, ExistingFileIsAppendedToAfterASeparatorAndOtherFilesAreRefused) {
  { std::ofstream(path_) << "earlier\n"; }
  open();
  logHeader("argument", "\"3\"");
  logConsole("x", 1);
  logClose();
  const std::string text = content();
  const std::string start = "earlier\n" + std::string(72, '=') + "\nvlfwu support log\n  argument  \"3\"\n";
  EXPECT_EQ(text.rfind(start, 0), 0u) << text;
  EXPECT_EQ(text.substr(start.size() + 9), " con  \"x\"\n") << text;

  char why[160] = "";
  EXPECT_EQ(logOpen(dir_.c_str(), why, sizeof why), kLogUnwritable);
  EXPECT_STRNE(why, "");
  EXPECT_EQ(logOpen((dir_ + "/none/x.log").c_str(), why, sizeof why), kLogUnwritable);
  EXPECT_STREQ(why, "No such file or directory (errno 2)");
  EXPECT_EQ(logOpen("/dev/full", why, sizeof why), kLogUnwritable);
  EXPECT_STREQ(why, "No space left on device (errno 28)");
  EXPECT_EQ(logOpen("", why, sizeof why), kLogUnwritable);
  EXPECT_FALSE(logActive());
  // Nothing is logged, and nothing breaks, while no log is open.
  send("U 23130\r\n");
  logConsole("x", 1);
  EXPECT_EQ(logKey('k'), 'k');
  char error[16] = "untouched";
  logSystemError(error, sizeof error);
  EXPECT_STREQ(error, "");
}

// The disk fills up in the middle of the run: the log ends quietly, whole lines up to there.
TEST_F(SupportLogWriter, LogThatCanNoLongerBeWrittenEndsQuietly) {
  open();
  send("first\r\n");
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  struct sigaction ignore{};
  struct sigaction previous{};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGXFSZ, &ignore, &previous);
  rlimit small = saved;
  small.rlim_cur = 4096;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  for (int i = 0; i < 500; ++i) {
    send("a line of traffic that fills the disk\r\n");
  }
  const bool stillActive = logActive();
  setrlimit(RLIMIT_FSIZE, &saved);
  sigaction(SIGXFSZ, &previous, nullptr);
  EXPECT_FALSE(stillActive);
  const std::string text = content();
  EXPECT_LE(text.size(), 4096u);
  // Up to the line the disk had no more room for, every line is a record.
  const std::string whole = text.substr(0, text.rfind('\n') + 1);
  SupportLog log;
  std::string why;
  ASSERT_TRUE(vlfwu_test::readSupportLog(whole, &log, &why)) << why;
  EXPECT_GT(log.records.size(), 50u);
  EXPECT_EQ(log.records.at(0).bytes, "first\r\n");
}

}  // namespace
