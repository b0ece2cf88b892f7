// The serial port over real pseudo-terminals: the port under test is the slave, named through
// VLFWU_COM<n>; the test plays the other end of the cable on the master.
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "support/support_log.h"
#include "tests/common/deadline.h"
#include "tests/common/pty.h"
#include "tests/common/real_ioctl.h"
#include "transport/serial.h"

namespace {

// What the driver of the port's descriptor says beyond a pseudo-terminal's truth: a UART's
// transmitter that never empties, or a driver that cannot tell its output queue.
enum class DriverFault { none, transmitterNeverEmpties, queueUnknown };
std::atomic<DriverFault> driverFault{DriverFault::none};
std::atomic<int> faultyPort{-1};

}  // namespace

// Every ioctl of this program comes here first: on the port's descriptor, the fault in force
// changes what the driver answers.
extern "C" int ioctl(int fd, unsigned long request, ...) noexcept {
  va_list args;
  va_start(args, request);
  void* argument = va_arg(args, void*);
  va_end(args);
  if (fd == faultyPort && driverFault == DriverFault::transmitterNeverEmpties && request == TIOCSERGETLSR) {
    *static_cast<int*>(argument) = 0;  // TIOCSER_TEMT clear
    return 0;
  }
  if (fd == faultyPort && driverFault == DriverFault::queueUnknown && request == TIOCOUTQ) {
    errno = ENOTTY;
    return -1;
  }
  return realIoctl(fd, request, argument);
}

namespace {

using Clock = std::chrono::steady_clock;

long long msSince(Clock::time_point start) { return (Clock::now() - start) / std::chrono::milliseconds(1); }

// Processor time of this process so far: a wait that spins uses about as much as it lasts.
long long cpuMs() {
  timespec used{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &used);
  return static_cast<long long>(used.tv_sec) * 1000 + used.tv_nsec / 1000000;
}

auto openDescriptors() { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); }

void mapPort(int number, const std::string& device) {
  setenv(("VLFWU_COM" + std::to_string(number)).c_str(), device.c_str(), 1);
}

class SerialPty : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty.ok()) << pty.error();
    mapPort(7, pty.slavePath());
  }
  void TearDown() override { comClose(&port); }

  // Bytes written on the master reach the slave's queue shortly after, not at once.
  int waitForBytesWaiting(int expected) {
    for (const auto start = Clock::now(); comBytesWaiting(&port) < expected && msSince(start) < 2000;) usleep(1000);
    return comBytesWaiting(&port);
  }

  vlfwu_test::PseudoTerminal pty;
  t_ComPort port{};
};

