// The switch's firmware on its console at 19200 baud: probe answers, the identity line from
// the parameter table in flash, the way into the bootloader, and the messages after a restart.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "firmware/crc32.h"
#include "tests/sim/host_port.h"
#include "update/param_table.h"

namespace simtest {
namespace {

constexpr std::uint32_t kTableOffset = kTableAddress512K - 0x1A000000;
constexpr const char* kGo = "G 436263100 T\r\n";  // to the demo image's entry point

t_ParamTable tableIn(const std::vector<std::uint8_t>& flash) {
  t_ParamTable table;
  std::memcpy(&table, flash.data() + kTableOffset, sizeof table);
  return table;
}

using Console = SimTest;
using O = sim::Options;

TEST_F(Console, ProbeAnswersAtItsRateOnly) {
  start(installedSwitch(), 115200);
  expectQuiet("\x1b^P$?\r");  // the bootloader probe at 115200 is noise to the firmware
  port.setBaud(19200);
  expectReply("\x1b^P$*\r", "^+$");
  EXPECT_EQ(port.readFor(100), "") << "nothing after the acknowledgement";
  start(with(installedSwitch(), [](O& o) { o.probeAnswer = sim::ProbeAnswer::ReadyLine; }), 19200);
  expectReply("\x1b^P$*\r", "^=P00$");
}

TEST_F(Console, IdentityLineFromTheParameterTable) {
  start(installedSwitch(), 19200);
  expectReply("^V$", "^=V \"Sonarch60\" 4.02,86,5,4101$");
  start(with(installedSwitch(), [](O& o) {
          o.version = 0x04021003;  // 4.02, build 3, letter a
          o.name = "Bench unit";
          o.model = 90;
          o.pcbRevision = 2;
          o.ackBeforeIdentity = true;
        }), 19200);
  expectReply("^V$", "^+$^=V \"Bench unit\" 4.02.03a,90,2,4101$");
  expectQuiet("^X$V$", 100);  // only a whole frame is a request
  // The overrides are sealed into the table: its CRC covers everything before the CRC.
  std::vector<std::uint8_t> flash = device->flash();
  t_ParamTable table = tableIn(flash);
  EXPECT_EQ(table.firmwareVersion, 0x04021003u);
  EXPECT_EQ(table.identityWord >> 24, 90u);
  EXPECT_EQ(table.magic, kTableMagic);
  EXPECT_EQ(crc32Final(crc32Update(crc32Init(), flash.data() + kTableOffset,
                                   offsetof(t_ParamTable, tableCrc))), table.tableCrc);
  EXPECT_EQ(flash[kTableOffset + 0x90], 0xFF);  // the rest of the 512-byte area is erased
  EXPECT_EQ(flash[kTableOffset + 511], 0xFF);
  start(with(installedSwitch(), [](O& o) { o.installImage = demoImagePath(1), o.bank256K = true; }),
        19200);
  expectReply("^V$", "^=V \"Sonarch60-2710\" 4.02,100,5,4101$");
}

TEST_F(Console, TableDefectsOnRequest) {
  start(with(installedSwitch(), [](O& o) { o.oldTableForm = true, o.badCheckCrc = true; }), 19200);
  std::vector<std::uint8_t> flash = device->flash();
  t_ParamTable table = tableIn(flash);
  EXPECT_EQ(table.magic, kTableMagicOld);
  EXPECT_NE(crc32Final(crc32Update(crc32Init(), flash.data(), table.checkLength)), table.checkCrc);
  start(with(installedSwitch(), [](O& o) { o.eraseTable = true; }), 19200);
  flash = device->flash();
  EXPECT_TRUE(std::all_of(flash.begin() + kTableOffset, flash.begin() + kTableOffset + 512,
                          [](std::uint8_t b) { return b == 0xFF; }));
  EXPECT_EQ(device->mode(), sim::Mode::Firmware) << "the firmware itself is still there";
}

TEST_F(Console, ProgressAndReadyMessagesAfterARestart) {
  startUnlocked(with(installedSwitch(), [](O& o) {
    o.startInBootloader = true;
    o.bootDelayMs = 200;
    o.dspIntervalMs = 20;
  }));
  expectReply(kGo, "0\r\n");
  port.setBaud(19200);
  // Quiet during the boot delay, then banks 1 and 2, steps 0 to 5 each, then ready.
  EXPECT_EQ(port.readFor(100), "");
  std::string expected;
  for (int bank = 1; bank <= 2; ++bank)
    for (int step = 0; step <= 5; ++step)
      expected += "^!100," + std::to_string(bank) + "," + std::to_string(step) + "$";
  EXPECT_EQ(port.read(expected.size() + 4, 3000), expected + "^=P$");
}

TEST_F(Console, UpdatedTableIsReportedAfterTheRestart) {
  startUnlocked(with(restartable(), [](O& o) { o.version = 0x03000000; }));
  // Program the table with version 4.10 into its erased sector, as an update would.
  std::vector<std::uint8_t> flash = device->flash();
  std::vector<std::uint8_t> area(flash.begin() + kTableOffset, flash.begin() + kTableOffset + 512);
  area[4] = 0x00, area[5] = 0x00, area[6] = 0x0A, area[7] = 0x04;
  writeRam(area);
  run({{"P 14 14 0\r\n", "0\r\n"}, {"E 14 14 0\r\n", "0\r\n"}, {"P 14 14 0\r\n", "0\r\n"},
       {"C 436731392 268435456 512\r\n", "0\r\n"}, {kGo, "0\r\n"}});
  port.setBaud(19200);
  // Nothing comes on its own after this restart (no progress or ready messages asked for).
  expectReply("^V$", "^=V \"Sonarch60\" 4.10,86,5,4101$");
}

}  // namespace
}  // namespace simtest
