#include "update/flash_update.h"

#include <cstdint>
#include <cstring>

#include "firmware/device_state.h"
#include "firmware/product_table.h"
#include "isp/device_line.h"
#include "isp/isp_commands.h"
#include "isp/isp_transfer.h"
#include "isp/line_policy.h"
#include "isp/return_codes.h"
#include "support/clock.h"
#include "support/console.h"
#include "transport/serial.h"
#include "update/flash_map.h"
#include "update/flash_parts.h"
#include "update/image_fit.h"
#include "update/param_table.h"
#include "update/update_log.h"

namespace {

constexpr int kBootloaderBaud = 115200;
constexpr int kConsoleBaud = 19200;
constexpr const char* kVerb = "Updating";

// Whether the region [start, start + length) lies within the image's bytes.
bool regionInside(const t_FirmwareImage* image, const std::uint8_t* start, std::uint32_t length) {
  if (start == nullptr) {
    return false;
  }
  const auto base = reinterpret_cast<std::uintptr_t>(image->image);
  const auto at = reinterpret_cast<std::uintptr_t>(start);
  if (at < base) {
    return false;
  }
  const std::uint64_t offset = at - base;
  return offset + length <= image->imageSize;
}

// A clear refusal, before the switch is touched, for an image the sequence cannot write.
bool imageUsable(const t_FirmwareImage* image) {
  const t_FirmwareHeader* header = image->header;
  if (header == nullptr || !regionInside(image, image->firmware, header->firmwareLength) ||
      !regionInside(image, image->params, header->paramLength)) {
    conPuts("Error: The firmware image is damaged: its regions lie outside it.\n");
    return false;
  }
  return checkImageFit(image) == kFitSound;
}

// The firmware region's length, for the progress line of the update under way.
std::uint32_t progressLength = 0;

void showProgress(std::uint32_t remaining) {
  conPrintf("\r%s firmware: %3u%% complete.", kVerb, progressPercent(progressLength, remaining));
}

}  // namespace

unsigned progressPercent(std::uint32_t firmwareLength, std::uint32_t remaining) {
  if (firmwareLength == 0) {
    return 0;
  }
  return static_cast<unsigned>(((firmwareLength - remaining) * 100u) / firmwareLength);
}

int enterBootloader() {
  int answer = nxpSync();
  if (answer == kSyncNothing) {
    return kBootloaderNoAnswer;
  }
  // A request the line spoilt leaves the firmware running: it answers the next probe as
  // before, and is asked again.
  for (int request = 0; answer == kSyncFirmware && request < kBootRequests; ++request) {
    devSend("^BOOTL$");
    clockDelay(kBootHandoverMs);
    if (comSetBaud(&devicePort, kBootloaderBaud)) {
      currentBaud = kBootloaderBaud;
    }
    answer = nxpSync();
  }
  if (answer != kSyncBootloader) {
    return kBootloaderNotEntered;
  }
  deviceState = kStateBootloader;
  clockDelay(kSyncSettleMs);
  devFlushInput();
  return kBootloaderReady;
}

namespace {

// The copy's answer was lost, damaged or a refusal: the compare shows whether the block is in
// place all the same. Anything short of an equal compare leaves the sectors in doubt.
unsigned compareAfterDoubtfulCopy(std::uint32_t address, std::uint32_t length) {
  return nxpCompare(address, kRamStagingAddress, length) == kCompareEqual ? kStatusOk
                                                                           : kStatusSuspect;
}

// Erased flash reads 0xFF: a blank block compares equal whether or not any copy reached it.
bool blockIsBlank(const std::uint8_t* data, std::uint32_t length) {
  for (std::uint32_t i = 0; i < length; ++i) {
    if (data[i] != 0xFF) {
      return false;
    }
  }
  return true;
}

}  // namespace

unsigned programBlock(std::uint32_t address, const std::uint8_t* data, std::uint32_t length) {
  if (data == nullptr || nxpWriteRam(kRamStagingAddress, data, length) != kWriteRamOk) {
    return kStatusRamWrite;
  }
  std::uint8_t bank = 0;
  std::uint8_t first = 0;
  std::uint8_t last = 0;
  if (flashRangeOf(address, length, &bank, &first, &last) != 0) {
    return kStatusAddress;
  }
  int action = kActAskAgain;
  for (int attempt = 0; attempt < kCommandAttempts && action == kActAskAgain; ++attempt) {
    if (nxpPrepareSectors(first, last, bank) != kExchangeOk) {
      return kStatusCommand;
    }
    int answered = kExchangeNoReply;
    action = lineAction(kStepCopy, nxpCopyRamToFlash(address, kRamStagingAddress, length, &answered));
    if (action == kActReadAnswer) {
      action = lineAction(kStepCopyOtherLine, answered);
    }
  }
  switch (action) {
    case kActDone:
      break;
    case kActCompare:
      return compareAfterDoubtfulCopy(address, length);
    case kActRewrite:
      // The bootloader may have received another Copy. Its sectors were erased before this
      // block, so a block with data found in place came from a copy to this address of these
      // bytes; a blank one proves nothing.
      return blockIsBlank(data, length) ? kStatusSuspect : compareAfterDoubtfulCopy(address, length);
    default:
      return kStatusCommand;
  }
  switch (nxpCompare(address, kRamStagingAddress, length)) {
    case kCompareEqual:
      return kStatusOk;
    case kCompareDifferent:
      return kStatusMismatch;
    default:
      return kStatusCommand;
  }
}

