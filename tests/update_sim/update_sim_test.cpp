// Whole updates of a simulated switch: what lands in its flash, in which order, what the user
// sees, and how faults and refused restarts are reported.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <functional>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "firmware/crc32.h"
#include "firmware/device_state.h"
#include "isp/device_line.h"
#include "sim_fixture.h"
#include "tools/image_builder.h"
#include "update/flash_map.h"
#include "update/flash_update.h"
#include "update/identify.h"
#include "update/param_table.h"

namespace updsim {
namespace {

// The progress line: 0%, the given percentages, and for a complete update of a firmware
// region of F bytes one per 4096-byte block and then 100%.
std::string progress(std::vector<unsigned> shown, std::uint32_t F = 0) {
  for (std::uint32_t remaining = F - 512; F != 0 && remaining >= 4096;) {
    remaining -= 4096;
    shown.push_back((F - remaining) * 100 / F);
  }
  std::string text = "\nUpdating firmware:   0% complete.";
  char line[64];
  for (unsigned percent : shown) {
    std::snprintf(line, sizeof line, "\rUpdating firmware: %3u%% complete.", percent);
    text += line;
  }
  return F == 0 ? text : text + "\rUpdating firmware: 100% complete.\n";
}

class Update : public SimTest {
 protected:
  void SetUp() override { deviceState = kStateUnknown; }
  int update(const t_FirmwareImage& i) { return capture([&] { return updateFirmware(&i); }); }
};

TEST_F(Update, EachShippedImageLandsExactlyInOrderAndRestarts) {
  for (int index = 0; index < kEmbeddedImageCount; ++index) {
    SCOPED_TRACE(index);
    const t_FirmwareImage image = shippedImage(index);
    const t_FirmwareHeader& h = *image.header;
    // The first from an older running firmware, the second onto a blank chip in its bootloader.
    sim::Options options = index == 0 ? switchOptions(0) : switchOptions(1, true, true);
    if (index == 0) options.version = 0x01000000;
    startSwitch(options);
    ASSERT_EQ(update(image), 0) << output_;
    EXPECT_EQ(output_, progress({}, h.firmwareLength));
    EXPECT_EQ(logStream(true).find("^BOOTL$") != std::string::npos, index == 0);
    EXPECT_EQ(deviceState, kStateBootloader);

    // Erase; the firmware from byte 512 in blocks of 4096, 1024 and 512 and the padded tail;
    // erase; the table padded to 512; the head block. Each copy is prepared right before.
    const std::string tableSector = index == 0 ? "14 14 0" : "10 10 0";
    std::vector<std::string> expected = {"P 0 9 0", "E 0 9 0"};
    auto copy = [&](std::uint32_t address, std::uint32_t length) {
      std::uint8_t bank = 0, first = 0, last = 0;
      ASSERT_EQ(flashRangeOf(address, length, &bank, &first, &last), 0);
      expected.push_back("P " + std::to_string(first) + " " + std::to_string(last) + " " +
                         std::to_string(bank));
      expected.push_back("C " + std::to_string(address) + " 268435456 " + std::to_string(length));
    };
    std::uint32_t address = h.firmwareAddress + 512, remaining = h.firmwareLength - 512;
    for (std::uint32_t size : {4096u, 1024u, 512u}) {
      for (; remaining >= size; remaining -= size, address += size) copy(address, size);
    }
    if (remaining > 0) copy(address, 512);
    expected.insert(expected.end(), {"P " + tableSector, "E " + tableSector});
    copy(h.paramAddress, 512);
    copy(h.firmwareAddress, 512);
    const std::string sent = logStream(true);
    static const std::regex command(R"(\n([PEC] \d+ \d+ \d+)(?=\r\n))");  // no data line
    std::vector<std::string> commands;
    for (std::sregex_iterator it(sent.begin(), sent.end(), command), end; it != end; ++it) {
      commands.push_back((*it)[1]);
    }
    EXPECT_EQ(commands, expected);

    // The flash holds each region exactly, 0xFF behind it to the end of what was erased.
    const std::vector<std::uint8_t> flash = sim_->flash();
    std::vector<std::uint8_t> region(image.firmware, image.firmware + h.firmwareLength);
    region.resize(0x30000, 0xFF);
    EXPECT_TRUE(std::equal(region.begin(), region.end(), flash.begin()));
    region.assign(image.params, image.params + h.paramLength);
    region.resize(512, 0xFF);
    const std::uint32_t table = h.paramAddress - kBankAAddress;
    EXPECT_TRUE(std::equal(region.begin(), region.end(), flash.begin() + table));

    // The new firmware was started at its entry, and the port is back at the console's rate.
    EXPECT_NE(sent.find(index == 0 ? "G 436263100 T" : "G 436263188 T"), std::string::npos);
    EXPECT_EQ(sim_->mode(), sim::Mode::Firmware);
    EXPECT_EQ(currentBaud, 19200);
  }
}

// Each case updates a blank switch in its bootloader with the first image.
TEST_F(Update, FaultsOnTheWayAndRefusedRestarts) {
  const std::string full = progress({}, 147068), badCrc = "\nParameter table has a bad CRC!\n";
  const std::string crcTest = "\nThe firmware failed the CRC test! Try reloading the firmware.\n";
  const std::string notLoaded = "\nThe firmware is not fully loaded, try reloading the firmware.\n";
  const std::string lost =
      "\n\nError 4: Lost the connection to the switch! Check cables and power.\n";
  // The table is read back before the head block: one that fails its own CRC stops the
  // update there, with the head block's page still erased.
  const std::string beforeHead = full.substr(0, full.rfind('\r')) + "\n" + crcTest;
  struct Case {
    const char* what;
    sim::Faults faults = {};
    std::function<void(t_ParamTable*)> edit = nullptr;
    std::uint32_t firmwareLength = 147068;
    int result;
    std::string output;
    unsigned copies = 41;  // 35 + 3 + 1 firmware blocks, the table, the head block
    const char* said = "";  // text the switch sent
    const char* sentTwice = nullptr;  // a line the host had to send a second time
    int repeated = -1;  // the work counted as done again, where the case tells it
  };
  const Case cases[] = {
      // Also a firmware region of whole 512-byte blocks: no padded tail.
      {.what = "corrupted RAM line", .faults = {.corruptWriteLine = 30}, .firmwareLength = 146944,
       .result = 0, .output = progress({}, 146944), .copies = 40, .said = "RESEND"},
      // A failing block redraws the line once with the percentage of the blocks before it.
      {.what = "weak cell in the third block", .faults = {.weakCellCopy = 3}, .result = 2,
       .output = progress({3, 5, 5}) +
                 "\n\nError: A mismatch occurred while verifying this update.\n",
       .copies = 3},
      {.what = "power lost after the fourth copy", .faults = {.powerLossAfterCopy = 4}, .result = 1,
       .output = progress({3, 5, 8, 8}) + lost, .copies = 4},
      // Replies 1 to 4 are the synchronisation's, 5 to 10 the two part identifications' (code
      // and two words each), 11 to 16 the table's read before the erase (code, four data lines,
      // sum), 17 the Unlock's, 18 the Prepare's, 19 the Erase's: a lost answer is a line error,
      // and the Prepare and Erase go again.
      {.what = "unanswered erase", .faults = {.dropReplyLine = 19}, .result = 0, .output = full,
       .sentTwice = "\nE 0 9 0\r\n"},
      // A Copy refused once was done again once, however many steps that took.
      {.what = "a refused copy", .faults = {.refuseLetter = 'C', .refuseFrom = 2, .refuseCode = 9},
       .result = 0, .output = full, .copies = 42, .repeated = 1},
      // The bootloader refuses every Prepare alike, its echo exact: that is told, with the code.
      {.what = "every Prepare refused",
       .faults = {.refuseLetter = 'P', .refuseFrom = 1, .refuseTimes = 1000, .refuseCode = 19},
       .result = 1,
       .output = progress({}) + "\n\nError 4: The switch's bootloader refused to prepare sectors (\"P 0 9 0\") with return "
                 "code 19 (CODE_READ_PROTECTION_ENABLED).\nThe line to the switch is sound: the switch itself "
                 "refused. Power-cycle the switch and run the update again.\n",
       .copies = 0},
      {.what = "older form", .edit = [](t_ParamTable* t) { t->magic = kTableMagicOld; },
       .result = 1, .output = full + "reboot: No vector table loaded.\n" + notLoaded},
      {.what = "unknown magic", .edit = [](t_ParamTable* t) { t->magic = 0; }, .result = 1,
       .output = full + "reboot: queryTable error: 3\n" + notLoaded},
      // These edits also spoil the table's own CRC.
      {.what = "firmware check mismatch", .edit = [](t_ParamTable* t) { t->checkCrc ^= 1; },
       .result = 1, .output = beforeHead, .copies = 40},
      {.what = "checkLength 4097", .edit = [](t_ParamTable* t) { t->checkLength = 4097; },
       .result = 1, .output = beforeHead, .copies = 40},
      {.what = "table CRC wrong", .edit = [](t_ParamTable* t) { t->tableCrc ^= 1; }, .result = 1,
       .output = beforeHead, .copies = 40},
      {.what = "checkLength 0", .edit = [](t_ParamTable* t) { t->checkLength = 0; }, .result = 1,
       .output = beforeHead, .copies = 40},
  };
  const t_FirmwareImage shipped = shippedImage(0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::uint8_t> bytes(shipped.image, shipped.image + shipped.imageSize);
    auto moved = [&](const std::uint8_t* p) { return bytes.data() + (p - shipped.image); };
    reinterpret_cast<t_FirmwareHeader*>(bytes.data())->firmwareLength = c.firmwareLength;
    const t_FirmwareImage image{bytes.data(), reinterpret_cast<t_FirmwareHeader*>(bytes.data()),
                                moved(shipped.firmware), moved(shipped.params), shipped.imageSize};
    if (c.firmwareLength != shipped.header->firmwareLength) {
      // The region cut to whole blocks is made sound again, as an image built that short
      // would be: its own CRC at its new end, its new length in the table. The switch starts
      // only firmware that passes that CRC.
      std::uint8_t* region = moved(shipped.firmware);
      std::uint32_t crc = crc32Final(crc32Update(crc32Init(), region, c.firmwareLength - 4));
      for (int i = 0; i < 4; ++i)
        region[c.firmwareLength - 4 + i] = static_cast<std::uint8_t>(crc >> (8 * i));
      auto* table = reinterpret_cast<t_ParamTable*>(moved(shipped.params));
      table->firmwareLength = c.firmwareLength;
      table->tableCrc = crc32Final(crc32Update(crc32Init(), reinterpret_cast<std::uint8_t*>(table),
                                               offsetof(t_ParamTable, tableCrc)));
    }
    if (c.edit) c.edit(reinterpret_cast<t_ParamTable*>(moved(shipped.params)));
    sim::Options options = switchOptions(0, true, true);
    options.faults = c.faults;
    startSwitch(options);

    EXPECT_EQ(update(image), c.result);
    EXPECT_EQ(output_, c.output);
    EXPECT_EQ(sim_->copiesDone(), c.copies);
    if (c.repeated >= 0) {
      EXPECT_EQ(lineBudget.repeated, static_cast<std::uint32_t>(c.repeated));
    }
    EXPECT_NE(logStream(false).find(c.said), std::string::npos);
    if (c.sentTwice != nullptr) {
      const std::string sent = logStream(true);
      const auto first = sent.find(c.sentTwice);
      ASSERT_NE(first, std::string::npos);
      EXPECT_NE(sent.find(c.sentTwice, first + 1), std::string::npos);
    }
    // A completed update holds the whole firmware, an interrupted one not even its head block.
    const bool complete = c.output.find("100%") != std::string::npos;
    const std::vector<std::uint8_t> flash = sim_->flash();
    EXPECT_EQ(std::equal(image.firmware, image.firmware + c.firmwareLength, flash.begin()),
              complete);
    EXPECT_EQ(std::count(flash.begin(), flash.begin() + 512, 0xFF) == 512, !complete);
    // After any failure the switch stays in its bootloader, and the port at its rate.
    EXPECT_EQ(sim_->mode() == sim::Mode::Firmware, c.result == 0);
    EXPECT_EQ(currentBaud, c.result == 0 ? 19200 : 115200);
  }
}

// The restart's firmware check reads checkLength bytes; counts that are no whole number of
// words are read as whole words and still match.
TEST_F(Update, TableWhoseCheckCoversNoWholeNumberOfWordsRestarts) {
  std::vector<std::uint8_t> firmware;
  ASSERT_TRUE(imagebuilder::makeDemoFirmware(imagebuilder::demoFirmwareSpec(0), &firmware, nullptr));
  for (const std::uint32_t checkLength : {510u, 3u}) {
    SCOPED_TRACE(checkLength);
    imagebuilder::ImageSpec spec = imagebuilder::demoImageSpec(0);
    spec.checkLength = checkLength;
    std::vector<std::uint8_t> bytes;
    ASSERT_TRUE(imagebuilder::buildImage(spec, firmware, &bytes, nullptr));
    t_FirmwareImage image{};
    image.image = bytes.data();
    image.imageSize = static_cast<std::uint32_t>(bytes.size());
    ASSERT_EQ(validateImage(nullptr, &image), kImageSound);
    startSwitch(switchOptions(0, true, true));
    EXPECT_EQ(update(image), 0) << output_;
    EXPECT_EQ(output_, progress({}, image.header->firmwareLength));
    EXPECT_NE(logStream(true).find("R 436207616 " + std::to_string((checkLength + 3) & ~3u)),
              std::string::npos);
    EXPECT_EQ(sim_->mode(), sim::Mode::Firmware);
  }
}

// Images whose regions do not fit the flash as the sequence writes it: refused with one
// message before a single byte goes to the switch, whose flash stays as it was.
TEST_F(Update, ImageThatDoesNotFitTheFlashIsRefusedBeforeTheSwitchIsTouched) {
  const std::string head = "Error: The firmware image does not fit the switch's flash.\nIts ";
  struct Case {
    const char* what;
    std::uint32_t firmwareBytes = 0x23E78;  // the first demo firmware's length
    std::uint32_t firmwareAddress = kBankAAddress;
    std::uint32_t paramAddress = kTableAddress512K;
    std::optional<std::uint32_t> vectorWord7 = {};  // replaces the checksum word of the vector table
    std::string message;
  };
  const Case cases[] = {
      {.what = "200 KB firmware under a table at the end of a 256 KB bank",
       .firmwareBytes = 200 * 1024, .paramAddress = kTableAddress256K,
       .message = "parameter table at 0x1A03FE00 shares sector 10 of flash bank A with its "
                  "firmware region (204804 bytes at 0x1A000000).\n"},
      {.what = "table across the end of bank A", .paramAddress = 0x1A07FFC0,
       .message = "parameter table (144 bytes at 0x1A07FFC0) runs past the end of flash bank A.\n"},
      {.what = "firmware off the page grid", .firmwareAddress = 0x1A000100,
       .message = "firmware region at 0x1A000100 does not start on a 512-byte flash page.\n"},
      {.what = "table off the page grid", .paramAddress = 0x1A07FC10,
       .message = "parameter table at 0x1A07FC10 does not start on a 512-byte flash page.\n"},
      {.what = "table behind a 512 KB bank", .paramAddress = 0x1A080000,
       .message = "parameter table at 0x1A080000 lies outside the flash.\n"},
      {.what = "firmware in RAM", .firmwareAddress = 0x10000000,
       .message = "firmware region at 0x10000000 lies outside the flash.\n"},
      // Written, the restart would read the old table and the switch would still report 4.01.
      {.what = "table inside bank A but not at its end", .paramAddress = 0x1A060000,
       .message = "parameter table at 0x1A060000 is at neither 0x1A07FE00 nor 0x1A03FE00, where "
                  "the switch reads it.\n"},
      {.what = "firmware in bank B", .firmwareAddress = 0x1B000000,
       .message = "firmware region at 0x1B000000 does not start at 0x1A000000, where the switch "
                  "starts its firmware.\n"},
      // Written, the chip would stay in its bootloader after every power cycle.
      {.what = "vector table without its checksum", .vectorWord7 = 0,
       .message = "firmware's first eight words sum to 0xAC0095BA, not 0: the switch would not "
                  "start it.\n"},
  };
  // The switch runs the shipped image; each refused image must leave it exactly so.
  startSwitch(switchOptions(0));
  const std::vector<std::uint8_t> flashBefore = sim_->flash();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    imagebuilder::DemoFirmwareSpec firmwareSpec = imagebuilder::demoFirmwareSpec(0);
    firmwareSpec.length = c.firmwareBytes;
    firmwareSpec.loadAddress = c.firmwareAddress;
    firmwareSpec.entryAddress = c.firmwareAddress + 0x1001;
    std::vector<std::uint8_t> firmware, bytes;
    ASSERT_TRUE(imagebuilder::makeDemoFirmware(firmwareSpec, &firmware, nullptr));
    if (c.vectorWord7) imagebuilder::storeLe32(firmware.data() + 28, *c.vectorWord7);
    imagebuilder::ImageSpec spec = imagebuilder::demoImageSpec(0);
    spec.firmwareAddress = c.firmwareAddress;
    spec.paramAddress = c.paramAddress;
    ASSERT_TRUE(imagebuilder::buildImage(spec, firmware, &bytes, nullptr));
    t_FirmwareImage image{};
    image.image = bytes.data();
    image.imageSize = static_cast<std::uint32_t>(bytes.size());
    ASSERT_EQ(validateImage(nullptr, &image), kImageSound);

    EXPECT_EQ(update(image), 1);
    EXPECT_EQ(output_, head + c.message);
    EXPECT_EQ(deviceState, kStateUnknown);
    EXPECT_EQ(currentBaud, 19200);
  }
  EXPECT_EQ(logStream(true), "") << "sent to the switch";
  EXPECT_EQ(sim_->mode(), sim::Mode::Firmware);
  EXPECT_TRUE(sim_->flash() == flashBefore);
}

// A sound image for the other size of flash bank (the product table said Sonarch60, the chip
// has 256 KB per bank): the switch is asked its size in the bootloader, and nothing is erased.
TEST_F(Update, ImageForTheOtherFlashSizeIsRefusedBeforeTheFirstErase) {
  struct Case {
    int switchImage, updateImage;
    const char* keeps;
  };
  for (const Case c : {Case{1, 0, "0x1A03FE00"}, Case{0, 1, "0x1A07FE00"}}) {
    SCOPED_TRACE(c.keeps);
    sim::Options options = switchOptions(c.switchImage);
    options.bank256K = c.switchImage == 1;
    startSwitch(options);
    const std::vector<std::uint8_t> flashBefore = sim_->flash();
    const t_FirmwareImage image = shippedImage(c.updateImage);
    EXPECT_EQ(update(image), 1);
    char table[16];
    std::snprintf(table, sizeof table, "0x%08X", image.header->paramAddress);
    EXPECT_EQ(output_, std::string("Error: The firmware image does not fit the switch's flash.\n"
                                   "Its parameter table at ") +
                           table + " is not where this switch keeps it (" + c.keeps + ").\n");
    const std::string sent = logStream(true);
    EXPECT_NE(sent.find("J\r\n"), std::string::npos) << "the switch was not asked its part";
    static const std::regex flashCommand(R"(\n[UPEC] )");
    EXPECT_FALSE(std::regex_search(sent, flashCommand)) << "unlocked, prepared, erased or copied";
    EXPECT_TRUE(sim_->flash() == flashBefore);
    EXPECT_EQ(sim_->copiesDone(), 0u);
  }
}

// The switch's own flash decides which firmware goes in: a table that names another product
// than the image's stops the update before anything is erased, whatever identity was shown.
TEST_F(Update, FlashThatNamesAnotherProductIsNeverErased) {
  const struct { int model, pcb; const char* name; } flashSays[] = {
      {86, 4, "Sonarch36"}, {100, 5, "Sonarch60-2710"}, {86, 6, "Sonarch60"}};
  for (const auto& f : flashSays) {
    SCOPED_TRACE(f.pcb);
    sim::Options options = switchOptions(0);
    options.model = f.model, options.pcbRevision = f.pcb;  // 86/6 is named as the flash holds it
    startSwitch(options);
    const std::vector<std::uint8_t> flashBefore = sim_->flash();
    EXPECT_EQ(update(shippedImage(0)), 1);
    EXPECT_EQ(output_, "\nThe switch's own flash describes a " + std::string(f.name) + " (model " +
                           std::to_string(f.model) + ", PCB revision " + std::to_string(f.pcb) +
                           "),\nbut this firmware is for a Sonarch60 (model 86, PCB revision 5).\n"
                           "Nothing was erased: the device was not updated. Power-cycle the switch "
                           "to restart it.\n");
    static const std::regex flashCommand(R"(\n[UPEC] )");
    EXPECT_FALSE(std::regex_search(logStream(true), flashCommand)) << "unlocked, prepared, erased or copied";
    EXPECT_TRUE(sim_->flash() == flashBefore);
  }
}

TEST_F(Update, SwitchThatNeverAnswers) {
  sim::Options options = switchOptions(0);
  options.faults.powerLossAfterBytes = 1;
  startSwitch(options);
  EXPECT_EQ(identifyDevice(), kIdentifyNoAnswer);
  EXPECT_EQ(update(shippedImage(0)), 1);
  EXPECT_EQ(output_, "Error 1: Could not connect to the switch! Check cables and power.\n");
}

}  // namespace
}  // namespace updsim
