#pragma once
// The port number that the command-line argument gives.
#include <cstdint>

// The argument read as the Windows C library (msvcrt.dll) reads it with strtoul in base 10
// into its 32-bit unsigned long, so that every build takes a number alike: leading white space
// and one sign are skipped, the digits up to the first other character count, a magnitude
// beyond 4294967295 saturates to it, and a minus sign then negates modulo 2^32. No digits give 0.
std::uint32_t portArgumentValue(const char* text);
