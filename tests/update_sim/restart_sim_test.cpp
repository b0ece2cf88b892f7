// Reading the parameter table back through the bootloader, and restarting into the firmware.
#include <gtest/gtest.h>

#include <string>

#include "driver/run_state.h"
#include "firmware/identify.h"
#include "isp/isp_commands.h"
#include "sim_fixture.h"
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

}  // namespace
}  // namespace updsim
