#pragma once
// Console output routines built on the formatting engine.

// Writes one character (its low 8 bits) to standard output.
int conPutChar(int ch);

// Writes a string to standard output, unformatted.
void conPuts(const char* text);

// Formats through the program's own engine, one character at a time, to standard output.
int conPrintf(const char* format, ...);
