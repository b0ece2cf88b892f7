// The line settings of an open COM port, in words, as the driver reports them.
#include <windows.h>

#include <cstdio>

#include "transport/com_log.h"

namespace {

const char* parityName(BYTE parity) {
  switch (parity) {
    case NOPARITY: return "no";
    case ODDPARITY: return "odd";
    case EVENPARITY: return "even";
    case MARKPARITY: return "mark";
    case SPACEPARITY: return "space";
    default: return "unknown";
  }
}

const char* stopBitsName(BYTE stopBits) {
  switch (stopBits) {
    case ONESTOPBIT: return "1 stop bit";
    case ONE5STOPBITS: return "1.5 stop bits";
    case TWOSTOPBITS: return "2 stop bits";
    default: return "unknown stop bits";
  }
}

const char* dtrName(DWORD control) {
  switch (control) {
    case DTR_CONTROL_DISABLE: return "off";
    case DTR_CONTROL_ENABLE: return "on";
    default: return "handshake";
  }
}

const char* rtsName(DWORD control) {
  switch (control) {
    case RTS_CONTROL_DISABLE: return "off";
    case RTS_CONTROL_ENABLE: return "on";
    case RTS_CONTROL_HANDSHAKE: return "handshake";
    default: return "toggle";
  }
}

}  // namespace

void comDescribeSettings(const t_ComPort* port, char* text, int size) {
  DCB settings{};
  settings.DCBlength = sizeof settings;
  if (port == nullptr || !GetCommState(port->handle, &settings)) {
    std::snprintf(text, static_cast<std::size_t>(size), "line settings unknown");
    return;
  }
  const bool hardware = settings.fOutxCtsFlow || settings.fRtsControl == RTS_CONTROL_HANDSHAKE;
  const bool software = settings.fOutX || settings.fInX;
  const char* flow = hardware && software ? "RTS/CTS and XON/XOFF"
                     : hardware          ? "RTS/CTS"
                     : software          ? "XON/XOFF"
                                         : "none";
  std::snprintf(text, static_cast<std::size_t>(size), "%lu baud, %u data bits, %s parity, %s, flow control %s, DTR %s, RTS %s",
                static_cast<unsigned long>(settings.BaudRate), static_cast<unsigned>(settings.ByteSize),
                parityName(settings.Parity), stopBitsName(settings.StopBits), flow,
                dtrName(settings.fDtrControl), rtsName(settings.fRtsControl));
}
