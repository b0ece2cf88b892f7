#include "transport/com_open_check.h"

#include "support/console.h"

int comOpenCheckRecord(t_ComPort* port, int portNumber) {
  if (port == nullptr) {
    return 0;
  }
  if (port->isOpen == 1) {
    // The open port stays as it is, at its present rate.
    conStdPrintf("Com%d already open!\n", portNumber);
    return 1;
  }
  return -1;
}
