// The line settings of an open terminal device, in words, as the device reports them.
#include <cstdio>

#include <sys/ioctl.h>
#include <termios.h>

#include "transport/com_log.h"

namespace {

struct t_SpeedName {
  speed_t speed;
  int baud;
};

constexpr t_SpeedName kSpeeds[] = {
    {B1200, 1200},     {B2400, 2400},   {B4800, 4800},     {B9600, 9600},   {B19200, 19200},
    {B38400, 38400},   {B57600, 57600}, {B115200, 115200}, {B230400, 230400},
};

int baudOf(speed_t speed) {
  for (const t_SpeedName& entry : kSpeeds) {
    if (entry.speed == speed) {
      return entry.baud;
    }
  }
  return -1;
}

int dataBitsOf(tcflag_t flags) {
  switch (flags & CSIZE) {
    case CS5: return 5;
    case CS6: return 6;
    case CS7: return 7;
    default: return 8;
  }
}

}  // namespace

void comDescribeSettings(const t_ComPort* port, char* text, int size) {
  termios settings{};
  if (port == nullptr || tcgetattr(port->fd, &settings) != 0) {
    std::snprintf(text, static_cast<std::size_t>(size), "line settings unknown");
    return;
  }
  const tcflag_t c = settings.c_cflag;
  const bool software = (settings.c_iflag & (IXON | IXOFF)) != 0;
  const bool hardware = (c & CRTSCTS) != 0;
  const char* flow = hardware && software ? "RTS/CTS and XON/XOFF"
                     : hardware          ? "RTS/CTS"
                     : software          ? "XON/XOFF"
                                         : "none";
  int lines = 0;
  char modem[32] = "modem lines unknown";
  if (ioctl(port->fd, TIOCMGET, &lines) == 0) {
    std::snprintf(modem, sizeof modem, "DTR %s, RTS %s", (lines & TIOCM_DTR) ? "on" : "off",
                  (lines & TIOCM_RTS) ? "on" : "off");
  }
  std::snprintf(text, static_cast<std::size_t>(size), "%d baud, %d data bits, %s parity, %d stop bit%s, flow control %s, %s",
                baudOf(cfgetospeed(&settings)), dataBitsOf(c),
                (c & PARENB) == 0 ? "no" : (c & PARODD) ? "odd" : "even", (c & CSTOPB) ? 2 : 1,
                (c & CSTOPB) ? "s" : "", flow, modem);
}
