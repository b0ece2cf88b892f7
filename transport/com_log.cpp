#include "transport/com_log.h"

#include <cstdio>
#include <cstring>

#include "support/support_log.h"
#include "transport/port_name.h"
#include "transport/port_scan.h"

namespace {

constexpr int kErrorBytes = 160;
constexpr int kSettingsBytes = 200;

// What the system knows of the adapter behind the port: the first thing support asks.
void describeAdapter(int portNumber, const char* device, char* text, int size) {
  if (!comDescribeAdapter(static_cast<unsigned>(portNumber), device, text, size)) {
    std::snprintf(text, static_cast<std::size_t>(size), "none named by the system");
  }
}

}  // namespace

void comLogOpened(const t_ComPort* port, int portNumber, const char* device) {
  if (!logActive() || portNumber < 0) {
    return;
  }
  char settings[kSettingsBytes];
  comDescribeSettings(port, settings, sizeof settings);
  char adapter[kPortAdapterBytes];
  describeAdapter(portNumber, device, adapter, sizeof adapter);
  const char* name = comPortName(static_cast<unsigned>(portNumber));
  if (device == nullptr || std::strcmp(name, device) == 0) {
    logEventFormat("port", "%s opened: %s; adapter: %s", name, settings, adapter);
  } else {
    logEventFormat("port", "%s (%s) opened: %s; adapter: %s", name, device, settings, adapter);
  }
}

void comLogRefused(int portNumber, const char* device) {
  char error[kErrorBytes];
  logSystemError(error, sizeof error);  // before anything else can change it
  if (!logActive()) {
    return;
  }
  // A port that cannot be opened often has no device at all: its adapter is named when known.
  char adapter[kPortAdapterBytes + 16] = "";
  char known[kPortAdapterBytes];
  if (device != nullptr && comDescribeAdapter(static_cast<unsigned>(portNumber), device, known, sizeof known)) {
    std::snprintf(adapter, sizeof adapter, "; adapter: %s", known);
  }
  const char* name = portNumber < 0 ? "a negative port number" : comPortName(static_cast<unsigned>(portNumber));
  if (device == nullptr) {
    logEventFormat("port", "%s refused: no device for this port", name);
  } else if (std::strcmp(name, device) == 0) {
    logEventFormat("port", "%s refused: %s%s", name, error, adapter);
  } else {
    logEventFormat("port", "%s (%s) refused: %s%s", name, device, error, adapter);
  }
}

void comLogRate(int baud, bool applied) {
  char error[kErrorBytes];
  logSystemError(error, sizeof error);
  if (applied) {
    logEventFormat("port", "rate %d baud", baud);
  } else {
    logEventFormat("port", "rate %d baud refused: %s; the port is closed", baud, error);
  }
}

void comLogWriteFailed() {
  char error[kErrorBytes];
  logSystemError(error, sizeof error);
  logEventFormat("port", "the bytes did not all go out within 1000 ms (last system error: %s)", error);
}

void comLogTransferLeft(const char* what, unsigned long waitedMs) {
  logEventFormat("port", "the cancelled %s had not ended after %lu ms: it is left to the driver, the port closed",
                 what, waitedMs);
}

void comLogClosing(t_ComPort* port) {
  if (!logActive()) {
    return;
  }
  // Bounded by what is waiting now: a device that keeps talking cannot hold the close up.
  for (int waiting = comBytesWaiting(port); waiting > 0; --waiting) {
    char byte = 0;
    if (comRead(port, &byte, 1) != 1) {  // comRead logs what it reads
      break;
    }
  }
  logEvent("port", "closed");
}
