// Version texts, their reckoned widths, the aligned two-line display and the Y/N question.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

#include <unistd.h>

#include "driver/version_display.h"

namespace {

std::string captureStdout(const std::function<void()>& action) {
  std::fflush(stdout);
  testing::internal::CaptureStdout();
  action();
  std::fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

TEST(VersionText, DisplayForms) {
  EXPECT_STREQ(versionText(0x00000000), "None");
  EXPECT_STREQ(versionText(0x04020000), "4.02");
  EXPECT_STREQ(versionText(0x04021000), "4.02a");
  EXPECT_STREQ(versionText(0x04020003), "4.02.03(Beta)");
  EXPECT_STREQ(versionText(0x04021003), "4.02.03a(Beta)");
  EXPECT_STREQ(versionText(0x0A012005), "10.01.05b(Beta)");
  EXPECT_STREQ(versionText(0x04020040), "4.02");  // bits 11 to 6 are not shown
  EXPECT_STREQ(versionText(0xFFFFF03F), "255.255.63o(Beta)");
  EXPECT_STREQ(versionText(0x04640000), "4.100");
  EXPECT_STREQ(versionText(0x00000001), "0.00.01(Beta)");  // non-zero, so not "None"
}

TEST(VersionText, ReusesOneStaticArea) {
  const char* first = versionText(0x04020000);
  const char* second = versionText(0x0A012005);
  EXPECT_EQ(first, second);
  EXPECT_STREQ(first, "10.01.05b(Beta)");
}

TEST(VersionWidth, ReckonedColumns) {
  EXPECT_EQ(versionWidth(0), 4);
  EXPECT_EQ(versionWidth(0x04020000), 4);
  EXPECT_EQ(versionWidth(0x04021000), 5);
  EXPECT_EQ(versionWidth(0x04020003), 13);
  EXPECT_EQ(versionWidth(0x04021003), 14);
  EXPECT_EQ(versionWidth(0x0A012005), 15);
  EXPECT_EQ(versionWidth(0x0A010000), 5);
  // Within two-digit numbers the width is the text's length.
  for (std::uint32_t v : {0x04020000u, 0x04021000u, 0x04020003u, 0x04021003u, 0x0A012005u,
                          0x63630000u, 0x0163F03Fu}) {
    EXPECT_EQ(versionWidth(v), static_cast<int>(std::strlen(versionText(v)))) << std::hex << v;
  }
  EXPECT_EQ(versionWidth(0x04640000), 4);  // 4.100: reckoned one short, as documented
}

TEST(VersionDisplay, FieldAndAlignedLines) {
  EXPECT_EQ(captureStdout([] { printVersionField(0x04021000, 3); }), "4.02a,   ");
  EXPECT_EQ(captureStdout([] { printVersionField(0, 0); }), "None,");

  t_DeviceInfo device{};
  device.firmwareVersion = 0x04010003;
  std::strcpy(device.nameBuf, "Sonarch60");
  device.productName = device.nameBuf;
  t_FirmwareHeader header{};
  header.firmwareVersion = 0x04020000;
  std::strcpy(header.productName, "Sonarch60");

  EXPECT_EQ(captureStdout([&] { showVersions(&device, &header); }),
            "\n Current Version: 4.01.03(Beta), Model: Sonarch60"
            "\n Update Version:  4.02,          Model: Sonarch60");

  // The other way round: the image's version is the wider one.
  device.firmwareVersion = 0;
  header.firmwareVersion = 0x0A012005;
  std::strcpy(header.productName, "Sonarch60-2710");
  EXPECT_EQ(captureStdout([&] { showVersions(&device, &header); }),
            "\n Current Version: None,            Model: Sonarch60"
            "\n Update Version:  10.01.05b(Beta), Model: Sonarch60-2710");

  // Equal widths, an unknown product name, and a header name that fills its field.
  device.firmwareVersion = 0x04021000;
  device.productName = nullptr;
  header.firmwareVersion = 0x05011000;
  std::memset(header.productName, 'N', sizeof header.productName);
  EXPECT_EQ(captureStdout([&] { showVersions(&device, &header); }),
            "\n Current Version: 4.02a, Model: "
            "\n Update Version:  5.01a, Model: " + std::string(32, 'N'));
}

// Replaces standard input by a pipe that holds the given keys, closed after them, for the
// length of one call.
class KeyboardFromPipe {
 public:
  explicit KeyboardFromPipe(const std::string& keys) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    EXPECT_EQ(write(fds[1], keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    close(fds[1]);
    savedStdin_ = dup(STDIN_FILENO);
    EXPECT_GE(savedStdin_, 0);
    EXPECT_EQ(dup2(fds[0], STDIN_FILENO), STDIN_FILENO);
    close(fds[0]);
  }
  ~KeyboardFromPipe() {
    dup2(savedStdin_, STDIN_FILENO);
    close(savedStdin_);
  }
  KeyboardFromPipe(const KeyboardFromPipe&) = delete;
  KeyboardFromPipe& operator=(const KeyboardFromPipe&) = delete;

  // Keys that were typed but not read.
  static std::string unread() {
    std::string rest;
    char ch = 0;
    while (read(STDIN_FILENO, &ch, 1) == 1) {
      rest.push_back(ch);
    }
    return rest;
  }

 private:
  int savedStdin_ = -1;
};

struct Answer {
  int result;
  std::string output;
  std::string unread;
};

Answer ask(const t_DeviceInfo& device, const t_FirmwareImage& image, const std::string& keys) {
  KeyboardFromPipe keyboard(keys);
  Answer answer{-1, {}, {}};
  answer.output = captureStdout([&] { answer.result = confirmUpdate(&device, &image); });
  answer.unread = KeyboardFromPipe::unread();
  return answer;
}

// One test for all keyboard cases: once the keyboard has reported the end of its input, it
// keeps doing so for the rest of the process, so that case comes last.
TEST(ConfirmUpdate, QuestionsAndAnswers) {
  t_DeviceInfo device{};
  std::strcpy(device.nameBuf, "Sonarch60");
  device.productName = device.nameBuf;
  t_FirmwareHeader header{};
  std::strcpy(header.productName, "Sonarch60");
  t_FirmwareImage image{};
  image.header = &header;

  // No version on the switch: it counts as older, so the "newer" question comes; x and 1
  // are ignored without output and the y is taken as a capital Y.
  device.firmwareVersion = 0;
  header.firmwareVersion = 0x04020000;
  Answer answer = ask(device, image, "x1yn");
  EXPECT_EQ(answer.result, 1);
  EXPECT_EQ(answer.output,
            "\n\nThis update is newer than the firmware inside the Sonarch60.\n"
            "\n Current Version: None, Model: Sonarch60"
            "\n Update Version:  4.02, Model: Sonarch60"
            "\n\nContinue with update to newer version? (Y,N) Y\n");
  EXPECT_EQ(answer.unread, "n");  // nothing is read after the answer

  // Equal versions: one leading line break, and an n cancels.
  device.firmwareVersion = 0x04021000;
  header.firmwareVersion = 0x04021000;
  answer = ask(device, image, "n");
  EXPECT_EQ(answer.result, 0);
  EXPECT_EQ(answer.output,
            "\nThe firmware version inside the Sonarch60 matches this update.\n"
            "\n Current Version: 4.02a, Model: Sonarch60"
            "\n Update Version:  4.02a, Model: Sonarch60"
            "\n\nUpdate anyway? (Y,N) N\n\nUpdate canceled.\n\n");

  // A beta build of 4.02 ranks above 4.02: the OLDER question. The second code of an
  // extended key (0, then 'Y') is not an answer.
  device.firmwareVersion = 0x04020003;
  header.firmwareVersion = 0x04020000;
  answer = ask(device, image, std::string("\0Y\0yN", 5));
  EXPECT_EQ(answer.result, 0);
  EXPECT_EQ(answer.output,
            "\n\nThis update is OLDER than the firmware inside the Sonarch60!\n"
            "\n Current Version: 4.02.03(Beta), Model: Sonarch60"
            "\n Update Version:  4.02,          Model: Sonarch60"
            "\n\nAre you sure you want to update with an OLDER version of firmware? (Y,N) "
            "N\n\nUpdate canceled.\n\n");

  // Versions compare unsigned: major 128 is above 4.02.
  device.firmwareVersion = 0x80000000;
  answer = ask(device, image, "Y");
  EXPECT_EQ(answer.result, 1);
  EXPECT_NE(answer.output.find("This update is OLDER"), std::string::npos);
  EXPECT_EQ(answer.output.substr(answer.output.size() - 8), "(Y,N) Y\n");

  // The keyboard input ends before a Y or N: nothing is flashed.
  device.firmwareVersion = 0x04010000;
  answer = ask(device, image, "q");
  EXPECT_EQ(answer.result, 0);
  EXPECT_EQ(answer.output,
            "\n\nThis update is newer than the firmware inside the Sonarch60.\n"
            "\n Current Version: 4.01, Model: Sonarch60"
            "\n Update Version:  4.02, Model: Sonarch60"
            "\n\nContinue with update to newer version? (Y,N) N\n\nUpdate canceled.\n\n");
}

}  // namespace
