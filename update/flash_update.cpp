#include "update/flash_update.h"

#include <cstdint>
#include <cstring>

#include "firmware/device_state.h"
#include "isp/device_line.h"
#include "isp/isp_commands.h"
#include "isp/isp_transfer.h"
#include "support/clock.h"
#include "support/console.h"
#include "transport/serial.h"
#include "update/flash_map.h"
#include "update/image_fit.h"
#include "update/param_table.h"
#include "update/update_log.h"

namespace {

constexpr int kBootloaderBaud = 115200;
constexpr int kConsoleBaud = 19200;
constexpr std::uint32_t kLargeBlock = 4096;
constexpr std::uint32_t kMediumBlock = 1024;
constexpr std::uint32_t kSmallBlock = 512;
constexpr std::uint8_t kFillByte = 0xFF;
constexpr const char* kVerb = "Updating";

// Where the next block of the region being written comes from and goes to.
struct t_Cursor {
  std::uint32_t address;
  std::uint32_t remaining;
  const std::uint8_t* source;
};

void advance(t_Cursor* cursor, std::uint32_t length) {
  cursor->address += length;
  cursor->source += length;
  cursor->remaining -= length;
}

unsigned eraseRegion(std::uint32_t address, std::uint32_t length) {
  std::uint8_t bank = 0;
  std::uint8_t first = 0;
  std::uint8_t last = 0;
  if (flashRangeOf(address, length, &bank, &first, &last) != 0) {
    return kStatusAddress;
  }
  // The Erase goes out even after a refused Prepare; either failure counts.
  const int prepared = nxpPrepareSectors(first, last, bank);
  const int erased = nxpEraseSectors(first, last, bank);
  return (prepared != 0 || erased != 0) ? kStatusCommand : kStatusOk;
}

// 512-byte blocks, then whatever is left padded with 0xFF to one more 512-byte block.
unsigned writeSmallBlocks(t_Cursor* cursor, unsigned status) {
  while (status == kStatusOk && cursor->remaining >= kSmallBlock) {
    status = programBlock(cursor->address, cursor->source, kSmallBlock);
    if (status == kStatusOk) {
      advance(cursor, kSmallBlock);
    }
  }
  if (status == kStatusOk && cursor->remaining > 0) {
    std::uint8_t tail[kSmallBlock];
    std::memcpy(tail, cursor->source, cursor->remaining);
    std::memset(tail + cursor->remaining, kFillByte, kSmallBlock - cursor->remaining);
    status = programBlock(cursor->address, tail, kSmallBlock);
  }
  return status;
}

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
  if (answer == kSyncFirmware) {
    devSend("^BOOTL$");
    clockDelay(100);
    if (comSetBaud(&devicePort, kBootloaderBaud)) {
      currentBaud = kBootloaderBaud;
    }
    answer = nxpSync();
    if (answer != kSyncBootloader) {
      return kBootloaderNotEntered;
    }
  }
  deviceState = kStateBootloader;
  clockDelay(20);
  devFlushInput();
  return kBootloaderReady;
}

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
  if (nxpPrepareSectors(first, last, bank) != 0) {
    return kStatusCommand;
  }
  if (nxpCopyRamToFlash(address, kRamStagingAddress, length) != 0) {
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

int updateFirmware(const t_FirmwareImage* image) {
  if (image == nullptr || image->image == nullptr) {
    conPuts("Error: No firmware file available to download.\n");
    return kUpdateFailed;
  }
  if (!imageUsable(image)) {
    return kUpdateFailed;
  }
  const t_FirmwareHeader* header = image->header;

  const int entered = enterBootloader();
  if (entered != kBootloaderReady) {
    conPrintf("Error %u: Could not connect to the switch! Check cables and power.\n", entered);
    return kUpdateFailed;
  }
  // Only now can the switch say how large its flash is; nothing has been erased yet.
  if (checkTableLayout(header->paramAddress, detectFlashLayout()) != kFitSound) {
    return kUpdateFailed;
  }
  nxpUnlock();  // a refusal shows up as a failed Erase or Copy below

  const std::uint32_t firmwareLength = header->firmwareLength;
  t_Cursor cursor{header->firmwareAddress, firmwareLength, image->firmware};
  unsigned status = eraseRegion(cursor.address, cursor.remaining);
  conPrintf("\n%s firmware:   0%% complete.", kVerb);

  // The head block (vector table) goes last, so a half-written flash never looks bootable.
  advance(&cursor, kHeadBlockBytes);
  while (status == kStatusOk && cursor.remaining >= kLargeBlock) {
    status = programBlock(cursor.address, cursor.source, kLargeBlock);
    if (status == kStatusOk) {
      advance(&cursor, kLargeBlock);
    }
    conPrintf("\r%s firmware: %3u%% complete.", kVerb,
              progressPercent(firmwareLength, cursor.remaining));
  }
  while (status == kStatusOk && cursor.remaining >= kMediumBlock) {
    status = programBlock(cursor.address, cursor.source, kMediumBlock);
    if (status == kStatusOk) {
      advance(&cursor, kMediumBlock);
    }
  }
  status = writeSmallBlocks(&cursor, status);

  if (status == kStatusOk) {
    cursor = t_Cursor{header->paramAddress, header->paramLength, image->params};
    status = eraseRegion(cursor.address, cursor.remaining);
  }
  status = writeSmallBlocks(&cursor, status);

  if (status == kStatusOk) {
    status = programBlock(header->firmwareAddress, image->firmware, kHeadBlockBytes);
  }

  if (status == kStatusMismatch) {
    conPuts("\n\nError: A mismatch occurred while verifying this update.\n");
    return kUpdateMismatch;
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
