#pragma once
// The bootloader keeps its echo on: every byte it receives comes straight back, so reading a
// line's echo shows exactly what the bootloader took in. The echo is read in the reads that
// happen anyway (with a command's return code, after a block's checksum), ahead of the reply.

#include "isp/line_policy.h"

// Longest line whose echo is read: a UU data line (61 characters) or a command line.
constexpr int kEchoLineSize = 64;

// Sends text and "\r\n" in one write.
void ispSendLine(const char* text);
// Reads the next echoed line and holds it against text byte for byte.
constexpr int kEchoSame = 0;
constexpr int kEchoOtherwise = 1;  // a line came back, not as sent
constexpr int kEchoLost = 2;       // no whole line came back within the line time
int ispReadEcho(const char* text);
// ispReadEcho that also tells where a line came back otherwise in one character only, its
// length as sent: that character's position in *differsAt; otherwise -1.
int ispReadEchoAt(const char* text, int* differsAt);
// ispReadEcho(text) == kEchoSame.
bool ispEchoMatches(const char* text);

// Reads a reply line raw (a control byte in it is not dropped but makes it garbled), passing
// over empty lines: its length (0 when it holds a NUL), or -1 when none came within limitMs.
// size >= 2.
int ispReadReply(char* reply, int size, std::uint32_t limitMs = lineTimeoutMs());
// ispReadReply for a line whose length is known beforehand, `expected` characters (a data
// line of a read): it is taken in one read once it should all have come.
int ispReadDataLine(char* line, int size, int expected, std::uint32_t limitMs = lineTimeoutMs());

// Sends the command line text, checks its echo and reads the return code into reply (size
// bytes; empty unless the echo matched). One of the kExchange outcomes (line_policy.h); the
// exchange is counted in the budget.
int ispCommand(const char* text, char* reply, int size);
// ispCommand that also keeps the echo as read (NUL-terminated, control bytes kept; empty when
// none came) in echo (echoSize bytes).
int ispCommandEcho(const char* text, char* echo, int echoSize, char* reply, int size);

// Ends whatever an exchange that went wrong left behind: ESC aborts a transfer or a half line
// in the bootloader, and what it still sends is discarded until the line is quiet.
void ispAbort();

// True when text is one or more decimal digits and nothing else.
bool isDecimalText(const char* text);
