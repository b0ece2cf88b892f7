#pragma once
// The ISP steps' named results in the support log. Each returns the result it is given, so
// that a routine logs on its way out; each does nothing while no log is open.
#include <cstdint>

// nxpSync's result (kSync...), with the rate it was reached at.
int ispLogSync(int result);
// A command judged by the first character of its reply line: 0 ok, else failed.
int ispLogReply(const char* step, int result, const char* reply);
// nxpCompare's result (kCompare...), and the reply line.
int ispLogCompare(int result, const char* reply);
// The part identification's two words, and the flash bank size they stand for.
void ispLogPartId(const std::uint32_t words[2]);