// Open, rate changes, a second open, close, reopen, a rejected rate.
TEST_F(SerialPty, LifeOfAPortRecord) {
  // Start cooked, with parity, two stop bits and flow control, so the open has all to undo.
  termios line{};
  ASSERT_TRUE(pty.slaveSettings(&line));
  line.c_lflag |= ICANON | ECHO | ISIG;
  line.c_iflag |= IXON | IXOFF | ICRNL;
  line.c_oflag |= OPOST | ONLCR;
  line.c_cflag = (line.c_cflag & ~CSIZE) | CS7 | PARENB | CSTOPB | CRTSCTS;
  ASSERT_TRUE(pty.setSlaveSettings(line));
  const auto expectRawAt = [&](int baud) {
    SCOPED_TRACE(baud);
    EXPECT_EQ(pty.slaveBaud(), baud);
    ASSERT_TRUE(pty.slaveSettings(&line));
    EXPECT_EQ(line.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CLOCAL | CREAD), CS8 | CLOCAL | CREAD);
    EXPECT_EQ(line.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP), 0u);
    EXPECT_EQ(line.c_oflag & OPOST, 0u);
    EXPECT_EQ(line.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
  };
  ASSERT_EQ(comOpen(&port, 7, 19200), 1);
  EXPECT_EQ(port.isOpen, 1);
  expectRawAt(19200);
  for (int baud : {115200, 9600, 38400, 57600, 230400, 19200}) {
    ASSERT_EQ(comSetBaud(&port, baud), 1);
    expectRawAt(baud);
  }
  // Opening the open record again only says so, whatever the number and rate.
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(comOpen(&port, 3, 115200), 1);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Com3 already open!\n");
  EXPECT_EQ(pty.slaveBaud(), 19200);
  ASSERT_EQ(comWrite(&port, "x", 1), 1);
  EXPECT_EQ(pty.read(1, 1000), "x");
  // Closing twice is harmless, and the first close released the exclusive hold.
  EXPECT_EQ(comClose(&port), 1);
  EXPECT_EQ(comClose(&port), 1);
  EXPECT_EQ(port.isOpen, 0);
  ASSERT_EQ(comOpen(&port, 7, 115200), 1);
  EXPECT_EQ(pty.slaveBaud(), 115200);
  // A rejected rate closes the port: from then on, as for a null record, everything gives 0.
  ASSERT_TRUE(pty.write("zz"));
  ASSERT_EQ(waitForBytesWaiting(2), 2);
  EXPECT_EQ(comSetBaud(&port, 12345), 0);
  EXPECT_EQ(port.isOpen, 0);
  for (t_ComPort* record : {&port, static_cast<t_ComPort*>(nullptr)}) {
    char byte = 0;
    EXPECT_EQ(comBytesWaiting(record), 0);
    EXPECT_EQ(comRead(record, &byte, 1), 0);
    EXPECT_EQ(comWrite(record, "x", 1), 0);
    EXPECT_EQ(comSetBaud(record, 19200), 0);
    EXPECT_EQ(comClose(record), 1);
  }
  EXPECT_EQ(comOpen(nullptr, 7, 19200), 0);
  EXPECT_EQ(comOpen(&port, 7, 19200), 1) << "the device was not released";
}

TEST_F(SerialPty, EveryByteValuePassesUnchangedBothWaysWithoutEcho) {
  ASSERT_EQ(comOpen(&port, 7, 19200), 1);
  std::string all(256, '\0');
  for (int value = 0; value < 256; ++value) all[value] = static_cast<char>(value);
  ASSERT_EQ(comWrite(&port, all.data(), 256), 256);
  EXPECT_EQ(pty.read(256, 2000), all);
  ASSERT_TRUE(pty.write(all));
  ASSERT_EQ(waitForBytesWaiting(256), 256);
  std::string received(256, '\0');
  for (int i = 0; i < 256; ++i) {
    ASSERT_EQ(comRead(&port, &received[i], 1), 1) << "at byte " << i;
  }
  EXPECT_EQ(received, all);
  EXPECT_EQ(pty.read(1, 100), "") << "echoed back to the switch";
}

TEST_F(SerialPty, ReadsWhatWaitsAtOnceAndGivesUpAfterASecondOfSilenceOrWhenTheOtherSideHasGone) {
  ASSERT_EQ(comOpen(&port, 7, 19200), 1);
  EXPECT_EQ(comBytesWaiting(&port), 0);
  ASSERT_TRUE(pty.write("12345"));
  ASSERT_EQ(waitForBytesWaiting(5), 5);
  char buffer[16] = {};
  auto start = Clock::now();
  EXPECT_EQ(comRead(&port, buffer, 1), 1);
  EXPECT_EQ(buffer[0], '1');
  EXPECT_EQ(comBytesWaiting(&port), 4);
  // A read of more than has come ends once the line falls quiet.
  EXPECT_EQ(comRead(&port, buffer, sizeof buffer), 4);
  EXPECT_EQ(std::string(buffer, 4), "2345");
  EXPECT_LT(msSince(start), 500);

  buffer[0] = 'u';
  start = Clock::now();
  EXPECT_EQ(comRead(&port, buffer, 1), 0);
  EXPECT_GE(msSince(start), 900);
  EXPECT_LE(msSince(start), 3000);
  EXPECT_EQ(buffer[0], 'u');
  // With the other side gone, nothing hangs or crashes.
  pty.hangUp();
  start = Clock::now();
  EXPECT_EQ(comBytesWaiting(&port), 0);
  EXPECT_EQ(comRead(&port, buffer, 1), 0);
  comWrite(&port, "hello", 5);  // may fail, but must return
  comSetBaud(&port, 115200);
  EXPECT_LT(msSince(start), 5000);
  EXPECT_EQ(buffer[0], 'u');
}

