// Port scan and console loop: find a switch that one of the compiled-in images fits, ask the
// user, update it, and stay on the line while it restarts. Every way out is exitProgram.
#include "driver/scan_loop.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "driver/monitor.h"
#include "driver/run_state.h"
#include "driver/version_display.h"
#include "firmware/device_info.h"
#include "firmware/device_state.h"
#include "firmware/image.h"
#include "firmware/product_table.h"
#include "isp/device_line.h"
#include "support/clock.h"
#include "support/console.h"
#include "support/platform.h"
#include "transport/port_name.h"
#include "transport/port_scan.h"
#include "transport/serial.h"
#include "update/flash_update.h"
#include "update/identify.h"
#include "update/param_table.h"
#include "update/update_log.h"

namespace {

constexpr int kOpenBaud = 19200;
constexpr std::uint32_t kRestartWindowMs = 13000;
constexpr std::uint32_t kLoopPacingMs = 1;

void clearSelection() { selectedImage = t_FirmwareImage{}; }

// Points selectedImage at embedded image index and checks it once more; the images never
// change, so a failure here means the program itself is damaged and the run ends.
void loadEmbeddedImage(int index) {
  selectEmbeddedImage(&selectedImage, index);
  if (validateImage(nullptr, &selectedImage) != kImageSound) {
    conPuts("This firmware file is corrupt! Try re-downloading file.\n");
    exitProgram(1);
  }
}

// Selects the first image whose model number and PCB revision equal the switch's. True when
// one was selected; selectedImage is left empty otherwise.
bool selectImageForDevice() {
  for (int i = 0; i < kEmbeddedImageCount; ++i) {
    loadEmbeddedImage(i);
    const t_FirmwareHeader* header = selectedImage.header;
    if (header->imageLength != 0 &&
        header->modelNumber == static_cast<std::uint32_t>(deviceInfo.modelNumber) &&
        header->pcbRevision == static_cast<std::uint32_t>(deviceInfo.pcbRevision)) {
      return true;
    }
    clearSelection();
  }
  return false;
}

// The identity line a console answered with when it never came whole twice alike, as the
// technician can read it: bytes no text holds are shown as '?'.
const char* garbledLineShown() {
  static char shown[kIdentityLineRoom];
  std::size_t i = 0;
  for (; i + 1 < sizeof shown && identityLineSeen[i] != '\0'; ++i) {
    const char c = identityLineSeen[i];
    shown[i] = c >= 0x20 && c < 0x7F ? c : '?';
  }
  shown[i] = '\0';
  return shown;
}

// Whether the identification failed on a switch that answered, but only with spoilt lines.
bool answeredGarbled(int identified) {
  return identified == kIdentifyUnreadable && identityLineSeen[0] != '\0';
}

void announceDevice() {
  const t_ShownName name = shownDeviceName(&deviceInfo, selectedImage.header);
  conStdPrintf("An %s was found with firmware version: %s", name.text,
              versionText(deviceInfo.firmwareVersion));
}

// The ports in order: stops with the port open at the first switch that an image fits, or, in
// single-port mode, at the one port whatever it found. Returns the port stopped at.
unsigned scanPorts(const unsigned* ports, int count, bool singlePort) {
  for (int i = 0; i < count; ++i) {
    const unsigned port = ports[i];
    conStdPrintf("\n%s: ", comPortName(port));
    // Opening a Bluetooth link makes Windows try to reach the paired device, for up to half a
    // minute; named on the command line, it is tried as any port.
    if (!singlePort && comPortIsBluetooth(port)) {
      conPuts("Bluetooth link, not tried.");
      continue;
    }
    if (!comOpen(&devicePort, static_cast<int>(port), kOpenBaud)) {
      currentBaud = 0;
      conPuts("Could not open port.");
      continue;
    }
    currentBaud = kOpenBaud;
    devFlushInput();
    const int identified = identifyDevice();
    if (answeredGarbled(identified)) {
      conStdPrintf("A Valtrane device answered, but its identity line arrived garbled: \"%s\".",
                   garbledLineShown());
    } else if (identified != kIdentified) {
      conPuts("No Valtrane devices detected.");
    } else if (singlePort && deviceState == kStateBootloaderNoTable) {
      // The console loop explains this switch and offers its repair; calling it a mismatch
      // here first would contradict that.
      conPuts("A Valtrane device was found.");
    } else {
      // A bootloader without a valid table tells nothing about the switch; the identity left
      // from an earlier port must not be matched in its place.
      if (deviceState != kStateBootloaderNoTable && selectImageForDevice()) {
        announceDevice();
        return port;
      }
      conPuts("A Valtrane device was found, but it does not match this firmware.");
    }
    if (singlePort) {
      return port;
    }
    comClose(&devicePort);
    currentBaud = 0;
  }
  conPuts("\n\nNo updatable Valtrane devices found.\n");
  exitProgram(1);
}

// Runs the update with selectedImage; on success the loop only waits for the restart.
void startUpdate() {
  switchReady = 0;
  lastUpdateResult = updateLogResult(updateFirmware(&selectedImage));
  if (lastUpdateResult == kUpdateOk) {
    updateDone = 1;
    activityClock = clockNow();
  }
}

// The one compiled-in image whose parameter table sits where this switch's flash layout keeps
// it, or -1 when the layout is unknown or not exactly one image fits it.
int imageForFlashLayout() {
  const std::uint32_t tableAddress = layoutTableAddress(detectFlashLayout());
  if (tableAddress == 0) {
    return -1;
  }
  int found = -1;
  for (int i = 0; i < kEmbeddedImageCount; ++i) {
    loadEmbeddedImage(i);
    if (selectedImage.header->imageLength != 0 && selectedImage.header->paramAddress == tableAddress) {
      if (found >= 0) {
        found = -1;  // two candidates: the layout alone cannot choose
        break;
      }
      found = i;
    }
  }
  clearSelection();
  return found;
}

// A switch waiting in its bootloader without a valid parameter table: its last update was
// cut off, so it has no identity to match. It can only be repaired with the one image that
// fits its flash layout, and only if the user says so.
void handleSwitchWithoutTable(unsigned port, bool* explained) {
  if (!*explained) {
    conStdPrintf(
        "\nThe switch on %s is waiting in its bootloader and holds no valid parameter table;"
        "\nits last firmware update was probably interrupted. Its model, PCB revision and"
        "\nfirmware version cannot be read.\n",
        comPortName(port));
    *explained = true;
  }
  const int index = imageForFlashLayout();
  if (index < 0) {
    conPuts(
        "\nNo firmware in this program is known to fit this switch's flash layout,"
        "\nso the switch cannot be repaired here. The device was not updated.\n");
    exitProgram(1);
  }
  loadEmbeddedImage(index);
  const t_ShownName imageName = boundedName(selectedImage.header->productName);
  conStdPrintf(
      "\nThe %s firmware of this program (version %s) fits this switch's flash layout."
      "\nInstall it only if the switch is a %s: its identity cannot be checked.\n",
      imageName.text, versionText(selectedImage.header->firmwareVersion), imageName.text);
  discardWaitingKeys();  // only a key typed once the question shows answers it
  conStdPrintf("\nInstall the %s firmware? (Y,N) ", imageName.text);
  const int answer = readYesNo();
  conStdPrintf("%c\n", answer);
  if (answer != 'Y') {
    conPuts("\nUpdate canceled.\n\n");
    exitProgram(1);
  }
  startUpdate();
}

// One identify-and-ask pass of the console loop (the switch is not yet updated).
void identifyAndAsk(unsigned port, bool* tableStateExplained) {
  const int identified = identifyDevice();
  if (answeredGarbled(identified)) {
    // A switch that answers is not absent: the line to it is what needs looking at.
    conStdPrintf("\nThe switch on %s answers, but its identity line arrived garbled every time it"
                 "\nwas asked: \"%s\".\nCheck the cable and its connections, then run the program again.\n",
                 comPortName(port), garbledLineShown());
    exitProgram(1);
  }
  if (identified == kIdentifyNoisy) {
    // The switch was found on this port: answers that are all spoilt are a noisy line.
    conStdPrintf("\nThe switch on %s answers, but its answers arrived spoilt: the serial line to it is"
                 "\ntoo noisy. Check the cable, the adapter and their connections, then run the program"
                 "\nagain.\n",
                 comPortName(port));
    exitProgram(1);
  }
  if (identified != kIdentified) {
    conStdPrintf("\nNo Valtrane device found on %s.\n", comPortName(port));
    exitProgram(1);
  }
  if (deviceState == kStateBootloaderNoTable) {
    handleSwitchWithoutTable(port, tableStateExplained);
    return;
  }
  if (deviceState != kStateFirmware && deviceState != kStateBootloader) {
    return;
  }
  const char* knownName = lookupProductName(deviceInfo.modelNumber, deviceInfo.pcbRevision);
  if (knownName == nullptr) {
    const t_ShownName reported = boundedName(deviceInfo.nameBuf);
    conStdPrintf("\nThe device on %s not compatible with this update.\nProduct name: \"%s\"\n",
                comPortName(port), reported.text);
    exitProgram(1);
  }
  if (selectedImage.image == nullptr) {
    // Single-port mode may reach the loop without an image: choose one now by the scan's rule.
    if (!selectImageForDevice()) {
      const t_ShownName name = shownDeviceName(&deviceInfo, nullptr);
      conStdPrintf(
          "\nThis program has no firmware for the %s (model %u, PCB revision %u) on %s."
          "\nThe device was not updated.\n",
          name.text, static_cast<unsigned>(deviceInfo.modelNumber),
          static_cast<unsigned>(deviceInfo.pcbRevision), comPortName(port));
      exitProgram(1);
    }
    conPuts("\n");
    announceDevice();
    conPuts("\n");
  }
  const int code = checkCompatibility(&deviceInfo, &selectedImage);
  if (code != kCompatible) {
    // The image was chosen for the switch the scan found and another one answers now (a
    // failed update, then the cable moved). Asking again cannot change that: the refusal is
    // said once and the run ends.
    reportIncompatibility(code, &deviceInfo, &selectedImage);
    exitProgram(1);
  }
  if (!confirmUpdate(&deviceInfo, &selectedImage)) {
    exitProgram(1);
  }
  startUpdate();
}

// While the switch restarts only its console messages matter: sleep on the port until one
// comes or the restart window (counted from the last DSP progress message) runs out.
void awaitRestartNews() {
  const std::uint32_t left = clockRemaining(activityClock, kRestartWindowMs);
  if (left == 0 || devWaitInput(left) == kComPortFailed) {
    platformSleepMs(kLoopPacingMs);  // a port that is gone cannot wake us; pace the loop
  }
}

[[noreturn]] void consoleLoop(unsigned port) {
  bool tableStateExplained = false;
  for (;;) {
    // Judged before the wait: a switch that has just said it is ready sends nothing more, and
    // waiting on its silence would hold the run for the rest of the restart window.
    if (updateDone && (switchReady || clockExpired(activityClock, kRestartWindowMs))) {
      discardWaitingKeys();  // typed during the restart: not the answer to "Press any key"
      if (!switchReady) {
        conPuts("\nFirmware update complete, please power cycle the switch.\n");
      }
      exitProgram(1);
    }
    if (updateDone) {
      awaitRestartNews();
    } else {
      platformSleepMs(kLoopPacingMs);
    }
    // Only the monitor decides what of the switch's console output is shown. What the line
    // readers still hold of the bootloader's last answer comes first.
    constexpr int kPieceBytes = 64;
    char bytes[kPieceBytes];
    for (int left = devBytesWaiting(); left > 0;) {
      const int got = devReadWaiting(bytes, left < kPieceBytes ? left : kPieceBytes);
      if (got <= 0) {
        break;
      }
      left -= got;
      for (int i = 0; i < got; ++i) {
        monitorFeed(static_cast<signed char>(bytes[i]));
      }
    }
    // Keys typed now answer nothing; they are read only so that they cannot answer a later
    // question by accident. A script's answers from a pipe or a file are kept for the questions.
    if (platformInputIsTerminal() && platformKeyHit()) {
      discardKey();
    }
    if (updateDone) {
      continue;
    }
    identifyAndAsk(port, &tableStateExplained);
  }
}

}  // namespace

void runScanAndConsoleLoop(const unsigned* ports, int count, bool singlePort) {
  // The start-up validation leaves the last image in the record; nothing is chosen yet.
  clearSelection();
  const unsigned port = scanPorts(ports, count, singlePort);
  conPutChar('\n');
  consoleLoop(port);
}
