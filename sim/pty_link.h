#pragma once
// The switch's end of the cable: the master side of a pseudo-terminal, whose slave the host
// opens as its serial port. The host may open, reconfigure and close the slave any number of
// times; the master stays open throughout. No descriptor of the slave is kept here, so the
// host's exclusive open (TIOCEXCL) works and no received byte can be taken from the host.
#include <cstddef>
#include <cstdint>
#include <string>

namespace sim {

class PtyLink {
 public:
  PtyLink() = default;
  ~PtyLink();
  PtyLink(const PtyLink&) = delete;
  PtyLink& operator=(const PtyLink&) = delete;

  // Creates the pair, puts the slave into raw mode and, when linkPath is not empty, makes
  // linkPath a symbolic link to the slave (replacing an old link or file of that name).
  bool open(const std::string& linkPath, std::string* error);
  // Closes the master and removes the link: to the host, the port has gone.
  void close();
  bool isOpen() const { return master_ >= 0; }

  const std::string& slavePath() const { return slavePath_; }
  const std::string& linkPath() const { return linkPath_; }
  int masterFd() const { return master_; }

  // True while some process has the slave open (the master does not report a hang-up).
  bool hostAttached() const;
  // The rates the host's side is set to: the one it sends at and the one it receives at,
  // in bits per second (0 when unknown).
  int hostSendBaud() const;
  int hostReceiveBaud() const;

  // Non-blocking read of what the host sent; 0 when nothing is there (or nobody attached),
  // -1 when the master has failed.
  long readSome(std::uint8_t* buffer, std::size_t size);
  // Non-blocking write; returns the count accepted (possibly 0), -1 on failure.
  long writeSome(const std::uint8_t* bytes, std::size_t count);

 private:
  int master_ = -1;
  std::string slavePath_;
  std::string linkPath_;
};

// Converts a termios speed constant into bits per second (0 when unknown).
int baudOfSpeed(unsigned speed);

}  // namespace sim
