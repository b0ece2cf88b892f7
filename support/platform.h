#pragma once
// The few services of the host that the logic needs: a millisecond clock, a pause, and the
// console keyboard. One implementation per platform (platform_posix.cpp, platform_win32.cpp).
#include <cstdint>

// Prepares the host at the start of the run: a terminal on standard input goes into its
// no-echo single-key mode until the process ends, however it ends, and sleeps and waits are
// timed to the millisecond.
void platformStart();

// Milliseconds of elapsed (wall) time from an arbitrary origin; wraps at 2^32.
std::uint32_t platformClockMs();

// Gives the processor away for about the given number of milliseconds.
void platformSleepMs(std::uint32_t milliseconds);
// Gives the processor away for about the given number of microseconds, as finely as the host
// times its sleeps; a host whose sleeps come in whole milliseconds sleeps only those, and
// returns at once for less.
void platformSleepUs(std::uint32_t microseconds);

// Returned by platformGetKey when standard input has ended: no key will ever come.
constexpr int kKeyEndOfInput = -1;

// Non-zero when a key is waiting (or the input has ended, so that a read returns at once).
int platformKeyHit();

// True when the keys are typed at a terminal (on Windows the console); false when standard
// input is a pipe or a file, whose bytes are a script's answers in the order they are asked.
bool platformInputIsTerminal();

// Waits for one key and returns its code without echo and without Enter; an extended key
// comes as 0 followed by a second code. Returns kKeyEndOfInput once standard input has ended.
// Every key it returns is in the support log (keyboard.cpp).
int platformGetKey();
// The platform's own read of one key, as platformGetKey describes it, unlogged.
int platformReadKey();
