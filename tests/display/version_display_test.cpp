// Version texts, their reckoned widths, the aligned two-line display and the Y/N question.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include <unistd.h>

#include "driver/version_display.h"

namespace {

TEST(VersionText, TextAndReckonedWidth) {
  const struct {
    std::uint32_t version;
    const char* text;
    int width;
  } cases[] = {
      {0x00000000, "None", 4}, {0x04020000, "4.02", 4}, {0x04021000, "4.02a", 5},
      {0x04020003, "4.02.03(Beta)", 13}, {0x04021003, "4.02.03a(Beta)", 14},
      {0x0A012005, "10.01.05b(Beta)", 15}, {0x0A010000, "10.01", 5}, {0x63630000, "99.99", 5},
      {0x04020040, "4.02", 4},  // bits 11 to 6 are not shown
      {0x0163F03F, "1.99.63o(Beta)", 14}, {0x00000001, "0.00.01(Beta)", 13},
      {0xFFFFF03F, "255.255.63o(Beta)", 15}, {0x04640000, "4.100", 4},  // two-digit reckoning
  };
  for (const auto& c : cases) {
    EXPECT_STREQ(versionText(c.version), c.text);
    EXPECT_EQ(versionWidth(c.version), c.width) << c.text;
  }
  const char* first = versionText(0x04020000);  // one static area, overwritten
  EXPECT_EQ(first, versionText(0x0A012005));
  EXPECT_STREQ(first, "10.01.05b(Beta)");
}

// Newer, same or older follows the texts: equal texts are one version whatever the hidden
// bits hold; otherwise the shown fields order them, with "None" below everything.
TEST(VersionOrder, FollowsWhatTheTextsShow) {
  const struct {
    std::uint32_t older, newer;
  } ordered[] = {
      {0x04020000, 0x04020003}, {0x04020003, 0x04021000}, {0x04020000, 0x04021000},
      {0x04020000, 0x80000000}, {0x0402003F, 0x04030000}, {0x04020FC0, 0x04020001},
      {0x00000000, 0x00000040}, {0x00000000, 0x00000001}, {0x04020000, 0x04020041},
  };
  for (const auto& c : ordered) {
    SCOPED_TRACE(std::string(versionText(c.older)) + " < " + versionText(c.newer));
    EXPECT_LT(compareVersions(c.older, c.newer), 0);
    EXPECT_GT(compareVersions(c.newer, c.older), 0);
    EXPECT_EQ(compareVersions(c.newer, c.newer), 0);
  }
  const std::uint32_t alike[][2] = {
      {0x04020040, 0x04020000}, {0x04021FC3, 0x04021003}, {0x00000040, 0x00000FC0}};
  for (const auto& pair : alike) {
    const std::string first = versionText(pair[0]);
    EXPECT_EQ(first, versionText(pair[1]));
    EXPECT_EQ(compareVersions(pair[0], pair[1]), 0) << first;
  }
}

// Every message calls the switch by one name, falling back in a fixed order, never beyond
// the 32 bytes of a name field that holds no terminator.
TEST(ShownDeviceName, FallsBackInOrder) {
  t_FirmwareHeader header{};
  std::strcpy(header.productName, "ImageName");
  t_DeviceInfo device{};
  device.modelNumber = 100;
  device.pcbRevision = 2;
  std::strcpy(device.nameBuf, "Reported");
  device.productName = device.nameBuf;
  EXPECT_STREQ(shownDeviceName(&device, &header).text, "Reported");
  device.nameBuf[0] = '\0';
  EXPECT_STREQ(shownDeviceName(&device, &header).text, "Sonarch12-2710");
  device.productName = nullptr;
  EXPECT_STREQ(shownDeviceName(&device, nullptr).text, "Sonarch12-2710");
  device.pcbRevision = 9;
  EXPECT_STREQ(shownDeviceName(&device, &header).text, "ImageName");
  EXPECT_STREQ(shownDeviceName(&device, nullptr).text, "Valtrane device");
  std::memset(device.nameBuf, 'Z', sizeof device.nameBuf);
  device.productName = device.nameBuf;
  EXPECT_EQ(std::string(shownDeviceName(&device, &header).text), std::string(32, 'Z'));
}

struct Answer {
  int result;
  std::string output, unread;
};

// Standard input and standard output become pipes for one call, as for a script: the bytes
// typedBefore wait in the input from the start, the keys are written once the question is on
// screen, and the input ends after them. (Keys typed ahead at a terminal are the end-to-end
// tests' matter: this process decides once whether its input is a terminal.)
Answer ask(const t_DeviceInfo& device, const t_FirmwareImage& image, const std::string& keys,
           const std::string& typedBefore = "") {
  int input[2], output[2];
  EXPECT_EQ(pipe(input), 0);
  EXPECT_EQ(pipe(output), 0);
  EXPECT_EQ(write(input[1], typedBefore.data(), typedBefore.size()),
            static_cast<ssize_t>(typedBefore.size()));
  const int savedStdin = dup(STDIN_FILENO);
  dup2(input[0], STDIN_FILENO);
  close(input[0]);
  std::fflush(stdout);
  const int savedStdout = dup(STDOUT_FILENO);
  dup2(output[1], STDOUT_FILENO);
  close(output[1]);
  Answer answer{-1, {}, {}};
  std::thread typist([&] {
    bool typed = false;
    char chunk[256];
    for (ssize_t got; (got = read(output[0], chunk, sizeof chunk)) > 0;) {
      answer.output.append(chunk, static_cast<std::size_t>(got));
      if (!typed && answer.output.find("(Y,N) ") != std::string::npos) {
        EXPECT_EQ(write(input[1], keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
        close(input[1]);
        typed = true;
      }
    }
    if (!typed) close(input[1]);
  });
  answer.result = confirmUpdate(&device, &image);
  std::fflush(stdout);
  dup2(savedStdout, STDOUT_FILENO);  // the output pipe's last writer: the typist sees its end
  close(savedStdout);
  typist.join();
  close(output[0]);
  for (char ch = 0; read(STDIN_FILENO, &ch, 1) == 1;) answer.unread.push_back(ch);
  dup2(savedStdin, STDIN_FILENO);
  close(savedStdin);
  return answer;
}

// The end of keyboard input is sticky for the process, so that case comes last.
TEST(ConfirmUpdate, QuestionsAndAnswers) {
  t_DeviceInfo device{};
  std::strcpy(device.nameBuf, "Sonarch60");
  device.productName = device.nameBuf;
  t_FirmwareHeader header{};
  std::strcpy(header.productName, "Sonarch60");
  header.firmwareVersion = 0x04020000;
  t_FirmwareImage image{};
  image.header = &header;
  const std::string canceled = "N\n\nUpdate canceled.\n\n";

  // No version counts as older; x and 1 are ignored silently, y becomes Y, n stays unread.
  Answer answer = ask(device, image, "x1yn");
  EXPECT_EQ(answer.result, 1);
  EXPECT_EQ(answer.output, "\n\nThis update is newer than the firmware inside the Sonarch60.\n"
                           "\n Current Version: None, Model: Sonarch60"
                           "\n Update Version:  4.02, Model: Sonarch60"
                           "\n\nContinue with update to newer version? (Y,N) Y\n");
  EXPECT_EQ(answer.unread, "n");

  // A script's answers wait in the pipe before the question is on screen: none is dropped,
  // and the first Y or N answers (an extended key is passed over whole, its second code too).
  answer = ask(device, image, "", std::string("x\0Hyn", 5));
  EXPECT_EQ(answer.result, 1);
  EXPECT_EQ(answer.output, "\n\nThis update is newer than the firmware inside the Sonarch60.\n"
                           "\n Current Version: None, Model: Sonarch60"
                           "\n Update Version:  4.02, Model: Sonarch60"
                           "\n\nContinue with update to newer version? (Y,N) Y\n");
  EXPECT_EQ(answer.unread, "n");

  device.firmwareVersion = header.firmwareVersion = 0x04021000;
  answer = ask(device, image, "n");
  EXPECT_EQ(answer.result, 0);
  EXPECT_EQ(answer.output,
            "\nThe firmware version inside the Sonarch60 matches this update.\n"
            "\n Current Version: 4.02a, Model: Sonarch60"
            "\n Update Version:  4.02a, Model: Sonarch60"
            "\n\nUpdate anyway? (Y,N) " + canceled);

  // Bits the text does not show decide nothing: both lines read 4.02, so they match.
  device.firmwareVersion = 0x04020040;
  header.firmwareVersion = 0x04020000;
  answer = ask(device, image, "n");
  EXPECT_EQ(answer.output,
            "\nThe firmware version inside the Sonarch60 matches this update.\n"
            "\n Current Version: 4.02, Model: Sonarch60"
            "\n Update Version:  4.02, Model: Sonarch60"
            "\n\nUpdate anyway? (Y,N) " + canceled);

  // A beta of 4.02 ranks above 4.02; the second code of an extended key is no answer.
  device.firmwareVersion = 0x04020003;
  header.firmwareVersion = 0x04020000;
  answer = ask(device, image, std::string("\0Y\0yN", 5));
  EXPECT_EQ(answer.result, 0);
  EXPECT_EQ(answer.output,
            "\n\nThis update is OLDER than the firmware inside the Sonarch60!\n"
            "\n Current Version: 4.02.03(Beta), Model: Sonarch60"
            "\n Update Version:  4.02,          Model: Sonarch60"
            "\n\nAre you sure you want to update with an OLDER version of firmware? (Y,N) " +
                canceled);

  // Compared unsigned. A switch that reported no name (an empty table name, or none at
  // all) is called by the product table's name in the message and in its line alike; a
  // header name that fills its field.
  device.firmwareVersion = 0x80000000;
  device.modelNumber = 86;
  device.pcbRevision = 4;
  device.nameBuf[0] = '\0';
  std::memset(header.productName, 'N', sizeof header.productName);
  answer = ask(device, image, "Y");
  EXPECT_EQ(answer.result, 1);
  EXPECT_EQ(answer.output, "\n\nThis update is OLDER than the firmware inside the Sonarch36!\n"
                           "\n Current Version: 128.00, Model: Sonarch36"
                           "\n Update Version:  4.02,  Model: " + std::string(32, 'N') +
                           "\n\nAre you sure you want to update with an OLDER version of firmware?"
                           " (Y,N) Y\n");

  // The image's version is the wider; input ends before a Y or N: nothing is flashed.
  device.firmwareVersion = 0;
  device.productName = device.nameBuf;
  std::strcpy(device.nameBuf, "Sonarch60");
  header.firmwareVersion = 0x0A012005;
  std::strcpy(header.productName, "Sonarch60-2710");
  answer = ask(device, image, "q");
  EXPECT_EQ(answer.result, 0);
  EXPECT_EQ(answer.output, "\n\nThis update is newer than the firmware inside the Sonarch60.\n"
                           "\n Current Version: None,            Model: Sonarch60"
                           "\n Update Version:  10.01.05b(Beta), Model: Sonarch60-2710"
                           "\n\nContinue with update to newer version? (Y,N) " + canceled);
}

}  // namespace
