#pragma once
// The line discipline of every exchange with the switch: text out, one reply line in within
// 500 ms (and what the link holds answers back) counted from the start of the read, stale input
// discarded.
#include <cstdint>

#include "isp/line_policy.h"

// The rate devicePort is set to now; 0 while no port is open.
extern int currentBaud;
// True when the last line read (by any reader below) received no byte at all: the line was
// silent, not spoilt.
extern bool devLineSilent;

void devSend(const char* text);
int devSendChar(int ch);
// Formatted through the program's engine; the whole line goes out in one write.
void devPrintf(const char* format, ...);
// Formats into out (size characters, always NUL-terminated, cut if longer) without sending,
// so that the text sent can be held against its echo. Returns the characters stored.
int devFormatLine(char* out, int size, const char* format, ...);
// Sends text that the bootloader echoes byte for byte (lines with their CR LF): the echo
// readers expect all of it back, and sleep until it should have come. Such lines go out
// together, in one write, before the line is next read, waited on or written by any routine
// here (at the latest once they fill what the wire carries in kEchoedWriteMs).
void devSendEchoed(const char* text);
// Discards the input held by the readers and everything waiting at the port.
void devFlushInput();
// Discards input until the line has been quiet for quietMs (at most maxMs in all): whatever
// the bootloader still sends about an exchange that went wrong is gone before the next one.
void devDrainInput(std::uint32_t quietMs, std::uint32_t maxMs);
// Received bytes not yet read by any line reader: held by the readers or waiting at the port.
int devBytesWaiting();
// comWaitInput that also counts the bytes the readers hold.
int devWaitInput(std::uint32_t timeoutMs);
// Up to size received bytes that are there now, without waiting: those the readers hold first,
// else what waits at the port, in one read. The count (0 when none).
int devReadWaiting(char* buffer, int size);

// Every reader below takes the bytes held from an earlier read first, and keeps whatever it
// took beyond its line's end for the next reader.
//
// Characters stored (0..size-1) when a terminator came; -1 and an empty buffer when none
// came within limitMs (the line time) or size characters arrived first (the terminator then stays for the
// next reader). Control and high bytes are dropped. Read a byte at a time: nothing after the
// terminator is taken.
int devReadLine(char* buffer, int size, const char* terminators, std::uint32_t limitMs = lineTimeoutMs());
int devReadCrLine(char* buffer, int size);
int devReadDollarLine(char* buffer, int size);
// devReadDollarLine for a frame of the switch's console that must arrive whole: *garbled tells
// whether a control, high or DEL byte came within it once it had begun (a bit error that makes
// a control byte of a letter must not leave a well-formed but other line). Bytes before the
// frame's first printable byte are noise between frames and are not counted. A frame begun
// but not ended in time is -1 with *garbled set and what came of it in buffer.
int devReadFrameLine(char* buffer, int size, bool* garbled);
// The echo of a line of `expected` characters, byte for byte up to its CR within the line time (or up
// to an LF after its first byte, its CR spoilt on the way):
// control and high bytes are kept (a damaged echo must not read as the line sent), only LFs
// before its first byte (the end of the line before) and the bootloader's XON and XOFF are
// passed over. While the echo of the lines sent (devSendEchoed) is still on the wire the
// reader sleeps for about that time, then takes all of it in one read, up to the CR of the
// last of them: the lines after its own wait for their readers, and nothing after that CR is
// taken. Bytes stored (not NUL-terminated), or -1.
int devReadEchoLine(char* buffer, int size, int expected);
// A reply line of `expected` characters (1 when the caller cannot know, such as for a return
// code), byte for byte up to its CR within limitMs (the line time, or less for a reply known to come
// at once). While the rest of a line as expected is still on the wire the reader sleeps for
// about that time, then takes it in one read; it takes no more than such a line lacks, so
// nothing after the CR of a line at least that long is taken. Only LFs before its first byte
// are passed over. Every other byte is kept, XON and XOFF included: '1' is one bit away from
// XON, so "10" with one bit error arrives as XON "0", which must not read as "0". Bytes
// stored (not NUL-terminated), or -1.
int devReadReplyLine(char* buffer, int size, int expected, std::uint32_t limitMs = lineTimeoutMs());
// devReadCrLine that passes over empty lines (a line end echoed as CR LF LF, a stray CR), a
// few at most: the first line with characters, or -1.
int devReadTextLine(char* buffer, int size);

// What one received byte did to the line being read.
constexpr int kLineDropped = 0;     // control or high byte, ignored
constexpr int kLineStored = 1;      // printable byte appended
constexpr int kLineTerminated = 2;  // terminator: the line is complete and NUL-terminated
constexpr int kLineFull = 3;        // no room left (*stored >= size); nothing was touched

// The reader's per-byte step, free of any port: takes one byte into buffer (size bytes, of
// which *stored are filled). A terminator (any byte of the NUL-terminated set, never NUL
// itself) writes the NUL at buffer[*stored]; a byte 0x20..0x7F is appended; any other byte
// is dropped. Never writes at or beyond buffer[size].
int lineAcceptByte(char* buffer, int size, int* stored, unsigned char byte,
                   const char* terminators);
