// Identification of a simulated switch, and the parameter table read back through its
// bootloader: the table's checks, the record it fills, and the restart it allows.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "firmware/device_state.h"
#include "isp/device_line.h"
#include "isp/isp_commands.h"
#include "isp/line_policy.h"
#include "sim_fixture.h"
#include "tools/image_builder.h"
#include "update/flash_update.h"
#include "update/identify.h"
#include "update/param_table.h"

namespace updsim {
namespace {

constexpr const char* kBadTableCrc = "\nParameter table has a bad CRC!\n";

// What an identity record says: model/PCB revision, identity bytes, version and name.
std::string said(const t_DeviceInfo& r) {
  char text[96];
  std::snprintf(text, sizeof text, "%u/%u %02X%02X %08X %.32s", r.modelNumber, r.pcbRevision,
                r.idByte1, r.idByte0, r.firmwareVersion, r.nameBuf);
  return text;
}

class Identify : public SimTest {
 protected:
  void SetUp() override {
    deviceInfo = t_DeviceInfo{};
    deviceState = kStateUnknown;
  }
  int identify() { return capture(identifyDevice); }
};

TEST_F(Identify, PartWith256KBanksUnknownBanksAndFlashThatCannotBeRead) {
  startSwitch(switchOptions(1, true));
  ASSERT_EQ(identify(), 0);
  EXPECT_EQ(deviceState, kStateBootloader);
  EXPECT_EQ(said(deviceInfo), "100/5 4101 04020000 Sonarch60-2710");
  // The table's bytes that its CRC covers, not the page's padding.
  EXPECT_NE(logStream(true).find("R 436469248 144\r"), std::string::npos);

  sim::Options options = switchOptions(0, true);
  // Reply lines 1 to 10 are the synchronisation's and the two part identifications'; the
  // 11th, the table read's return code, never comes: a lost line, and the read is asked
  // again.
  options.faults.dropReplyLine = 11;
  startSwitch(options);
  lineBudgetEnd();
  EXPECT_EQ(identify(), 0);
  EXPECT_EQ(said(deviceInfo), "86/5 4101 04020000 Sonarch60");
  const std::string sent = logStream(true);
  const auto read = sent.find("R 436731392 144\r");
  ASSERT_NE(read, std::string::npos);
  EXPECT_NE(sent.find("R 436731392 144\r", read + 1), std::string::npos);

  // A 256 KB part whose first identification word is lost (reply line 6): asked again, never
  // taken for a 512 KB part, whose table address this part does not have.
  options = switchOptions(1, true);
  options.faults.dropReplyLine = 6;
  startSwitch(options);
  EXPECT_EQ(identify(), 0);
  EXPECT_EQ(said(deviceInfo), "100/5 4101 04020000 Sonarch60-2710");
  EXPECT_EQ(logStream(true).find("R 436731392 "), std::string::npos) << "read as a 512 KB part";

  // A part of the family with another bank size (384 KB): where its table lies is unknown,
  // so nothing is read.
  options = switchOptions(0, true);
  options.partIdWord1 = 0x22;
  startSwitch(options);
  EXPECT_EQ(identify(), kIdentifyUnreadable);
  EXPECT_NE(logStream(true).find("J\r"), std::string::npos);
  EXPECT_EQ(logStream(true).find("R "), std::string::npos);
}

// From the running firmware into the bootloader; then each case rewrites the table area
// through the bootloader, reads it back with queryTable and identifies the switch from it.
// A link that holds every answer back longer than the line time (a serial server on a network,
// a slow adapter): the synchronisation finds how long, and every later wait allows for it.
TEST_F(Identify, OverALinkThatHoldsEveryAnswerBackAndOverANoisyOne) {
  sim::Options options = switchOptions(0);
  options.adapterLatencyMs = 800;
  startSwitch(options);
  ASSERT_EQ(identify(), 0);
  EXPECT_EQ(said(deviceInfo), "86/5 0000 04020000 Sonarch60");
  EXPECT_GE(lineHeldMs, 700u);  // from the probe's end; the answer to its "^P$" leaves sooner
  ASSERT_EQ(enterBootloader(), 0);
  std::uint32_t words[2];
  EXPECT_EQ(nxpReadPartId(words), kPartIdRead);
  // A switch whose every answer arrives spoilt is on a noisy line, not away.
  options.adapterLatencyMs = -1;
  options.lineFaults.bitErrorRate = 0.05;
  startSwitch(options);
  EXPECT_EQ(identify(), kIdentifyNoisy);
  EXPECT_EQ(logStream(true).find("\x1b", logStream(true).find("^BOOTL$") + 20), std::string::npos)
      << "an exchange was abandoned";
}

TEST_F(Identify, FromTheFirmwareThenFromEachFormOfTheTable) {
  currentBaud = 0;
  EXPECT_EQ(identifyDevice(), kIdentifyNoPort);
  sim::Options options = switchOptions(0);
  options.ackBeforeIdentity = true;
  startSwitch(options);
  ASSERT_EQ(identify(), 0);
  EXPECT_EQ(deviceState, kStateFirmware);
  EXPECT_EQ(said(deviceInfo), "86/5 0000 04020000 Sonarch60");
  EXPECT_EQ(deviceInfo.productName, deviceInfo.nameBuf);
  EXPECT_EQ(output_, "");
  // A query right behind a probe finds two acknowledgements ahead of the identity line.
  devSend("\x1b^P$*\r");
  t_DeviceInfo record{};
  ASSERT_EQ(queryIdentity(&record), 0);
  EXPECT_STREQ(record.nameBuf, "Sonarch60");
  ASSERT_EQ(enterBootloader(), 0);
  EXPECT_NE(logStream(true).find("^BOOTL$"), std::string::npos);
  EXPECT_EQ(currentBaud, 115200);
  ASSERT_EQ(nxpUnlock(), 0);

  const t_FirmwareImage image = shippedImage(0);
  const std::uint32_t crc4096 = imagebuilder::crc32Of(image.firmware, 4096);
  const std::uint32_t crc510 = imagebuilder::crc32Of(image.firmware, 510);
  struct Case {
    const char* what;
    std::function<void(t_ParamTable*)> edit;  // none: the area is left erased
    int r;
    const char* printed = "";
    const char* sent = "";  // host text the read must hold (or, after '!', must not)
    bool reseal = true;
    const char* version = "04020000";  // when r is 0
    std::string name = "Sonarch60";
  };
  const Case cases[] = {
      {"sound", [](t_ParamTable*) {}, 0},
      {"tableLength over 512", [](t_ParamTable* t) { t->tableLength = 513; }, 0, kBadTableCrc},
      {"tableLength 0", [](t_ParamTable* t) { t->tableLength = 0; }, 0, kBadTableCrc},
      // A longer table, its CRC behind its last byte: the bytes past the first 144 are read too.
      {"tableLength 200", [](t_ParamTable* t) {
         t->tableLength = 200;
         auto* bytes = reinterpret_cast<std::uint8_t*>(t);
         const std::uint32_t crc = imagebuilder::crc32Of(bytes, 196);
         for (int i = 0; i < 4; ++i) bytes[196 + i] = static_cast<std::uint8_t>(crc >> (8 * i));
       }, 0, "", "R 436731536 56\r", false},
      {"checkLength 4096", [&](t_ParamTable* t) { t->checkLength = 4096; t->checkCrc = crc4096; },
       0, "", "R 436211216 496\r"},  // the fifth block: 4096 = 4 x 900 + 496
      // Not a whole number of words: the read asks for the rounded-up count.
      {"checkLength 510", [&](t_ParamTable* t) { t->checkLength = 510; t->checkCrc = crc510; },
       0, "", "R 436207616 512\r"},
      {"checkLength 4097", [](t_ParamTable* t) { t->checkLength = 4097; }, 4, "", "!R 436207616"},
      {"checkLength 0", [](t_ParamTable* t) { t->checkLength = 0; }, 1},
      {"firmware CRC mismatch", [](t_ParamTable* t) { t->checkCrc ^= 1; }, 5},
      {"older form, unchecked", [](t_ParamTable* t) {
         t->magic = kTableMagicOld; t->firmwareVersion = 0x03010000; t->checkCrc ^= 1; },
       0, "", "!R 436207616", false, "03010000"},
      {"unknown magic", [](t_ParamTable* t) { t->magic = 0x1E3CA503; }, 3},
      {"erased", nullptr, 3},
      {"name without NUL", [](t_ParamTable* t) { std::memset(t->productName, 'N', 32); }, 0, "",
       "", true, "04020000", std::string(31, 'N')},
      // Last: the restart below starts the firmware.
      {"wrong tableCrc", [](t_ParamTable* t) { t->tableCrc ^= 0x80; }, 0, kBadTableCrc, "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::uint8_t> area(512, 0xFF);
    std::memcpy(area.data(), image.params, image.header->paramLength);
    auto* table = reinterpret_cast<t_ParamTable*>(area.data());
    if (c.edit) c.edit(table);
    if (c.edit && c.reseal) imagebuilder::sealTable(table);
    ASSERT_EQ(nxpPrepareSectors(14, 14, 0), 0);
    ASSERT_EQ(nxpEraseSectors(14, 14, 0), 0);
    if (c.edit) {
      ASSERT_EQ(programBlock(kTableAddress512K, area.data(), 512), kStatusOk);
    }

    const std::size_t mark = logStream(true).size();
    t_DeviceInfo record;
    std::memset(&record, 0x5A, sizeof record);
    EXPECT_EQ(capture([&] { return queryTable(&record); }), c.r);
    EXPECT_EQ(output_, c.printed);
    const std::string sent = logStream(true).substr(mark);
    const bool absent = c.sent[0] == '!';
    EXPECT_EQ(sent.find(c.sent + absent) == std::string::npos, absent);
    // The record is filled for 0, 4 and 5 (with version 0 unless 0), and else left cleared.
    const bool filled = c.r == 0 || c.r == 4 || c.r == 5;
    const std::string expected = "86/5 4101 " + std::string(c.r == 0 ? c.version : "00000000") +
                                 " " + c.name;
    EXPECT_EQ(said(record), filled ? expected : "0/0 0000 00000000 ");

    // Identification agrees: the record, state 3 without a table, 7 when unreadable.
    deviceInfo = t_DeviceInfo{};
    deviceInfo.modelNumber = 1234;
    deviceInfo.hexWord = 0xCAFEF00D;  // the table has no such word
    currentBaud = 19200;  // so that the synchronisation tries the bootloader's rate first
    EXPECT_EQ(identify(), c.r == 1 ? kIdentifyUnreadable : 0);
    EXPECT_EQ(output_, c.printed);
    EXPECT_EQ(deviceState, c.r == 1   ? kStateUnknown
                           : c.r == 3 ? kStateBootloaderNoTable
                                      : kStateBootloader);
    EXPECT_EQ(said(deviceInfo), filled ? expected : "1234/0 0000 00000000 ");
    EXPECT_EQ(deviceInfo.hexWord, 0xCAFEF00Du);
    EXPECT_EQ(deviceInfo.productName, filled ? deviceInfo.nameBuf : nullptr);
  }
  // The restart follows an update only: a table that still fails its CRC when read a second
  // time was written wrongly, and the firmware is not started on it.
  const std::size_t mark = logStream(true).size();
  EXPECT_EQ(capture(reboot), kRebootCrcFailed);
  EXPECT_EQ(output_, std::string(kBadTableCrc) + "reboot: queryTable error: 2\n");
  const std::string sent = logStream(true).substr(mark);
  EXPECT_EQ(sent.find("G "), std::string::npos);
  const auto read = sent.find("R 436731392 144\r");
  ASSERT_NE(read, std::string::npos);
  EXPECT_NE(sent.find("R 436731392 144\r", read + 1), std::string::npos) << "read once more";
  EXPECT_EQ(sim_->mode(), sim::Mode::BootloaderSynced);
}

}  // namespace
}  // namespace updsim
