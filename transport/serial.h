#pragma once
// The serial (COM) port: a thin synchronous layer where every operation returns within a
// bounded time. The record's fields are the platform's own (com_port_record.h of the
// platform's folder); the logic above sees only these six operations.
#include <cstdint>

#include "com_port_record.h"

extern t_ComPort devicePort;

// 1 when the port is open (also when the record already was, after a message); 0 when the
// record is null, the device cannot be opened, or a setting cannot be applied.
int comOpen(t_ComPort* port, int portNumber, int baud);
// 1 on success; 0 when not open or the rate cannot be applied (the port is then closed).
int comSetBaud(t_ComPort* port, int baud);
// Always 1; harmless on a closed record.
int comClose(t_ComPort* port);
// Bytes written, after they have been transmitted; 0 on failure or after 1000 ms.
int comWrite(t_ComPort* port, const char* bytes, int count);
// Bytes read, 0..count; 0 when nothing arrived within 1000 ms or on failure.
int comRead(t_ComPort* port, char* buffer, int count);
// Received bytes waiting; 0 when not open or when the query fails.
int comBytesWaiting(t_ComPort* port);

// Results of comWaitInput.
constexpr int kComInputWaiting = 1;  // received bytes are waiting (comBytesWaiting > 0)
constexpr int kComWaitTimedOut = 0;  // the time passed and nothing came
constexpr int kComPortFailed = -1;   // not open, or the device failed or went away: nothing can come

// Waits until received bytes are waiting, at most timeoutMs; returns at once when some
// already are, or when the port cannot deliver any. The process sleeps meanwhile.
int comWaitInput(t_ComPort* port, std::uint32_t timeoutMs);
