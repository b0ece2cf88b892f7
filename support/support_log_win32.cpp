// The support log's file and host facts on Windows. Lines are handed to the system with one
// WriteFile each (no C runtime buffer), so a killed process loses nothing already logged.
// The lines end with CR LF, so that every Notepad shows them as lines.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "support/support_log_file.h"

namespace {

constexpr int kLineEndBytes = 2;
HANDLE logHandle = INVALID_HANDLE_VALUE;

using t_RtlGetVersion = LONG(WINAPI*)(OSVERSIONINFOW*);
using t_WineGetVersion = const char*(CDECL*)();

// An export of ntdll by name, or null. The detour through a plain function pointer is the
// one cast between function types that the compiler accepts without a warning.
template <typename Function>
Function ntdllExport(const char* name) {
  const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  if (ntdll == nullptr) {
    return nullptr;
  }
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(ntdll, name)));
}

const char* architectureName() {
  SYSTEM_INFO system{};
  GetNativeSystemInfo(&system);
  switch (system.wProcessorArchitecture) {
    case PROCESSOR_ARCHITECTURE_AMD64: return "x64";
    case PROCESSOR_ARCHITECTURE_INTEL: return "x86";
    case PROCESSOR_ARCHITECTURE_ARM64: return "ARM64";
    default: return "unknown machine";
  }
}

}  // namespace

bool logFileOpen(const char* path, bool* holdsText, char* why, int whySize) {
  // Write access without FILE_WRITE_DATA is append-only, as O_APPEND is on POSIX: every
  // WriteFile goes to the file's end as it is then, so two runs logging to one file at once
  // (two vlfwu-log.bat windows in one folder) interleave their lines and overwrite none.
  // Moving the position takes no access right, so logFileWriteLine may still seek the end.
  // Others may read (and even remove) the file while the run writes it.
  constexpr DWORD kAppendOnly = FILE_GENERIC_WRITE & ~static_cast<DWORD>(FILE_WRITE_DATA);
  logHandle = CreateFileA(path, kAppendOnly, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (logHandle == INVALID_HANDLE_VALUE) {
    logFileErrorText(GetLastError(), why, whySize);
    return false;
  }
  // CON or a port would put the log among the console texts, or on a line.
  if (GetFileType(logHandle) != FILE_TYPE_DISK) {
    std::snprintf(why, static_cast<std::size_t>(whySize), "not a file");
    logFileClose();
    return false;
  }
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(logHandle, &size)) {
    logFileErrorText(GetLastError(), why, whySize);
    logFileClose();
    return false;
  }
  *holdsText = size.QuadPart > 0;
  return true;
}

bool logFileWriteLine(const char* text, int length, char* why, int whySize) {
  if (logHandle == INVALID_HANDLE_VALUE) {
    std::snprintf(why, static_cast<std::size_t>(whySize), "not open");
    return false;
  }
  char buffer[kLogLineMax + kLineEndBytes];
  if (length < 0 || length > kLogLineMax) {
    length = length < 0 ? 0 : kLogLineMax;
  }
  std::memcpy(buffer, text, static_cast<std::size_t>(length));
  buffer[length] = '\r';
  buffer[length + 1] = '\n';
  const DWORD total = static_cast<DWORD>(length + kLineEndBytes);
  // Append-only access holds on local disks; a network share or a redirected drive may ignore
  // it and write at the handle's position, which starts at 0 and would overwrite the last
  // run's log. The position is moved to the file's end as it is now, before every line. A
  // seek the file system refuses changes nothing: the line is written as the access makes it.
  const LARGE_INTEGER none{};
  SetFilePointerEx(logHandle, none, nullptr, FILE_END);
  DWORD written = 0;
  if (!WriteFile(logHandle, buffer, total, &written, nullptr) || written != total) {
    logFileErrorText(GetLastError(), why, whySize);
    return false;
  }
  return true;
}

void logFileCommit() {
  if (logHandle != INVALID_HANDLE_VALUE) {
    FlushFileBuffers(logHandle);
  }
}

void logFileClose() {
  if (logHandle != INVALID_HANDLE_VALUE) {
    CloseHandle(logHandle);
    logHandle = INVALID_HANDLE_VALUE;
  }
}

unsigned long logFileLastError() { return GetLastError(); }

void logFileErrorText(unsigned long error, char* text, int size) {
  if (text == nullptr || size <= 0) {
    return;
  }
  char message[256];
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                static_cast<DWORD>(error), 0, message, sizeof message, nullptr);
  // The system's texts end with a full stop and a line break.
  while (length > 0 && (message[length - 1] == '\r' || message[length - 1] == '\n' ||
                        message[length - 1] == ' ' || message[length - 1] == '.')) {
    --length;
  }
  message[length] = '\0';
  std::snprintf(text, static_cast<std::size_t>(size), "%s (error %lu)", length > 0 ? message : "unknown error",
                error);
}

void logFileLocalTime(char* text, int size) {
  SYSTEMTIME local{};
  GetLocalTime(&local);
  TIME_ZONE_INFORMATION zone{};
  const DWORD mode = GetTimeZoneInformation(&zone);
  // Bias is UTC minus local time, in minutes.
  LONG bias = zone.Bias;
  if (mode == TIME_ZONE_ID_DAYLIGHT) {
    bias += zone.DaylightBias;
  } else if (mode == TIME_ZONE_ID_STANDARD) {
    bias += zone.StandardBias;
  }
  const LONG offset = -bias;
  const LONG magnitude = offset < 0 ? -offset : offset;
  std::snprintf(text, static_cast<std::size_t>(size), "%04u-%02u-%02u %02u:%02u:%02u %c%02ld%02ld",
                local.wYear, local.wMonth, local.wDay, local.wHour, local.wMinute, local.wSecond,
                offset < 0 ? '-' : '+', magnitude / 60, magnitude % 60);
}

void logFilePlatform(char* text, int size) {
  // GetVersionEx reports what the program's manifest claims; ntdll tells the truth.
  OSVERSIONINFOW version{};
  version.dwOSVersionInfoSize = sizeof version;
  const auto getVersion = ntdllExport<t_RtlGetVersion>("RtlGetVersion");
  const bool known = getVersion != nullptr && getVersion(&version) == 0;
  const auto wineVersion = ntdllExport<t_WineGetVersion>("wine_get_version");
  char wine[64] = "";
  if (wineVersion != nullptr) {
    std::snprintf(wine, sizeof wine, " (Wine %s)", wineVersion());
  }
  if (known) {
    std::snprintf(text, static_cast<std::size_t>(size), "Windows %lu.%lu build %lu %s%s", version.dwMajorVersion,
                  version.dwMinorVersion, version.dwBuildNumber, architectureName(), wine);
  } else {
    std::snprintf(text, static_cast<std::size_t>(size), "Windows %s%s", architectureName(), wine);
  }
}
