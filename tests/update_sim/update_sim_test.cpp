// Whole updates of a simulated switch: what lands in its flash, in which order, what the user
// sees, and how faults on the way are reported.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "driver/run_state.h"
#include "firmware/identify.h"
#include "isp/device_line.h"
#include "sim_fixture.h"
#include "update/flash_map.h"
#include "update/flash_update.h"
#include "update/param_table.h"

namespace updsim {
namespace {

std::string progressLine(unsigned percent) {
  char line[64];
  std::snprintf(line, sizeof line, "\rUpdating firmware: %3u%% complete.", percent);
  return line;
}

// What the user sees of a complete update of a firmware region of the given length.
std::string expectedProgress(std::uint32_t firmwareLength) {
  std::string text = "\nUpdating firmware:   0% complete.";
  std::uint32_t remaining = firmwareLength - 512;
  while (remaining >= 4096) {
    remaining -= 4096;
    text += progressLine((firmwareLength - remaining) * 100 / firmwareLength);
  }
  return text + "\rUpdating firmware: 100% complete.\n";
}

struct Command {
  char letter;
  std::uint32_t a, b, c;
};

// The Prepare, Erase and Copy commands the switch received, in order.
std::vector<Command> flashCommands(const std::string& log) {
  std::vector<Command> commands;
  // Anchored at a line start, so that no UU-encoded data line can pass for a command.
  static const std::regex pattern(R"(\n([PEC]) (\d+) (\d+) (\d+)(?=\r\n))");
  for (auto it = std::sregex_iterator(log.begin(), log.end(), pattern); it != std::sregex_iterator();
       ++it) {
    commands.push_back({(*it)[1].str()[0], static_cast<std::uint32_t>(std::stoul((*it)[2])),
                        static_cast<std::uint32_t>(std::stoul((*it)[3])),
                        static_cast<std::uint32_t>(std::stoul((*it)[4]))});
  }
  return commands;
}

class Update : public SimTest {
 protected:
  void SetUp() override { deviceState = kStateUnknown; }

  int update(const t_FirmwareImage& image) {
    beginCapture();
    const int result = updateFirmware(&image);
    output_ = endCapture();
    return result;
  }

  // The switch's flash holds the image exactly: firmware, then erased bytes to the end of the
  // erased sectors, the table padded with 0xFF to its 512 bytes.
  void expectFlashHolds(const t_FirmwareImage& image) {
    const std::vector<std::uint8_t> flash = sim_->flash();
    const t_FirmwareHeader& h = *image.header;
    const std::uint32_t fw = h.firmwareAddress - kBankAAddress;
    const std::uint32_t table = h.paramAddress - kBankAAddress;
    ASSERT_GE(flash.size(), table + 512u);
    EXPECT_EQ(std::memcmp(flash.data() + fw, image.firmware, h.firmwareLength), 0);
    std::uint8_t bank = 0, first = 0, last = 0;
    ASSERT_EQ(flashRangeOf(h.firmwareAddress, h.firmwareLength, &bank, &first, &last), 0);
    const std::uint32_t erasedEnd = 0x10000 * (last - 7u + 1);  // end of a 64 KB sector
    for (std::uint32_t i = fw + h.firmwareLength; i < erasedEnd; ++i) {
      ASSERT_EQ(flash[i], 0xFF) << "offset " << std::hex << i;
    }
    EXPECT_EQ(std::memcmp(flash.data() + table, image.params, h.paramLength), 0);
    for (std::uint32_t i = table + h.paramLength; i < table + 512; ++i) {
      ASSERT_EQ(flash[i], 0xFF) << "offset " << std::hex << i;
    }
  }

  // After the restart the new firmware answers the identity request with the table's identity.
  void expectRestartedInto(const t_FirmwareImage& image) {
    EXPECT_EQ(sim_->mode(), sim::Mode::Firmware);
    EXPECT_EQ(currentBaud, 19200);
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    devFlushInput();
    t_DeviceInfo record{};
    ASSERT_EQ(queryIdentity(&record), 0);
    EXPECT_EQ(record.modelNumber, image.header->modelNumber);
    EXPECT_EQ(record.pcbRevision, image.header->pcbRevision);
    EXPECT_EQ(record.firmwareVersion, image.header->firmwareVersion);
    EXPECT_STREQ(record.nameBuf, image.header->productName);
  }

