// Whole updates over a line that spoils what the bootloader receives: a flipped bit in a
// command line, two errors that cancel in a block's sum, random bit errors. Every update ends
// in flash exactly as a clean update leaves it, or in a reported failure; never in a success
// over other flash. The switch runs image 1's firmware at first, so that stale bytes show.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "firmware/device_state.h"
#include "isp/device_line.h"
#include "sim_fixture.h"
#include "update/flash_update.h"

namespace updsim {
namespace {

// Command lines of the synchronised bootloader in an update of image 0 from its bootloader:
//  1 "A 1", 2 and 3 "J", 4 "U 23130", 5 "P 0 9 0", 6 "E 0 9 0", 7 "W 268435456 900",
//  8 "W 268436356 900", 9 "W 268437256 900", 10 "W 268438156 900", 11 "W 268439056 496",
// 12 "P 0 0 0", 13 "C 436208128 268435456 4096", 14 "M 436208128 268435456 4096",
// 15 "W 268435456 900" ...
// Write-to-RAM blocks: 175 for the 35 blocks of 4096, 6 for the three of 1024, 182 the padded
// tail, 183 the parameter table, 184 the head block.
int bitOf(int byte, int bit) { return byte * 8 + bit; }

class LineErrors : public SimTest {
 protected:
  void SetUp() override { deviceState = kStateUnknown; }

