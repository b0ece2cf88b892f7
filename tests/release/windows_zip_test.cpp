// The Windows release archive as a technician gets it: one folder holding vlfwu.exe and the
// guide, named with the project's version; the program in it starts under Wine.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>

#include "tests/common/child_process.h"
#include "tests/common/wine_prefix.h"

namespace {

using vlfwu_test::ChildProcess;

const std::string kZip = VLFWU_WINDOWS_ZIP;
const std::string kFolder = "vlfwu-" VLFWU_VERSION "-win64";

class WindowsZip : public ::testing::Test {
 protected:
  void SetUp() override {
    if (kZip.empty()) {
      GTEST_SKIP() << "no Windows release archive (configure with -DVLFWU_WINDOWS_ZIP=path/to/zip)";
    }
    ASSERT_TRUE(std::filesystem::exists(kZip)) << kZip;
  }

  // Runs cmake's archive tool (it reads zip files) in folder; its output.
  static std::string tar(const std::string& mode, const std::string& folder) {
    ChildProcess child;
    ChildProcess::Options options;
    options.workingDirectory = folder;
    EXPECT_TRUE(child.start(VLFWU_CMAKE, {"-E", "tar", mode, std::filesystem::absolute(kZip).string()}, {},
                            options))
        << child.error();
    const ChildProcess::Result result = child.wait(60000);
    EXPECT_TRUE(result.exited && result.exitCode == 0) << result.output;
    return result.output;
  }
};

TEST_F(WindowsZip, HoldsTheProgramAndTheGuideInOneVersionedFolder) {
  EXPECT_EQ(std::filesystem::path(kZip).filename().string(), kFolder + ".zip");
  std::istringstream listing(tar("tf", "."));
  std::set<std::string> names;
  for (std::string name; std::getline(listing, name);) {
    names.insert(name);
  }
  EXPECT_EQ(names, (std::set<std::string>{kFolder + "/vlfwu-guide.txt", kFolder + "/vlfwu.exe"}));
}

TEST_F(WindowsZip, ProgramPrintsItsBannerUnderWine) {
  const std::string folder = std::string(VLFWU_BIN_DIR) + "/../release-zip-test";
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  tar("xf", folder);
  const std::string unpacked = folder + "/" + kFolder;

  // The guide opens with the version and keeps Windows line ends for Notepad.
  std::ifstream guideFile(unpacked + "/vlfwu-guide.txt", std::ios::binary);
  const std::string guide{std::istreambuf_iterator<char>(guideFile), {}};
  EXPECT_EQ(guide.rfind("VLFWU - Valtrane firmware update utility, version " VLFWU_VERSION "\r\n", 0), 0u)
      << guide.substr(0, 80);
  std::size_t bareLineEnds = 0;
  for (std::size_t i = 0; i < guide.size(); ++i) {
    bareLineEnds += guide[i] == '\n' && (i == 0 || guide[i - 1] != '\r');
  }
  EXPECT_EQ(bareLineEnds, 0u);

  ASSERT_EQ(std::system("command -v wine > /dev/null 2>&1"), 0) << "wine is not installed";
  ASSERT_TRUE(vlfwu_test::prepareWinePrefix());
  // Two arguments: the banner, then the usage text, and the end without a key prompt.
  ChildProcess run;
  ASSERT_TRUE(vlfwu_test::startProgramUnderWine(run, unpacked + "/vlfwu.exe", {"1", "2"})) << run.error();
  const ChildProcess::Result result = run.wait(vlfwu_test::kWineLimitMs);
  EXPECT_TRUE(result.exited) << result.output;
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(result.output.rfind("\r\nValtrane / Omrix firmware update utility. Version " VLFWU_VERSION "\r\n", 0), 0u)
      << result.output;
  EXPECT_NE(result.output.find("Use: VLFWU [x]"), std::string::npos) << result.output;
  EXPECT_EQ(result.output.find("Press any key"), std::string::npos) << result.output;
}

}  // namespace
