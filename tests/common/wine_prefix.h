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
::testing::AssertionResult prepareWinePrefix();
// Starts VLFWU_WINDOWS_EXE with the arguments under Wine in the shared prefix.
bool startUnderWine(ChildProcess& child, const std::vector<std::string>& arguments);
// The same with further environment variables.
bool startUnderWineWith(ChildProcess& child, const std::vector<std::string>& arguments,
                        const ChildProcess::Environment& environment);
// The same for another Windows program, such as the vlfwu.exe of a release archive.
bool startProgramUnderWine(ChildProcess& child, const std::string& program, const std::vector<std::string>& arguments,
                           const ChildProcess::Environment& environment = {});
// The Windows name of a file of this machine: Wine's drive Z: is the root.
std::string windowsPath(const std::string& path);

}  // namespace vlfwu_test
