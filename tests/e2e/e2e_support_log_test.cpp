// The support log of whole runs, read as support reads it when an update fails in the field:
// what ran where, every byte both ways (against the simulated switch's own transcript), the
// console and the keys, each step's named result and the outcome; and a log that cannot be
// written, which costs the run one line and nothing else.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>

#include "tests/common/e2e_harness.h"

namespace vlfwu_e2e {
namespace {

using vlfwu_test::LogRecord;
using vlfwu_test::recordTexts;
using vlfwu_test::SupportLog;

const std::string kS60 = "Sonarch60";

std::uint32_t length(int image) { return embeddedImage(image).header->firmwareLength; }
std::string asked(const char* version, char answer) {
  return portText(kPort, foundText(kS60, version)) + questionText(Comparison::Newer, kS60, version, answer);
}

// The header line of compiled-in image index, from its own bytes.
std::string imageLine(int index) {
  const t_FirmwareImage image = embeddedImage(index);
  const t_FirmwareHeader& header = *image.header;
  const std::uint8_t* crc = image.image + header.imageLength - 4;
  char text[200];
  std::snprintf(text, sizeof text, "%s: model %u, PCB revision %u, version 4.02, length %u bytes, CRC-32 0x%08X",
                header.productName, header.modelNumber, header.pcbRevision, header.imageLength,
                crc[0] | crc[1] << 8 | crc[2] << 16 | static_cast<unsigned>(crc[3]) << 24);
  return text;
}

std::size_t countWith(const std::vector<std::string>& texts, const std::string& start) {
  std::size_t count = 0;
  for (const std::string& text : texts) {
    count += text.rfind(start, 0) == 0;
  }
  return count;
}

// The index of the first record from `from` on with this tag whose text starts with start.
std::size_t findRecord(const SupportLog& log, const std::string& tag, const std::string& start, std::size_t from = 0) {
  for (std::size_t i = from; i < log.records.size(); ++i) {
    if (log.records[i].tag == tag && log.records[i].text.rfind(start, 0) == 0) {
      return i;
    }
  }
  return log.records.size();
}

std::size_t findRecordWith(const SupportLog& log, const std::string& tag, const std::string& part, std::size_t from) {
  for (std::size_t i = from; i < log.records.size(); ++i) {
    if (log.records[i].tag == tag && log.records[i].bytes.find(part) != std::string::npos) {
      return i;
    }
  }
  return log.records.size();
}

// The blocks an update of a firmware region of this length writes: 4096, 1024 and 512 bytes
// after the head block, a padded tail, the table's one block and the head block.
std::size_t blocksOf(std::uint32_t firmwareLength) {
  std::uint32_t remaining = firmwareLength - 512;
  std::size_t blocks = remaining / 4096;
  remaining %= 4096;
  blocks += remaining / 1024;
  remaining %= 1024;
  blocks += remaining / 512 + (remaining % 512 != 0);
  return blocks + 2;
}

TEST_F(EndToEnd, SupportLogOfAFullUpdateHoldsEveryByteTextKeyAndStep) {
  ASSERT_TRUE(startSim(kPort, 0, "4.01", {"--log", simLogFile()}));
  expectRun({"3"}, {{kPort, link(kPort)}}, {"Y"}, asked("4.01", 'Y') + updateText(length(0), 2));
  stopSims();
  expectLogMatchesSim();
  const SupportLog log = readLog();

  EXPECT_EQ(vlfwu_test::headerField(log, "argument"), "\"3\"");
  EXPECT_EQ(vlfwu_test::headerField(log, "ports"), "COM3");
  EXPECT_EQ(vlfwu_test::headerField(log, "image 1"), imageLine(0));
  EXPECT_EQ(vlfwu_test::headerField(log, "image 2"), imageLine(1));
  EXPECT_TRUE(std::regex_match(vlfwu_test::headerField(log, "started"),
                               std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d [+-]\d{4})")))
      << vlfwu_test::headerField(log, "started");
  EXPECT_EQ(vlfwu_test::headerField(log, "platform").rfind("Linux ", 0), 0u);

  const std::vector<std::string> port = recordTexts(log, "port");
  ASSERT_FALSE(port.empty());
  EXPECT_EQ(port.front().rfind("COM3 (" + link(kPort) + ") opened: 19200 baud, 8 data bits, no parity, 1 stop bit, "
                               "flow control none",
                               0),
            0u)
      << port.front();
  EXPECT_GT(countWith(port, "rate 115200 baud"), 0u);
  EXPECT_GT(countWith(port, "rate 19200 baud"), 0u);
  EXPECT_EQ(port.back(), "closed");

  // Every step of the update, in its order, by name.
  const std::vector<std::string> steps = recordTexts(log, "step");
  const std::size_t blocks = blocksOf(length(0));
  EXPECT_EQ(countWith(steps, "erase: ok"), 2u);
  EXPECT_EQ(countWith(steps, "copy: ok"), blocks);
  EXPECT_EQ(countWith(steps, "compare: equal"), blocks);
  std::size_t at = 0;
  for (const char* step : {"sync: the switch's firmware answered at 19200 baud",
                           "sync: the bootloader is synchronised at 115200 baud", "unlock: ok",
                           "erase: ok", "copy: ok", "compare: equal", "erase: ok", "copy: ok", "compare: equal",
                           // The table is read back before the head block goes in.
                           "table check: sound (0)", "copy: ok", "compare: equal", "part identification: 0x", "table check: sound (0)", "unlock: ok", "go: ok",
                           "restart: the G command went out and was not refused",
                           "update: programmed, verified and restarted (0)"}) {
    at = findRecord(log, "step", step, at);
    ASSERT_LT(at, log.records.size()) << "no step \"" << step << "\" in its place";
  }

  EXPECT_EQ(recordTexts(log, "key"), (std::vector<std::string>{"0x59 'Y'", "0x78 'x'"}));
  EXPECT_EQ(recordTexts(log, "run").at(0).rfind("outcome: updated; the switch restarted and said it is ready", 0), 0u);

  // One "W" carries a whole copy block on this clean line, in blocks of 900 bytes and the rest:
  // every block was answered OK, so every one is shortened; the log stays small.
  std::size_t writes = 0;
  std::size_t dataBlocks = 0;
  std::size_t shortened = 0;
  for (const LogRecord& record : log.records) {
    unsigned address = 0, count = 0;
    if (record.tag == "sent" && std::sscanf(record.bytes.c_str(), "W %u %u", &address, &count) == 2) {
      ++writes;
      dataBlocks += (count + 899u) / 900u;
    }
    shortened += record.tag == "sent" && record.shortened;
  }
  EXPECT_EQ(writes, blocks);  // a "W" for each copy block
  EXPECT_EQ(shortened, dataBlocks);
  EXPECT_LT(std::filesystem::file_size(logFile()), 200u * 1024u);
}

// Power is lost right after the 10th copy was answered: the compare after it gets no answer.
TEST_F(EndToEnd, SupportLogOfAPowerLossMidCopyShowsTheLastExchangesAndTheFailure) {
  ASSERT_TRUE(startSim(kPort, 0, "4.01", {"--fault", "power-loss-after-copy=10", "--log", simLogFile()}));
  expectRun({"3"}, {{kPort, link(kPort)}}, {"Y"},
            asked("4.01", 'Y') + progressText(length(0), 10) +
                "\n\nError 4: Lost the connection to the switch! Check cables and power.\n"
                "\nNo Valtrane device found on COM3.\n");
  stopSims();
  expectLogMatchesSim();
  const SupportLog log = readLog();

  const std::vector<std::string> steps = recordTexts(log, "step");
  EXPECT_EQ(countWith(steps, "copy: ok"), 10u);
  std::size_t tenth = 0;
  for (int copy = 0; copy < 10; ++copy) {
    tenth = findRecord(log, "step", "copy: ok", copy == 0 ? 0 : tenth + 1);
  }
  ASSERT_LT(tenth, log.records.size());
  // The last exchanges: the 10th copy answered, its compare sent and never answered.
  const std::size_t copyLine = findRecord(log, "sent", "\"C ");
  std::size_t lastCopy = copyLine;
  for (std::size_t i = copyLine; i < tenth; i = findRecord(log, "sent", "\"C ", i + 1)) {
    lastCopy = i;
  }
  const std::string address = log.records[lastCopy].bytes.substr(2, log.records[lastCopy].bytes.find(' ', 2) - 2);
  EXPECT_EQ(log.records[lastCopy].bytes, "C " + address + " 268435456 4096\r\n");
  const std::size_t compare = findRecord(log, "sent", "\"M ", tenth);
  ASSERT_LT(compare, log.records.size());
  EXPECT_EQ(log.records[compare].bytes, "M " + address + " 268435456 4096\r\n");
  const std::size_t failure = findRecord(log, "step", "compare: failed (no answer, a damaged one, or an echo that differs)", compare);
  ASSERT_LT(failure, log.records.size());
  // Only the line feed of the copy's answer is read after it.
  for (std::size_t i = compare; i < log.records.size(); ++i) {
    if (log.records[i].tag == "recv") {
      EXPECT_EQ(log.records[i].bytes, "\n") << "the switch answered after the compare, at " << log.records[i].ms;
    }
  }
  const std::size_t message = findRecordWith(log, "con", "\n\nError 4: Lost the connection", failure);
  ASSERT_LT(message, log.records.size());
  EXPECT_LT(findRecord(log, "step", "update: failed (1)", message), log.records.size());
  // The loop looks for the switch once more and finds nothing.
  EXPECT_LT(findRecord(log, "step", "sync: nothing recognised in 4 attempts", message), log.records.size());
  EXPECT_EQ(recordTexts(log, "run"),
            (std::vector<std::string>{"outcome: not updated; the last update failed (1); last message \"No Valtrane "
                                      "device found on COM3.\""}));
}

// The line the run prints first, about a log that cannot be written.
std::string notWritten(const std::string& path, const std::string& why) {
  return "Support log not written: \"" + path + "\": " + why + ". The run goes on without it.\n";
}

TEST_F(EndToEnd, SupportLogThatCannotBeWrittenCostsTheRunOneLineAndNothingElse) {
  expectLog_ = false;
  // A folder that does not exist: the whole update runs and installs the image.
  logSettingOverride_ = dir_ + "/no-such-folder/vlfwu.log";
  consolePrefix_ = notWritten(logSettingOverride_, "No such file or directory (errno 2)");
  ASSERT_TRUE(startSim(kPort, 0, "4.01"));
  expectRun({"3"}, {{kPort, link(kPort)}}, {"Y"}, asked("4.01", 'Y') + updateText(length(0), 2));
  stopSims();
  EXPECT_EQ(flashMismatch(readFile(flash(kPort)), embeddedImage(0)), "");
  EXPECT_FALSE(std::filesystem::exists(logSettingOverride_));

  // A full disk.
  logSettingOverride_ = "/dev/full";
  consolePrefix_ = notWritten(logSettingOverride_, "No space left on device (errno 28)");
  ASSERT_TRUE(startSim(kPort, 0, "4.02"));
  expectRun({"3"}, {{kPort, link(kPort)}}, {"N"},
            portText(kPort, foundText(kS60, "4.02")) + questionText(Comparison::Same, kS60, "4.02", 'N') + kCanceled);
}

TEST_F(EndToEnd, SupportLogIsAppendedToAfterASeparatorAndNamesAPortItCouldNotOpen) {
  const std::string earlier = "notes of an earlier run\n";
  {
    std::ofstream out(logFile(), std::ios::binary);
    out << earlier;
  }
  expectRun({"5"}, {}, {}, portText(5, kCouldNotOpen) + kNoneFound);
  expectRun({"5"}, {}, {}, portText(5, kCouldNotOpen) + kNoneFound);
  const std::vector<std::uint8_t> bytes = readFile(logFile());
  const std::string content(bytes.begin(), bytes.end());
  const std::string separated = earlier + std::string(72, '=') + "\nvlfwu support log\n";
  EXPECT_EQ(content.rfind(separated, 0), 0u) << content.substr(0, 200);
  EXPECT_NE(content.find("\n" + std::string(72, '=') + "\nvlfwu support log\n", separated.size()), std::string::npos)
      << "no separator before the second run";

  const SupportLog log = readLog();
  EXPECT_EQ(log.runs, 2);
  EXPECT_EQ(vlfwu_test::headerField(log, "argument"), "\"5\"");
  EXPECT_EQ(recordTexts(log, "port"),
            (std::vector<std::string>{"COM5 (" + dir_ + "/absent5) refused: No such file or directory (errno 2)"}));
  EXPECT_EQ(recordTexts(log, "run"),
            (std::vector<std::string>{"outcome: no update was made; last message \"No updatable Valtrane devices "
                                      "found.\""}));
}

// A commit of the log to the disk costs milliseconds. Made right after bytes went out, it
// overlaps the switch's answer; made between reading a reply and sending the next line, it
// holds the line up. Every commit of a whole update is traced among the port's writes, reads
// and waits: none may come after a read or a wait and be followed by a write.
TEST_F(EndToEnd, SupportLogIsCommittedRightAfterBytesWentOutOrAsTheRunWaitsNeverBeforeALine) {
  const std::string trace = dir_ + "/commits.txt";
  runEnvironment_ = {{"LD_PRELOAD", VLFWU_COMMIT_TRACE},
                     {"VLFWU_TEST_COMMIT_TRACE", trace},
                     // the sanitizer build's runtime otherwise insists on being first
                     {"ASAN_OPTIONS", "verify_asan_link_order=0"}};
  ASSERT_TRUE(startSim(kPort, 0, "4.01"));
  expectRun({"3"}, {{kPort, link(kPort)}}, {"Y"}, asked("4.01", 'Y') + updateText(length(0), 2));

  std::ifstream in(trace);
  int commits = 0;
  int afterWrites = 0;
  std::string beforeLines;
  for (std::string line; std::getline(in, line);) {
    ASSERT_GE(line.size(), 4u) << line;
    ++commits;
    const char before = line[0];
    const char after = line[2];
    afterWrites += before == 'W';
    if (after == 'W' && before != 'W') {
      beforeLines += "\n  after " + std::string(before == 'R' ? "a read" : before == 'P' ? "a wait" : "no port operation") +
                     ", before the write of \"" + line.substr(4) + "\"";
    }
  }
  EXPECT_EQ(beforeLines, "") << "commits between the line's last read or wait and a write:";
  // An update takes seconds: commits come once a second as bytes go out.
  EXPECT_GE(afterWrites, 1) << commits << " commits in all";
}

}  // namespace
}  // namespace vlfwu_e2e
