// Identification of a simulated switch on the open port, in its firmware and in its bootloader.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "driver/run_state.h"
#include "firmware/identify.h"
#include "isp/device_line.h"
#include "sim_fixture.h"
#include "tools/image_builder.h"
#include "update/param_table.h"

namespace updsim {
namespace {

class Identify : public SimTest {
 protected:
  void SetUp() override {
    std::memset(&deviceInfo, 0, sizeof deviceInfo);
    deviceState = kStateUnknown;
  }
  int identify() {
    beginCapture();
    const int result = identifyDevice();
    output_ = endCapture();
    return result;
  }
  std::string output_;
};

TEST_F(Identify, NoPortOpen) {
  currentBaud = 0;
  EXPECT_EQ(identifyDevice(), kIdentifyNoPort);
}

TEST_F(Identify, SwitchRunningItsFirmwareAnswersWithItsIdentityLine) {
  startSwitch(installedOptions(0));
  ASSERT_EQ(identify(), 0);
  EXPECT_EQ(deviceState, kStateFirmware);
  EXPECT_EQ(currentBaud, 19200);
  EXPECT_EQ(deviceInfo.modelNumber, 86);
  EXPECT_EQ(deviceInfo.pcbRevision, 5);
  EXPECT_EQ(deviceInfo.firmwareVersion, 0x04020000u);
  EXPECT_STREQ(deviceInfo.nameBuf, "Sonarch60");
  ASSERT_NE(deviceInfo.productName, nullptr);
  EXPECT_STREQ(deviceInfo.productName, "Sonarch60");
  EXPECT_EQ(output_, "");
}

TEST_F(Identify, SwitchInItsBootloaderIsReadFromItsParameterTable) {
  sim::Options options = installedOptions(0);
  options.startInBootloader = true;
  startSwitch(options);
  deviceInfo.hexWord = 0xCAFEF00D;
  ASSERT_EQ(identify(), 0);
  EXPECT_EQ(deviceState, kStateBootloader);
  EXPECT_EQ(currentBaud, 115200);
  EXPECT_EQ(deviceInfo.modelNumber, 86);
  EXPECT_EQ(deviceInfo.pcbRevision, 5);
  EXPECT_EQ(deviceInfo.idByte1, 0x41);
  EXPECT_EQ(deviceInfo.idByte0, 0x01);
  EXPECT_EQ(deviceInfo.firmwareVersion, 0x04020000u);
  EXPECT_STREQ(deviceInfo.nameBuf, "Sonarch60");
  EXPECT_EQ(deviceInfo.productName, deviceInfo.nameBuf);
  EXPECT_EQ(deviceInfo.hexWord, 0xCAFEF00Du);  // the table has no such word
  EXPECT_EQ(output_, "");
  // The table was read at the 512 KB layout's address.
  EXPECT_NE(logStream(true).find("R 436731392 512"), std::string::npos);
}

TEST_F(Identify, FirmwareCrcMismatchIdentifiesWithVersionZero) {
  sim::Options options = installedOptions(0);
  options.startInBootloader = true;
  options.badCheckCrc = true;
  startSwitch(options);
  ASSERT_EQ(identify(), 0);
  EXPECT_EQ(deviceState, kStateBootloader);
  EXPECT_EQ(deviceInfo.firmwareVersion, 0u);
  EXPECT_EQ(deviceInfo.modelNumber, 86);
  EXPECT_EQ(deviceInfo.pcbRevision, 5);
  EXPECT_STREQ(deviceInfo.nameBuf, "Sonarch60");
  EXPECT_EQ(output_, "");
}

TEST_F(Identify, OlderFormTableIdentifiesWithItsVersion) {
  sim::Options options = installedOptions(0);
  options.startInBootloader = true;
  options.oldTableForm = true;
  options.version = 0x03010000;
  startSwitch(options);
  ASSERT_EQ(identify(), 0);
  EXPECT_EQ(deviceState, kStateBootloader);
  EXPECT_EQ(deviceInfo.firmwareVersion, 0x03010000u);
  EXPECT_EQ(deviceInfo.modelNumber, 86);
  EXPECT_STREQ(deviceInfo.nameBuf, "Sonarch60");
}

TEST_F(Identify, ErasedTableLeavesTheRecordAndSaysSo) {
  sim::Options options = installedOptions(0);
  options.startInBootloader = true;
  options.eraseTable = true;
  startSwitch(options);
  deviceInfo.modelNumber = 1234;
  std::strcpy(deviceInfo.nameBuf, "earlier");
  ASSERT_EQ(identify(), 0);
  EXPECT_EQ(deviceState, kStateBootloaderNoTable);
  EXPECT_EQ(deviceInfo.modelNumber, 1234);
  EXPECT_STREQ(deviceInfo.nameBuf, "earlier");
}

TEST_F(Identify, PartWith256KBankReadsTheTableLower) {
  sim::Options options = installedOptions(1);
  options.startInBootloader = true;
  startSwitch(options);
  ASSERT_EQ(identify(), 0);
  EXPECT_EQ(deviceState, kStateBootloader);
  EXPECT_EQ(deviceInfo.modelNumber, 100);
  EXPECT_EQ(deviceInfo.pcbRevision, 5);
  EXPECT_EQ(deviceInfo.firmwareVersion, 0x04020000u);
  EXPECT_STREQ(deviceInfo.nameBuf, "Sonarch60-2710");
  EXPECT_EQ(detectFlashLayout(), 2);
  EXPECT_NE(logStream(true).find("R 436469248 512"), std::string::npos);
}

TEST_F(Identify, OverlongNameInTheTableIsCutAndTerminated) {
  sim::Options options = installedOptions(0);
  options.installImage.clear();
  options.startInBootloader = true;
  // All 32 name bytes of the table in flash are letters, with no NUL; the table is resealed.
  options.flashFile = editedFlashFile(0, [](std::vector<std::uint8_t>* flash) {
    auto* table = reinterpret_cast<t_ParamTable*>(flash->data() + 0x7FE00);
    std::memset(table->productName, 'N', sizeof table->productName);
    imagebuilder::sealTable(table);
  });
  startSwitch(options);
  std::memset(deviceInfo.nameBuf, 'Z', sizeof deviceInfo.nameBuf);
  ASSERT_EQ(identify(), 0);
  EXPECT_EQ(deviceInfo.nameBuf[31], '\0');
  EXPECT_EQ(std::string(deviceInfo.nameBuf), std::string(31, 'N'));
  EXPECT_EQ(deviceInfo.productName, deviceInfo.nameBuf);
  EXPECT_EQ(output_, "");  // the resealed table passes its own check
}

TEST_F(Identify, UnreadableFlashLeavesTheSwitchUnknown) {
  sim::Options options = installedOptions(0);
  options.startInBootloader = true;
  // Reply lines 1 to 7 are the synchronisation's and the part identification's; the 8th is
  // the return code of the table read, which never comes.
  options.faults.dropReplyLine = 8;
  startSwitch(options);
  deviceInfo.modelNumber = 77;
  EXPECT_EQ(identify(), kIdentifyUnreadable);
  EXPECT_EQ(deviceState, kStateUnknown);
  EXPECT_EQ(deviceInfo.modelNumber, 77);
  EXPECT_NE(logStream(true).find("R 436731392 512"), std::string::npos);
}

TEST_F(Identify, SilentPortAnswersNothing) {
  sim::Options options = installedOptions(0);
  options.faults.powerLossAfterBytes = 1;
  startSwitch(options);
  EXPECT_EQ(identify(), kIdentifyNoAnswer);
  EXPECT_EQ(deviceState, kStateUnknown);
}

TEST_F(Identify, QueryIdentityPassesOverAcknowledgements) {
  startSwitch(installedOptions(0));
  // The firmware acknowledges the probe of a synchronisation attempt with "^+$"; a query sent
  // right behind such a probe finds that acknowledgement first.
  devSend("\x1b^P$*\r");
  t_DeviceInfo record{};
  ASSERT_EQ(queryIdentity(&record), 0);
  EXPECT_EQ(record.modelNumber, 86);
  EXPECT_STREQ(record.nameBuf, "Sonarch60");
  const std::string answers = logStream(false);
  const std::size_t ack = answers.find("^+$");
  ASSERT_NE(ack, std::string::npos);
  EXPECT_LT(ack, answers.find("^=V"));
}

}  // namespace
}  // namespace updsim
