#include "tests/common/e2e_harness.h"

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "firmware/image.h"

namespace vlfwu_e2e {

namespace {

constexpr std::uint32_t kFlashBase = 0x1A000000;
constexpr std::uint32_t kSmallSectorsEnd = 0x10000;  // bank offsets below: 8 KB sectors
constexpr std::uint32_t kSmallSector = 0x2000;
constexpr std::uint32_t kLargeSector = 0x10000;
constexpr std::uint32_t kFillBlock = 512;

constexpr int kSimReadyTimeoutMs = 10000;
constexpr int kSimStopTimeoutMs = 10000;

// Highest port number a test run names; the scan covers 1..16.
constexpr unsigned kHighestTestPort = 16;

std::uint32_t sectorStart(std::uint32_t offset) {
  return offset < kSmallSectorsEnd ? offset / kSmallSector * kSmallSector
                                   : offset / kLargeSector * kLargeSector;
}

std::uint32_t sectorEnd(std::uint32_t offset) {
  return offset < kSmallSectorsEnd ? sectorStart(offset) + kSmallSector
                                   : sectorStart(offset) + kLargeSector;
}

std::string hex(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", value);
  return text;
}

// First difference of flash[offset..offset+count) from expected (or from 0xFF when expected
// is null); empty when none.
std::string compareRange(const std::vector<std::uint8_t>& flash, std::uint32_t offset,
                         const std::uint8_t* expected, std::uint32_t count, const char* what) {
  if (offset + count > flash.size()) {
    return std::string(what) + ": flash file too short (" + std::to_string(flash.size()) + " bytes)";
  }
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint8_t want = expected != nullptr ? expected[i] : 0xFF;
    if (flash[offset + i] != want) {
      char text[160];
      std::snprintf(text, sizeof text, "%s: byte at %s is 0x%02X, expected 0x%02X", what,
                    hex(kFlashBase + offset + i).c_str(), flash[offset + i], want);
      return text;
    }
  }
  return {};
}

std::string quoted(std::string_view text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\\': out += "\\\\"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) {
          char esc[8];
          std::snprintf(esc, sizeof esc, "\\x%02X", static_cast<unsigned char>(c));
          out += esc;
        } else {
          out += c;
        }
    }
  }
  return out;
}

std::string progressLine(std::uint32_t percent) {
  char text[64];
  std::snprintf(text, sizeof text, "\rUpdating firmware: %3u%% complete.", percent);
  return text;
}

// The percentages shown after the 4096-byte blocks: remaining counted after each advance.
std::vector<std::uint32_t> blockPercentages(std::uint32_t firmwareLength) {
  std::vector<std::uint32_t> percentages;
  std::uint32_t remaining = firmwareLength - kFillBlock;
  while (remaining >= 4096) {
    remaining -= 4096;
    percentages.push_back((firmwareLength - remaining) * 100 / firmwareLength);
  }
  return percentages;
}

}  // namespace

std::string binaryPath(const char* name) { return std::string(VLFWU_BIN_DIR) + "/" + name; }

TempDir::TempDir() {
  char pattern[] = "/tmp/vlfwu-e2e-XXXXXX";
  if (::mkdtemp(pattern) != nullptr) {
    path_ = pattern;
  }
}

TempDir::~TempDir() {
  if (!path_.empty() && std::getenv("VLFWU_KEEP_E2E_DIRS") == nullptr) {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
}

std::string TempDir::file(std::string_view name) const { return path_ + "/" + std::string(name); }

SimProcess::~SimProcess() { stop(); }

bool SimProcess::start(const std::string& linkPath, const std::vector<std::string>& arguments) {
  link_ = linkPath;
  std::vector<std::string> all = {"--link", linkPath};
  all.insert(all.end(), arguments.begin(), arguments.end());
  if (!process_.start(binaryPath("switch-sim"), all)) {
    failure_ = "cannot start switch-sim: " + process_.error();
    return false;
  }
  started_ = true;
  if (!process_.waitForOutput("switch-sim: COM link", kSimReadyTimeoutMs) ||
      !process_.waitForOutput("\n", kSimReadyTimeoutMs)) {
    failure_ = "switch-sim did not get ready";
    return false;
  }
  return true;
}

void SimProcess::stop() {
  if (!started_) {
    return;
  }
  started_ = false;
  if (process_.running()) {
    process_.sendSignal(SIGTERM);
  }
  process_.wait(kSimStopTimeoutMs);
}

bool SimProcess::running() { return started_ && process_.running(); }

std::string SimProcess::report() {
  if (started_) {
    process_.collectOutput(0);
  }
  return failure_ + (failure_.empty() ? "" : "\n") + process_.output();
}

Environment portEnvironment(const TempDir& dir, const std::map<unsigned, std::string>& ports) {
  Environment environment;
  unsigned highest = kHighestTestPort;
  for (const auto& entry : ports) {
    highest = std::max(highest, entry.first);
  }
  for (unsigned port = 1; port <= highest; ++port) {
    const auto found = ports.find(port);
    environment.emplace_back("VLFWU_COM" + std::to_string(port),
                             found != ports.end() ? found->second
                                                  : dir.file("no-device-com" + std::to_string(port)));
  }
  return environment;
}

std::vector<std::uint8_t> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    return {};
  }
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool writeFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

t_FirmwareImage embeddedImage(int index) {
  t_FirmwareImage image{};
  selectEmbeddedImage(&image, index);
  if (validateImage(nullptr, &image) != kImageSound) {
    return t_FirmwareImage{};
  }
  return image;
}

