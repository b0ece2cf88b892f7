// The serial port over real pseudo-terminals: the port under test is the slave side, named
// through VLFWU_COM<n>; the test plays the other end of the cable on the master.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "tests/common/pty.h"
#include "transport/serial.h"

namespace {

using vlfwu_test::PseudoTerminal;
using Clock = std::chrono::steady_clock;

constexpr int kPort = 7;

long long msSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

int openDescriptorCount() {
  int count = 0;
  if (DIR* directory = opendir("/proc/self/fd")) {
    while (readdir(directory) != nullptr) {
      ++count;
    }
    closedir(directory);
  }
  return count;
}

void mapPort(int portNumber, const std::string& device) {
  setenv(("VLFWU_COM" + std::to_string(portNumber)).c_str(), device.c_str(), 1);
}

void unmapPort(int portNumber) { unsetenv(("VLFWU_COM" + std::to_string(portNumber)).c_str()); }

// Bytes written on the master reach the slave's queue shortly after, not at once.
int waitForBytesWaiting(t_ComPort* port, int expected) {
  const auto start = Clock::now();
  int waiting = comBytesWaiting(port);
  while (waiting < expected && msSince(start) < 2000) {
    usleep(1000);
    waiting = comBytesWaiting(port);
  }
  return waiting;
}

class SerialPty : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty.ok()) << pty.error();
    mapPort(kPort, pty.slavePath());
  }
  void TearDown() override {
    comClose(&port);
    unmapPort(kPort);
  }

  PseudoTerminal pty;
  t_ComPort port{};
};

TEST_F(SerialPty, OpenCloseAndReopen) {
  ASSERT_EQ(comOpen(&port, kPort, 19200), 1);
  EXPECT_EQ(port.isOpen, 1);
  EXPECT_EQ(comClose(&port), 1);
  EXPECT_EQ(port.isOpen, 0);
  EXPECT_EQ(comClose(&port), 1);  // closing a closed record is harmless
  EXPECT_EQ(port.isOpen, 0);
  // The first open released its exclusive hold on the device.
  ASSERT_EQ(comOpen(&port, kPort, 115200), 1);
  EXPECT_EQ(pty.slaveBaud(), 115200);
}

