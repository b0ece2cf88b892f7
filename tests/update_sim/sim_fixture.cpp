#include "sim_fixture.h"

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>

#include "isp/device_line.h"
#include "isp/line_policy.h"
#include "transport/serial.h"

namespace updsim {

constexpr int kPortNumber = 42;

sim::Options switchOptions(int imageIndex, bool inBootloader, bool blank) {
  sim::Options options;
  options.installImage = std::string(VLFWU_SOURCE_DIR) +
                         (imageIndex == 0 ? "/firmware/images/sonarch60.vlfw"
                                          : "/firmware/images/sonarch60-2710.vlfw");
  if (blank) options.installImage.clear();
  options.blank = blank;
  options.startInBootloader = inBootloader;
  options.bank256K = imageIndex == 1;
  options.dspBanks = 0;
  options.readyMessage = false;
  options.bootDelayMs = 300;
  return options;
}

void SimTest::TearDown() {
  comClose(&devicePort);
  currentBaud = 0;
  if (sim_) sim_->stop();
  sim_.reset();
  if (!logFile_.empty()) std::remove(logFile_.c_str());
}

void SimTest::startSwitch(sim::Options options) {
  TearDown();  // a test may start several switches in turn
  lineBudgetEnd();  // a new switch's first blocks go whole
  static int serial = 0;
  logFile_ = ::testing::TempDir() + "vlfwu-upd-" + std::to_string(::getpid()) + "-" +
             std::to_string(++serial) + ".log";
  options.logFile = logFile_;
  sim_ = std::make_unique<sim::Switch>(std::move(options));
  std::string error;
  ASSERT_TRUE(sim_->start(&error)) << error;
  ::setenv(("VLFWU_COM" + std::to_string(kPortNumber)).c_str(), sim_->slavePath().c_str(), 1);
  ASSERT_EQ(comOpen(&devicePort, kPortNumber, 19200), 1);
  currentBaud = 19200;
}

t_FirmwareImage SimTest::shippedImage(int index) {
  t_FirmwareImage image{};
  selectEmbeddedImage(&image, index);
  EXPECT_EQ(validateImage(nullptr, &image), kImageSound);
  return image;
}

std::string SimTest::logStream(bool toSwitch) const {
  std::ifstream in(logFile_, std::ios::binary);
  const std::string tag = toSwitch ? "host>sim " : "sim>host ";
  std::string stream;
  for (std::string line; std::getline(in, line);) {
    const std::size_t at = line.find(tag);
    const std::size_t quote = at == std::string::npos ? at : line.find('"', at);
    if (quote == std::string::npos) continue;
    // Undo the transcript's quoting: \r \n \e \xNN, and \" and \\ for themselves.
    for (std::size_t i = quote + 1; i < line.size() && line[i] != '"'; ++i) {
      if (line[i] != '\\' || i + 1 >= line.size()) {
        stream.push_back(line[i]);
      } else if (const char e = line[++i]; e == 'x' && i + 2 < line.size()) {
        stream.push_back(static_cast<char>(std::stoi(line.substr(i + 1, 2), nullptr, 16)));
        i += 2;
      } else {
        stream.push_back(e == 'r' ? '\r' : e == 'n' ? '\n' : e == 'e' ? '\x1b' : e);
      }
    }
  }
  return stream;
}

}  // namespace updsim
