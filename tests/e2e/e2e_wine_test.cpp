// The Windows build under Wine against switch-sim: Wine's COM ports are the symbolic links of
// the prefix's dosdevices folder, which the simulator makes point at its pseudo-terminal.
#include <gtest/gtest.h>

#include <unistd.h>

#include "tests/common/e2e_harness.h"
#include "tests/common/wine_prefix.h"

namespace vlfwu_e2e {
namespace {

class Wine : public EndToEnd, public ::testing::WithParamInterface<Scenario> {
 protected:
  void SetUp() override {
    if (const std::string why = vlfwu_test::wineUnavailable(); !why.empty()) {
      GTEST_SKIP() << why;
    }
    EndToEnd::SetUp();
    ASSERT_TRUE(vlfwu_test::prepareWinePrefix());
    timeoutMs_ = vlfwu_test::kWineLimitMs;  // Wine takes a while to start
    ::unlink(link(GetParam().port).c_str());
  }
  std::string link(unsigned port) const override {
    return vlfwu_test::winePrefix() + "/dosdevices/com" + std::to_string(port);
  }
  bool launch(ChildProcess& run, const std::vector<std::string>& args, const Ports&) override {
    return vlfwu_test::startUnderWine(run, args);
  }
  // The console writes every line break as CR LF.
  std::string onConsole(const std::string& text) const override {
    std::string out;
    for (const char c : text) {
      out += c == '\n' ? "\r\n" : std::string(1, c);
    }
    return out;
  }
};

TEST_P(Wine, TranscriptAndFlash) { runScenario(GetParam()); }

// Distinct ports, so that the runs can share the prefix.
const Scenario kWineScenarios[] = {
    {"FullUpdate", 0, "4.01", {}, {"Y"},
     [] {
       return portText(21, foundText("Sonarch60", "4.01")) + questionText(Comparison::Newer, "Sonarch60", "4.01", 'Y') +
              updateText(embeddedImage(0).header->firmwareLength, 2);
     },
     0, false, 21},
    {"DeclinedUpdate", 0, "4.02", {}, {"N"},
     [] {
       return portText(22, foundText("Sonarch60", "4.02")) + questionText(Comparison::Same, "Sonarch60", "4.02", 'N') +
              kCanceled;
     },
     -1, false, 22},
    {"NoSwitchOnAPortThatDoesNotExist", -1, "", {}, {},
     [] { return portText(23, kCouldNotOpen) + kNoneFound; }, -1, false, 23},
};

INSTANTIATE_TEST_SUITE_P(EndToEnd, Wine, ::testing::ValuesIn(kWineScenarios),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vlfwu_e2e
