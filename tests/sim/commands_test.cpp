// Every ISP command of the simulated LPC18xx/43xx bootloader and the return code that each
// kind of wrong command gets, as transcripts (host line, chip answer). Addresses in decimal:
//   268435456 = 0x10000000 (RAM staging area)   436207616 = 0x1A000000 (bank A)
//   452984832 = 0x1B000000 (bank B)             436731904 = 0x1A080000 (past a 512 KB bank A)
#include <gtest/gtest.h>

#include "tests/sim/host_port.h"

namespace simtest {
namespace {

struct Step {
  const char* send;
  const char* reply;
};

class Commands : public SimTest {
 protected:
  void run(std::initializer_list<Step> transcript) {
    for (const Step& s : transcript) expectReply(s.send, s.reply);
  }
};

TEST_F(Commands, IdentificationAndVersions) {
  startSynced();
  run({
      {"J\r\n", "0\r\n2684471344\r\n0\r\n"},  // LPC4357, 512 KB banks
      {"K\r\n", "0\r\n1\r\n13\r\n"},
      {"N\r\n", "0\r\n173813249\r\n1295720224\r\n324498737\r\n610839776\r\n"},
      {"J 1\r\n", "12\r\n"},
  });
}

TEST_F(Commands, PartIdentificationOf256KPartAndBootCodeOption) {
  sim::Options o = blankBootloader();
  o.bank256K = true;
  o.bootCodeVersion[0] = 2;
  o.bootCodeVersion[1] = 12;
  startSynced(o);
  run({
      {"J\r\n", "0\r\n2684471344\r\n68\r\n"},
      {"K\r\n", "0\r\n2\r\n12\r\n"},
      {"P 0 10 0\r\n", "0\r\n"},
      {"P 0 11 0\r\n", "7\r\n"},  // a 256 KB bank ends with sector 10
  });
}

TEST_F(Commands, InvalidCommands) {
  startSynced();
  run({
      {"X\r\n", "1\r\n"},
      {"u 23130\r\n", "1\r\n"},  // letters are upper case
      {"UU 23130\r\n", "1\r\n"},
      {"^P$?\r\n", "1\r\n"},
      {"Z 1 2\r\n", "1\r\n"},
  });
}

TEST_F(Commands, UnlockAndLockedCommands) {
  startSynced();
  run({
      {"C 436207616 268435456 512\r\n", "15\r\n"},
      {"E 0 0 0\r\n", "15\r\n"},
      {"G 436207616 T\r\n", "15\r\n"},
      {"S 0\r\n", "15\r\n"},
      {"U\r\n", "12\r\n"},
      {"U abc\r\n", "12\r\n"},
      {"U 0x5A5A\r\n", "12\r\n"},  // numbers are decimal only
      {"U 1\r\n", "16\r\n"},
      {"U 23130 1\r\n", "12\r\n"},
      {"U 23130\r\n", "0\r\n"},
      {"E 0 0 0\r\n", "9\r\n"},  // unlocked now; not prepared
  });
}

TEST_F(Commands, ParameterErrors) {
  startSynced();
  run({
      {"U 23130\r\n", "0\r\n"},
      {"A\r\n", "12\r\n"},
      {"A 0 0\r\n", "12\r\n"},
      {"W 268435456\r\n", "12\r\n"},
      {"R 268435456\r\n", "12\r\n"},
      {"P 0 0\r\n", "12\r\n"},
      {"P 0 x 0\r\n", "12\r\n"},
      {"E 0 0\r\n", "12\r\n"},
      {"C 436207616 268435456\r\n", "12\r\n"},
      {"M 436207616 268435456\r\n", "12\r\n"},
      {"G 436207616\r\n", "12\r\n"},
      {"G 436207616 A\r\n", "12\r\n"},  // no ARM mode on a Cortex-M
      {"I 0 0\r\n", "12\r\n"},
      {"W 99999999999 4\r\n", "12\r\n"},  // does not fit 32 bits
  });
}

TEST_F(Commands, AddressAndCountErrorsOfWriteReadCompareGo) {
  startSynced();
  run({
      {"U 23130\r\n", "0\r\n"},
      {"W 268435457 4\r\n", "13\r\n"},
      {"W 268435456 3\r\n", "6\r\n"},
      {"W 805306368 4\r\n", "14\r\n"},  // 0x30000000: nothing there
      {"W 436207616 4\r\n", "14\r\n"},  // flash is not RAM
      {"W 268468224 4\r\n", "14\r\n"},  // 0x10008000: past the 32 KB local SRAM
      {"W 268435456 32772\r\n", "14\r\n"},  // 32 KB + 4 from its start
      {"W 269008896 4\r\n", "14\r\n"},  // 0x10080000: the ROM's own work RAM
      {"R 436207618 4\r\n", "13\r\n"},
      {"R 436207616 5\r\n", "6\r\n"},
      {"R 1073741824 4\r\n", "14\r\n"},
      {"R 436731904 4\r\n", "14\r\n"},
      {"M 436207617 268435456 4\r\n", "13\r\n"},
      {"M 436207616 268435458 4\r\n", "13\r\n"},
      {"M 436207616 268435456 2\r\n", "6\r\n"},
      {"M 436731904 268435456 4\r\n", "14\r\n"},
      {"G 436207618 T\r\n", "13\r\n"},
      {"G 805306368 T\r\n", "14\r\n"},
  });
}

TEST_F(Commands, CopyErrorsInTheirOrder) {
  startSynced();
  run({
      {"U 23130\r\n", "0\r\n"},
      {"C 436207872 268435456 512\r\n", "3\r\n"},   // flash not on a 512-byte boundary
      {"C 436207616 268435458 512\r\n", "2\r\n"},   // RAM not word-aligned
      {"C 436207616 805306368 512\r\n", "4\r\n"},   // RAM not mapped
      {"C 436731904 268435456 512\r\n", "5\r\n"},   // flash not mapped
      {"C 436731392 268435456 1024\r\n", "5\r\n"},  // runs past the end of bank A
      {"C 436207616 268435456 256\r\n", "6\r\n"},
      {"C 436207616 268435456 8192\r\n", "6\r\n"},
      {"C 436207616 268435456 2048\r\n", "6\r\n"},
      {"C 436207616 268435456 4096\r\n", "9\r\n"},  // not prepared
      {"P 0 0 0\r\n", "0\r\n"},
      {"C 436215296 268435456 1024\r\n", "9\r\n"},  // 0x1A001E00: reaches into sector 1
      {"P 1 1 0\r\n", "0\r\n"},
      {"C 436215296 268435456 1024\r\n", "0\r\n"},
      {"C 452984832 268435456 512\r\n", "9\r\n"},   // bank B's sector 0 was not prepared
  });
}

TEST_F(Commands, SectorAndBankErrors) {
  startSynced();
  run({
      {"U 23130\r\n", "0\r\n"},
      {"P 5 4 0\r\n", "7\r\n"},
      {"P 0 15 0\r\n", "7\r\n"},
      {"P 0 0 2\r\n", "20\r\n"},
      {"E 3 2 0\r\n", "7\r\n"},
      {"E 0 0 2\r\n", "20\r\n"},
      {"I 0 15 1\r\n", "7\r\n"},
      {"S 2\r\n", "20\r\n"},
      {"P 0 14 1\r\n", "0\r\n"},
      {"E 0 14 1\r\n", "0\r\n"},
      {"E 0 14 1\r\n", "9\r\n"},  // the erase protected the sectors again
      {"S 0\r\n", "0\r\n"},
  });
}

TEST_F(Commands, BaudRateChange) {
  startSynced();
  run({
      {"B 12345 1\r\n", "17\r\n"},
      {"B 57600 3\r\n", "18\r\n"},
      {"B 57600\r\n", "12\r\n"},
  });
  // The answer still comes at the old rate; then the chip listens at the new one.
  expectReply("B 57600 1\r\n", "0\r\n");
  EXPECT_EQ(device->uartBaud(), 57600);
  port.setBaud(57600);
  expectReply("K\r\n", "0\r\n1\r\n13\r\n");
}

}  // namespace
}  // namespace simtest
