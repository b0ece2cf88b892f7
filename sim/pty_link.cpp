#include "sim/pty_link.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

namespace sim {

int baudOfSpeed(unsigned speed) {
  switch (speed) {
    case B50: return 50;
    case B75: return 75;
    case B110: return 110;
    case B134: return 134;
    case B150: return 150;
    case B200: return 200;
    case B300: return 300;
    case B600: return 600;
    case B1200: return 1200;
    case B1800: return 1800;
    case B2400: return 2400;
    case B4800: return 4800;
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    case B230400: return 230400;
    case B460800: return 460800;
    case B921600: return 921600;
    default: return 0;
  }
}

PtyLink::~PtyLink() { close(); }

bool PtyLink::open(const std::string& linkPath, std::string* error) {
  int master = -1;
  int slave = -1;
  char name[256] = {};
  if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
    if (error) *error = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
    return false;
  }
  // Raw from the start: a slave in its default cooked mode would echo the switch's own output
  // back to it before the host has configured the line.
  termios settings{};
  tcgetattr(slave, &settings);
  cfmakeraw(&settings);
  settings.c_cflag |= CLOCAL | CREAD;
  cfsetispeed(&settings, B9600);
  cfsetospeed(&settings, B9600);
  tcsetattr(slave, TCSANOW, &settings);
  ::close(slave);  // the host opens it by name; keeping it would defeat its exclusive open

  int flags = fcntl(master, F_GETFL);
  fcntl(master, F_SETFL, flags | O_NONBLOCK);
  fcntl(master, F_SETFD, FD_CLOEXEC);
  master_ = master;
  slavePath_ = name;

  if (!linkPath.empty()) {
    struct stat st{};
    if (lstat(linkPath.c_str(), &st) == 0) {
      if (S_ISDIR(st.st_mode)) {
        if (error) *error = "link path " + linkPath + " is a directory";
        close();
        return false;
      }
      unlink(linkPath.c_str());
    }
    if (symlink(slavePath_.c_str(), linkPath.c_str()) != 0) {
      if (error) *error = "cannot create link " + linkPath + ": " + std::strerror(errno);
      close();
      return false;
    }
    linkPath_ = linkPath;
  }
  return true;
}

void PtyLink::close() {
  if (!linkPath_.empty()) {
    // Only remove the link if it still points at our slave (a later run may have taken it).
    char target[512];
    ssize_t n = readlink(linkPath_.c_str(), target, sizeof target - 1);
    if (n > 0) {
      target[n] = '\0';
      if (slavePath_ == target) unlink(linkPath_.c_str());
    }
    linkPath_.clear();
  }
  if (master_ >= 0) {
    ::close(master_);
    master_ = -1;
  }
}

bool PtyLink::hostAttached() const {
  if (master_ < 0) return false;
  pollfd p{master_, 0, 0};
  if (poll(&p, 1, 0) < 0) return false;
  return (p.revents & (POLLHUP | POLLERR | POLLNVAL)) == 0;
}

int PtyLink::hostSendBaud() const {
  termios t{};
  if (master_ < 0 || tcgetattr(master_, &t) != 0) return 0;
  return baudOfSpeed(cfgetospeed(&t));
}

int PtyLink::hostReceiveBaud() const {
  termios t{};
  if (master_ < 0 || tcgetattr(master_, &t) != 0) return 0;
  speed_t in = cfgetispeed(&t);
  // An input speed of 0 means "the same as the output speed".
  return baudOfSpeed(in == B0 ? cfgetospeed(&t) : in);
}

long PtyLink::readSome(std::uint8_t* buffer, std::size_t size) {
  if (master_ < 0) return -1;
  ssize_t n = ::read(master_, buffer, size);
  if (n >= 0) return n;
  // EIO: no process has the slave open just now. Not a failure of the link.
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == EIO) return 0;
  return -1;
}

long PtyLink::writeSome(const std::uint8_t* bytes, std::size_t count) {
  if (master_ < 0) return -1;
  ssize_t n = ::write(master_, bytes, count);
  if (n >= 0) return n;
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
  if (errno == EIO) return static_cast<long>(count);  // nobody listening: the bytes are lost
  return -1;
}

}  // namespace sim
