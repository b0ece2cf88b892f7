// This program's serial port and host clock: the operations that the ISP code calls below
// itself (transport/serial.h, support/platform.h) lead to the in-process chip link, so that
// the ISP code runs unchanged against the simulated chip.
#include "chip_link.h"
#include "support/platform.h"
#include "transport/serial.h"

namespace exchanges {
namespace {

ChipLink* active = nullptr;
std::uint32_t idleClockMs = 0;  // the clock while no case runs

}  // namespace

void setActiveLink(ChipLink* link) { active = link; }

}  // namespace exchanges

using exchanges::active;

int comOpen(t_ComPort* port, int /*portNumber*/, int baud) {
  if (port == nullptr || active == nullptr) {
    return 0;
  }
  port->isOpen = 1;
  active->hostSetBaud(baud);
  return 1;
}

int comSetBaud(t_ComPort* port, int baud) {
  if (port == nullptr || port->isOpen == 0 || active == nullptr) {
    return 0;
  }
  active->hostSetBaud(baud);
  return 1;
}

int comClose(t_ComPort* port) {
  if (port != nullptr) {
    port->isOpen = 0;
  }
  return 1;
}

int comWrite(t_ComPort* port, const char* bytes, int count) {
  if (port == nullptr || port->isOpen == 0 || active == nullptr || count <= 0) {
    return 0;
  }
  active->hostWrite(bytes, count);
  return count;
}

int comRead(t_ComPort* port, char* buffer, int count) {
  if (port == nullptr || port->isOpen == 0 || active == nullptr || count <= 0) {
    return 0;
  }
  return active->hostRead(buffer, count);
}

int comBytesWaiting(t_ComPort* port) {
  if (port == nullptr || port->isOpen == 0 || active == nullptr) {
    return 0;
  }
  return active->hostWaiting();
}

int comWaitInput(t_ComPort* port, std::uint32_t timeoutMs) {
  if (port == nullptr || port->isOpen == 0 || active == nullptr) {
    return kComPortFailed;
  }
  return active->hostWait(timeoutMs) ? kComInputWaiting : kComWaitTimedOut;
}

void platformStart() {}

std::uint32_t platformClockMs() {
  return active != nullptr ? active->nowMs() : exchanges::idleClockMs;
}

void platformSleepMs(std::uint32_t milliseconds) {
  if (active != nullptr) {
    active->sleep(milliseconds);
  } else {
    exchanges::idleClockMs += milliseconds;
  }
}

void platformSleepUs(std::uint32_t microseconds) {
  if (active != nullptr) {
    active->sleepUs(microseconds);
  } else {
    exchanges::idleClockMs += microseconds / 1000u;
  }
}