// A write whose bytes cannot all go out ends within its bound, and the port still works
// afterwards, without the abandoned bytes. Each case says what holds the bytes up, what the
// write gives, and how long it must at least last (the bound, or the bytes' time on the line).
TEST_F(SerialPty, WriteWhoseBytesCannotGoOutEndsWithinItsBound) {
  enum class FarEnd { reads, stoppedReading, sentXoff };
  const struct {
    const char* what;
    FarEnd farEnd;
    DriverFault fault;
    int count;
    int result;
    long long atLeastMs;
  } cases[] = {{"the far end stopped reading", FarEnd::stoppedReading, DriverFault::none, 1, 0, 900},
               {"more than the far end buffers unread", FarEnd::reads, DriverFault::none, 1 << 20, 0, 900},
               {"the far end sent XOFF", FarEnd::sentXoff, DriverFault::none, 30, 0, 900},
               {"a transmitter that never empties", FarEnd::reads, DriverFault::transmitterNeverEmpties, 1, 0, 900},
               {"a driver that cannot tell its queue: 192 bytes at 19200", FarEnd::reads, DriverFault::queueUnknown, 192,
                192, 100}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    vlfwu_test::PseudoTerminal far;
    ASSERT_TRUE(far.ok()) << far.error();
    mapPort(9, far.slavePath());
    t_ComPort writing{};
    ASSERT_EQ(comOpen(&writing, 9, 19200), 1);
    ASSERT_TRUE(c.farEnd != FarEnd::stoppedReading || far.stopReading());
    if (c.farEnd == FarEnd::sentXoff) {
      termios line{};
      ASSERT_TRUE(far.slaveSettings(&line));
      line.c_iflag |= IXON;
      ASSERT_TRUE(far.setSlaveSettings(line));
      // Once the '0' is waiting, the XOFF before it has stopped the port.
      ASSERT_TRUE(far.write("\x13" "0"));
      for (const auto start = Clock::now(); comBytesWaiting(&writing) < 1 && msSince(start) < 2000;) usleep(1000);
      char reply = 0;
      ASSERT_EQ(comRead(&writing, &reply, 1), 1);
    }
    faultyPort = writing.fd;
    driverFault = c.fault;
    const std::string block(static_cast<std::size_t>(c.count), 'w');
    const auto start = Clock::now();
    auto write = std::async(std::launch::async, [&] { return comWrite(&writing, block.data(), c.count); });
    const bool ended = write.wait_until(vlfwu_test::deadlineIn(3000)) == std::future_status::ready;
    driverFault = DriverFault::none;
    if (!ended) {
      far.hangUp();  // the case fails instead of blocking: with the far end gone, the write ends
    }
    const int result = write.get();
    EXPECT_TRUE(ended) << "the write did not end within its bound";
    EXPECT_EQ(result, c.result);
    EXPECT_GE(msSince(start), c.atLeastMs);
    ASSERT_TRUE(c.farEnd != FarEnd::sentXoff || far.write("\x11"));
    far.readUntilQuiet(100, 5000);
    EXPECT_EQ(comWrite(&writing, "ok", 2), 2);
    EXPECT_EQ(far.readUntilQuiet(100, 2000), "ok");
    comClose(&writing);
  }
}