  // The order in which the blocks went to flash, from the switch's transcript.
  void expectBlockOrder(const t_FirmwareImage& image) {
    const t_FirmwareHeader& h = *image.header;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> expected;  // address, length
    std::uint32_t address = h.firmwareAddress + 512;
    std::uint32_t remaining = h.firmwareLength - 512;
    for (std::uint32_t size : {4096u, 1024u, 512u}) {
      while (remaining >= size) {
        expected.push_back({address, size});
        address += size;
        remaining -= size;
      }
    }
    if (remaining > 0) expected.push_back({address, 512});
    expected.push_back({h.paramAddress, 512});
    expected.push_back({h.firmwareAddress, 512});

    std::vector<std::pair<std::uint32_t, std::uint32_t>> copies;
    std::vector<Command> erases;
    std::size_t firstCopyIndex = 0;
    const std::vector<Command> commands = flashCommands(logStream(true));
    for (std::size_t i = 0; i < commands.size(); ++i) {
      const Command& c = commands[i];
      if (c.letter == 'C') {
        EXPECT_EQ(c.b, kRamStagingAddress);
        if (copies.empty()) firstCopyIndex = i;
        copies.push_back({c.a, c.c});
        // Each copy is prepared right before with the sectors of its first and last byte.
        ASSERT_GT(i, 0u);
        const Command& p = commands[i - 1];
        std::uint8_t bank = 0, first = 0, last = 0;
        ASSERT_EQ(flashRangeOf(c.a, c.c, &bank, &first, &last), 0);
        EXPECT_EQ(p.letter, 'P');
        EXPECT_EQ(p.a, first);
        EXPECT_EQ(p.b, last);
        EXPECT_EQ(p.c, bank);
      } else if (c.letter == 'E') {
        erases.push_back(c);
        // The erase of the table's sector comes after the last firmware block.
        if (erases.size() == 2) {
          EXPECT_EQ(copies.size(), expected.size() - 2);
        }
      }
    }
    EXPECT_EQ(copies, expected);
    EXPECT_EQ(sim_->copiesDone(), expected.size());
    ASSERT_EQ(erases.size(), 2u);
    EXPECT_EQ(erases[0].a, 0u);
    EXPECT_EQ(erases[0].b, 9u);
    EXPECT_EQ(erases[1].a, h.paramAddress == kTableAddress512K ? 14u : 10u);
    EXPECT_EQ(erases[1].b, erases[1].a);
    EXPECT_GT(firstCopyIndex, 0u);
  }

  // The installed image with its firmware region (but the head block and the table)
  // scrambled, junk behind it, so that only a real update restores it.
  std::string scrambledFlashFile(int imageIndex) {
    return editedFlashFile(imageIndex, [](std::vector<std::uint8_t>* flash) {
      for (std::uint32_t i = 0x1000; i < 0x30000; ++i) {
        (*flash)[i] = static_cast<std::uint8_t>((*flash)[i] ^ (i * 7 + 1));
      }
    });
  }

