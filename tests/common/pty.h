#pragma once
// A pseudo-terminal pair: the program under test opens the slave by its path as if it were a
// serial device; the test plays the other end of the cable on the master. The helper holds a
// slave descriptor of its own (so the master keeps working while the program closes and
// reopens the device) and starts the slave raw, so nothing is echoed or translated.
#include <termios.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace vlfwu_test {

class PseudoTerminal {
 public:
  PseudoTerminal();
  ~PseudoTerminal() { hangUp(); }
  PseudoTerminal(const PseudoTerminal&) = delete;
  PseudoTerminal& operator=(const PseudoTerminal&) = delete;

  bool ok() const { return master_ >= 0; }  // else error() says why
  const std::string& error() const { return error_; }
  const std::string& slavePath() const { return slavePath_; }  // e.g. /dev/pts/7

  // Writes all bytes to the master within timeoutMs.
  bool write(std::string_view bytes, int timeoutMs = 1000);
  // What arrives on the master until count bytes have come or timeoutMs has passed.
  std::string read(std::size_t count, int timeoutMs);
  // What arrives until the line has been quiet for quietMs (or timeoutMs has passed).
  std::string readUntilQuiet(int quietMs, int timeoutMs);
  // Reads until text has arrived (true) or timeoutMs has passed; appends all it read to *received.
  bool waitFor(std::string_view text, int timeoutMs, std::string* received = nullptr);

  // The slave's line settings, read and set through the master.
  long slaveBaud() const;  // bits per second; -1 when unknown
  bool slaveSettings(termios* settings) const;
  bool setSlaveSettings(const termios& settings);

  // The far end stops taking bytes: the helper's slave descriptor writes toward the master,
  // which is not read, until the terminal holds no more and no write on the slave can finish.
  bool stopReading();

  // Closes both of the helper's descriptors: to the slave side, the cable has gone.
  void hangUp();

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string slavePath_;
  std::string error_;
};

}  // namespace vlfwu_test
