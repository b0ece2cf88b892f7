#pragma once
// Pieces shared by the end-to-end test files of this folder.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "tests/common/child_process.h"
#include "tests/common/e2e_harness.h"

namespace vlfwu_e2e {

using vlfwu_test::ChildProcess;

inline std::string imageFile(int index) {
  return std::string(VLFWU_SOURCE_DIR) +
         (index == 0 ? "/firmware/images/sonarch60.vlfw" : "/firmware/images/sonarch60-2710.vlfw");
}

// Simulator arguments: a switch running the given image at the given version, with its flash
// kept in flashFile, and a short DSP phase after the restart.
inline std::vector<std::string> installedSwitch(int imageIndex, const std::string& version,
                                                const std::string& flashFile) {
  return {"--flash", flashFile, "--install", imageFile(imageIndex), "--set-version", version,
          "--dsp-interval", "40", "--boot-delay", "300"};
}

inline std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Waits for the prompt, then types the key; keys typed before the prompt would be discarded.
inline ::testing::AssertionResult answer(ChildProcess& run, std::string_view prompt, std::string_view keys,
                                         int timeoutMs = kPromptTimeoutMs) {
  if (!run.waitForOutput(prompt, timeoutMs)) {
    return ::testing::AssertionFailure() << "no \"" << prompt << "\" in:\n" << run.output();
  }
  if (!run.writeInput(keys)) {
    return ::testing::AssertionFailure() << "cannot type \"" << keys << "\"";
  }
  return ::testing::AssertionSuccess();
}

// Presses a key at the final prompt and waits for the end of the process.
inline ChildProcess::Result finish(ChildProcess& run, int timeoutMs = kRunTimeoutMs) {
  if (run.waitForOutput("Press any key to exit...", timeoutMs)) {
    run.writeInput("x");
  }
  return run.wait(timeoutMs);
}

inline ::testing::AssertionResult sameTranscript(const std::string& expected, const std::string& actual) {
  if (expected == actual) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << transcriptDiff(expected, actual);
}

inline ::testing::AssertionResult endedNormally(const ChildProcess::Result& result) {
  if (result.timedOut || !result.exited) {
    return ::testing::AssertionFailure() << "the run did not end by itself (signal " << result.termSignal
                                         << ")\n" << result.output;
  }
  if (result.exitCode != 1) {
    return ::testing::AssertionFailure() << "exit status " << result.exitCode << ", expected 1";
  }
  return ::testing::AssertionSuccess();
}

// The simulator's flash file holds exactly the image (see flashMismatch).
inline ::testing::AssertionResult flashHolds(const std::string& file, const t_FirmwareImage& image) {
  const std::string why = flashMismatch(readFile(file), image);
  if (why.empty()) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << why;
}

}  // namespace vlfwu_e2e
