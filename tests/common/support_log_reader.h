#pragma once
// Reads a support log (VLFWU_LOG) as support would, and the simulated switch's own transcript
// (switch-sim --log), so that tests can hold the one against the other.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vlfwu_test {

struct LogRecord {
  unsigned ms = 0;   // since the start of the run
  std::string tag;   // sent, recv, con, key, port, step, run
  std::string text;  // the rest of the line as written
  // sent, recv and con: the bytes of a quoted record; for a shortened block of data lines
  // the count, size and FNV-1a of the lines it stands for.
  bool quoted = false;
  std::string bytes;
  bool shortened = false;
  int lines = 0;
  std::size_t size = 0;
  std::uint32_t fnv1a = 0;
};

struct SupportLog {
  int runs = 0;                      // runs the file holds, one after the other
  std::vector<std::string> header;   // the last run's header lines, "label  text"
  std::vector<LogRecord> records;    // the last run's records
};

// Reads the whole file; false with why when a line of the last run does not read as a record.
bool readSupportLog(const std::string& content, SupportLog* log, std::string* why);
// The text of the header line with this label ("" when there is none).
std::string headerField(const SupportLog& log, std::string_view label);
// The texts of every header line with this label, in order.
std::vector<std::string> headerFields(const SupportLog& log, std::string_view label);
// Everything the run wrote to the console, as its con records have it.
std::string loggedConsole(const SupportLog& log);
// The records with this tag, their texts (for step, port, key and run records).
std::vector<std::string> recordTexts(const SupportLog& log, std::string_view tag);

// The bytes the switch-sim transcript shows in one direction: all that the host wrote
// (toSwitch), or all that reached the host (the switch's bytes lost while no host had the
// port open are left out).
std::string simTranscriptBytes(const std::string& transcript, bool toSwitch);

// The log's sent or recv records, in order, are exactly these bytes: quoted records byte for
// byte, shortened blocks by their size and FNV-1a.
::testing::AssertionResult sameLineBytes(const SupportLog& log, const std::string& tag, const std::string& bytes);

std::uint32_t fnv1a(std::string_view bytes);

}  // namespace vlfwu_test