namespace {

// Erase, the firmware after its head block with the progress line, erase, the table and its
// check, and the head block only once everything else is in place and checked.
unsigned writeImage(const t_FirmwareImage* image) {
  const t_FirmwareHeader* header = image->header;
  t_Parts parts{{
      {header->firmwareAddress + kHeadBlockBytes, image->firmware + kHeadBlockBytes,
       header->firmwareLength - kHeadBlockBytes, 4096, 0},
      {header->paramAddress, image->params, header->paramLength, 512, 0},
      {header->firmwareAddress, image->firmware, kHeadBlockBytes, 512, 0},
  }};
  unsigned status = eraseRegion(header->firmwareAddress, header->firmwareLength);
  conPrintf("\n%s firmware:   0%% complete.", kVerb);
  progressLength = header->firmwareLength;
  if (status == kStatusOk) {
    status = writePart(&parts, kPartFirmware, showProgress);
  }
  if (status == kStatusOk) {
    status = eraseRegion(header->paramAddress, header->paramLength);
  }
  if (status == kStatusOk) {
    status = writePart(&parts, kPartTable, nullptr);
  }
  // The head block's vectors make the chip start the firmware at its next reset: a table
  // that is not as written must be found while the bootloader still keeps the switch.
  if (status == kStatusOk) {
    const int table = updateLogTableCheck(
        checkWrittenTable(header->paramAddress, image->params, header->paramLength));
    status = table == kTableSound        ? kStatusOk
             : table == kTableUnreadable ? kStatusCommand
                                         : kStatusTableBad;
  }
  // The line's budget bounds everything up to here; the head block, 512 bytes, has its own
  // limits only, so that a switch whose every other byte is in place is not left half done.
  // A step that gave up on a line that kept answering with spoilt bytes, or because the
  // budget was spent, is told as a noisy line; silence, a difference found or a table not as
  // written are told as such.
  if ((status == kStatusOk && lineBudgetSpent()) ||
      ((status == kStatusRamWrite || status == kStatusCommand) && !lineBudgetRefused() &&
       (lineBudgetSpent() || lineBudgetNoisy()))) {
    status = kStatusLineBudget;
  }
  lineBudgetEnd();
  if (status == kStatusOk) {
    status = writePart(&parts, kPartHead, nullptr);
  }
  return status;
}

// The technician's words for a line that spent the update's budget.
void reportNoisyLine() {
  updateLogBudget(lineBudget.repeated, lineBudget.exchanges);
  conPrintf("\n\nThe serial line to the switch is too noisy: %u of %u exchanges had to be "
            "repeated. Check the cable, the adapter and their connections, then run the update "
            "again.\n",
            lineBudget.repeated, lineBudget.exchanges);
}

// The technician's words for a noise that ended the synchronisation: something answered, but
// nothing it sent was an answer.
void reportNoisySync() {
  updateLogNoisySync();
  conPuts("\n\nThe serial line to the switch is too noisy: the switch answered, but its answers "
          "arrived spoilt. Check the cable, the adapter and their connections, then run the update "
          "again.\n");
}

// The technician's words for a step the bootloader refused, the same way every time with its
// echo exact: the line is sound, the switch itself said no.
void reportRefusal(unsigned status) {
  const t_LineRefusal& refusal = lineBudget.refusedBy;
  updateLogRefusal(refusal.line, refusal.code);
  conPrintf("\n\nError %u: The switch's bootloader refused to %s (\"%s\") with return code %s (%s).\n"
            "The line to the switch is sound: the switch itself refused. Power-cycle the switch and run "
            "the update again.\n",
            status, ispCommandName(refusal.line), refusal.line, refusal.code, ispReturnCodeName(refusal.code));
}

// A step before the erase that gave up: told by its cause when the line showed one. False when
// it showed none, for the caller's own message.
bool reportLineCause() {
  if (lineBudgetRefused()) {
    reportRefusal(kStatusCommand);
    return true;
  }
  if (lineBudgetNoisy()) {
    reportNoisyLine();
    return true;
  }
  return false;
}

// A product's name for a message: the product table's, else fallback.
const char* productNameOf(std::uint32_t model, std::uint32_t pcbRevision, const char* fallback) {
  const char* known = lookupProductName(static_cast<std::int32_t>(model & 0xFFFF),
                                        static_cast<std::int32_t>(pcbRevision & 0xFFFF));
  return known != nullptr ? known : fallback;
}

// The switch's own flash decides which firmware may go in: its parameter table must name the
// model and PCB revision the image is for (the identity the technician was shown chose that
// image). A table that is missing cannot decide: the switch is one whose last update was cut
// off (its repair is the technician's explicit choice) or one whose identity line, read twice
// alike, is all there is. True when the update may go on; otherwise a message is printed.
bool flashAllowsImage(int layout, const t_FirmwareImage* image) {
  t_DeviceInfo flash{};
  bool crcSound = false;
  const int read = readFlashIdentity(layout, &flash, &crcSound);
  updateLogFlashIdentity(read, flash.modelNumber, flash.pcbRevision, crcSound);
  if (read == kFlashIdentityNoTable) {
    return true;
  }
  if (read != kFlashIdentityRead) {
    if (!reportLineCause()) {
      conPuts("Error: Could not read the switch's parameter table! Check cables and power.\n");
    }
    return false;
  }
  const t_FirmwareHeader* header = image->header;
  if (flash.modelNumber == header->modelNumber && flash.pcbRevision == header->pcbRevision) {
    return true;
  }
  conPrintf("\nThe switch's own flash describes a %s (model %u, PCB revision %u%s),\n"
            "but this firmware is for a %s (model %u, PCB revision %u).\n"
            "Nothing was erased: the device was not updated. Power-cycle the switch to restart it.\n",
            productNameOf(flash.modelNumber, flash.pcbRevision, flash.nameBuf),
            unsigned{flash.modelNumber}, unsigned{flash.pcbRevision},
            crcSound ? "" : "; its table fails its CRC",
            productNameOf(header->modelNumber, header->pcbRevision, header->productName),
            static_cast<unsigned>(header->modelNumber), static_cast<unsigned>(header->pcbRevision));
  return false;
}

}  // namespace

