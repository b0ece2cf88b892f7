#pragma once
// The records of the port's overlapped transfers (reads, writes, waits for received bytes).
// The driver writes a transfer's status, its result and the bytes it reads into its record and
// then signals its event, so a record must outlive its transfer. They live in a fixed pool of
// their own, not in the port record, which every opening of a port clears: a transfer that a
// driver does not end when it is cancelled is left with its record and event, and the record
// comes back into use only once its event says that the driver is done with it.
#include <windows.h>

// A read takes at most this many bytes at once, into its record.
constexpr int kTransferBytes = 256;

// The transfers that may be left to a driver at one time, beside the three of an open port.
constexpr int kTransferRecords = 32;

struct t_Transfer {
  OVERLAPPED overlap;           // its event: manual reset, made once and never closed
  DWORD events;                 // what a wait for received bytes reports
  char bytes[kTransferBytes];   // what a read received
  int state;                    // free, in use, or left to the driver
};

// A record for a new transfer, its event made and reset; null when every record is in use or
// left to a driver that has not yet ended its transfer.
t_Transfer* transferTake();
// The record's transfer has ended, or never started: the record is free.
void transferGiveBack(t_Transfer* transfer);
// The driver may still write into the record: it stays out of use until its event is set.
void transferLeave(t_Transfer* transfer);
// True when the transfer has ended (its event is set); waits at most waitMs for that.
bool transferEnded(const t_Transfer* transfer, DWORD waitMs);
