// The Linux install as the tar.gz and the .deb carry it: the program, and the technicians'
// guide written for Linux (device paths, the dialout group), not the Windows one.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "tests/common/child_process.h"

namespace {

TEST(LinuxInstall, CarriesTheGuideWrittenForLinux) {
  const std::filesystem::path build = std::filesystem::path(VLFWU_BIN_DIR).parent_path();
  const std::filesystem::path prefix = build / "linux-install-test";
  std::filesystem::remove_all(prefix);
  vlfwu_test::ChildProcess install;
  ASSERT_TRUE(install.start(VLFWU_CMAKE, {"--install", build.string(), "--prefix", prefix.string(),
                                          "--component", "program"}))
      << install.error();
  const vlfwu_test::ChildProcess::Result result = install.wait(60000);
  ASSERT_TRUE(result.exited && result.exitCode == 0) << result.output;
  EXPECT_TRUE(std::filesystem::exists(prefix / "bin" / "vlfwu"));
  std::ifstream file(prefix / "share" / "doc" / "vlfwu" / "vlfwu-guide.txt", std::ios::binary);
  const std::string guide{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  std::filesystem::remove_all(prefix);
  ASSERT_FALSE(guide.empty()) << "no guide installed";
  EXPECT_NE(guide.find("version " VLFWU_VERSION "\n"), std::string::npos);
  for (const char* linux : {"vlfwu /dev/ttyUSB0", "sudo usermod -aG dialout",
                            "Error: The firmware image does not fit the switch's flash.",
                            "/dev/ttyUSB0: A Valtrane device was found.  "}) {
    EXPECT_NE(guide.find(linux), std::string::npos) << "the guide does not say: " << linux;
  }
  for (const char* windows : {"vlfwu.exe", "Device Manager", "COM & LPT", "\r\n"}) {
    EXPECT_EQ(guide.find(windows), std::string::npos) << "a Windows guide: " << windows;
  }
}

}  // namespace
