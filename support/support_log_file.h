#pragma once
// What the support log needs of the host: its file, the date and time, the platform's name
// and the system's error texts. One implementation per platform (support_log_posix.cpp,
// support_log_win32.cpp); support_log.cpp holds everything that is the same on both.

// Opens path for appending, creating it when missing; *holdsText tells whether it already
// held something. False with why filled (whySize bytes at most) when it cannot be opened.
bool logFileOpen(const char* path, bool* holdsText, char* why, int whySize);
// The longest line the log hands over, without its line end.
constexpr int kLogLineMax = 1100;

// Appends one line and the platform's line end, handed to the system at once; a longer line is cut at kLogLineMax. False when it
// could not be written whole (why filled, as above).
bool logFileWriteLine(const char* text, int length, char* why, int whySize);
// Commits what was written to the disk.
void logFileCommit();
void logFileClose();

// The system's last error, taken now, and its text.
unsigned long logFileLastError();
void logFileErrorText(unsigned long error, char* text, int size);

// The local date and time with the offset from UTC ("2026-12-07 17:23:17 +0100").
void logFileLocalTime(char* text, int size);
// The operating system, its version and the machine ("Linux 6.1.0-18-amd64 x86_64").
void logFilePlatform(char* text, int size);
