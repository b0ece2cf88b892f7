#pragma once
// A pseudo-terminal pair for tests: the program under test opens the slave side by its path
// as if it were a serial device, and the test plays the other end of the cable on the master.
//
// The helper keeps its own descriptor of the slave open (until releaseSlave), so that the
// master keeps working while the program closes and reopens the device, and it starts the
// slave in raw mode, so that nothing written before the program configures the line is
// echoed or translated.
#include <termios.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace vlfwu_test {

class PseudoTerminal {
 public:
  PseudoTerminal();
  ~PseudoTerminal();
  PseudoTerminal(const PseudoTerminal&) = delete;
  PseudoTerminal& operator=(const PseudoTerminal&) = delete;

  // False when the pair could not be created; error() says why.
  bool ok() const { return master_ >= 0; }
  const std::string& error() const { return error_; }

  // Path of the slave device, e.g. /dev/pts/7.
  const std::string& slavePath() const { return slavePath_; }
  int masterFd() const { return master_; }

  // Writes all bytes to the master within timeoutMs; false on failure or time-out.
  bool write(std::string_view bytes, int timeoutMs = 1000);

  // Reads from the master until count bytes have arrived or timeoutMs has passed; returns
  // what arrived (possibly fewer bytes, possibly none).
  std::string read(std::size_t count, int timeoutMs);

  // Reads whatever arrives until the line has been quiet for quietMs (or timeoutMs passed).
  std::string readUntilQuiet(int quietMs, int timeoutMs);

  // Reads until text has appeared in what arrived, or timeoutMs has passed. Everything read
  // is appended to *received when given. True when the text came.
  bool waitFor(std::string_view text, int timeoutMs, std::string* received = nullptr);

  // Bytes written on the slave side that the master has not read yet; -1 on failure.
  int masterBytesWaiting() const;

  // Discards everything waiting on the master.
  void drain();

  // The baud rate the slave side is set to now (as a number, e.g. 19200); -1 on failure.
  long slaveBaud() const;

  // The slave's current line settings, and a way to set them (e.g. a cooked, echoing
  // terminal to stand for a user's keyboard).
  bool slaveSettings(termios* settings) const;
  bool setSlaveSettings(const termios& settings);

  // Closes the helper's own slave descriptor (the program's descriptors are unaffected).
  void releaseSlave();

  // Closes the master: to the slave side, the other end of the cable has gone.
  void closeMaster();

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string slavePath_;
  std::string error_;
};

// Converts a termios speed constant into a number of bits per second; -1 when unknown.
long baudFromSpeed(speed_t speed);

}  // namespace vlfwu_test
