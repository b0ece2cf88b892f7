#include "tests/common/support_log_reader.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace vlfwu_test {

namespace {

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// "..." with \r \n \" \\ \e and \xNN: the bytes; false when it is not such a text.
bool unquote(std::string_view quoted, std::string* bytes) {
  if (quoted.size() < 2 || quoted.front() != '"' || quoted.back() != '"') {
    return false;
  }
  bytes->clear();
  for (std::size_t i = 1; i + 1 < quoted.size(); ++i) {
    const char c = quoted[i];
    if (c == '"') {
      return false;  // an unescaped quote inside
    }
    if (c != '\\') {
      bytes->push_back(c);
      continue;
    }
    if (i + 2 >= quoted.size()) {
      return false;
    }
    const char e = quoted[++i];
    if (e == 'r') bytes->push_back('\r');
    else if (e == 'n') bytes->push_back('\n');
    else if (e == 'e') bytes->push_back('\x1B');
    else if (e == '"' || e == '\\') bytes->push_back(e);
    else if (e == 'x' && i + 2 < quoted.size() && hexDigit(quoted[i + 1]) >= 0 && hexDigit(quoted[i + 2]) >= 0) {
      bytes->push_back(static_cast<char>(hexDigit(quoted[i + 1]) * 16 + hexDigit(quoted[i + 2])));
      i += 2;
    } else {
      return false;
    }
  }
  return true;
}

// "   12.345 sent ..." into a record; false when the line is no record.
bool readRecord(const std::string& line, LogRecord* record) {
  unsigned seconds = 0;
  unsigned millis = 0;
  int used = 0;
  if (std::sscanf(line.c_str(), " %u.%3u %n", &seconds, &millis, &used) != 2 || used == 0) {
    return false;
  }
  record->ms = seconds * 1000 + millis;
  std::string rest = line.substr(static_cast<std::size_t>(used));
  const std::size_t space = rest.find(' ');
  record->tag = rest.substr(0, space);
  record->text = space == std::string::npos ? "" : rest.substr(rest.find_first_not_of(' ', space));
  if (record->tag == "sent" || record->tag == "recv" || record->tag == "con") {
    if (record->text.rfind('[', 0) == 0) {
      unsigned long size = 0;
      unsigned hash = 0;
      if (std::sscanf(record->text.c_str(), "[%d UU lines, %lu bytes, FNV-1a 0x%X]", &record->lines, &size,
                      &hash) != 3) {
        return false;
      }
      record->shortened = true;
      record->size = size;
      record->fnv1a = hash;
      return true;
    }
    record->quoted = true;
    return unquote(record->text, &record->bytes);
  }
  return !record->tag.empty();
}

}  // namespace

std::uint32_t fnv1a(std::string_view bytes) {
  std::uint32_t hash = 0x811C9DC5u;
  for (const char c : bytes) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 0x01000193u;
  }
  return hash;
}

bool readSupportLog(const std::string& content, SupportLog* log, std::string* why) {
  *log = SupportLog{};
  std::istringstream in(content);
  std::string line;
  bool inHeader = false;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();  // the Windows build ends its lines with CR LF
    }
    if (line == "vlfwu support log") {
      ++log->runs;
      log->header.clear();
      log->records.clear();
      inHeader = true;
      continue;
    }
    if (log->runs == 0 || line.rfind("=====", 0) == 0) {
      continue;  // text before the first run, or the separator before the next
    }
    if (inHeader && line.rfind("  ", 0) == 0 && line.size() > 2 && line[2] != ' ') {
      log->header.push_back(line.substr(2));
      continue;
    }
    inHeader = false;
    LogRecord record;
    if (!readRecord(line, &record)) {
      *why = "not a record: \"" + line + "\"";
      return false;
    }
    log->records.push_back(record);
  }
  if (log->runs == 0) {
    *why = "no \"vlfwu support log\" line";
    return false;
  }
  return true;
}

std::vector<std::string> headerFields(const SupportLog& log, std::string_view label) {
  std::vector<std::string> texts;
  for (const std::string& line : log.header) {
    if (line.rfind(label, 0) == 0 && line.size() > label.size() && line[label.size()] == ' ') {
      texts.push_back(line.substr(line.find_first_not_of(' ', label.size())));
    }
  }
  return texts;
}

std::string headerField(const SupportLog& log, std::string_view label) {
  const std::vector<std::string> texts = headerFields(log, label);
  return texts.empty() ? "" : texts.front();
}

std::string loggedConsole(const SupportLog& log) {
  std::string text;
  for (const LogRecord& record : log.records) {
    if (record.tag == "con") {
      text += record.bytes;
    }
  }
  return text;
}

std::vector<std::string> recordTexts(const SupportLog& log, std::string_view tag) {
  std::vector<std::string> texts;
  for (const LogRecord& record : log.records) {
    if (record.tag == tag) {
      texts.push_back(record.text);
    }
  }
  return texts;
}

std::string simTranscriptBytes(const std::string& transcript, bool toSwitch) {
  // [   12.345678] host>sim  @115200 "..."  ; note
  const std::string direction = toSwitch ? "host>sim" : "sim>host";
  std::istringstream in(transcript);
  std::string line;
  std::string bytes;
  while (std::getline(in, line)) {
    const std::size_t at = line.find("] ");
    if (at == std::string::npos || line.compare(at + 2, direction.size(), direction) != 0) {
      continue;
    }
    const std::size_t open = line.find('"', at);
    std::size_t close = open;
    for (std::size_t i = open + 1; i < line.size(); ++i) {
      if (line[i] == '\\') {
        ++i;
      } else if (line[i] == '"') {
        close = i;
        break;
      }
    }
    if (open == std::string::npos || close == open) {
      continue;
    }
    if (!toSwitch && line.find("; lost: no host has the port open", close) != std::string::npos) {
      continue;
    }
    std::string piece;
    if (unquote(std::string_view(line).substr(open, close - open + 1), &piece)) {
      bytes += piece;
    }
  }
  return bytes;
}

::testing::AssertionResult sameLineBytes(const SupportLog& log, const std::string& tag, const std::string& bytes) {
  std::size_t at = 0;
  int shortened = 0;
  for (std::size_t i = 0; i < log.records.size(); ++i) {
    const LogRecord& record = log.records[i];
    if (record.tag != tag) {
      continue;
    }
    if (record.shortened) {
      ++shortened;
      if (at + record.size > bytes.size() || fnv1a(std::string_view(bytes).substr(at, record.size)) != record.fnv1a) {
        return ::testing::AssertionFailure() << tag << " record " << i << " at " << record.ms << " ms, " << record.text
                                             << ", is not the " << record.size << " bytes from byte " << at
                                             << " on: \"" << bytes.substr(at, 80) << "\"";
      }
      at += record.size;
      continue;
    }
    if (bytes.compare(at, record.bytes.size(), record.bytes) != 0) {
      return ::testing::AssertionFailure() << tag << " record " << i << " at " << record.ms << " ms, " << record.text
                                           << ", differs from byte " << at << " on: \"" << bytes.substr(at, 80)
                                           << "\"";
    }
    at += record.bytes.size();
  }
  if (at != bytes.size()) {
    return ::testing::AssertionFailure() << "the log's " << tag << " records end at byte " << at << " of "
                                         << bytes.size() << "; then: \"" << bytes.substr(at, 120) << "\"";
  }
  return ::testing::AssertionSuccess() << at << " bytes, " << shortened << " shortened blocks";
}

}  // namespace vlfwu_test
