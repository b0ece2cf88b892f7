#pragma once
// The ISP steps' named results in the support log. Each returns the result it is given, so
// that a routine logs on its way out; each does nothing while no log is open.
#include <cstdint>

// nxpSync's result (kSync...), with the rate it was reached at.
int ispLogSync(int result);
// A command's result (kExchange...): done, refused, or spoilt on the line in every attempt.
int ispLogCommand(const char* step, int result);
// nxpCompare's result (kCompare...).
int ispLogCompare(int result);
// The part identification's two words, and the flash bank size they stand for.
void ispLogPartId(const std::uint32_t words[2]);
// A part identification that could not be read in any attempt.
void ispLogPartIdUnread();
// nxpGo's result (kGo...).
int ispLogGo(int result);
