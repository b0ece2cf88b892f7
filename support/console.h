#pragma once
// Console output routines. Every text the program shows goes through one of them, so that the
// support log records it; the bytes on the console are those of the standard library's or
// the program's own formatting, unchanged.

// Writes one character (its low 8 bits) to standard output.
int conPutChar(int ch);

// Writes a string to standard output, unformatted.
void conPuts(const char* text);

// Formats through the program's own engine, one character at a time, to standard output.
int conPrintf(const char* format, ...);

// Formats with the standard library's printf, to standard output.
[[gnu::format(printf, 1, 2)]] int conStdPrintf(const char* format, ...);