std::string flashMismatch(const std::vector<std::uint8_t>& flash, const t_FirmwareImage& image) {
  if (image.header == nullptr) {
    return "no image";
  }
  const t_FirmwareHeader& header = *image.header;
  const std::uint32_t firmwareOffset = header.firmwareAddress - kFlashBase;
  const std::uint32_t firmwareEnd = firmwareOffset + header.firmwareLength;
  const std::uint32_t paramOffset = header.paramAddress - kFlashBase;
  const std::uint32_t paramEnd = paramOffset + header.paramLength;

  std::string why = compareRange(flash, firmwareOffset, image.firmware, header.firmwareLength,
                                 "firmware region");
  if (why.empty()) {
    const std::uint32_t erasedEnd = sectorEnd(firmwareEnd - 1);
    why = compareRange(flash, firmwareEnd, nullptr, erasedEnd - firmwareEnd,
                       "erased space behind the firmware");
  }
  if (why.empty()) {
    why = compareRange(flash, paramOffset, image.params, header.paramLength, "parameter table");
  }
  if (why.empty()) {
    const std::uint32_t start = sectorStart(paramOffset);
    why = compareRange(flash, start, nullptr, paramOffset - start, "erased space before the table");
  }
  if (why.empty()) {
    why = compareRange(flash, paramEnd, nullptr, sectorEnd(paramOffset) - paramEnd,
                       "erased space behind the table");
  }
  return why;
}

std::string startText() {
  return "\nValtrane / Omrix firmware update utility. Version 2.4"
         "\nCopyright (c) Valtrane Audio. All rights reserved. For use with Valtrane products only.\n"
         "Firmware validated.\n"
         "Firmware validated.\n";
}

std::string portText(unsigned port, std::string_view outcome) {
  return "\nCOM" + std::to_string(port) + ": " + std::string(outcome);
}

std::string foundText(std::string_view name, std::string_view version) {
  return "An " + std::string(name) + " was found with firmware version: " + std::string(version) + "\n";
}

std::string questionText(Comparison comparison, std::string_view deviceName,
                         std::string_view deviceVersion, std::string_view imageVersion,
                         std::string_view imageName, char answer) {
  std::string text;
  const std::string name(deviceName);
  switch (comparison) {
    case Comparison::Newer:
      text = "\n\nThis update is newer than the firmware inside the " + name + ".\n";
      break;
    case Comparison::Same:
      text = "\nThe firmware version inside the " + name + " matches this update.\n";
      break;
    case Comparison::Older:
      text = "\n\nThis update is OLDER than the firmware inside the " + name + "!\n";
      break;
  }
  // Both versions are short texts whose reckoned width is their length.
  const std::size_t wd = deviceVersion.size();
  const std::size_t wi = imageVersion.size();
  const std::size_t pd = wd > wi ? 1 : wi - wd + 1;
  const std::size_t pi = wd > wi ? wd - wi + 1 : 1;
  text += "\n Current Version: " + std::string(deviceVersion) + "," + std::string(pd, ' ') +
          "Model: " + name;
  text += "\n Update Version:  " + std::string(imageVersion) + "," + std::string(pi, ' ') +
          "Model: " + std::string(imageName);
  switch (comparison) {
    case Comparison::Newer:
      text += "\n\nContinue with update to newer version? (Y,N) ";
      break;
    case Comparison::Same:
      text += "\n\nUpdate anyway? (Y,N) ";
      break;
    case Comparison::Older:
      text += "\n\nAre you sure you want to update with an OLDER version of firmware? (Y,N) ";
      break;
  }
  text += answer;
  text += "\n";
  return text;
}

std::string progressText(std::uint32_t firmwareLength) {
  std::string text = "\nUpdating firmware:   0% complete.";
  for (const std::uint32_t percent : blockPercentages(firmwareLength)) {
    text += progressLine(percent);
  }
  text += "\rUpdating firmware: 100% complete.\n";
  return text;
}

std::string progressUntilFailedBlock(std::uint32_t firmwareLength, unsigned blockIndex) {
  std::string text = "\nUpdating firmware:   0% complete.";
  const std::vector<std::uint32_t> percentages = blockPercentages(firmwareLength);
  for (unsigned k = 1; k <= blockIndex && k <= percentages.size(); ++k) {
    // The failed block redraws the line from the unchanged remaining length.
    const std::uint32_t percent =
        k < blockIndex ? percentages[k - 1] : (k >= 2 ? percentages[k - 2] : kFillBlock * 100 / firmwareLength);
    text += progressLine(percent);
  }
  return text;
}

std::string dspText(int banks) {
  std::string text;
  for (int bank = 1; bank <= banks; ++bank) {
    for (int step = 0; step <= 5; ++step) {
      char line[80];
      std::snprintf(line, sizeof line, "%s\rUpdating DSPs: Bank = %d, Complete = %3d%%",
                    step == 0 ? "\n" : "", bank, (step + 1) * 100 / 6);
      text += line;
    }
  }
  return text;
}

std::string transcriptDiff(const std::string& expected, const std::string& actual) {
  std::size_t at = 0;
  while (at < expected.size() && at < actual.size() && expected[at] == actual[at]) {
    ++at;
  }
  if (at == expected.size() && at == actual.size()) {
    return "transcripts are equal";
  }
  const std::size_t from = at > 160 ? at - 160 : 0;
  return "transcripts part at byte " + std::to_string(at) + "\n  common:   \"" +
         quoted(std::string_view(expected).substr(from, at - from)) + "\"\n  expected: \"" +
         quoted(std::string_view(expected).substr(at, 240)) + "\"\n  actual:   \"" +
         quoted(std::string_view(actual).substr(at, 240)) + "\"";
}

}  // namespace vlfwu_e2e
