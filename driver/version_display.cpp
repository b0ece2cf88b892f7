#include "driver/version_display.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "driver/text_buffer.h"
#include "firmware/product_table.h"
#include "support/console.h"
#include "support/platform.h"

namespace {

constexpr std::uint16_t kVersionTextCapacity = 128;
char versionTextStorage[kVersionTextCapacity];

}  // namespace

t_ShownName boundedName(const char* name) {
  t_ShownName shown{};
  if (name != nullptr) {
    const std::size_t length = strnlen(name, sizeof(t_DeviceInfo::nameBuf));
    std::memcpy(shown.text, name, length);
    shown.text[length] = '\0';
  }
  return shown;
}

t_ShownName shownDeviceName(const t_DeviceInfo* device, const t_FirmwareHeader* header) {
  t_ShownName shown = boundedName(device->productName);
  if (shown.text[0] == '\0') {
    shown = boundedName(lookupProductName(device->modelNumber, device->pcbRevision));
  }
  if (shown.text[0] == '\0' && header != nullptr) {
    shown = boundedName(header->productName);
  }
  if (shown.text[0] == '\0') {
    shown = boundedName("Valtrane device");
  }
  return shown;
}

// The second code of an extended key is skipped, so that an F-key whose second code happens
// to be 'Y' can never answer yes.
int readYesNo() {
  for (;;) {
    const int key = platformGetKey();
    if (key == kKeyEndOfInput) {
      return 'N';
    }
    if (key == 0) {
      if (platformGetKey() == kKeyEndOfInput) {
        return 'N';
      }
      continue;
    }
    if (key < 0 || key > 0xFF) {
      continue;
    }
    const int upper = std::toupper(key);
    if (upper == 'Y' || upper == 'N') {
      return upper;
    }
  }
}

int discardKey() {
  const int key = platformGetKey();
  // An extended key comes as 0 and a second code; both belong to the one key press.
  if (key == 0) {
    platformGetKey();
  }
  return key;
}

void discardWaitingKeys() {
  // Only a person types ahead; the bytes of a pipe or a file are answers, each for its question.
  if (!platformInputIsTerminal()) {
    return;
  }
  while (platformKeyHit() && discardKey() != kKeyEndOfInput) {
  }
}

const char* versionText(std::uint32_t version) {
  t_TextBuffer text;
  textInit(&text, versionTextStorage, kVersionTextCapacity);
  if (version == 0) {
    textAppendString(&text, "None");
    return versionTextStorage;
  }
  textAppendFormat(&text, "%u.%02u", versionMajor(version), versionMinor(version));
  if (versionBeta(version) != 0) {
    textAppendFormat(&text, ".%02u", versionBeta(version));
  }
  if (versionLetter(version) != 0) {
    textAppendChar(&text, static_cast<int>(0x60 + versionLetter(version)));
  }
  if (versionBeta(version) != 0) {
    textAppendString(&text, "(Beta)");
  }
  return versionTextStorage;
}

// Reckoned for a major number of at most two digits and a two-digit minor number; wider
// numbers only shift the alignment of the two lines.
int versionWidth(std::uint32_t version) {
  if (version == 0) {
    return 4;
  }
  int width = versionMajor(version) > 9 ? 5 : 4;
  if (versionBeta(version) != 0) {
    width += 9;
  }
  if (versionLetter(version) != 0) {
    width += 1;
  }
  return width;
}

void printVersionField(std::uint32_t version, int spaces) {
  conPuts(versionText(version));
  conPutChar(',');
  for (int i = 0; i < spaces; i++) {
    conPutChar(' ');
  }
}

void showVersions(const t_DeviceInfo* device, const t_FirmwareHeader* header) {
  const int deviceWidth = versionWidth(device->firmwareVersion);
  const int imageWidth = versionWidth(header->firmwareVersion);
  int deviceSpaces = 1;
  int imageSpaces = 1;
  if (deviceWidth > imageWidth) {
    imageSpaces = deviceWidth - imageWidth + 1;
  } else {
    deviceSpaces = imageWidth - deviceWidth + 1;
  }
  conPuts("\n Current Version: ");
  printVersionField(device->firmwareVersion, deviceSpaces);
  conStdPrintf("Model: %s", shownDeviceName(device, header).text);
  conPuts("\n Update Version:  ");
  printVersionField(header->firmwareVersion, imageSpaces);
  // The header's name field need not be terminated; never read beyond it.
  conStdPrintf("Model: %.*s", static_cast<int>(sizeof header->productName), header->productName);
}

int confirmUpdate(const t_DeviceInfo* device, const t_FirmwareImage* image) {
  // Decided on what the two lines show, so that the verdict never contradicts them.
  const int order = compareVersions(device->firmwareVersion, image->header->firmwareVersion);
  const t_ShownName shown = shownDeviceName(device, image->header);
  const char* name = shown.text;
  const char* question = nullptr;
  if (order == 0) {
    conStdPrintf("\nThe firmware version inside the %s matches this update.\n", name);
    question = "\n\nUpdate anyway? (Y,N) ";
  } else if (order < 0) {
    conStdPrintf("\n\nThis update is newer than the firmware inside the %s.\n", name);
    question = "\n\nContinue with update to newer version? (Y,N) ";
  } else {
    conStdPrintf("\n\nThis update is OLDER than the firmware inside the %s!\n", name);
    question = "\n\nAre you sure you want to update with an OLDER version of firmware? (Y,N) ";
  }
  showVersions(device, image->header);
  // Only a key typed once the question is on screen answers it; keys typed during the scan
  // were not even echoed.
  discardWaitingKeys();
  conPuts(question);
  std::fflush(stdout);  // the question must be on screen before the wait for a key

  const int answer = readYesNo();
  conStdPrintf("%c\n", answer);
  if (answer == 'Y') {
    return 1;
  }
  conPuts("\nUpdate canceled.\n\n");
  return 0;
}
