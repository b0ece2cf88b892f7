#include "tests/common/wine_prefix.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace vlfwu_test {

// Where each prefix keeps what Wine itself wrote to standard error, and how much of it.
constexpr const char* kWineMessagesFile = "/wine-messages.txt";
constexpr std::uintmax_t kWineMessagesKept = 16u << 20;

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
  // wineboot returns before the registry is written; wineserver -w waits for that. A new
  // prefix's first session still starts its services and drivers for the first time: one
  // session of its own takes that, so that no test's run is the first.
  const std::string marker = prefix + "/vlfwu-prefix-ready";
  ChildProcess boot;
  if (!std::filesystem::exists(marker) &&
      boot.start("/bin/sh", {"-c", "wineboot -i && wineserver -w && wine cmd /c exit && wineserver -w && touch \"$0\"", marker},
                 wineEnvironment(prefix))) {
    boot.wait(kWineLimitMs);
  }
  // Wine's messages (see startProgramInPrefix) are kept for the runs of one test session.
  std::error_code ignored;
  if (std::filesystem::file_size(prefix + kWineMessagesFile, ignored) > kWineMessagesKept && !ignored) {
    std::filesystem::resize_file(prefix + kWineMessagesFile, 0, ignored);
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

std::string wineMessages(const std::string& prefix) {
  // The wineserver lists its objects there too when it ends; the loader's and the DLLs' own
  // complaints are the lines that start with "wine" or carry an "err:" channel.
  constexpr std::size_t kLast = 20;
  std::ifstream in(prefix + kWineMessagesFile);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("wine", 0) == 0 || line.find("err:") != std::string::npos) {
      lines.push_back(line);
    }
  }
  if (lines.empty()) {
    return "(none)";
  }
  std::string text;
  for (std::size_t i = lines.size() > kLast ? lines.size() - kLast : 0; i < lines.size(); ++i) {
    text += lines[i] + "\n";
  }
  return text;
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
  // Wine's own diagnostics stay out of the program's output, in a file of the prefix: the
  // wineserver, started by the first run and shared by the later ones, writes to the stderr it
  // was started with, and it reports there whenever a pseudo-terminal it has opened is closed
  // (a simulator ending).
  std::vector<std::string> command = {"-c", "exec wine \"$@\" 2>> \"$WINEPREFIX" + std::string(kWineMessagesFile) + "\"",
                                      "wine", program};
  command.insert(command.end(), arguments.begin(), arguments.end());
  ChildProcess::Environment all = wineEnvironment(prefix);
  all.insert(all.end(), environment.begin(), environment.end());
  return child.start("/bin/sh", command, all);
}

}  // namespace vlfwu_test
