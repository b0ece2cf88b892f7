#pragma once
// The serial port record on POSIX systems: a terminal device opened with termios.

struct t_ComPort {
  int fd;      // the open device; meaningless while isOpen is 0
  int isOpen;  // 1 while the port is open
};
