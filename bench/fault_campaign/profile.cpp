#include "bench/fault_campaign/profile.h"

#include <cstdint>
#include <cstdlib>

#include "sim/uu_codec.h"

namespace campaign {

namespace {

constexpr int kLinesPerBlock = 20;  // a checksum line follows every 20 data lines
constexpr long kHeadAddress = 436207616;  // 0x1A000000: the head block's copy goes there
constexpr long kStagingAddress = 268435456;  // 0x10000000: the RAM buffer every block passes

bool startsWith(const std::string& text, const char* head) { return text.rfind(head, 0) == 0; }

long numberAt(const std::string& text, int field) {
  const char* p = text.c_str();
  for (int f = 0; f < field && *p; ++f) {
    while (*p && *p != ' ') ++p;
    while (*p == ' ') ++p;
  }
  return std::strtol(p, nullptr, 10);
}

}  // namespace

Profile profileOf(const SimLog& log) {
  Profile p;
  p.erases = log.erases;
  p.copies = log.copies;
  const std::string& bytes = log.hostBytes;
  const std::size_t request = bytes.find("^BOOTL$");
  if (request == std::string::npos || log.copies == 0 || !log.go) {
    p.why = "the clean update's transcript shows no complete session";
    return p;
  }
  const long requestFirst = static_cast<long>(request) + 1;
  p.points.push_back({"request", requestFirst});
  p.points.push_back({"request", requestFirst + 3});
  p.points.push_back({"request", requestFirst + 6});

  // The synchronisation: the '?' that the rate is measured from, "Synchronized" and the
  // frequency line.
  std::size_t sync = 0;
  while (sync < log.hostLines.size() && log.hostLines[sync].text != "Synchronized") ++sync;
  if (sync + 1 >= log.hostLines.size()) {
    p.why = "no synchronisation in the clean update's transcript";
    return p;
  }
  const std::size_t question = bytes.rfind('?', static_cast<std::size_t>(log.hostLines[sync].first - 1));
  if (question != std::string::npos) p.points.push_back({"sync", static_cast<long>(question) + 1});
  p.points.push_back({"sync", log.hostLines[sync].first});
  p.points.push_back({"sync", log.hostLines[sync].last});
  p.points.push_back({"sync", log.hostLines[sync + 1].last});

  long echoed = static_cast<long>(sync) + 2;  // lines echoed before "A 0", if it comes
  bool echoOff = false;
  int erase = 0;
  int copy = 0;
  long remaining = 0;   // data bytes of the current Write to RAM still to come
  long writeAt = 0;     // where its next data byte goes, from the staging address
  long firstSet = -1;   // the first byte of the block in RAM that is not 0xFF
  int lineInBlock = 0;
  bool checksumNext = false;
  bool firstData = false;
  long dataEnd = 0;     // the last byte of the last checksum line sent
  bool afterHead = false;
  std::string lastBlock;          // the block whose copy came last
  std::vector<BytePoint> block;  // points of the block being sent, named once its copy is known
  for (std::size_t i = sync + 2; i < log.hostLines.size(); ++i) {
    const HostLine& line = log.hostLines[i];
    if (checksumNext) {
      checksumNext = false;
      ++p.writeBlocks;
      dataEnd = line.last;
      continue;
    }
    if (remaining > 0) {
      const long count = (line.text.empty() ? 0 : (line.text[0] - 0x20) & 0x3F);
      std::uint8_t bytes[sim::kUuMaxLineBytes];
      const std::size_t decoded = sim::uuDecodeLine(line.text, bytes, sizeof bytes);
      for (std::size_t j = 0; j < decoded; ++j)
        if (bytes[j] != 0xFF && (firstSet < 0 || writeAt + static_cast<long>(j) < firstSet))
          firstSet = writeAt + static_cast<long>(j);
      writeAt += static_cast<long>(decoded);
      // The first data line of each write, and every 37th line besides (spread over the blocks).
      if (firstData || p.writeLines % 37 == 0) block.push_back({"", line.first});
      firstData = false;
      ++p.writeLines;
      remaining -= count;
      if (++lineInBlock == kLinesPerBlock || remaining <= 0) {
        lineInBlock = 0;
        checksumNext = true;
        remaining = remaining < 0 ? 0 : remaining;
      }
      continue;
    }
    ++p.commands;
    p.commandTexts.push_back(line.text);
    if (!echoOff) ++echoed;
    const std::string& t = line.text;
    if (t == "A 0") {
      echoOff = true;
      p.points.push_back({"echo off", line.first});
      continue;
    }
    if (startsWith(t, "U ")) {
      p.points.push_back({afterHead ? "restart check" : "unlock", line.first});
      p.points.push_back({afterHead ? "restart check" : "unlock", line.last});
      continue;
    }
    if (startsWith(t, "W ")) {
      // A block goes to RAM in several writes; its first one starts at the staging address.
      remaining = numberAt(t, 2);
      lineInBlock = 0;
      firstData = numberAt(t, 1) == kStagingAddress;
      writeAt = numberAt(t, 1) - kStagingAddress;
      if (firstData) {
        block.push_back({"", line.first});
        firstSet = -1;
      }
      continue;
    }
    if (startsWith(t, "M ") && !lastBlock.empty()) {
      p.points.push_back({lastBlock, line.last});
      continue;
    }
    if (startsWith(t, "P ")) {
      if (dataEnd > 0) block.push_back({"", dataEnd});  // the block is in RAM, not yet prepared
      dataEnd = 0;
      block.push_back({"", line.first});
      continue;
    }
    if (startsWith(t, "E ")) {
      ++erase;
      const std::string name = "erase " + std::to_string(erase);
      for (const BytePoint& b : block) p.points.push_back({name, b.byte});
      block.clear();
      p.points.push_back({name, line.first});
      p.points.push_back({name, line.last});
      // The next line's first byte: the erase is done and answered, nothing written after it.
      if (i + 1 < log.hostLines.size()) p.points.push_back({"after " + name, log.hostLines[i + 1].first});
      continue;
    }
    if (startsWith(t, "C ")) {
      ++copy;
      p.copyFirstWord.push_back(firstSet < 0 ? -1 : firstSet / 4 * 4);
      if (numberAt(t, 1) == kHeadAddress) {
        p.headCopy = copy;
        afterHead = true;
      }
      if (p.tableCopy == 0 && erase >= 2) p.tableCopy = copy;
      const std::string name = numberAt(t, 1) == kHeadAddress ? "head block" : "block " + std::to_string(copy);
      block.push_back({"", line.first});
      block.push_back({"", line.last});
      for (const BytePoint& b : block) p.points.push_back({name, b.byte});
      block.clear();
      lastBlock = name;
      continue;
    }
    if (startsWith(t, "G ")) {
      p.points.push_back({"go", line.first});
      p.points.push_back({"go", line.last});
      continue;
    }
    // The compare's points follow their copy; the restart check's reads come after the head.
    if (afterHead) {
      p.points.push_back({"restart check", line.first});
    }
  }
  // A compare after the last copy of a block was gathered into the next block: name the rest.
  for (const BytePoint& b : block) p.points.push_back({afterHead ? "head block" : "tail", b.byte});
  p.replyLines = log.deviceLines - (echoOff ? echoed : static_cast<long>(log.hostLines.size() - sync));
  if (p.replyLines < 1) p.replyLines = log.deviceLines;
  p.sound = true;
  return p;
}

}  // namespace campaign
