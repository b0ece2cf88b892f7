#pragma once
// The serial port's events in the support log: a port opened, with the line settings it
// reports, or refused with the system's error; every rate change; a write that failed; the
// port closed. Each does nothing while no log is open.
#include "transport/serial.h"

void comLogOpened(const t_ComPort* port, int portNumber, const char* device);
// The refusals take the system's error first: call them right after the call that failed.
// device is null when the port number leads to no device at all.
void comLogRefused(int portNumber, const char* device);
void comLogRate(int baud, bool applied);  // not applied: the port has been closed
void comLogWriteFailed();
// A cancelled transfer (what: "read", "write", "wait for received bytes") that the driver had
// not ended after waitedMs: it is left to the driver and the port is closed without it.
void comLogTransferLeft(const char* what, unsigned long waitedMs);
// The port is about to be closed: what came but was never read would be lost with it, so it
// is read into the log first.
void comLogClosing(t_ComPort* port);

// The line settings the open port reports, in words (platform file com_settings_*.cpp).
void comDescribeSettings(const t_ComPort* port, char* text, int size);