  std::string output_;
};

TEST_F(Update, EachShippedImageFromTheRunningFirmware) {
  for (int index = 0; index < kEmbeddedImageCount; ++index) {
    SCOPED_TRACE(index);
    const t_FirmwareImage image = shippedImage(index);
    sim::Options options = installedOptions(index);
    options.installImage.clear();
    options.flashFile = scrambledFlashFile(index);
    startSwitch(options);
    ASSERT_EQ(sim_->mode(), sim::Mode::Firmware);

    ASSERT_EQ(update(image), 0) << output_;
    EXPECT_EQ(output_, expectedProgress(image.header->firmwareLength));
    EXPECT_EQ(deviceState, kStateBootloader);
    EXPECT_NE(logStream(true).find("^BOOTL$"), std::string::npos);
    expectFlashHolds(image);
    expectBlockOrder(image);
    expectRestartedInto(image);
    TearDown();
  }
}

TEST_F(Update, EachShippedImageOntoABlankSwitchInItsBootloader) {
  for (int index = 0; index < kEmbeddedImageCount; ++index) {
    SCOPED_TRACE(index);
    const t_FirmwareImage image = shippedImage(index);
    sim::Options options = installedOptions(index);
    options.installImage.clear();
    options.blank = true;
    options.startInBootloader = true;
    startSwitch(options);

    ASSERT_EQ(update(image), 0) << output_;
    EXPECT_EQ(output_, expectedProgress(image.header->firmwareLength));
    // A switch already in its bootloader is not asked to enter it.
    EXPECT_EQ(logStream(true).find("^BOOTL$"), std::string::npos);
    expectFlashHolds(image);
    expectBlockOrder(image);
    expectRestartedInto(image);
    // The restart jumped to the reset vector without its Thumb bit, in decimal.
    if (index == 0) {
      EXPECT_NE(logStream(true).find("G 436263100 T"), std::string::npos);
    }
    TearDown();
  }
}

TEST_F(Update, WeakCellIsReportedAsAMismatchAndTheHeadBlockIsNotWritten) {
  sim::Options options = installedOptions(0);
  options.installImage.clear();
  options.blank = true;
  options.startInBootloader = true;
  options.faults.weakCellCopy = 3;  // the third 4096-byte block
  startSwitch(options);
  const t_FirmwareImage image = shippedImage(0);

  EXPECT_EQ(update(image), 2);
  // The failing block redraws the line once with the percentage of the blocks before it.
  EXPECT_EQ(output_, "\nUpdating firmware:   0% complete." + progressLine(3) + progressLine(5) +
                         progressLine(5) +
                         "\n\nError: A mismatch occurred while verifying this update.\n");
  const std::vector<std::uint8_t> flash = sim_->flash();
  for (int i = 0; i < 512; ++i) ASSERT_EQ(flash[i], 0xFF) << i;
  EXPECT_NE(sim_->mode(), sim::Mode::Firmware);
}

TEST_F(Update, CorruptedRamLineIsSentAgainAndTheUpdateSucceeds) {
  sim::Options options = installedOptions(0);
  options.installImage.clear();
  options.blank = true;
  options.startInBootloader = true;
  options.faults.corruptWriteLine = 30;
  startSwitch(options);
  const t_FirmwareImage image = shippedImage(0);

  ASSERT_EQ(update(image), 0) << output_;
  EXPECT_EQ(output_, expectedProgress(image.header->firmwareLength));
  EXPECT_NE(logStream(false).find("RESEND"), std::string::npos);
  expectFlashHolds(image);
  EXPECT_EQ(sim_->mode(), sim::Mode::Firmware);
}

TEST_F(Update, PowerLossMidwayLosesTheConnection) {
  sim::Options options = installedOptions(0);
  options.startInBootloader = true;
  options.faults.powerLossAfterCopy = 4;
  startSwitch(options);
  const t_FirmwareImage image = shippedImage(0);

  EXPECT_EQ(update(image), 1);
  EXPECT_TRUE(sim_->poweredOff());
  // The fourth 4096-byte block's copy was answered, its compare never is; the line is
  // redrawn once for the failed block.
  EXPECT_EQ(output_, "\nUpdating firmware:   0% complete." + progressLine(3) + progressLine(5) +
                         progressLine(8) + progressLine(8) +
                         "\n\nError 4: Lost the connection to the switch! Check cables and power.\n");
  EXPECT_EQ(sim_->copiesDone(), 4u);
  EXPECT_EQ(output_.find("100%"), std::string::npos);
}

TEST_F(Update, FailedEraseStillShowsTheStartOfTheProgressLine) {
  sim::Options options = installedOptions(0);
  options.startInBootloader = true;
  // Reply lines 1 to 4 are the synchronisation's, 5 the Unlock's, 6 the Prepare's; the
  // Erase of the firmware sectors goes unanswered.
  options.faults.dropReplyLine = 7;
  startSwitch(options);
  const t_FirmwareImage image = shippedImage(0);
  EXPECT_EQ(update(image), 1);
  EXPECT_EQ(output_,
            "\nUpdating firmware:   0% complete."
            "\n\nError 4: Lost the connection to the switch! Check cables and power.\n");
  EXPECT_NE(logStream(true).find("\nE 0 9 0\r\n"), std::string::npos);
  EXPECT_EQ(logStream(true).find("\nW "), std::string::npos);
  EXPECT_EQ(sim_->copiesDone(), 0u);
}

TEST_F(Update, SwitchThatNeverAnswersCannotBeConnected) {
  sim::Options options = installedOptions(0);
  options.faults.powerLossAfterBytes = 1;
  startSwitch(options);
  const t_FirmwareImage image = shippedImage(0);
  EXPECT_EQ(update(image), 1);
  EXPECT_EQ(output_, "Error 1: Could not connect to the switch! Check cables and power.\n");
}

// An image whose table or check fails after it has been written: the restart refuses it.
class UpdateRefusedRestart : public Update {
 protected:
  // A copy of the first shipped image with its table edited by change.
  template <typename Change>
  t_FirmwareImage variant(Change change) {
    const t_FirmwareImage shipped = shippedImage(0);
    bytes_.assign(shipped.image, shipped.image + shipped.imageSize);
    t_FirmwareImage image{};
    image.image = bytes_.data();
    image.imageSize = shipped.imageSize;
    image.header = reinterpret_cast<const t_FirmwareHeader*>(bytes_.data());
    image.firmware = bytes_.data() + (shipped.firmware - shipped.image);
    image.params = bytes_.data() + (shipped.params - shipped.image);
    change(reinterpret_cast<t_ParamTable*>(bytes_.data() + (shipped.params - shipped.image)));
    return image;
  }
  void startBlank() {
    sim::Options options = installedOptions(0);
    options.installImage.clear();
    options.blank = true;
    options.startInBootloader = true;
    startSwitch(options);
  }
  std::vector<std::uint8_t> bytes_;
};

TEST_F(UpdateRefusedRestart, OlderFormTable) {
  startBlank();
  const t_FirmwareImage image = variant([](t_ParamTable* t) { t->magic = kTableMagicOld; });
  EXPECT_EQ(update(image), 1);
  EXPECT_EQ(output_, expectedProgress(image.header->firmwareLength) +
                         "reboot: No vector table loaded.\n"
                         "\nThe firmware is not fully loaded, try reloading the firmware.\n");
  EXPECT_NE(sim_->mode(), sim::Mode::Firmware);
  EXPECT_EQ(currentBaud, 115200);
}

TEST_F(UpdateRefusedRestart, FirmwareCheckMismatch) {
  startBlank();
  const t_FirmwareImage image = variant([](t_ParamTable* t) { t->checkCrc ^= 1; });
  EXPECT_EQ(update(image), 1);
  // The edit also spoils the table's own CRC, which is reported first.
  EXPECT_EQ(output_, expectedProgress(image.header->firmwareLength) +
                         "\nParameter table has a bad CRC!\n"
                         "reboot: queryTable error: 5\n"
                         "\nThe firmware failed the CRC test! Try reloading the firmware.\n");
}

TEST_F(UpdateRefusedRestart, CheckLengthBeyondTheLimit) {
  startBlank();
  const t_FirmwareImage image = variant([](t_ParamTable* t) { t->checkLength = 4097; });
  EXPECT_EQ(update(image), 1);
  EXPECT_EQ(output_, expectedProgress(image.header->firmwareLength) +
                         "\nParameter table has a bad CRC!\n"
                         "reboot: queryTable error: 4\n"
                         "\nThe firmware failed the CRC test! Try reloading the firmware.\n");
}

TEST_F(UpdateRefusedRestart, CheckLengthZeroCountsAsAFailedRead) {
  startBlank();
  const t_FirmwareImage image = variant([](t_ParamTable* t) { t->checkLength = 0; });
  EXPECT_EQ(update(image), 1);
  EXPECT_EQ(output_, expectedProgress(image.header->firmwareLength) +
                         "\nParameter table has a bad CRC!\n"
                         "reboot: queryTable error: 1\n"
                         "\nFailed to update firmware!\n"
                         "Verify cables have not come loose, and the switch still has power.\n");
}

}  // namespace
}  // namespace updsim
