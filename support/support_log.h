#pragma once
// The support log: when the technician asks for it (VLFWU_LOG), the run appends a transcript
// of itself to one file that support can read without the hardware: a header, the port
// events, every byte on the line both ways, every console text and key, each step's named
// result and the run's outcome, in the order they happened, with the milliseconds since the
// start of the run.
//
// Every routine returns at once while no log is open, and none of them changes what the run
// sends, prints or waits for. Each completed line goes to the file at once (a killed process
// keeps everything up to its last line); the file is committed to the disk before every wait
// for a key, at the end, and during the run at most once a second, right after bytes went out
// (the switch is busy answering them meanwhile), or, when nothing went out for a while, as the
// run waits for the switch two seconds after the last commit at the latest, so that a power
// cut of the PC loses two seconds at most. Never between reading a reply and sending the next
// line: that would hold the line up. Fixed buffers only: a record longer than its bound is
// cut, and says so.
//
// Format, one record per line ("sssss.mmm tag text"):
//   sent/recv  bytes on the line, quoted: printable text as it is, \r \n \" \\ and \xNN for
//              the rest; a record grows until its line ends (a line feed sent; a CR or LF
//              received after text), a pause of more than 50 ms, 128 bytes, a change of
//              direction or any other record. The UU data lines of a Write-to-RAM block that
//              the switch answered with OK are shortened to
//              [N UU lines, B bytes, FNV-1a 0xHHHHHHHH]; any other block is logged whole.
//   con        text written to the console, quoted alike, one line as the user reads it
//   key        a key read from the keyboard
//   port       a port opened or refused (with the system's error), its line settings, a rate
//              change, its closing
//   step       a step's named result
//   run        the run's outcome
#include <cstdint>

// Results of logOpen.
constexpr int kLogOpened = 0;
constexpr int kLogUnwritable = 1;  // why holds the reason

// Opens path for appending (after a separator line when it already holds something), writes
// the first line of the header and starts the run's clock. kLogUnwritable, with why filled
// (whySize bytes at most, always terminated), when the file cannot be opened or written.
int logOpen(const char* path, char* why, int whySize);
// Completes and writes everything pending, commits the file to the disk and closes it.
void logClose();
bool logActive();

// One line of the header: "  label  text". logHeaderPlatform adds the date and time and the
// platform, which only the platform knows.
void logHeader(const char* label, const char* text);
void logHeaderPlatform();

// Bytes on the line: sent once the port's write of them has returned, received as read.
void logSent(const char* bytes, int count);
void logReceived(const char* bytes, int count);
// The run is about to sleep until the switch's bytes come (none are waiting): the file is
// committed when that is two seconds overdue.
void logBeforeLineWait();

// Text written to the console by one call of a console routine, and a key read (returned
// unchanged, so that a read can be wrapped).
void logConsole(const char* text, int count);
int logKey(int key);

// A record of its own: tag "port", "step" or "run", and its text (cut at its bound).
void logEvent(const char* tag, const char* text);
// The same, formatted as printf formats.
[[gnu::format(printf, 2, 3)]] void logEventFormat(const char* tag, const char* format, ...);
// The run's outcome, with the last message the console showed.
void logOutcome(const char* text);

// The run is about to read a key, which may mean a long wait, or the window closed instead:
// completes the record being collected and commits the file to the disk. Once the input has
// ended no read waits any more, and nothing is committed here.
void logBeforeKey();

// The system's last error (errno, GetLastError) as text, taken at the call; an empty text
// while no log is open, so that the call costs nothing then. Call it before anything else
// that may change the error.
void logSystemError(char* text, int size);
