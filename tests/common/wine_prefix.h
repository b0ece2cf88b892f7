#pragma once
// The Windows build under Wine. The Wine tests of a build folder share one prefix, created
// once under a lock (tests run in parallel; the first creation takes minutes).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/common/child_process.h"

namespace vlfwu_test {

constexpr int kWineLimitMs = 240000;  // long enough for a run that creates the prefix

// Why the Wine tests cannot run here (no Windows build configured, no wine); empty when they can.
std::string wineUnavailable();
std::string winePrefix();  // its dosdevices/comN links are the COM ports
// A prefix of its own for the tests that change what Wine's system lists of its serial ports
// (its registry), so that no other test's run sees those ports.
std::string winePortsPrefix();
::testing::AssertionResult prepareWinePrefix(const std::string& prefix = winePrefix());
// Starts VLFWU_WINDOWS_EXE with the arguments under Wine in the shared prefix.
bool startUnderWine(ChildProcess& child, const std::vector<std::string>& arguments);
// The same with further environment variables.
bool startUnderWineWith(ChildProcess& child, const std::vector<std::string>& arguments,
                        const ChildProcess::Environment& environment);
// The same for another Windows program, such as the vlfwu.exe of a release archive.
bool startProgramUnderWine(ChildProcess& child, const std::string& program, const std::vector<std::string>& arguments,
                           const ChildProcess::Environment& environment = {});
// The same in another prefix.
bool startProgramInPrefix(const std::string& prefix, ChildProcess& child, const std::string& program,
                          const std::vector<std::string>& arguments, const ChildProcess::Environment& environment = {});
// The last complaints Wine itself wrote to its standard error in the prefix, by every run there,
// to tell a run that Wine could not start from one the program ended.
std::string wineMessages(const std::string& prefix = winePrefix());
// The Windows name of a file of this machine: Wine's drive Z: is the root.
std::string windowsPath(const std::string& path);
// Text as a Windows program's console shows it: every line break written as CR LF.
std::string windowsConsoleText(const std::string& text);

}  // namespace vlfwu_test
