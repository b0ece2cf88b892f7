#include "transport/serial.h"

// The program's single serial port, through which all traffic with the switch passes.
t_ComPort devicePort{};
