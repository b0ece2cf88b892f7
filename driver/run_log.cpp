#include "driver/run_log.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver/port_argument.h"
#include "driver/run_state.h"
#include "driver/version_display.h"
#include "firmware/image.h"
#include "support/console.h"
#include "support/support_log.h"
#include "transport/port_name.h"
#include "transport/port_scan.h"

namespace {

constexpr const char* kLogVariable = "VLFWU_LOG";
constexpr int kTextBytes = 256;
constexpr int kListBytes = 1000;  // a header line, within the log's longest line
constexpr unsigned kHighestPort = 99;
constexpr std::uint32_t kCrcBytes = 4;

// Appends text at *length, cut where text runs out of room.
void appendText(char* text, int size, int* length, const char* more) {
  if (*length >= size - 1) {
    return;
  }
  const int added = std::snprintf(text + *length, static_cast<std::size_t>(size - *length), "%s", more);
  *length = added < 0 ? *length : std::min(*length + added, size - 1);
}

// "COM1 to COM16", then the other ports the system lists, as the scan's messages name them.
void describeScan(char* text, int size) {
  t_ScanList scan;
  comScanList(&scan);
  int length = 0;
  char range[32];
  std::snprintf(range, sizeof range, "COM%u to COM%u", kFirstScanPort, kLastScanPort);
  appendText(text, size, &length, range);
  const int fixed = static_cast<int>(kLastScanPort - kFirstScanPort + 1);
  for (int i = fixed; i < scan.count; ++i) {
    appendText(text, size, &length, i == fixed ? ", then " : ", ");
    appendText(text, size, &length, comPortName(scan.ports[i]));
  }
}

// One header line for every serial port that the system lists, with what it knows of it.
void logSystemPorts() {
  const int count = comSystemPortCount();
  if (count == 0) {
    logHeader("serial", "no port listed by the system");
  }
  for (int i = 0; i < count; ++i) {
    const t_SystemPort* port = comSystemPortAt(i);
    char text[kListBytes];
    std::snprintf(text, sizeof text, "%s: %s%s%s", comPortName(port->port),
                  port->adapter[0] != '\0' ? port->adapter : "no adapter named by the system",
                  port->details[0] != '\0' ? "; " : "", port->details);
    logHeader("serial", text);
  }
}

// The ports the run will try, as main settles them from the argument.
void describePorts(int argc, char** argv, char* text, int size) {
  const auto room = static_cast<std::size_t>(size);
  if (argc > 2) {
    std::snprintf(text, room, "none (more than one argument: the usage text)");
    return;
  }
  if (argc > 1 && comArgumentNamesDevice(argv[1])) {
    std::snprintf(text, room, "the device %.200s", argv[1]);
    return;
  }
  const auto port = static_cast<std::int32_t>(argc > 1 ? portArgumentValue(argv[1]) : 0);
  if (port == 0) {
    describeScan(text, size);
  } else if (port < 1 || static_cast<unsigned>(port) > kHighestPort) {
    std::snprintf(text, room, "none (COM%u is not a port number 1 to %u)", static_cast<unsigned>(port), kHighestPort);
  } else {
    std::snprintf(text, room, "COM%u", static_cast<unsigned>(port));
  }
}

std::uint32_t littleEndianWord(const std::uint8_t* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
         static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

// What the header of embedded image index says, read without a message (its validation,
// with its messages, follows in the run itself).
void describeImage(int index, char* text, int size) {
  const auto room = static_cast<std::size_t>(size);
  const t_EmbeddedImage& image = embeddedImages[index];
  if (image.data == nullptr || image.size < sizeof(t_FirmwareHeader)) {
    std::snprintf(text, room, "none (%u bytes)", image.data == nullptr ? 0u : image.size);
    return;
  }
  t_FirmwareHeader header;
  std::memcpy(&header, image.data, sizeof header);
  const std::size_t nameLength = strnlen(header.productName, sizeof header.productName);
  char crc[32] = "unknown (bad length)";
  if (header.imageLength >= sizeof header + kCrcBytes && header.imageLength <= image.size) {
    std::snprintf(crc, sizeof crc, "0x%08X",
                  static_cast<unsigned>(littleEndianWord(image.data + header.imageLength - kCrcBytes)));
  }
  std::snprintf(text, room, "%.*s: model %u, PCB revision %u, version %s, length %u bytes, CRC-32 %s",
                static_cast<int>(nameLength), header.productName, static_cast<unsigned>(header.modelNumber),
                static_cast<unsigned>(header.pcbRevision), versionText(header.firmwareVersion),
                static_cast<unsigned>(header.imageLength), crc);
}

}  // namespace

void startRunLog(int argc, char** argv) {
  const char* path = std::getenv(kLogVariable);
  if (path == nullptr || path[0] == '\0') {
    return;
  }
  char why[kTextBytes];
  if (logOpen(path, why, sizeof why) != kLogOpened) {
    conStdPrintf("Support log not written: \"%.200s\": %s. The run goes on without it.\n", path, why);
    return;
  }
  char text[kTextBytes];
  std::snprintf(text, sizeof text, "vlfwu %d.%d", kVersionMajor, kVersionMinor);
  logHeader("utility", text);
  logHeaderPlatform();
  if (argc > 1) {
    std::snprintf(text, sizeof text, "\"%.200s\"%s", argv[1], argc > 2 ? " and more" : "");
  } else {
    std::snprintf(text, sizeof text, "none");
  }
  logHeader("argument", text);
  char ports[kListBytes];
  describePorts(argc, argv, ports, sizeof ports);
  logHeader("ports", ports);
  logSystemPorts();
  for (int i = 0; i < kEmbeddedImageCount; ++i) {
    char label[16];
    std::snprintf(label, sizeof label, "image %d", i + 1);
    describeImage(i, text, sizeof text);
    logHeader(label, text);
  }
  logHeader("times", "seconds.milliseconds since the start of the run");
}

void logRunOutcome() {
  if (!logActive()) {
    return;
  }
  if (updateDone && switchReady) {
    logOutcome("outcome: updated; the switch restarted and said it is ready");
  } else if (updateDone) {
    logOutcome("outcome: updated; the switch did not say it is ready within the restart window");
  } else if (lastUpdateResult >= 0) {
    char text[kTextBytes];
    std::snprintf(text, sizeof text, "outcome: not updated; the last update failed (%d)", lastUpdateResult);
    logOutcome(text);
  } else {
    logOutcome("outcome: no update was made");
  }
}
