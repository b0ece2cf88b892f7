// Host services on Windows: clock, sleep and the console keyboard.
//
// A console reads keys with the runtime library's _kbhit/_getch. When standard input is a
// pipe or a file instead, its bytes are the keys and its end is reported, so that a run fed
// by a script never waits for a key that cannot come.
#include "support/platform.h"

#include <windows.h>
#include <conio.h>
#include <mmsystem.h>

#include <cstdio>
#include <cstdlib>

namespace {

// Windows' timer ticks every 15.6 ms unless a program asks for finer ones: the protocol's
// 10 ms pauses, the line reads' bounds and the console loop's 1 ms pass need 1 ms.
constexpr UINT kTimerResolutionMs = 1;

void restoreTimerResolution() { timeEndPeriod(kTimerResolutionMs); }

enum class InputKind { unknown, console, pipe, other };

InputKind inputKind = InputKind::unknown;
HANDLE inputHandle = nullptr;
bool inputEnded = false;

// _getch announces an extended key with 0 or 0xE0; the second code follows at once.
constexpr int kExtendedPrefix = 0xE0;

InputKind prepareInput() {
  if (inputKind == InputKind::unknown) {
    inputHandle = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (inputHandle == nullptr || inputHandle == INVALID_HANDLE_VALUE) {
      inputKind = InputKind::other;
      inputEnded = true;
    } else if (GetConsoleMode(inputHandle, &mode)) {
      inputKind = InputKind::console;
    } else if (GetFileType(inputHandle) == FILE_TYPE_PIPE) {
      inputKind = InputKind::pipe;
    } else {
      inputKind = InputKind::other;  // a file or a device: a read never waits long
    }
  }
  return inputKind;
}

int readInputByte() {
  unsigned char byte = 0;
  DWORD got = 0;
  if (!ReadFile(inputHandle, &byte, 1, &got, nullptr) || got != 1) {
    inputEnded = true;
    return kKeyEndOfInput;
  }
  return byte;
}

}  // namespace

void platformStart() {
  static bool started = false;
  if (!started && timeBeginPeriod(kTimerResolutionMs) == TIMERR_NOERROR) {
    std::atexit(restoreTimerResolution);
  }
  started = true;
}

std::uint32_t platformClockMs() {
  // The performance counter is monotonic and far finer than the 10 to 16 ms steps of the
  // tick count, which would stretch the short protocol pauses.
  static LARGE_INTEGER frequency{};
  if (frequency.QuadPart == 0) {
    QueryPerformanceFrequency(&frequency);
  }
  LARGE_INTEGER counter{};
  QueryPerformanceCounter(&counter);
  const auto ticks = static_cast<unsigned long long>(counter.QuadPart);
  const auto perSecond = static_cast<unsigned long long>(frequency.QuadPart);
  if (perSecond == 0) {
    return GetTickCount();
  }
  const unsigned long long milliseconds = ticks / perSecond * 1000ull + ticks % perSecond * 1000ull / perSecond;
  return static_cast<std::uint32_t>(milliseconds);
}

void platformSleepMs(std::uint32_t milliseconds) { Sleep(milliseconds); }

// The timer ticks in whole milliseconds (kTimerResolutionMs); Sleep(0) would only yield.
void platformSleepUs(std::uint32_t microseconds) {
  if (microseconds >= 1000u) {
    Sleep(microseconds / 1000u);
  }
}

int platformKeyHit() {
  const InputKind kind = prepareInput();
  if (inputEnded) {
    return 1;
  }
  switch (kind) {
    case InputKind::console:
      return _kbhit() ? 1 : 0;
    case InputKind::pipe: {
      DWORD available = 0;
      if (PeekNamedPipe(inputHandle, nullptr, 0, nullptr, &available, nullptr)) {
        return available > 0 ? 1 : 0;
      }
      // The writer has gone: the next read reports the end at once. Any other failure
      // (Wine cannot peek a Unix pipe and says ERROR_NOT_SUPPORTED) leaves it unknown, and
      // "no key" is the answer that cannot make the caller block in a read.
      return GetLastError() == ERROR_BROKEN_PIPE ? 1 : 0;
    }
    default:
      return 1;
  }
}

bool platformInputIsTerminal() { return prepareInput() == InputKind::console; }

int platformReadKey() {
  std::fflush(stdout);
  const InputKind kind = prepareInput();
  if (inputEnded) {
    return kKeyEndOfInput;
  }
  if (kind != InputKind::console) {
    return readInputByte();
  }
  const int key = _getch();
  // 0xE0 is also a printable character in some code pages; only as the prefix of an
  // extended key is it followed at once by another code.
  if (key == kExtendedPrefix && _kbhit()) {
    return 0;
  }
  return key;
}
