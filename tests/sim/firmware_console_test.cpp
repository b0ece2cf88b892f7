// The switch's firmware on its console at 19200 baud: probe answers, the identity line from
// the parameter table in flash, the way into the bootloader, and the messages after a restart.
#include <gtest/gtest.h>

#include <cstring>

#include "firmware/crc32.h"
#include "sim/uu_codec.h"
#include "tests/sim/host_port.h"
#include "update/param_table.h"

namespace simtest {
namespace {

using Console = SimTest;

TEST_F(Console, AnswersTheProbeAtItsRateOnly) {
  start(installedSwitch(), 115200);
  // The utility's bootloader probe at 115200 is noise to the firmware.
  port.send("\x1b^P$?\r");
  EXPECT_EQ(port.readFor(150), "");
  port.setBaud(19200);
  port.send("\x1b");
  port.send("^P$");
  port.send("*");
  port.send("\r");
  EXPECT_EQ(port.read(3), "^+$");
  EXPECT_EQ(port.readFor(100), "") << "nothing after the acknowledgement";
}

TEST_F(Console, ReadyLineProbeAnswer) {
  sim::Options o = installedSwitch();
  o.probeAnswer = sim::ProbeAnswer::ReadyLine;
  start(o, 19200);
  expectReply("\x1b^P$*\r", "^=P00$");
}

TEST_F(Console, IdentityLineFromTheParameterTable) {
  start(installedSwitch(), 19200);
  expectReply("^V$", "^=V \"Sonarch60\" 4.02,86,5,4101$");
}

TEST_F(Console, IdentityLineWithBetaLetterAndOverrides) {
  sim::Options o = installedSwitch();
  o.version = 0x04021003;  // 4.02, build 3, letter a
  o.name = "Bench unit";
  o.model = 90;
  o.pcbRevision = 2;
  o.ackBeforeIdentity = true;
  start(o, 19200);
  expectReply("^V$", "^+$^=V \"Bench unit\" 4.02.03a,90,2,4101$");
  // Only a whole frame is a request: a garbled one is ignored.
  port.send("^X$V$");
  EXPECT_EQ(port.readFor(100), "");
}

TEST_F(Console, InstalledTableIsSealedWithItsOverrides) {
  sim::Options o = installedSwitch();
  o.version = 0x05000000;
  o.model = 95;
  start(o, 19200);
  std::vector<std::uint8_t> flash = device->flash();
  t_ParamTable table;
  std::memcpy(&table, flash.data() + (kTableAddress512K - 0x1A000000), sizeof table);
  EXPECT_EQ(table.firmwareVersion, 0x05000000u);
  EXPECT_EQ(table.identityWord >> 24, 95u);
  EXPECT_EQ(table.magic, kTableMagic);
  // The table's CRC covers its first 0x8C bytes (checked with the utility's own CRC-32).
  std::uint32_t crc = crc32Final(crc32Update(crc32Init(), flash.data() + (kTableAddress512K - 0x1A000000),
                                             offsetof(t_ParamTable, tableCrc)));
  EXPECT_EQ(crc, table.tableCrc);
  // The rest of the 512-byte area is erased.
  EXPECT_EQ(flash[kTableAddress512K - 0x1A000000 + 0x90], 0xFF);
  EXPECT_EQ(flash[kTableAddress512K - 0x1A000000 + 511], 0xFF);
}

TEST_F(Console, TableDefectsOnRequest) {
  sim::Options o = installedSwitch();
  o.oldTableForm = true;
  o.badCheckCrc = true;
  sim::Switch sw(o);
  std::string error;
  ASSERT_TRUE(sw.start(&error)) << error;
  std::vector<std::uint8_t> flash = sw.flash();
  t_ParamTable table;
  std::memcpy(&table, flash.data() + (kTableAddress512K - 0x1A000000), sizeof table);
  EXPECT_EQ(table.magic, kTableMagicOld);
  std::uint32_t firmwareCrc = crc32Final(crc32Update(crc32Init(), flash.data(), table.checkLength));
  EXPECT_NE(firmwareCrc, table.checkCrc);

  sim::Options erased = installedSwitch();
  erased.eraseTable = true;
  sim::Switch sw2(erased);
  ASSERT_TRUE(sw2.start(&error)) << error;
  flash = sw2.flash();
  for (std::uint32_t i = 0; i < 512; ++i)
    ASSERT_EQ(flash[kTableAddress512K - 0x1A000000 + i], 0xFF) << i;
  EXPECT_EQ(sw2.mode(), sim::Mode::Firmware) << "the firmware itself is still there";
}

TEST_F(Console, SecondImageNeeds256KBanks) {
  sim::Options o = installedSwitch();
  o.installImage = demoImagePath(1);
  o.bank256K = true;
  start(o, 19200);
  expectReply("^V$", "^=V \"Sonarch60-2710\" 4.02,100,5,4101$");
}

TEST_F(Console, BootlRequestEntersTheBootloader) {
  start(installedSwitch(), 19200);
  port.send("^BOOTL$");
  EXPECT_EQ(port.readFor(100), "");
  EXPECT_EQ(device->mode(), sim::Mode::BootloaderWaiting);
  ASSERT_TRUE(syncBootloader(port));
  expectReply("J\r\n", "0\r\n2684471344\r\n0\r\n");
}

TEST_F(Console, ProgressAndReadyMessagesAfterARestart) {
  sim::Options o = installedSwitch();
  o.startInBootloader = true;
  o.bootDelayMs = 200;
  o.dspIntervalMs = 20;
  o.dspBanks = 2;
  startSynced(o);
  expectReply("U 23130\r\n", "0\r\n");
  expectReply("G 436263100 T\r\n", "0\r\n");
  port.setBaud(19200);
  // Quiet during the boot delay, then banks 1 and 2, steps 0 to 5 each, then ready.
  EXPECT_EQ(port.readFor(100), "");
  std::string expected;
  for (int bank = 1; bank <= 2; ++bank)
    for (int step = 0; step <= 5; ++step)
      expected += "^!100," + std::to_string(bank) + "," + std::to_string(step) + "$";
  expected += "^=P$";
  EXPECT_EQ(port.read(expected.size(), 3000), expected);
}

TEST_F(Console, NoMessagesAfterARestartWhenSwitchedOff) {
  sim::Options o = installedSwitch();
  o.startInBootloader = true;
  o.bootDelayMs = 0;
  o.dspBanks = 0;
  o.readyMessage = false;
  startSynced(o);
  expectReply("U 23130\r\n", "0\r\n");
  expectReply("G 436263100 T\r\n", "0\r\n");
  port.setBaud(19200);
  EXPECT_EQ(port.readFor(300), "");
  EXPECT_EQ(device->mode(), sim::Mode::Firmware);
}

TEST_F(Console, UpdatedTableIsReportedAfterTheRestart) {
  sim::Options o = installedSwitch();
  o.startInBootloader = true;
  o.version = 0x03000000;
  o.dspBanks = 0;
  o.readyMessage = false;
  startSynced(o);
  // Program a table with version 4.10 into the erased table sector, as an update would.
  std::vector<std::uint8_t> flash = device->flash();
  std::vector<std::uint8_t> area(flash.begin() + (kTableAddress512K - 0x1A000000),
                                 flash.begin() + (kTableAddress512K - 0x1A000000) + 512);
  area[4] = 0x00, area[5] = 0x00, area[6] = 0x0A, area[7] = 0x04;
  port.send("W 268435456 512\r\n");
  ASSERT_EQ(port.read(3), "0\r\n");
  for (std::size_t at = 0; at < 512; at += 900) {
    std::string text;
    std::uint32_t sum = 0;
    for (std::size_t l = at; l < std::min<std::size_t>(512, at + 900); l += 45)
      text += sim::uuEncodeLine(area.data() + l, std::min<std::size_t>(45, 512 - l)) + "\r\n";
    for (std::uint8_t b : area) sum += b;
    expectReply(text + std::to_string(sum) + "\r\n", "OK\r\n");
  }
  expectReply("U 23130\r\n", "0\r\n");
  expectReply("P 14 14 0\r\n", "0\r\n");
  expectReply("E 14 14 0\r\n", "0\r\n");
  expectReply("P 14 14 0\r\n", "0\r\n");
  expectReply("C 436731392 268435456 512\r\n", "0\r\n");
  expectReply("G 436263100 T\r\n", "0\r\n");
  port.setBaud(19200);
  expectReply("^V$", "^=V \"Sonarch60\" 4.10,86,5,4101$");
}

}  // namespace
}  // namespace simtest
