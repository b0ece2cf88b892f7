#include "tests/common/wine_prefix.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace vlfwu_test {

std::string winePrefix() { return std::string(VLFWU_BIN_DIR) + "/../e2e-wine-prefix"; }

std::string winePortsPrefix() { return std::string(VLFWU_BIN_DIR) + "/../e2e-wine-ports-prefix"; }

static ChildProcess::Environment wineEnvironment(const std::string& prefix) {
  return {{"WINEPREFIX", prefix}, {"WINEDEBUG", "-all"}};
}

std::string wineUnavailable() {
  const std::string exe = VLFWU_WINDOWS_EXE;
  if (exe.empty() || !std::filesystem::exists(exe)) {
    return "no Windows build (configure with -DVLFWU_WINDOWS_EXE=path/to/vlfwu.exe)";
  }
  return std::system("command -v wine > /dev/null 2>&1") == 0 ? "" : "wine is not installed";
}

::testing::AssertionResult prepareWinePrefix(const std::string& prefix) {
  std::filesystem::create_directories(prefix);
  const int lock = open((prefix + ".lock").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0644);
  if (lock < 0 || flock(lock, LOCK_EX) != 0) {
    return ::testing::AssertionFailure() << "cannot lock the Wine prefix";
  }
  // wineboot returns before the registry is written; wineserver -w waits for that.
  const std::string marker = prefix + "/vlfwu-prefix-ready";
  ChildProcess boot;
  if (!std::filesystem::exists(marker) &&
      boot.start("/bin/sh", {"-c", "wineboot -i && wineserver -w && touch \"$0\"", marker}, wineEnvironment(prefix))) {
    boot.wait(kWineLimitMs);
  }
  close(lock);
  if (!std::filesystem::exists(marker)) {
    return ::testing::AssertionFailure() << "wineboot failed: " << boot.error() << boot.output();
  }
  return ::testing::AssertionSuccess();
}

bool startUnderWine(ChildProcess& child, const std::vector<std::string>& arguments) {
  return startProgramUnderWine(child, VLFWU_WINDOWS_EXE, arguments);
}

bool startUnderWineWith(ChildProcess& child, const std::vector<std::string>& arguments,
                        const ChildProcess::Environment& environment) {
  return startProgramUnderWine(child, VLFWU_WINDOWS_EXE, arguments, environment);
}

std::string windowsPath(const std::string& path) {
  std::string name = "Z:" + std::filesystem::absolute(path).string();
  for (char& c : name) {
    c = c == '/' ? '\\' : c;
  }
  return name;
}

std::string windowsConsoleText(const std::string& text) {
  std::string out;
  for (const char c : text) {
    out += c == '\n' ? "\r\n" : std::string(1, c);
  }
  return out;
}

bool startProgramUnderWine(ChildProcess& child, const std::string& program, const std::vector<std::string>& arguments,
                           const ChildProcess::Environment& environment) {
  return startProgramInPrefix(winePrefix(), child, program, arguments, environment);
}

bool startProgramInPrefix(const std::string& prefix, ChildProcess& child, const std::string& program,
                          const std::vector<std::string>& arguments, const ChildProcess::Environment& environment) {
  // Wine's own diagnostics stay out of the program's output: the wineserver, started by the
  // first run and shared by the later ones, writes to the stderr it was started with, and it
  // reports there whenever a pseudo-terminal it has opened is closed (a simulator ending).
  std::vector<std::string> command = {"-c", "exec wine \"$@\" 2> /dev/null", "wine", program};
  command.insert(command.end(), arguments.begin(), arguments.end());
  ChildProcess::Environment all = wineEnvironment(prefix);
  all.insert(all.end(), environment.begin(), environment.end());
  return child.start("/bin/sh", command, all);
}

}  // namespace vlfwu_test
