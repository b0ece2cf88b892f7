// The Windows release archive as a technician gets it: one folder holding vlfwu.exe, the guide
// and vlfwu-log.bat, named with the project's version; the program in it starts under Wine,
// and the batch file runs it with a support log beside it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>

#include "tests/common/child_process.h"
#include "tests/common/support_log_reader.h"
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
  EXPECT_EQ(names, (std::set<std::string>{kFolder + "/vlfwu-guide.txt", kFolder + "/vlfwu.exe",
                                          kFolder + "/vlfwu-log.bat"}));
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

// The technician double-clicks vlfwu-log.bat, or types "vlfwu-log 25": the run is vlfwu.exe's
// with that argument, and its support log lands in vlfwu-log.txt beside the batch file.
TEST_F(WindowsZip, LogBatchFileRunsTheProgramWithItsArgumentAndALogBesideIt) {
  const std::string folder = std::string(VLFWU_BIN_DIR) + "/../release-zip-bat-test";
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  tar("xf", folder);
  const std::string unpacked = folder + "/" + kFolder;

  std::ifstream batchFile(unpacked + "/vlfwu-log.bat", std::ios::binary);
  const std::string batch{std::istreambuf_iterator<char>(batchFile), {}};
  EXPECT_NE(batch.find("set \"VLFWU_LOG=%~dp0vlfwu-log.txt\"\r\n"), std::string::npos) << batch;

  ASSERT_EQ(std::system("command -v wine > /dev/null 2>&1"), 0) << "wine is not installed";
  ASSERT_TRUE(vlfwu_test::prepareWinePrefix());
  // A port with nothing behind it: the run is short, and its log says why.
  std::filesystem::remove(vlfwu_test::winePrefix() + "/dosdevices/com25");
  ChildProcess run;
  ASSERT_TRUE(vlfwu_test::startProgramUnderWine(run, "cmd", {"/c", vlfwu_test::windowsPath(unpacked + "/vlfwu-log.bat"), "25"}))
      << run.error();
  run.closeInput();  // the final prompt ends the run at once
  const ChildProcess::Result result = run.wait(vlfwu_test::kWineLimitMs);
  EXPECT_TRUE(result.exited) << result.output;
  EXPECT_NE(result.output.find("\r\nCOM25: Could not open port.\r\n\r\nNo updatable Valtrane devices found.\r\n"),
            std::string::npos)
      << result.output;

  std::ifstream logFile(unpacked + "/vlfwu-log.txt", std::ios::binary);
  const std::string content{std::istreambuf_iterator<char>(logFile), {}};
  vlfwu_test::SupportLog log;
  std::string why;
  ASSERT_TRUE(vlfwu_test::readSupportLog(content, &log, &why)) << why << "\n" << content;
  EXPECT_EQ(vlfwu_test::headerField(log, "argument"), "\"25\"");
  EXPECT_EQ(vlfwu_test::headerField(log, "ports"), "COM25");
  EXPECT_EQ(vlfwu_test::headerField(log, "platform").rfind("Windows ", 0), 0u) << vlfwu_test::headerField(log, "platform");
  const std::vector<std::string> port = vlfwu_test::recordTexts(log, "port");
  ASSERT_EQ(port.size(), 1u) << content;
  EXPECT_EQ(port[0].rfind("COM25 (\\\\.\\COM25) refused: ", 0), 0u) << port[0];
  EXPECT_NE(vlfwu_test::loggedConsole(log).find("\nCOM25: Could not open port."), std::string::npos) << content;
  // Windows line ends, for Notepad.
  EXPECT_NE(content.find("vlfwu support log\r\n"), std::string::npos);
}

}  // namespace
