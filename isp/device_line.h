#pragma once
// The line discipline of every exchange with the switch: text out, one reply line in within
// 500 ms counted from the start of the read, stale input discarded.

// The rate devicePort is set to now; 0 while no port is open.
extern int currentBaud;

void devSend(const char* text);
int devSendChar(int ch);
// Formatted through the program's engine: each character is its own one-byte write.
void devPrintf(const char* format, ...);
void devFlushInput();
// Characters stored (0..size-1) when a terminator came; -1 and an empty buffer when none
// came within 500 ms or size characters arrived first. Control and high bytes are dropped.
int devReadLine(char* buffer, int size, const char* terminators);
int devReadCrLine(char* buffer, int size);
int devReadDollarLine(char* buffer, int size);
