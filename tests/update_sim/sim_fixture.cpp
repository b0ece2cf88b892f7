#include "sim_fixture.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

#include "isp/device_line.h"
#include "transport/serial.h"

namespace updsim {

std::string imagePath(int index) {
  return std::string(VLFWU_SOURCE_DIR) +
         (index == 0 ? "/firmware/images/sonarch60.vlfw" : "/firmware/images/sonarch60-2710.vlfw");
}

std::vector<std::uint8_t> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

std::string tempPath(const std::string& name) {
  static int serial = 0;
  const char* base = std::getenv("TMPDIR");
  std::ostringstream path;
  path << (base != nullptr ? base : "/tmp") << "/vlfwu-upd-" << ::getpid() << "-" << ++serial
       << "-" << name;
  return path.str();
}

sim::Options installedOptions(int imageIndex) {
  sim::Options options;
  options.installImage = imagePath(imageIndex);
  options.bank256K = imageIndex == 1;
  options.dspBanks = 0;
  options.readyMessage = false;
  options.bootDelayMs = 300;
  return options;
}

void SimTest::TearDown() {
  if (capturing_) {
    endCapture();
  }
  comClose(&devicePort);
  currentBaud = 0;
  if (sim_) {
    sim_->stop();
    sim_.reset();
  }
  if (!logFile_.empty()) {
    std::remove(logFile_.c_str());
  }
  for (const std::string& path : flashFiles_) {
    std::remove(path.c_str());
  }
  flashFiles_.clear();
}

std::string SimTest::editedFlashFile(
    int imageIndex, const std::function<void(std::vector<std::uint8_t>*)>& edit) {
  const std::string path = tempPath("flash.bin");
  flashFiles_.push_back(path);
  sim::Options options = installedOptions(imageIndex);
  options.flashFile = path;
  {
    sim::Switch seed(options);
    std::string error;
    EXPECT_TRUE(seed.start(&error)) << error;
    seed.stop();
  }
  std::vector<std::uint8_t> flash = readFile(path);
  EXPECT_EQ(flash.size(), 2u * (imageIndex == 1 ? 0x40000u : 0x80000u));
  edit(&flash);
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(flash.data()),
             static_cast<std::streamsize>(flash.size()));
  return path;
}

void SimTest::startSwitch(sim::Options options) {
  if (options.logFile.empty()) {
    options.logFile = tempPath("sim.log");
  }
  logFile_ = options.logFile;
  sim_ = std::make_unique<sim::Switch>(std::move(options));
  std::string error;
  ASSERT_TRUE(sim_->start(&error)) << error;
  const std::string variable = "VLFWU_COM" + std::to_string(kPortNumber);
  ::setenv(variable.c_str(), sim_->slavePath().c_str(), 1);
  ASSERT_EQ(comOpen(&devicePort, kPortNumber, 19200), 1);
  currentBaud = 19200;
}

t_FirmwareImage SimTest::shippedImage(int index) {
  t_FirmwareImage image{};
  selectEmbeddedImage(&image, index);
  EXPECT_EQ(validateImage(nullptr, &image), kImageSound);
  return image;
}

void SimTest::beginCapture() {
  std::fflush(stdout);
  ::testing::internal::CaptureStdout();
  capturing_ = true;
}

std::string SimTest::endCapture() {
  std::fflush(stdout);
  capturing_ = false;
  return ::testing::internal::GetCapturedStdout();
}

std::string SimTest::logText() const {
  std::ifstream in(logFile_, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string SimTest::logStream(bool toSwitch) const {
  const std::string log = logText();
  const std::string tag = toSwitch ? "host>sim " : "sim>host ";
  std::string stream;
  std::size_t lineStart = 0;
  while (lineStart < log.size()) {
    std::size_t lineEnd = log.find('\n', lineStart);
    if (lineEnd == std::string::npos) lineEnd = log.size();
    const std::string line = log.substr(lineStart, lineEnd - lineStart);
    lineStart = lineEnd + 1;
    const std::size_t at = line.find(tag);
    if (at == std::string::npos) continue;
    std::size_t i = line.find('"', at);
    if (i == std::string::npos) continue;
    for (++i; i < line.size() && line[i] != '"'; ++i) {
      if (line[i] != '\\' || i + 1 >= line.size()) {
        stream.push_back(line[i]);
        continue;
      }
      const char escaped = line[++i];
      switch (escaped) {
        case 'r': stream.push_back('\r'); break;
        case 'n': stream.push_back('\n'); break;
        case 'e': stream.push_back('\x1b'); break;
        case 'x':
          if (i + 2 < line.size()) {
            stream.push_back(static_cast<char>(std::stoi(line.substr(i + 1, 2), nullptr, 16)));
            i += 2;
          }
          break;
        default: stream.push_back(escaped); break;
      }
    }
  }
  return stream;
}

}  // namespace updsim
