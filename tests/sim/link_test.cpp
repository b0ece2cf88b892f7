// The link as the utility uses it: a symlink to the terminal, opened exclusively, closed and
// reopened with other settings many times, while the switch keeps its state.
#include <gtest/gtest.h>
#include <dirent.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/sim/host_port.h"

namespace simtest {
namespace {

// Descriptors of this process that refer to path.
int descriptorsOn(const std::string& path) {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  if (!dir) return -1;
  while (dirent* e = readdir(dir)) {
    char target[512];
    std::string fdPath = std::string("/proc/self/fd/") + e->d_name;
    ssize_t n = readlink(fdPath.c_str(), target, sizeof target - 1);
    if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == path) ++count;
  }
  closedir(dir);
  return count;
}

using Link = SimTest;

TEST_F(Link, SymlinkLeadsToTheTerminalAndGoesAwayOnStop) {
  std::string link = tempPath("link");
  sim::Options o = installedSwitch();
  o.link = link;
  start(o, 19200);
  char target[512];
  ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
  ASSERT_GT(n, 0);
  EXPECT_EQ(std::string(target, static_cast<std::size_t>(n)), device->slavePath());
  port.close();
  device->stop();
  struct stat st {};
  EXPECT_NE(lstat(link.c_str(), &st), 0);
}

TEST_F(Link, SwitchHoldsNoDescriptorOfTheTerminal) {
  start(installedSwitch(), 19200);
  // Only the host's own descriptor: an exclusive open by the host is not disturbed, and no
  // byte meant for the host can be read away from it.
  EXPECT_EQ(descriptorsOn(device->slavePath()), 1);
  ASSERT_EQ(ioctl(port.fd(), TIOCEXCL), 0);
  expectReply("^P$", "^+$");
  port.close();
  EXPECT_EQ(descriptorsOn(device->slavePath()), 0);
}

TEST_F(Link, StateSurvivesClosingAndReopeningAtOtherRates) {
  startSynced();
  expectReply("U 23130\r\n", "0\r\n");
  for (int round = 0; round < 5; ++round) {
    port.close();
    ASSERT_TRUE(port.open(device->slavePath(), round % 2 ? 19200 : 9600));
    port.setBaud(115200);
    // Still synchronised, echo off, unlocked.
    expectReply("P 0 0 0\r\n", "0\r\n");
    expectReply("E 0 0 0\r\n", "0\r\n");
  }
}

TEST_F(Link, OutputWhileNoHostListensIsLost) {
  sim::Options o = installedSwitch();
  o.startInBootloader = true;
  o.bootDelayMs = 150;  // the first message comes after the port has been closed
  o.dspIntervalMs = 100;
  startSynced(o);
  expectReply("U 23130\r\n", "0\r\n");
  port.send("G 436263100 T\r\n");
  EXPECT_EQ(port.read(3), "0\r\n");
  port.close();
  // The progress messages of the restart go out while the port is closed.
  usleep(400 * 1000);
  ASSERT_TRUE(port.open(device->slavePath(), 19200));
  std::string rest = port.readUntil("^=P$", 3000);
  EXPECT_EQ(rest.find("^!100,1,0$"), std::string::npos) << rest;
  EXPECT_NE(rest.find("^=P$"), std::string::npos) << rest;
}

}  // namespace
}  // namespace simtest