TEST_F(SerialPty, OpenSetsRawEightBitLineWithoutFlowControl) {
  termios before{};
  ASSERT_TRUE(pty.slaveSettings(&before));
  // Start from a cooked terminal with parity, two stop bits and flow control, so that the
  // open has something to undo.
  before.c_lflag |= ICANON | ECHO | ISIG;
  before.c_iflag |= IXON | IXOFF | ICRNL;
  before.c_oflag |= OPOST | ONLCR;
  before.c_cflag |= PARENB | CSTOPB | CRTSCTS;
  before.c_cflag = (before.c_cflag & ~CSIZE) | CS7;
  ASSERT_TRUE(pty.setSlaveSettings(before));

  ASSERT_EQ(comOpen(&port, kPort, 19200), 1);
  termios after{};
  ASSERT_TRUE(pty.slaveSettings(&after));
  EXPECT_EQ(pty.slaveBaud(), 19200);
  EXPECT_EQ(after.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(after.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
  EXPECT_EQ(after.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
  EXPECT_EQ(after.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP), 0u);
  EXPECT_EQ(after.c_oflag & OPOST, 0u);
  EXPECT_EQ(after.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
}

TEST_F(SerialPty, EveryByteValuePassesUnchangedBothWays) {
  ASSERT_EQ(comOpen(&port, kPort, 19200), 1);
  std::string all;
  for (int value = 0; value < 256; ++value) {
    all.push_back(static_cast<char>(value));
  }
  // Carriage returns, line feeds, XON/XOFF, Ctrl-C and 0xFF are where a cooked line breaks.
  ASSERT_EQ(comWrite(&port, all.data(), static_cast<int>(all.size())), 256);
  EXPECT_EQ(pty.read(256, 2000), all);

  ASSERT_TRUE(pty.write(all));
  ASSERT_EQ(waitForBytesWaiting(&port, 256), 256);
  std::string received;
  for (int i = 0; i < 256; ++i) {
    char byte = 0;
    ASSERT_EQ(comRead(&port, &byte, 1), 1) << "at byte " << i;
    received.push_back(byte);
  }
  EXPECT_EQ(received, all);
  EXPECT_EQ(pty.read(1, 100), "") << "nothing may be echoed back to the switch";
}

TEST_F(SerialPty, AlreadyOpenRecordReportsAndKeepsThePort) {
  ASSERT_EQ(comOpen(&port, kPort, 19200), 1);
  const int fd = port.fd;
  ::testing::internal::CaptureStdout();
  const int result = comOpen(&port, 3, 115200);
  const std::string printed = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(result, 1);
  EXPECT_EQ(printed, "Com3 already open!\n");
  EXPECT_EQ(port.fd, fd);
  EXPECT_EQ(pty.slaveBaud(), 19200) << "the open port must stay as it was";
  ASSERT_EQ(comWrite(&port, "x", 1), 1);
  EXPECT_EQ(pty.read(1, 1000), "x");
}

TEST_F(SerialPty, ReadsAWaitingByteAndCountsTheRest) {
  ASSERT_EQ(comOpen(&port, kPort, 19200), 1);
  EXPECT_EQ(comBytesWaiting(&port), 0);
  ASSERT_TRUE(pty.write("12345"));
  ASSERT_EQ(waitForBytesWaiting(&port, 5), 5);
  char byte = 0;
  const auto start = Clock::now();
  EXPECT_EQ(comRead(&port, &byte, 1), 1);
  EXPECT_LT(msSince(start), 500) << "a waiting byte is read at once";
  EXPECT_EQ(byte, '1');
  EXPECT_EQ(comBytesWaiting(&port), 4);
}

TEST_F(SerialPty, ReadOfSeveralBytesEndsWhenTheLineFallsQuiet) {
  ASSERT_EQ(comOpen(&port, kPort, 19200), 1);
  ASSERT_TRUE(pty.write("abc"));
  ASSERT_EQ(waitForBytesWaiting(&port, 3), 3);
  char buffer[16] = {};
  const auto start = Clock::now();
  EXPECT_EQ(comRead(&port, buffer, sizeof buffer), 3);
  EXPECT_LT(msSince(start), 500) << "must not wait for the full count";
  EXPECT_EQ(std::string(buffer, 3), "abc");
}

TEST_F(SerialPty, ReadWithNothingArrivingTimesOutAfterAboutOneSecond) {
  ASSERT_EQ(comOpen(&port, kPort, 19200), 1);
  char buffer[4] = {'u', 'u', 'u', 'u'};
  const auto start = Clock::now();
  EXPECT_EQ(comRead(&port, buffer, 1), 0);
  const long long elapsed = msSince(start);
  EXPECT_GE(elapsed, 900);
  EXPECT_LE(elapsed, 3000);
  EXPECT_EQ(buffer[0], 'u');
}

TEST_F(SerialPty, BaudChangesAreSeenOnTheOtherSide) {
  ASSERT_EQ(comOpen(&port, kPort, 19200), 1);
  EXPECT_EQ(pty.slaveBaud(), 19200);
  ASSERT_EQ(comSetBaud(&port, 115200), 1);
  EXPECT_EQ(pty.slaveBaud(), 115200);
  ASSERT_EQ(comSetBaud(&port, 19200), 1);
  EXPECT_EQ(pty.slaveBaud(), 19200);
  for (int baud : {9600, 38400, 57600, 230400}) {
    ASSERT_EQ(comSetBaud(&port, baud), 1) << baud;
    EXPECT_EQ(pty.slaveBaud(), baud);
  }
  // The raw line set at open survives a rate change.
  termios settings{};
  ASSERT_TRUE(pty.slaveSettings(&settings));
  EXPECT_EQ(settings.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(settings.c_lflag & (ICANON | ECHO), 0u);
}

TEST_F(SerialPty, RejectedRateClosesThePort) {
  ASSERT_EQ(comOpen(&port, kPort, 19200), 1);
  ASSERT_TRUE(pty.write("zz"));
  ASSERT_EQ(waitForBytesWaiting(&port, 2), 2);
  EXPECT_EQ(comSetBaud(&port, 12345), 0);
  EXPECT_EQ(port.isOpen, 0);
  char byte = 0;
  EXPECT_EQ(comBytesWaiting(&port), 0);
  EXPECT_EQ(comRead(&port, &byte, 1), 0);
  EXPECT_EQ(comWrite(&port, "x", 1), 0);
  EXPECT_EQ(comSetBaud(&port, 19200), 0);
  // Closed for good: the device is free to be opened again.
  EXPECT_EQ(comOpen(&port, kPort, 19200), 1);
}

TEST_F(SerialPty, OpenAtAnUnsupportedRateFailsAndLeaksNothing) {
  const int descriptors = openDescriptorCount();
  EXPECT_EQ(comOpen(&port, kPort, 12345), 0);
  EXPECT_EQ(port.isOpen, 0);
  EXPECT_EQ(openDescriptorCount(), descriptors);
  EXPECT_EQ(comOpen(&port, kPort, 19200), 1);
}

TEST_F(SerialPty, DeviceHeldByAnotherOpenIsRefused) {
  ASSERT_EQ(comOpen(&port, kPort, 19200), 1);
  t_ComPort second{};
  const int descriptors = openDescriptorCount();
  EXPECT_EQ(comOpen(&second, kPort, 19200), 0);
  EXPECT_EQ(second.isOpen, 0);
  EXPECT_EQ(openDescriptorCount(), descriptors);
  comClose(&port);
  EXPECT_EQ(comOpen(&second, kPort, 19200), 1) << "free again once the first holder closed it";
  comClose(&second);
}

TEST_F(SerialPty, DeviceLockedByAnotherProgramIsRefused) {
  // Another program holding the device shows as its lock on the device node.
  const int holder = open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
  const int descriptors = openDescriptorCount();
  EXPECT_EQ(comOpen(&port, kPort, 19200), 0);
  EXPECT_EQ(openDescriptorCount(), descriptors);
  close(holder);
  EXPECT_EQ(comOpen(&port, kPort, 19200), 1);
}

TEST_F(SerialPty, TwoDigitPortNumbersReachTheirOwnDevice) {
  PseudoTerminal other;
  ASSERT_TRUE(other.ok()) << other.error();
  mapPort(12, other.slavePath());
  mapPort(1, pty.slavePath());
  ASSERT_EQ(comOpen(&port, 12, 115200), 1);
  EXPECT_EQ(other.slaveBaud(), 115200);
  EXPECT_NE(pty.slaveBaud(), 115200) << "COM12 must not be taken for COM1";
  ASSERT_EQ(comWrite(&port, "12", 2), 2);
  EXPECT_EQ(other.read(2, 1000), "12");
  comClose(&port);
  unmapPort(12);
  unmapPort(1);
}

TEST_F(SerialPty, OtherSideGoneNeitherHangsNorCrashes) {
  ASSERT_EQ(comOpen(&port, kPort, 19200), 1);
  pty.releaseSlave();
  pty.closeMaster();
  const auto start = Clock::now();
  EXPECT_EQ(comBytesWaiting(&port), 0);
  char byte = 'u';
  EXPECT_EQ(comRead(&port, &byte, 1), 0);
  EXPECT_EQ(byte, 'u');
  comWrite(&port, "hello", 5);  // may fail; it must return
  comSetBaud(&port, 115200);
  EXPECT_LT(msSince(start), 5000);
  EXPECT_EQ(comClose(&port), 1);
}

TEST_F(SerialPty, WriteThatCannotFinishGivesUpAfterAboutOneSecond) {
  ASSERT_EQ(comOpen(&port, kPort, 19200), 1);
  // Far more than the pseudo-terminal buffers while nobody reads the other side.
  const std::string block(1 << 20, 'w');
  const auto start = Clock::now();
  EXPECT_EQ(comWrite(&port, block.data(), static_cast<int>(block.size())), 0);
  const long long elapsed = msSince(start);
  EXPECT_GE(elapsed, 900);
  EXPECT_LE(elapsed, 3000);
  // The port still works afterwards, without the abandoned bytes.
  pty.drain();
  ASSERT_EQ(comWrite(&port, "ok", 2), 2);
  EXPECT_EQ(pty.readUntilQuiet(100, 2000), "ok");
}

TEST(SerialDevice, MissingDeviceFailsAndLeaksNothing) {
  mapPort(9, "/dev/vlfwu-no-such-device");
  t_ComPort port{};
  const int descriptors = openDescriptorCount();
  EXPECT_EQ(comOpen(&port, 9, 19200), 0);
  EXPECT_EQ(port.isOpen, 0);
  EXPECT_EQ(comWrite(&port, "x", 1), 0);
  EXPECT_EQ(openDescriptorCount(), descriptors);
  unmapPort(9);
}

TEST(SerialDevice, PathThatIsNoTerminalIsRefused) {
  char path[] = "/tmp/vlfwu-serial-XXXXXX";
  const int file = mkstemp(path);
  ASSERT_GE(file, 0);
  close(file);
  mapPort(9, path);
  t_ComPort port{};
  const int descriptors = openDescriptorCount();
  EXPECT_EQ(comOpen(&port, 9, 19200), 0);
  EXPECT_EQ(port.isOpen, 0);
  EXPECT_EQ(openDescriptorCount(), descriptors);
  unlink(path);
  unmapPort(9);
}

TEST(SerialDevice, ClosedOrNullRecordRefusesEveryOperation) {
  t_ComPort port{};
  char byte = 0;
  EXPECT_EQ(comWrite(&port, "x", 1), 0);
  EXPECT_EQ(comRead(&port, &byte, 1), 0);
  EXPECT_EQ(comBytesWaiting(&port), 0);
  EXPECT_EQ(comSetBaud(&port, 19200), 0);
  EXPECT_EQ(comClose(&port), 1);
  EXPECT_EQ(comOpen(nullptr, 1, 19200), 0);
  EXPECT_EQ(comClose(nullptr), 1);
  EXPECT_EQ(comWrite(nullptr, "x", 1), 0);
  EXPECT_EQ(comRead(nullptr, &byte, 1), 0);
  EXPECT_EQ(comBytesWaiting(nullptr), 0);
  EXPECT_EQ(comSetBaud(nullptr, 19200), 0);
}

}  // namespace
