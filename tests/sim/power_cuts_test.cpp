// Power lost around and inside the flash operations: right before an erase or a copy, right
// after an erase, and in the middle of one (a torn erase leaves each page as the seed chose, a
// torn copy programs only its first bytes). The flash file keeps the state for the next power
// cycle, and the transcript says what happened.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <set>

#include "tests/sim/host_port.h"

namespace simtest {
namespace {

using O = sim::Options;

constexpr std::size_t kPage = 512;
constexpr std::size_t kSector = 8 * 1024;

std::string readText(const std::string& path) {
  std::vector<std::uint8_t> bytes = readFile(path);
  return std::string(bytes.begin(), bytes.end());
}

// The text of the transcript line that contains key, from key to the line's end.
std::string logLine(const std::string& log, const std::string& key) {
  std::size_t at = log.find(key);
  if (at == std::string::npos) return "";
  return log.substr(at, log.find('\n', at) - at);
}

bool all(const std::vector<std::uint8_t>& f, std::size_t from, std::size_t n, std::uint8_t v) {
  return std::all_of(f.begin() + from, f.begin() + from + n,
                     [v](std::uint8_t b) { return b == v; });
}

bool same(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b,
          std::size_t from, std::size_t n) {
  return std::equal(a.begin() + from, a.begin() + from + n, b.begin() + from);
}

struct TornErase {
  std::string fates;                 // one letter per page, from the transcript
  std::vector<std::uint8_t> before;  // the flash before and after
  std::vector<std::uint8_t> after;
  std::vector<std::uint8_t> onDisk;  // the flash file after
};

struct TornCopy {
  std::size_t programmed = 0;  // k, from the transcript
  std::string log;
  std::vector<std::uint8_t> after;
};

class PowerCuts : public SimTest {
 protected:
  // The installed switch, erase 1 (sectors 0 and 1 of bank A: 32 pages) torn with seed.
  TornErase tearTheFirstTwoSectors(std::uint64_t seed);
  // Page 0 of bank A holds 0x0F; copy 2 writes 1024 bytes of 0x3C over pages 0 and 1 and is
  // torn.
  TornCopy tearTheSecondCopy(std::uint64_t seed);
};

TEST_F(PowerCuts, RightBeforeAnEraseNothingIsErasedAndNothingAnswers) {
  startUnlocked(with(restartable(), [](O& o) { o.faults.powerLossBeforeErase = 2; }));
  std::vector<std::uint8_t> before = device->flash();
  // A refused erase is not counted: the first erase is the table's, the second is cut.
  run({{"E 14 14 0\r\n", "9\r\n"}, {"P 14 14 0\r\n", "0\r\n"}, {"E 14 14 0\r\n", "0\r\n"},
       {"P 0 9 0\r\n", "0\r\n"}});
  expectQuiet("E 0 9 0\r\n", 200);
  expectQuiet("J\r\n?", 100);
  EXPECT_TRUE(device->poweredOff());
  std::vector<std::uint8_t> after = device->flash();
  EXPECT_TRUE(same(before, after, 0, 0x70000)) << "sectors 0 to 13 are as they were";
  EXPECT_TRUE(all(after, 0x70000, 0x10000, 0xFF)) << "the first erase was done";
}

TEST_F(PowerCuts, RightAfterAnEraseItsAnswerIsSentThenSilence) {
  std::string file = tempPath("after-erase.bin");
  startUnlocked(with(restartable(), [&](O& o) {
    o.flashFile = file, o.faults.powerLossAfterErase = 1;
  }));
  std::vector<std::uint8_t> before = device->flash();
  run({{"P 0 1 0\r\n", "0\r\n"}, {"E 0 1 0\r\n", "0\r\n"}});
  expectQuiet("P 2 2 0\r\n", 200);
  EXPECT_TRUE(device->poweredOff());
  std::vector<std::uint8_t> after = device->flash();
  EXPECT_TRUE(all(after, 0, 2 * kSector, 0xFF));
  EXPECT_TRUE(same(before, after, 2 * kSector, kSector));
  EXPECT_EQ(readFile(file), after);
  unlink(file.c_str());
}

TEST_F(PowerCuts, RightBeforeACopyNothingIsProgrammed) {
  startUnlocked(with(blankBootloader(), [](O& o) { o.faults.powerLossBeforeCopy = 2; }));
  fillRam(0x42);
  run({{"P 0 0 0\r\n", "0\r\n"}, {"C 436207616 268435456 512\r\n", "0\r\n"},
       {"P 0 0 0\r\n", "0\r\n"}});
  expectQuiet("C 436208128 268435456 512\r\n", 200);
  EXPECT_TRUE(device->poweredOff());
  std::vector<std::uint8_t> after = device->flash();
  EXPECT_TRUE(all(after, 0, kPage, 0x42));
  EXPECT_TRUE(all(after, kPage, kPage, 0xFF));
  EXPECT_EQ(device->copiesDone(), 1u);
}

TornErase PowerCuts::tearTheFirstTwoSectors(std::uint64_t seed) {
  std::string file = tempPath("torn-erase.bin"), log = tempPath("torn-erase.log");
  startUnlocked(with(restartable(), [&](O& o) {
    o.flashFile = file, o.logFile = log, o.seed = seed, o.faults.tornErase = 1;
  }));
  TornErase r;
  r.before = device->flash();
  expectReply("P 0 1 0\r\n", "0\r\n");
  expectQuiet("E 0 1 0\r\n", 200);
  EXPECT_TRUE(device->poweredOff());
  r.after = device->flash();
  TearDown();
  r.onDisk = readFile(file);
  std::string line = logLine(readText(log), "page fates ");
  if (line.size() >= 11 + 32) r.fates = line.substr(11, 32);
  EXPECT_NE(readText(log).find("fault: power lost in the middle of erase 1 (sectors 0..1 of "
                               "bank 0)"),
            std::string::npos);
  unlink(file.c_str());
  unlink(log.c_str());
  return r;
}

TEST_F(PowerCuts, TornEraseLeavesEveryPageAsTheSeedSays) {
  std::set<char> seen;
  std::vector<std::string> fatesBySeed;
  for (std::uint64_t seed : {1u, 2u, 3u}) {
    TornErase r = tearTheFirstTwoSectors(seed);
    ASSERT_EQ(r.fates.size(), 32u) << "seed " << seed;
    EXPECT_EQ(r.onDisk, r.after) << "the flash file holds the torn state";
    for (std::size_t page = 0; page < 32; ++page) {
      std::size_t at = page * kPage;
      char fate = r.fates[page];
      seen.insert(fate);
      SCOPED_TRACE("seed " + std::to_string(seed) + ", page " + std::to_string(page) + " " + fate);
      switch (fate) {
        case 'E': EXPECT_TRUE(all(r.after, at, kPage, 0xFF)); break;
        case 'Z': EXPECT_TRUE(all(r.after, at, kPage, 0x00)); break;
        case 'U': EXPECT_TRUE(same(r.before, r.after, at, kPage)); break;
        case 'M': {
          auto first = r.after.begin() + at, last = first + kPage;
          EXPECT_TRUE(std::all_of(first, last, [](std::uint8_t b) { return b == 0 || b == 0xFF; }));
          EXPECT_NE(std::count(first, last, 0xFF), 0);
          EXPECT_NE(std::count(first, last, 0x00), 0);
          break;
        }
        default: ADD_FAILURE() << "unknown fate";
      }
    }
    EXPECT_TRUE(same(r.before, r.after, 2 * kSector, r.before.size() - 2 * kSector))
        << "nothing outside the erased sectors changes";
    fatesBySeed.push_back(r.fates);
  }
  EXPECT_EQ(seen, (std::set<char>{'E', 'U', 'Z', 'M'})) << "every fate occurs";
  EXPECT_NE(fatesBySeed[0], fatesBySeed[1]);
  // The same seed tears the same way, byte for byte.
  TornErase again = tearTheFirstTwoSectors(2);
  EXPECT_EQ(again.fates, fatesBySeed[1]);
  EXPECT_EQ(again.after, tearTheFirstTwoSectors(2).after);
}

TEST_F(PowerCuts, TornEraseStateSurvivesThePowerCycle) {
  std::string file = tempPath("torn-cycle.bin");
  startUnlocked(with(restartable(), [&](O& o) {
    o.flashFile = file, o.seed = 7, o.faults.tornErase = 1;
  }));
  expectReply("P 0 1 0\r\n", "0\r\n");
  expectQuiet("E 0 1 0\r\n", 200);
  std::vector<std::uint8_t> torn = device->flash();
  // The same chip powered up again, its ISP pin held: the bootloader reads the torn pages.
  start(with(restartable(), [&](O& o) { o.installImage.clear(), o.flashFile = file; }));
  EXPECT_EQ(device->flash(), torn);
  ASSERT_TRUE(syncBootloader(port));
  std::string head = sim::uuEncodeLine(torn.data(), 8);
  std::uint32_t sum = 0;
  for (int i = 0; i < 8; ++i) sum += torn[i];
  expectReply("R 436207616 8\r\n", "0\r\n" + head + "\r\n" + std::to_string(sum) + "\r\n");
  expectReply("OK\r\n", "");
  unlink(file.c_str());
}

TornCopy PowerCuts::tearTheSecondCopy(std::uint64_t seed) {
  std::string log = tempPath("torn-copy.log");
  startUnlocked(with(blankBootloader(), [&](O& o) {
    o.logFile = log, o.seed = seed, o.faults.tornCopy = 2;
  }));
  fillRam(0x0F);
  run({{"P 0 0 0\r\n", "0\r\n"}, {"C 436207616 268435456 512\r\n", "0\r\n"}});
  writeRam(std::vector<std::uint8_t>(1024, 0x3C));
  expectReply("P 0 0 0\r\n", "0\r\n");
  expectQuiet("C 436207616 268435456 1024\r\n", 200);
  EXPECT_TRUE(device->poweredOff());
  TornCopy r;
  r.after = device->flash();
  TearDown();
  r.log = readText(log);
  unlink(log.c_str());
  std::string line = logLine(r.log, "its first ");
  r.programmed = line.empty() ? 0 : std::stoul(line.substr(10));
  return r;
}

TEST_F(PowerCuts, TornCopyProgramsOnlyItsFirstBytesOverWhatWasThere) {
  TornCopy r = tearTheSecondCopy(1);
  std::size_t k = r.programmed;
  ASSERT_GT(k, 0u) << r.log;
  ASSERT_LT(k, 1024u);
  // Programmed: old AND new (0x0F & 0x3C over page 0, 0x3C over the erased page 1); the rest
  // as it was.
  std::size_t inPage0 = std::min<std::size_t>(k, kPage);
  EXPECT_TRUE(all(r.after, 0, inPage0, 0x0C));
  EXPECT_TRUE(all(r.after, inPage0, kPage - inPage0, 0x0F));
  if (k > kPage) {
    EXPECT_TRUE(all(r.after, kPage, k - kPage, 0x3C));
  }
  EXPECT_TRUE(all(r.after, std::max(k, kPage), 2 * kPage - std::max(k, kPage), 0xFF));
  // The transcript names the programming over bytes that were not erased, for that copy only.
  EXPECT_NE(r.log.find("flash: copy 2 programs over " + std::to_string(inPage0) +
                       " bytes that were not erased, the first at 0x1A000000"),
            std::string::npos)
      << r.log;
  EXPECT_EQ(r.log.find("flash: copy 1 "), std::string::npos);
  EXPECT_NE(r.log.find("fault: power lost in the middle of copy 2 (1024 bytes from 0x10000000 "
                       "to 0x1A000000)"),
            std::string::npos);
  // The seed decides k: the same seed again gives the same, some other seed another.
  EXPECT_EQ(tearTheSecondCopy(1).programmed, k);
  std::set<std::size_t> others;
  for (std::uint64_t seed : {2u, 3u, 4u}) others.insert(tearTheSecondCopy(seed).programmed);
  EXPECT_TRUE(others.size() > 1 || *others.begin() != k);
}

}  // namespace
}  // namespace simtest