  // The switch: in its bootloader, image 1's firmware in flash (512 KB banks).
  sim::Options startingSwitch() {
    sim::Options options = switchOptions(1, true);
    options.bank256K = false;
    return options;
  }
  // Bank A after a clean update of image 0 from that switch.
  const std::vector<std::uint8_t>& cleanFlash() {
    if (clean_.empty()) {
      startSwitch(startingSwitch());
      const t_FirmwareImage image = shippedImage(0);
      EXPECT_EQ(capture([&] { return updateFirmware(&image); }), kUpdateOk) << output_;
      clean_ = sim_->flash();
      clean_.resize(sim_->bankSize());
    }
    return clean_;
  }
  // Updates with the line faults given; the flash is then compared with a clean update's.
  int updateOver(const sim::LineFaults& faults, std::uint64_t seed = 1) {
    const std::vector<std::uint8_t> expected = cleanFlash();
    sim::Options options = startingSwitch();
    options.lineFaults = faults;
    options.seed = seed;
    startSwitch(options);
    const t_FirmwareImage image = shippedImage(0);
    const int result = capture([&] { return updateFirmware(&image); });
    flash_ = sim_->flash();
    flash_.resize(sim_->bankSize());
    exact_ = flash_ == expected;
    return result;
  }
  std::size_t count(const std::string& text, const std::string& part) const {
    std::size_t n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
  }
  std::string log() const {  // the simulator's transcript, events included
    std::ifstream in(logFile_);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

  std::vector<std::uint8_t> clean_, flash_;
  bool exact_ = false;
};

// A "W" whose address arrives with a flipped digit is a valid address, and the bootloader
// waits for the block there. The echo shows it and the write goes again (one that reaches
// back over blocks already in place goes again from there: only a write whose blocks each
// have a "W", on a line that spoilt one, has such blocks behind a "W"). The 9th command line
// is the first copy block's "W 268435456 4096".
TEST_F(LineErrors, FlippedBitInTheAddressOfAWriteToRam) {
  const struct { const char* what; int line; int bit; const char* arrived; } cases[] = {
      {"as 268434456, below the write, reaching into it", 9, bitOf(7, 0), "W 268434456 4096"},
      {"as 268435056, below the write, reaching into it", 9, bitOf(8, 2), "W 268435056 4096"},
      {"as 268475456, ahead", 9, bitOf(6, 2), "W 268475456 4096"},
      {"as 268435457, refused", 9, bitOf(10, 0), "W 268435457 4096"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    sim::LineFaults faults;
    faults.corruptCommand = c.line;
    faults.corruptCommandBit = c.bit;
    EXPECT_EQ(updateOver(faults), kUpdateOk) << output_;
    EXPECT_TRUE(exact_) << "success over flash that differs from the image";
    EXPECT_NE(logStream(false).find(std::string(c.arrived) + "\r\n"), std::string::npos)
        << "the echo shows it";
    // The host itself never sends a "W" at that address; the write goes again from its start,
    // in the size the line's record then asks for.
    const std::string sent = logStream(true);
    const std::string address = std::string(c.arrived).substr(0, std::string(c.arrived).rfind(' ') + 1);
    EXPECT_EQ(count(sent, address), 0u);
    EXPECT_EQ(count(sent, "W 268435456 "), 1u + 35u + 3u + 3u);  // and the 512-byte blocks
    EXPECT_EQ(sim_->mode(), sim::Mode::Firmware);
  }
}

// Prepare, Erase and Copy lines that arrive otherwise: the echo shows it, the Prepare or the
// Erase goes again, and a Copy that may have programmed anything has its sectors erased and
// everything in them written again; no page is programmed twice. A Copy refused as received
// programmed nothing: it is sent again, with its Prepare.
TEST_F(LineErrors, FlippedBitInAPrepareEraseOrCopy) {
  const struct {
    const char* what; int line; int bit; const char* arrived; const char* twice; std::size_t erasedAgain;
  } cases[] = {
      // 0x39 '9' arrives as 0x31 '1': sectors 2 to 9 stay prepared but not erased.
      {"erase of sectors 0..9 as 0..1", 7, bitOf(4, 3), "E 0 1 0", "E 0 9 0\r\n", 0},
      {"prepare of sectors 0..9 as 0..1", 6, bitOf(4, 3), "P 0 1 0", "P 0 9 0\r\n", 0},
      // The RAM address 268435456 as 268435556: the flash gets the staging bytes from +100,
      // and the bootloader answers 0.
      {"copy from 268435556", 11, bitOf(18, 0), "C 436208128 268435556 4096",
       "C 436208128 268435456 4096\r\n", 1},
      // The flash address 436208128 as 436208129: refused, nothing is programmed.
      {"copy to 436208129", 11, bitOf(10, 0), "C 436208129 268435456 4096",
       "C 436208128 268435456 4096\r\n", 0},
      // The count 4096 as 4097: refused too.
      {"copy of 4097 bytes", 11, bitOf(25, 0), "C 436208128 268435456 4097",
       "C 436208128 268435456 4096\r\n", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    sim::LineFaults faults;
    faults.corruptCommand = c.line;
    faults.corruptCommandBit = c.bit;
    EXPECT_EQ(updateOver(faults), kUpdateOk) << output_;
    EXPECT_TRUE(exact_) << "success over flash that differs from the image";
    EXPECT_NE(logStream(false).find(std::string(c.arrived) + "\r\n"), std::string::npos);
    EXPECT_GE(count(logStream(true), c.twice), 2u);
    // After a copy that may have gone astray, sector 0 is erased again before its rewrite.
    EXPECT_EQ(count(log(), "erased sectors 0..0 of bank 0"), c.erasedAgain);
  }
}

// A Copy that arrives as sent but whose echo comes back otherwise: the bootloader programmed
// the block where it belongs, and the compare finds it there. The sector is not erased again
// and nothing is written twice.
TEST_F(LineErrors, CopyWhoseEchoAloneIsDamagedIsFoundInPlace) {
  for (const int bit : {bitOf(0, 1), bitOf(10, 0), bitOf(18, 0)}) {  // 'C' as 'A', the addresses
    SCOPED_TRACE(bit);
    sim::LineFaults faults;
    faults.corruptEcho = 11;
    faults.corruptEchoBit = bit;
    EXPECT_EQ(updateOver(faults), kUpdateOk) << output_;
    EXPECT_TRUE(exact_) << "success over flash that differs from the image";
    EXPECT_NE(log().find("fault: the echo of command line 11"), std::string::npos);
    const std::string sent = logStream(true);
    EXPECT_EQ(count(sent, "C 436208128 268435456 4096\r\n"), 1u);
    EXPECT_EQ(count(sent, "M 436208128 268435456 4096\r\n"), 2u);  // equal takes two "0"
    EXPECT_EQ(count(log(), "erased sectors 0..0 of bank 0"), 0u);
  }
}

// A data line that arrives as sent but whose echo comes back with one character otherwise:
// the bootloader's sum matches and it answers OK. The word under that character is read back
// from RAM, and the block does not go again. A length character otherwise in the echo may
// have made the bootloader take another count of bytes: that block goes again.
TEST_F(LineErrors, DataLineWhoseEchoAloneIsDamagedIsReadBack) {
  const struct { const char* what; int bit; const char* readBack; std::size_t firstBlocks; }
      cases[] = {
      // The third line of the first block holds bytes 90..134; its tenth character is the
      // second of the group of bytes 96..98, in the word at 268435456 + 96.
      {"a data character", bitOf(9, 0), "R 268435552 4\r\n", 35u + 3u + 3u},
      {"the length character", bitOf(0, 0), nullptr, 35u + 3u + 3u + 1u},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    sim::LineFaults faults;
    faults.corruptDataEcho = 3;
    faults.corruptDataEchoBit = c.bit;
    EXPECT_EQ(updateOver(faults), kUpdateOk) << output_;
    EXPECT_TRUE(exact_) << "success over flash that differs from the image";
    EXPECT_NE(log().find("fault: the echo of Write-to-RAM data line 3,"), std::string::npos);
    const std::string sent = logStream(true);
    EXPECT_EQ(count(sent, "W 268435456 "), c.firstBlocks);
    // The read-back ends the "W" of the copy block first, with ESC: more blocks were to follow.
    EXPECT_EQ(count(sent, "\x1bR 2684") + count(sent, "\r\nR 2684"), c.readBack != nullptr ? 1u : 0u);
    if (c.readBack != nullptr) {
      EXPECT_NE(sent.find(c.readBack), std::string::npos);
    }
  }
}

// One byte +1 and another -1 in one block: the sum holds and the bootloader answers OK, but
// the echo shows the two characters; the block goes again. In the first block of the
// firmware, and in the parameter table's block (which today's restart would only report).
TEST_F(LineErrors, CompensatingPairInOneBlock) {
  for (const int block : {1, 183, 184}) {
    SCOPED_TRACE(block);
    sim::LineFaults faults;
    faults.sumPairBlock = block;
    EXPECT_EQ(updateOver(faults), kUpdateOk) << output_;
    EXPECT_TRUE(exact_) << "success over flash that differs from the image";
    EXPECT_NE(log().find("fault: sum pair"), std::string::npos);
    EXPECT_EQ(output_.find("bad CRC"), std::string::npos);
  }
}

// The LPC18xx echoes a line end as CR LF LF: the empty lines are passed over.
TEST_F(LineErrors, EchoOfALineEndAsCrLfLf) {
  sim::LineFaults faults;
  faults.echoCrLfLf = true;
  EXPECT_EQ(updateOver(faults), kUpdateOk) << output_;
  EXPECT_TRUE(exact_);
  EXPECT_NE(logStream(false).find("\nC 436208128 268435456 4096\r\n\n0\r\n"), std::string::npos);
}

// Random bit errors both ways at 1e-5 (about 40 per update): a few seeds, each an exact
// flash or a reported failure.
TEST_F(LineErrors, RandomBitErrorsNeverEndInASuccessOverOtherFlash) {
  int successes = 0;
  for (const std::uint64_t seed : {11u, 12u, 13u}) {
    SCOPED_TRACE(seed);
    sim::LineFaults faults;
    faults.bitErrorRate = 1e-5;
    const int result = updateOver(faults, seed);
    EXPECT_NE(log().find("fault: bit error"), std::string::npos);
    if (result == kUpdateOk) {
      EXPECT_TRUE(exact_) << "success over flash that differs from the image";
      ++successes;
    } else {
      EXPECT_NE(output_.find("Error"), std::string::npos) << output_;
    }
  }
  EXPECT_GE(successes, 2) << "a line error is a reason to send again, not to give up";
}

}  // namespace
}  // namespace updsim

namespace updsim {
namespace {

// A line that spoils more than the budget allows stops the update before the head block, in
// words a technician can act on: the switch stays in its bootloader for the next run.
TEST_F(LineErrors, ALineTooNoisyForTheBudgetStopsBeforeTheHeadBlock) {
  for (const double rate : {1e-3}) {
    SCOPED_TRACE(rate);
    sim::LineFaults faults;
    faults.bitErrorRate = rate;
    EXPECT_EQ(updateOver(faults, 7), kUpdateFailed);
    const std::string said = "\n\nThe serial line to the switch is too noisy: ";
    ASSERT_NE(output_.find(said), std::string::npos) << output_;
    unsigned repeated = 0, exchanges = 0;
    ASSERT_EQ(std::sscanf(output_.c_str() + output_.find(said) + said.size(),
                          "%u of %u exchanges had to be repeated.", &repeated, &exchanges), 2);
    EXPECT_GT(repeated * 100, exchanges * 45u);
    EXPECT_NE(output_.find(" exchanges had to be repeated. Check the cable, the adapter and their "
                           "connections, then run the update again.\n"),
              std::string::npos);
    // Stopped before anything was erased, or before the new head block: never with it.
    const t_FirmwareImage image = shippedImage(0);
    EXPECT_FALSE(std::equal(image.firmware, image.firmware + 512, flash_.begin())) << "head block written";
    EXPECT_NE(sim_->mode(), sim::Mode::Firmware);
  }
  // At one bit in a hundred not even the synchronisation comes through: nothing is written,
  // and a switch that answers only with spoilt bytes is on a noisy line, not away.
  sim::LineFaults faults;
  faults.bitErrorRate = 1e-2;
  EXPECT_EQ(updateOver(faults, 7), kUpdateFailed);
  EXPECT_NE(output_.find("\n\nThe serial line to the switch is too noisy: the switch answered, but its answers "
                         "arrived spoilt."),
            std::string::npos)
      << output_;
  EXPECT_EQ(sim_->copiesDone(), 0u);
}

}  // namespace
}  // namespace updsim