// The support log writes a sent line once the port's write of it has returned, never before:
// the log's commit right after it then follows bytes that are out. Here the far end holds the
// line up with XOFF (flow control turned on behind the port's back): while "M" waits, the log
// must not claim it was sent; after XON it goes out and is in the log.
TEST_F(SerialPty, SentLineIsLoggedOnlyOnceItsWriteHasReturned) {
  const std::filesystem::path dir = std::filesystem::temp_directory_path() / ("vlfwu-sent-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const std::string logPath = (dir / "support.log").string();
  char why[160] = "";
  ASSERT_EQ(logOpen(logPath.c_str(), why, sizeof why), kLogOpened) << why;
  const auto logged = [&] {
    std::ifstream in(logPath, std::ios::binary);
    const std::string text(std::istreambuf_iterator<char>(in), {});
    return text.find(R"(sent "M 436207616 268435456 4096\r\n")") != std::string::npos;
  };
  ASSERT_EQ(comOpen(&port, 7, 115200), 1);
  termios line{};
  ASSERT_TRUE(pty.slaveSettings(&line));
  line.c_iflag |= IXON;
  ASSERT_TRUE(pty.setSlaveSettings(line));
  // The far end's bytes are taken in order: once the '0' is waiting, its XOFF has stopped the port.
  ASSERT_TRUE(pty.write("\x13" "0"));
  ASSERT_EQ(waitForBytesWaiting(1), 1);
  char reply = 0;
  ASSERT_EQ(comRead(&port, &reply, 1), 1);

  const std::string command = "M 436207616 268435456 4096\r\n";
  std::atomic<bool> started{false};
  int result = -1;
  std::thread sender([&] {
    started = true;
    result = comWrite(&port, command.data(), static_cast<int>(command.size()));
  });
  while (!started) std::this_thread::yield();
  EXPECT_EQ(pty.read(command.size(), 300), "") << "the XOFF did not hold the line up";
  EXPECT_FALSE(logged()) << "logged as sent while its bytes were still held up";
  ASSERT_TRUE(pty.write("\x11"));
  sender.join();
  EXPECT_EQ(result, static_cast<int>(command.size()));
  EXPECT_EQ(pty.read(command.size(), 2000), command);
  EXPECT_TRUE(logged()) << "not logged once it went out";
  logClose();
  std::filesystem::remove_all(dir);
}

// Each case makes the open fail; afterwards the device opens again.
TEST_F(SerialPty, RefusedOpensLeaveTheRecordClosedAndLeakNothing) {
  char file[] = "/tmp/vlfwu-serial-XXXXXX";
  close(mkstemp(file));
  const struct {
    const char* what;
    std::string device;
    int baud;
    bool heldByUs, lockedByOther;
  } cases[] = {{"no device", "/dev/vlfwu-none", 19200, false, false},
               {"no terminal", file, 19200, false, false},
               {"rate not supported", pty.slavePath(), 12345, false, false},
               {"held by another open", pty.slavePath(), 19200, true, false},
               {"locked by another program", pty.slavePath(), 19200, false, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    t_ComPort holder{};
    const int locker = c.lockedByOther ? open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY) : -1;
    ASSERT_TRUE(!c.heldByUs || comOpen(&holder, 7, 19200) == 1);
    ASSERT_TRUE(!c.lockedByOther || flock(locker, LOCK_EX) == 0);
    mapPort(7, c.device);
    const auto descriptors = openDescriptors();
    EXPECT_EQ(comOpen(&port, 7, c.baud), 0);
    EXPECT_EQ(port.isOpen, 0);
    EXPECT_EQ(comWrite(&port, "x", 1), 0);
    EXPECT_EQ(openDescriptors(), descriptors);
    comClose(&holder);
    close(locker);
    mapPort(7, pty.slavePath());
    EXPECT_EQ(comOpen(&port, 7, 19200), 1) << "not free again";
    comClose(&port);
  }
  unlink(file);
}

TEST_F(SerialPty, TwoDigitPortNumbersReachTheirOwnDevice) {
  vlfwu_test::PseudoTerminal other;
  ASSERT_TRUE(other.ok()) << other.error();
  mapPort(12, other.slavePath());
  mapPort(1, pty.slavePath());
  ASSERT_EQ(comOpen(&port, 12, 115200), 1);
  EXPECT_EQ(other.slaveBaud(), 115200);
  EXPECT_NE(pty.slaveBaud(), 115200) << "COM12 taken for COM1";
  ASSERT_EQ(comWrite(&port, "12", 2), 2);
  EXPECT_EQ(other.read(2, 1000), "12");
}

// USB adapters answer in about 1 ms instead of their 16 ms latency timer when the port asks
// for low latency. A pseudo-terminal has no such setting: its open goes on, silently.
TEST_F(SerialPty, OpenAsksTheDriverForLowLatencyWhereItHasTheSetting) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(comOpen(&port, 7, 19200), 1);
  comClose(&port);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

  // A real UART driver keeps the setting; the machine's first serial port is used if it is
  // there, and left as it was found.
  const char* const device = "/dev/ttyS0";
  const int fd = open(device, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  serial_struct found{};
  if (fd < 0 || ioctl(fd, TIOCGSERIAL, &found) != 0) {
    if (fd >= 0) close(fd);
    GTEST_SKIP() << device << " cannot be opened or has no serial driver settings here";
  }
  serial_struct cleared = found;
  cleared.flags &= ~static_cast<int>(ASYNC_LOW_LATENCY);
  ASSERT_EQ(ioctl(fd, TIOCSSERIAL, &cleared), 0);
  mapPort(8, device);
  const int opened = comOpen(&port, 8, 115200);
  serial_struct now{};
  const bool read = opened == 1 && ioctl(port.fd, TIOCGSERIAL, &now) == 0;
  comClose(&port);
  ioctl(fd, TIOCSSERIAL, &found);
  close(fd);
  ASSERT_EQ(opened, 1) << device;
  ASSERT_TRUE(read);
  EXPECT_NE(now.flags & ASYNC_LOW_LATENCY, 0) << "low latency not asked for";
}

// The wait for received bytes: each case says what happens on the far end while the port
// waits at most boundMs, what the wait answers, and whether it must last its whole bound.
TEST_F(SerialPty, WaitForInputSleepsUntilBytesComeItsBoundPassesOrThePortGoes) {
  enum class FarEnd { silent, sendsLater, alreadySent, hangsUpLater };
  const struct {
    const char* what;
    FarEnd farEnd;
    std::uint32_t boundMs;
    int answer;
    bool lastsItsBound;
  } cases[] = {{"nothing arrives", FarEnd::silent, 300, kComWaitTimedOut, true},
               {"a zero bound only looks", FarEnd::silent, 0, kComWaitTimedOut, false},
               {"bytes arrive during the wait", FarEnd::sendsLater, 3000, kComInputWaiting, false},
               {"bytes are already waiting", FarEnd::alreadySent, 3000, kComInputWaiting, false},
               {"the port vanishes during the wait", FarEnd::hangsUpLater, 3000, kComPortFailed, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    vlfwu_test::PseudoTerminal far;
    ASSERT_TRUE(far.ok()) << far.error();
    mapPort(9, far.slavePath());
    t_ComPort waiting{};
    ASSERT_EQ(comOpen(&waiting, 9, 115200), 1);
    if (c.farEnd == FarEnd::alreadySent) {
      ASSERT_TRUE(far.write("ab"));
      for (const auto start = Clock::now(); comBytesWaiting(&waiting) < 2 && msSince(start) < 2000;) usleep(1000);
    }
    std::thread farSide([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(150));
      if (c.farEnd == FarEnd::sendsLater) far.write("ab");
      if (c.farEnd == FarEnd::hangsUpLater) far.hangUp();
    });
    const long long cpuBefore = cpuMs();
    const auto start = Clock::now();
    const int answer = comWaitInput(&waiting, c.boundMs);
    const long long took = msSince(start);
    const long long cpu = cpuMs() - cpuBefore;
    farSide.join();
    EXPECT_EQ(answer, c.answer);
    if (c.lastsItsBound) {
      EXPECT_GE(took, static_cast<long long>(c.boundMs)) << "ended before its bound";
      EXPECT_LT(cpu, took / 2) << "the wait spins instead of sleeping";
    } else {
      EXPECT_LT(took, 2000) << "waited on after the answer was known";
    }
    if (c.answer == kComInputWaiting) {
      // The bytes are there to be read, in their order.
      char bytes[2] = {};
      ASSERT_EQ(comRead(&waiting, bytes, 1), 1);
      ASSERT_EQ(comRead(&waiting, bytes + 1, 1), 1);
      EXPECT_EQ(std::string(bytes, 2), "ab");
    }
    comClose(&waiting);
  }
  // A closed or missing record cannot receive anything: the wait ends at once.
  t_ComPort closed{};
  const auto start = Clock::now();
  EXPECT_EQ(comWaitInput(&closed, 3000), kComPortFailed);
  EXPECT_EQ(comWaitInput(nullptr, 3000), kComPortFailed);
  EXPECT_LT(msSince(start), 1000);
}

}  // namespace