int updateFirmware(const t_FirmwareImage* image) {
  if (image == nullptr || image->image == nullptr) {
    conPuts("Error: No firmware file available to download.\n");
    return kUpdateFailed;
  }
  if (!imageUsable(image)) {
    return kUpdateFailed;
  }
  const int entered = enterBootloader();
  if (entered != kBootloaderReady) {
    // A switch that answers with spoilt bytes is on a noisy line, not away.
    if (syncHeardSpoilt) {
      reportNoisySync();
    } else {
      conPrintf("Error %u: Could not connect to the switch! Check cables and power.\n", entered);
    }
    return kUpdateFailed;
  }
  // The line's budget runs from here to the head block.
  lineBudgetStart();
  // Only now can the switch say how large its flash is; nothing has been erased yet.
  const int layout = detectFlashLayout();
  if (layout == kLayoutUnread && reportLineCause()) {
    lineBudgetEnd();
    return kUpdateFailed;
  }
  if (checkTableLayout(image->header->paramAddress, layout) != kFitSound ||
      !flashAllowsImage(layout, image)) {
    lineBudgetEnd();
    return kUpdateFailed;
  }
  nxpUnlock();  // a refusal shows up as a failed Erase or Copy below

  const unsigned status = writeImage(image);
  if (status == kStatusLineBudget) {
    reportNoisyLine();
    return kUpdateFailed;
  }
  if (status == kStatusMismatch) {
    conPuts("\n\nError: A mismatch occurred while verifying this update.\n");
    return kUpdateMismatch;
  }
  if (status == kStatusCommand && lineBudgetRefused()) {
    reportRefusal(status);
    return kUpdateFailed;
  }
  if (status == kStatusTableBad) {
    conPuts("\n\nThe firmware failed the CRC test! Try reloading the firmware.\n");
    return kUpdateFailed;
  }
  if (status != kStatusOk) {
    conPrintf("\n\nError %u: Lost the connection to the switch! Check cables and power.\n", status);
    return kUpdateFailed;
  }
  conPrintf("\r%s firmware: 100%% complete.\n", kVerb);
  clockDelay(100);
  const int restarted = updateLogRestart(reboot());
  if (restarted == kRebootOk) {
    // Not checked on purpose: the switch is programmed and restarting whatever the port does.
    // A port that refuses the rate is closed; the loop then hears nothing and ends after the
    // restart window with the power-cycle message, which is the right advice.
    comSetBaud(&devicePort, kConsoleBaud);
    currentBaud = kConsoleBaud;
    // Two 100 ms pauses in a row, kept as the restart has always had them: the switch's
    // firmware brings its console up only after the jump from the bootloader, and these
    // 200 ms are the settling time the switches are known to work with.
    clockDelay(100);
    clockDelay(100);
    return kUpdateOk;
  }
  if (restarted == kRebootFailed) {
    conPuts("\nFailed to update firmware!\nVerify cables have not come loose, and the switch still has power.\n");
  } else if (restarted == kRebootCrcFailed || restarted == kTableCheckTooLong || restarted == kTableFirmwareBad) {
    conPuts("\nThe firmware failed the CRC test! Try reloading the firmware.\n");
  } else if (restarted == kTableMissing || restarted == kRebootOldTable) {
    conPuts("\nThe firmware is not fully loaded, try reloading the firmware.\n");
  }
  return kUpdateFailed;
}
