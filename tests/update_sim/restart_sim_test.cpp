// Reading the parameter table back through the bootloader, and restarting into the firmware.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "driver/run_state.h"
#include "firmware/identify.h"
#include "isp/isp_commands.h"
#include "sim_fixture.h"
#include "tools/image_builder.h"
#include "update/param_table.h"

namespace updsim {
namespace {

class Restart : public SimTest {
 protected:
  // A switch in its bootloader, synchronised with echo off.
  void startInBootloader(sim::Options options) {
    options.startInBootloader = true;
    startSwitch(options);
    ASSERT_EQ(nxpSync(), kSyncBootloader);
  }
  int capture(int (*routine)()) {
    beginCapture();
    const int result = routine();
    output_ = endCapture();
    return result;
  }
  std::string output_;
};

TEST_F(Restart, SoundTableStartsTheFirmwareAtItsEntry) {
  startInBootloader(installedOptions(0));
  EXPECT_EQ(capture(reboot), 0);
  EXPECT_EQ(output_, "");
  EXPECT_NE(logStream(true).find("G 436263100 T"), std::string::npos);
  EXPECT_EQ(sim_->mode(), sim::Mode::Firmware);
}

TEST_F(Restart, OlderFormTableIsRefused) {
  sim::Options options = installedOptions(0);
  options.oldTableForm = true;
  startInBootloader(options);
  EXPECT_EQ(queryTable(nullptr), 0);
  EXPECT_EQ(capture(reboot), 6);
  EXPECT_EQ(output_, "reboot: No vector table loaded.\n");
  EXPECT_EQ(logStream(true).find("\nG "), std::string::npos);
  EXPECT_NE(sim_->mode(), sim::Mode::Firmware);
}

TEST_F(Restart, ErasedTableIsRefusedWithTheTableCode) {
  sim::Options options = installedOptions(0);
  options.eraseTable = true;
  startInBootloader(options);
  EXPECT_EQ(capture(reboot), 3);
  EXPECT_EQ(output_, "reboot: queryTable error: 3\n");
  EXPECT_NE(sim_->mode(), sim::Mode::Firmware);
}

TEST_F(Restart, FirmwareCheckMismatchFillsTheRecordWithVersionZero) {
  sim::Options options = installedOptions(1);
  options.badCheckCrc = true;
  startInBootloader(options);
  t_DeviceInfo record{};
  beginCapture();
  EXPECT_EQ(queryTable(&record), 5);
  const std::string printed = endCapture();
  EXPECT_EQ(record.firmwareVersion, 0u);
  EXPECT_EQ(record.modelNumber, 100);
  EXPECT_EQ(record.pcbRevision, 5);
  EXPECT_STREQ(record.nameBuf, "Sonarch60-2710");
  // The table itself was resealed, so its own check passes silently.
  EXPECT_EQ(printed, "");
  EXPECT_EQ(capture(reboot), 5);
  EXPECT_EQ(output_, "reboot: queryTable error: 5\n");
}

TEST_F(Restart, TableAreaLandsInTableBuf) {
  startInBootloader(installedOptions(0));
  ASSERT_EQ(queryTable(nullptr), 0);
  const t_ParamTable table = tableFromBuffer();
  EXPECT_EQ(table.magic, kTableMagic);
  EXPECT_EQ(table.identityWord, 0x56054101u);
  EXPECT_EQ(table.entryAddress, 0x1A00D8BDu);
  for (std::uint32_t i = sizeof(t_ParamTable); i < kTableArea; ++i) {
    ASSERT_EQ(tableBuf[i], 0xFF) << i;
  }
}

// A switch in its bootloader whose table in flash (first image, 512 KB bank) was edited.
class EditedTable : public Restart {
 protected:
  template <typename Edit>
  void start(Edit edit, bool reseal = true) {
    sim::Options options = installedOptions(0);
    options.installImage.clear();
    options.flashFile = editedFlashFile(0, [&](std::vector<std::uint8_t>* flash) {
      auto* table = reinterpret_cast<t_ParamTable*>(flash->data() + 0x7FE00);
      edit(table, *flash);
      if (reseal) imagebuilder::sealTable(table);
    });
    startInBootloader(options);
  }
  int query() {
    beginCapture();
    const int r = queryTable(&record_);
    output_ = endCapture();
    return r;
  }
  t_DeviceInfo record_{};
};

constexpr const char* kBadTableCrc = "\nParameter table has a bad CRC!\n";

TEST_F(EditedTable, TableLengthBeyondTheAreaIsReportedButDecidesNothing) {
  start([](t_ParamTable* t, std::vector<std::uint8_t>&) { t->tableLength = 513; });
  EXPECT_EQ(query(), 0);
  EXPECT_EQ(output_, kBadTableCrc);
  EXPECT_EQ(record_.firmwareVersion, 0x04020000u);
}

TEST_F(EditedTable, TableLengthZeroLeavesTheRegisterUnchecked) {
  start([](t_ParamTable* t, std::vector<std::uint8_t>&) { t->tableLength = 0; });
  EXPECT_EQ(query(), 0);
  EXPECT_EQ(output_, kBadTableCrc);
}

TEST_F(EditedTable, WrongTableCrcStillRestarts) {
  start([](t_ParamTable* t, std::vector<std::uint8_t>&) { t->tableCrc ^= 0x80; }, false);
  EXPECT_EQ(query(), 0);
  EXPECT_EQ(output_, kBadTableCrc);
  EXPECT_EQ(capture(reboot), 0);
  EXPECT_EQ(output_, kBadTableCrc);
  EXPECT_EQ(sim_->mode(), sim::Mode::Firmware);
}

TEST_F(EditedTable, CheckLengthAtTheLimitIsReadAndChecked) {
  start([](t_ParamTable* t, std::vector<std::uint8_t>& flash) {
    t->checkLength = 4096;
    t->checkCrc = imagebuilder::crc32Of(flash.data(), 4096);
  });
  EXPECT_EQ(query(), 0);
  EXPECT_EQ(output_, "");
  // Read in blocks of 900 bytes: the last one holds the remaining 496.
  const std::string sent = logStream(true);
  EXPECT_NE(sent.find("R 436207616 900\r"), std::string::npos);
  EXPECT_NE(sent.find("R 436211216 496\r"), std::string::npos);
}

TEST_F(EditedTable, CheckLengthOverTheLimitGivesFourWithoutARead) {
  start([](t_ParamTable* t, std::vector<std::uint8_t>&) { t->checkLength = 4097; });
  EXPECT_EQ(query(), 4);
  EXPECT_EQ(record_.firmwareVersion, 0u);
  EXPECT_EQ(record_.modelNumber, 86);
  EXPECT_STREQ(record_.nameBuf, "Sonarch60");
  EXPECT_EQ(logStream(true).find("R 436207616"), std::string::npos);
}

TEST_F(EditedTable, CheckLengthZeroIsAFailedRead) {
  start([](t_ParamTable* t, std::vector<std::uint8_t>&) { t->checkLength = 0; });
  record_.modelNumber = 5;
  EXPECT_EQ(query(), 1);
  EXPECT_EQ(record_.modelNumber, 0);  // cleared at the start, not filled
}

TEST_F(EditedTable, UnknownMagicGivesThree) {
  start([](t_ParamTable* t, std::vector<std::uint8_t>&) { t->magic = 0x1E3CA503; });
  EXPECT_EQ(query(), 3);
  EXPECT_EQ(output_, "");
  EXPECT_STREQ(record_.nameBuf, "");
}

}  // namespace
}  // namespace updsim
