#include "sim/isp_bootloader.h"

#include <algorithm>
#include <cstdio>

#include "sim/torn_flash.h"
#include "sim/uu_codec.h"

namespace sim {

namespace {

constexpr std::size_t kMaxLineLength = 256;  // the ROM's line buffer; longer input is cut
constexpr std::uint8_t kEsc = 0x1B;
constexpr std::uint32_t kBlockBytes = kUuMaxLineBytes * kUuLinesPerBlock;

std::vector<std::string> splitWords(const std::string& line) {
  std::vector<std::string> words;
  std::string word;
  for (char c : line) {
    if (c == ' ') {
      if (!word.empty()) words.push_back(word);
      word.clear();
    } else {
      word.push_back(c);
    }
  }
  if (!word.empty()) words.push_back(word);
  return words;
}

// Unsigned decimal that fits 32 bits; nothing else is a number to the ROM.
bool parseDecimal(const std::string& text, std::uint32_t* value) {
  if (text.empty() || text.size() > 10) return false;
  std::uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<unsigned>(c - '0');
  }
  if (v > 0xFFFFFFFFu) return false;
  *value = static_cast<std::uint32_t>(v);
  return true;
}

std::string hex(std::uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", v);
  return buf;
}

}  // namespace

IspBootloader::IspBootloader(DeviceServices& device, Memory& memory, FaultPlan& faults,
                             const Options& options)
    : dev_(device), mem_(memory), faults_(faults), options_(options) {}

void IspBootloader::reset() {
  state_ = State::WaitQuestion;
  baud_ = 0;
  echo_ = true;
  unlocked_ = false;
  pendingCr_ = false;
  halted_ = false;
  bootBank_ = 0;
  line_.clear();
  for (auto& bank : prepared_) bank.fill(false);
}

void IspBootloader::setState(State s, const std::string& why) {
  state_ = s;
  if (!why.empty()) dev_.event(why);
}

void IspBootloader::replyBegins(char letter) {
  const LineFaults& f = options_.lineFaults;
  armReply(&flipMark_, letter, f.replyFlipLetter, f.replyFlipCommand, f.replyFlipBit);
  armReply(&loseMark_, letter, f.replyLoseLetter, f.replyLoseCommand, f.replyLoseByte);
}

void IspBootloader::armReply(ReplyMark* mark, char letter, char target, int command, int at) {
  mark->armed = false;
  if (target == 0 || letter != target) return;
  mark->armed = ++mark->commands == command && at >= 0;
  mark->bytes = 0;
}

int IspBootloader::replyByte(ReplyMark* mark, int at, std::size_t bytes) {
  if (!mark->armed) return -1;
  const auto byte = static_cast<std::size_t>(at);
  const std::size_t first = mark->bytes;
  mark->bytes += bytes;
  if (byte < first || byte >= mark->bytes) return -1;
  mark->armed = false;
  return static_cast<int>(byte - first);
}

void IspBootloader::reply(const std::string& text) {
  const LineFaults& f = options_.lineFaults;
  std::string line = text + "\r\n";
  std::size_t textBytes = text.size();
  const int flipped = replyByte(&flipMark_, f.replyFlipBit / 8, line.size());
  const int lost = replyByte(&loseMark_, f.replyLoseByte, line.size());
  const struct {
    int at;
    int bit;  // -1: the byte is lost
  } strikes[] = {{flipped, f.replyFlipBit % 8}, {lost, -1}};
  for (const auto& strike : strikes) {
    if (strike.at < 0) continue;
    const auto at = static_cast<std::size_t>(strike.at);
    const std::string what = strikeByte(&line, at, strike.bit);
    if (strike.bit < 0 && at < textBytes) --textBytes;
    dev_.event("fault: the reply line \"" + text.substr(0, 40) + "\", " + what);
  }
  dev_.replyLine(line.substr(0, textBytes), line.substr(textBytes));
}

void IspBootloader::code(int value) {
  dev_.commandAnswered(command_, value);
  reply(std::to_string(value));
}

void IspBootloader::receive(std::uint8_t byte, int hostBaud) {
  if (halted_) return;
  // DC1 and DC3 from the host are the flow control of NXP's XON/XOFF scheme: its UART handler
  // takes them, so they are neither echoed nor part of a line (the utility sends neither).
  if (byte == 0x11 || byte == 0x13) return;
  if (state_ == State::WaitQuestion) {
    // Auto-baud: the bit times of a '?' set the rate; anything else is not a '?' at any rate.
    if (byte == '?' && faults_.garblesSyncAnswer()) {
      // The internal oscillator makes the measurement a few per cent off: the answer goes out
      // at a rate the host cannot read, and the next line the ROM cannot read either, so it
      // measures again at the next '?'.
      baud_ = hostBaud * 94 / 100;
      dev_.event("fault: garbled first answer: the rate measured from '?' is " +
                 std::to_string(baud_) + " baud, not " + std::to_string(hostBaud) +
                 "; the answer reaches the host as noise, then the bootloader waits for '?' "
                 "again");
      reply("Synchronized");
      baud_ = 0;
      return;
    }
    if (byte == '?') {
      baud_ = hostBaud;
      line_.clear();
      setState(State::SyncLine,
               "bootloader measured " + std::to_string(hostBaud) + " baud from '?'");
      reply("Synchronized");
    }
    return;
  }
  if (pendingCr_) {
    pendingCr_ = false;
    if (byte == '\n') {
      echoByte(byte, true);
      completeLine();
      return;
    }
    completeLine();
    if (halted_) return;
    if (state_ == State::WaitQuestion) return receive(byte, hostBaud);
  }
  byte = asReceived(byte);
  echoByte(echoFault(byte), false);
  if (byte == kEsc) {
    abortLine();
  } else if (byte == '\r') {
    pendingCr_ = true;
  } else if (byte == '\n') {
    completeLine();
  } else if (line_.size() < kMaxLineLength) {
    line_.push_back(static_cast<char>(byte));
  }
}

void IspBootloader::echoByte(std::uint8_t byte, bool lfAfterCr) {
  if (!echo_) return;
  if (options_.lineFaults.echoCrLfLf && (byte == '\r' || byte == '\n')) {
    // The LPC18xx variant: the line end's first character comes back as CR LF LF, the LF of
    // a CR LF not at all.
    if (!lfAfterCr) dev_.transmit("\r\n\n");
    return;
  }
  dev_.transmit(std::string(1, static_cast<char>(byte)));
}

std::uint8_t IspBootloader::asReceived(std::uint8_t byte) {
  if (byte == '\r' || byte == '\n' || byte == kEsc) return byte;
  if (state_ == State::Command) return commandFault(byte);
  if (state_ == State::WriteData && !expectChecksum_) return sumPairFault(byte);
  return byte;
}

std::uint8_t IspBootloader::commandFault(std::uint8_t byte) {
  const LineFaults& f = options_.lineFaults;
  return lineBitFault(byte, commandLines_ + 1, f.corruptCommand, f.corruptCommandBit,
                      &commandFaultDone_, "command line", "arrives as");
}

std::uint8_t IspBootloader::echoFault(std::uint8_t byte) {
  const LineFaults& f = options_.lineFaults;
  if (state_ == State::Command) {
    return lineBitFault(byte, commandLines_ + 1, f.corruptEcho, f.corruptEchoBit,
                        &echoFaultDone_, "the echo of command line", "leaves as");
  }
  if (state_ == State::WriteData && !expectChecksum_) {
    return lineBitFault(byte, dataLines_ + 1, f.corruptDataEcho, f.corruptDataEchoBit,
                        &dataEchoFaultDone_, "the echo of Write-to-RAM data line", "leaves as");
  }
  return byte;
}

std::uint8_t IspBootloader::lineBitFault(std::uint8_t byte, int lineNumber, int target, int bit,
                                         bool* done, const char* line, const char* as) {
  if (*done || lineNumber != target || bit < 0 || line_.size() != static_cast<std::size_t>(bit / 8))
    return byte;
  *done = true;
  const auto changed = static_cast<std::uint8_t>(byte ^ (1u << (bit % 8)));
  char text[128];
  std::snprintf(text, sizeof text, "fault: %s %d, byte %d (0x%02X) %s 0x%02X", line, lineNumber,
                bit / 8, byte, as, changed);
  dev_.event(text);
  return changed;
}

// Two UU characters of one block, each the low six bits of a group's last byte, changed by +1
// and -1 (or -1 and +1): the two bytes change, their sum does not.
std::uint8_t IspBootloader::sumPairFault(std::uint8_t byte) {
  if (blockLines_ == 0 && line_.empty()) ++writeBlocks_;
  if (writeBlocks_ != options_.lineFaults.sumPairBlock || pairStep_ == 2 || line_.empty() ||
      line_.size() % 4 != 0)
    return byte;
  const std::size_t lineBytes = static_cast<std::size_t>((line_[0] - 0x20) & 0x3F);
  const std::size_t groupLast = (line_.size() / 4 - 1) * 3 + 2;  // the byte this character ends
  if (groupLast >= lineBytes) return byte;
  const int value = (byte - 0x20) & 0x3F;
  const int delta = pairStep_ == 0 ? (value < 63 ? 1 : -1) : -pairDelta_;
  const int changed = value + delta;
  if (changed < 0 || changed > 63) return byte;  // this one cannot take it: try the next group
  if (pairStep_ == 0) pairDelta_ = delta;
  ++pairStep_;
  dev_.event("fault: sum pair, byte " + std::to_string(groupLast) + " of data line " +
             std::to_string(blockLines_ + 1) + " of Write-to-RAM block " +
             std::to_string(writeBlocks_) + (delta > 0 ? " arrives +1" : " arrives -1"));
  return static_cast<std::uint8_t>(changed == 0 ? '`' : changed + 0x20);
}

void IspBootloader::idle() {
  if (pendingCr_ && !halted_) {
    pendingCr_ = false;
    completeLine();
  }
}

void IspBootloader::abortLine() {
  line_.clear();
  if (state_ == State::WriteData || state_ == State::ReadAck)
    setState(State::Command, "transfer aborted by ESC");
}

void IspBootloader::completeLine() {
  std::string line;
  line.swap(line_);
  if (line.empty()) return;  // extra CR or LF: no reply
  switch (state_) {
    case State::WaitQuestion:
      break;
    case State::SyncLine:
      if (line == "Synchronized") {
        setState(State::FrequencyLine, "");
        reply("OK");
      } else {
        // Anything but the expected answer: back to measuring the rate, silently.
        baud_ = 0;
        setState(State::WaitQuestion, "bootloader got \"" + line + "\" instead of "
                                      "\"Synchronized\": waiting for '?' again");
      }
      break;
    case State::FrequencyLine:
      // The crystal frequency in kHz. These parts run the ROM from their internal 12 MHz
      // oscillator and keep the line only for compatibility, so its value is not used: any
      // line is accepted (the utility sends "O").
      setState(State::Command,
               "bootloader synchronised at " + std::to_string(baud_) + " baud (frequency line \"" +
                   line + "\" ignored)");
      reply("OK");
      break;
    case State::Command:
      ++commandLines_;
      command(line);
      break;
    case State::WriteData:
      dataLine(line);
      break;
    case State::ReadAck:
      readAck(line);
      break;
  }
}

void IspBootloader::command(const std::string& line) {
  std::vector<std::string> words = splitWords(line);
  if (words.empty()) return;
  const std::string& name = words[0];
  command_ = line;
  replyBegins(name.size() == 1 ? name[0] : 0);
  if (name.size() != 1) return code(kInvalidCommand);
  char letter = name[0];
  const int refused = faults_.refusal(letter);
  if (refused >= 0) {
    dev_.event("fault: \"" + line + "\" refused with " + std::to_string(refused) +
               " and not acted on");
    return code(refused);
  }

  if (letter == 'G') {
    // G <address> <mode>: the mode is a letter, T (Thumb) or A (ARM, which a Cortex-M lacks).
    std::uint32_t address = 0;
    if (words.size() != 3 || !parseDecimal(words[1], &address) || words[2] != "T")
      return code(kParamError);
    if (!unlocked_) return code(kCmdLocked);
    if (address % 4 != 0) return code(kAddrError);
    if (!mem_.inFlash(address, 4) && !mem_.inRam(address, 4)) return code(kAddrNotMapped);
    code(kCmdSuccess);  // sent before the jump: nothing follows it
    dev_.event("bootloader: Go to " + hex(address));
    halted_ = true;
    dev_.go(address);
    return;
  }

  std::vector<std::uint32_t> args;
  for (std::size_t i = 1; i < words.size(); ++i) {
    std::uint32_t v = 0;
    if (!parseDecimal(words[i], &v)) {
      if (std::string("UABWRPCEIJKNMS").find(letter) == std::string::npos)
        return code(kInvalidCommand);
      return code(kParamError);
    }
    args.push_back(v);
  }

  int rc = kInvalidCommand;
  switch (letter) {
    case 'U': rc = cmdUnlock(args); break;
    case 'A': rc = cmdEcho(args); break;
    case 'B': rc = cmdBaud(args); break;
    case 'W': rc = cmdWrite(args); break;
    case 'R': rc = cmdRead(args); break;
    case 'P': rc = cmdPrepare(args); break;
    case 'C': rc = cmdCopy(args); break;
    case 'E': rc = cmdErase(args); break;
    case 'I': rc = cmdBlankCheck(args); break;
    case 'M': rc = cmdCompare(args); break;
    case 'S': rc = cmdSetBootBank(args); break;
    case 'J':
      if (!args.empty()) return code(kParamError);
      code(kCmdSuccess);
      reply(std::to_string(kPartIdWord0));
      reply(std::to_string(options_.partIdWord1.value_or(options_.bank256K ? 0x44u : 0x00u)));
      return;
    case 'K':
      if (!args.empty()) return code(kParamError);
      code(kCmdSuccess);
      reply(std::to_string(options_.bootCodeVersion[0]));
      reply(std::to_string(options_.bootCodeVersion[1]));
      return;
    case 'N':
      if (!args.empty()) return code(kParamError);
      code(kCmdSuccess);
      for (std::uint32_t w : {0x0A5C2E01u, 0x4D3B1F20u, 0x13577531u, 0x2468ACE0u})
        reply(std::to_string(w));
      return;
    default:
      rc = kInvalidCommand;
  }
  if (rc >= 0) code(rc);
}

int IspBootloader::cmdUnlock(const std::vector<std::uint32_t>& a) {
  if (a.size() != 1) return kParamError;
  if (a[0] != kUnlockCode) return kInvalidCode;
  if (!unlocked_) dev_.event("bootloader unlocked");
  unlocked_ = true;
  return kCmdSuccess;
}

int IspBootloader::cmdEcho(const std::vector<std::uint32_t>& a) {
  if (a.size() != 1 || a[0] > 1) return kParamError;
  code(kCmdSuccess);  // the reply itself is never echoed: it comes after the setting
  echo_ = a[0] == 1;
  dev_.event(std::string("bootloader echo ") + (echo_ ? "on" : "off"));
  return -1;
}

int IspBootloader::cmdBaud(const std::vector<std::uint32_t>& a) {
  if (a.size() != 2) return kParamError;
  static constexpr std::uint32_t kRates[] = {9600, 19200, 38400, 57600, 115200, 230400};
  if (std::find(std::begin(kRates), std::end(kRates), a[0]) == std::end(kRates))
    return kInvalidBaudRate;
  if (a[1] != 1 && a[1] != 2) return kInvalidStopBit;
  code(kCmdSuccess);  // at the old rate
  baud_ = static_cast<int>(a[0]);
  dev_.event("bootloader rate changed to " + std::to_string(baud_) + " baud");
  return -1;
}

int IspBootloader::cmdWrite(const std::vector<std::uint32_t>& a) {
  if (a.size() != 2) return kParamError;
  std::uint32_t address = a[0], count = a[1];
  if (address % 4 != 0) return kAddrError;
  if (!mem_.inWritableRam(address, count == 0 ? 1 : count)) return kAddrNotMapped;
  if (count % 4 != 0) return kCountError;
  code(kCmdSuccess);
  if (count == 0) return -1;
  xferAddress_ = address;
  xferCount_ = count;
  xferDone_ = blockBytes_ = blockLines_ = blockSum_ = 0;
  expectChecksum_ = false;
  setState(State::WriteData, "");
  return -1;
}

void IspBootloader::dataLine(const std::string& line) {
  if (expectChecksum_) {
    std::uint32_t sum = 0;
    bool good = parseDecimal(line, &sum) && sum == blockSum_;
    if (good) {
      xferDone_ += blockBytes_;
      reply("OK");
    } else {
      dev_.event("bootloader: block checksum " + line + " does not match " +
                 std::to_string(blockSum_) + ": RESEND");
      reply("RESEND");
    }
    blockBytes_ = blockLines_ = blockSum_ = 0;
    expectChecksum_ = false;
    if (xferDone_ == xferCount_) setState(State::Command, "");
    return;
  }
  std::uint8_t bytes[64];
  std::size_t limit = std::min<std::size_t>(sizeof bytes, xferCount_ - xferDone_ - blockBytes_);
  std::size_t n = uuDecodeLine(line, bytes, limit);
  if (faults_.corruptNextWriteLine() && n > 0) {
    bytes[n / 2] ^= 0x20;
    dev_.event("fault: byte " + std::to_string(n / 2) + " of this Write-to-RAM line damaged");
  }
  mem_.writeRam(xferAddress_ + xferDone_ + blockBytes_, bytes, static_cast<std::uint32_t>(n));
  for (std::size_t i = 0; i < n; ++i) blockSum_ += bytes[i];
  blockBytes_ += static_cast<std::uint32_t>(n);
  ++blockLines_;
  ++dataLines_;
  if (blockLines_ == kUuLinesPerBlock || xferDone_ + blockBytes_ == xferCount_)
    expectChecksum_ = true;
}

int IspBootloader::cmdRead(const std::vector<std::uint32_t>& a) {
  if (a.size() != 2) return kParamError;
  std::uint32_t address = a[0], count = a[1];
  if (address % 4 != 0) return kAddrError;
  std::uint32_t span = count == 0 ? 1 : count;
  if (!mem_.inFlash(address, span) && !mem_.inRam(address, span)) return kAddrNotMapped;
  if (count % 4 != 0) return kCountError;
  code(kCmdSuccess);
  if (count == 0) return -1;
  xferAddress_ = address;
  xferCount_ = count;
  xferDone_ = 0;
  setState(State::ReadAck, "");
  sendReadBlock();
  return -1;
}

void IspBootloader::sendReadBlock() {
  blockBytes_ = std::min(kBlockBytes, xferCount_ - xferDone_);
  std::vector<std::uint8_t> block(blockBytes_);
  mem_.read(xferAddress_ + xferDone_, block.data(), blockBytes_);
  std::uint32_t sum = 0;
  for (std::uint8_t b : block) sum += b;
  for (std::uint32_t at = 0; at < blockBytes_; at += kUuMaxLineBytes) {
    std::size_t n = std::min<std::size_t>(kUuMaxLineBytes, blockBytes_ - at);
    reply(uuEncodeLine(block.data() + at, n));
  }
  reply(std::to_string(sum));
}

void IspBootloader::readAck(const std::string& line) {
  if (line == "OK") {
    xferDone_ += blockBytes_;
    if (xferDone_ == xferCount_) {
      setState(State::Command, "");
      return;
    }
  } else {
    // RESEND, or anything the ROM does not take for OK: the same block once more.
    dev_.event("bootloader: host answered \"" + line + "\": block sent again");
  }
  sendReadBlock();
}

int IspBootloader::checkSectors(std::uint32_t first, std::uint32_t last,
                                std::uint32_t bank) const {
  if (bank > 1) return kInvalidFlashUnit;
  if (first > last || last >= static_cast<std::uint32_t>(mem_.sectorCount()))
    return kInvalidSector;
  return kCmdSuccess;
}

bool IspBootloader::prepared(int bank, int first, int last) const {
  for (int s = first; s <= last; ++s)
    if (!prepared_[bank][s]) return false;
  return true;
}

void IspBootloader::unprepare(int bank, int first, int last) {
  for (int s = first; s <= last; ++s) prepared_[bank][s] = false;
}

int IspBootloader::cmdPrepare(const std::vector<std::uint32_t>& a) {
  if (a.size() != 3) return kParamError;
  int rc = checkSectors(a[0], a[1], a[2]);
  if (rc != kCmdSuccess) return rc;
  for (std::uint32_t s = a[0]; s <= a[1]; ++s) prepared_[a[2]][s] = true;
  return kCmdSuccess;
}

int IspBootloader::cmdErase(const std::vector<std::uint32_t>& a) {
  if (a.size() != 3) return kParamError;
  if (!unlocked_) return kCmdLocked;
  int rc = checkSectors(a[0], a[1], a[2]);
  if (rc != kCmdSuccess) return rc;
  int bank = static_cast<int>(a[2]), first = static_cast<int>(a[0]), last = static_cast<int>(a[1]);
  if (!prepared(bank, first, last)) return kSectorNotPrepared;
  std::uint32_t number = ++erases_;
  std::string what = "erase " + std::to_string(number) + " (sectors " + std::to_string(first) +
                     ".." + std::to_string(last) + " of bank " + std::to_string(bank) + ")";
  FlashCut cut = faults_.aroundErase(number);
  if (cut == FlashCut::Before || cut == FlashCut::Torn) {
    std::string why = "fault: power lost right before " + what;
    if (cut == FlashCut::Torn) {
      SeededChoice choice = faults_.tornChoices('E', number);
      std::string fates = tearErase(mem_, bank, first, last, choice);
      why = "fault: power lost in the middle of " + what + ": page fates " + fates +
            " (E erased, U untouched, Z all 0x00, M mixed)";
    }
    halted_ = true;
    // The command's echo left as its bytes came; no answer follows.
    dev_.powerFail(why, true);
    return -1;
  }
  mem_.eraseSectors(bank, first, last);
  unprepare(bank, first, last);
  dev_.event("bootloader: erased sectors " + std::to_string(first) + ".." + std::to_string(last) +
             " of bank " + std::to_string(bank));
  dev_.busyFor(Micros(100000));
  if (cut == FlashCut::After) {
    code(kCmdSuccess);
    halted_ = true;
    dev_.powerFail("fault: power lost right after " + what + " (its answer sent)", true);
    return -1;
  }
  int tableBank = 0, tableSector = 0;
  mem_.sectorOf(kBankA + mem_.bankSize() - 512, &tableBank, &tableSector);
  if (bank == tableBank && first <= tableSector && tableSector <= last &&
      faults_.powerFailsAfterTableErase()) {
    code(kCmdSuccess);
    halted_ = true;
    dev_.powerFail("fault: power lost right after the erase of the parameter table's sector "
                   "(its answer sent)", true);
    return -1;
  }
  return kCmdSuccess;
}

int IspBootloader::cmdCopy(const std::vector<std::uint32_t>& a) {
  if (a.size() != 3) return kParamError;
  if (!unlocked_) return kCmdLocked;
  std::uint32_t dst = a[0], src = a[1], count = a[2];
  if (dst % kPageSize != 0) return kDstAddrError;
  if (src % 4 != 0) return kSrcAddrError;
  std::uint32_t span = count == 0 ? 1 : count;
  if (!mem_.inRam(src, span)) return kSrcAddrNotMapped;
  if (!mem_.inFlash(dst, span)) return kDstAddrNotMapped;
  if (count != 512 && count != 1024 && count != 4096) return kCountError;
  int bank = 0, first = 0, lastBank = 0, last = 0;
  mem_.sectorOf(dst, &bank, &first);
  mem_.sectorOf(dst + count - 1, &lastBank, &last);
  if (!prepared(bank, first, last)) return kSectorNotPrepared;

  std::vector<std::uint8_t> data(count);
  mem_.read(src, data.data(), count);
  std::uint32_t number = copies_ + 1;
  std::string what = "copy " + std::to_string(number) + " (" + std::to_string(count) +
                     " bytes from " + hex(src) + " to " + hex(dst) + ")";
  FlashCut cut = faults_.beforeCopy(number);
  if (cut == FlashCut::Before) {
    halted_ = true;
    dev_.powerFail("fault: power lost right before " + what, true);
    return -1;
  }
  if (cut == FlashCut::Torn) {
    // Programming runs from the first byte on; the power fails after the k-th.
    std::uint32_t done = faults_.tornChoices('C', number).between(1, count - 1);
    noteUnerased(number, dst, done);
    mem_.program(dst, data.data(), done);
    halted_ = true;
    dev_.powerFail("fault: power lost in the middle of " + what + ": its first " +
                       std::to_string(done) + " bytes programmed, the rest as it was",
                   true);
    return -1;
  }
  noteUnerased(number, dst, count);
  long weakBit = -1;
  if (faults_.weakCellIn(number)) {
    // The first bit that this copy should clear stays set.
    for (std::uint32_t i = 0; i < count && weakBit < 0; ++i) {
      std::uint8_t clears = static_cast<std::uint8_t>(mem_.readByte(dst + i) & ~data[i]);
      for (int bit = 0; bit < 8 && clears; ++bit)
        if (clears & (1u << bit)) {
          weakBit = static_cast<long>(i) * 8 + bit;
          break;
        }
    }
    dev_.event(weakBit >= 0 ? "fault: weak cell, bit " + std::to_string(weakBit % 8) +
                                  " of " + hex(dst + static_cast<std::uint32_t>(weakBit / 8)) +
                                  " stays unprogrammed"
                            : "fault: weak cell has no bit to leave unprogrammed in this copy");
  }
  mem_.program(dst, data.data(), count, weakBit);
  unprepare(bank, first, last);
  copies_ = number;
  dev_.event("bootloader: copy " + std::to_string(number) + ", " + std::to_string(count) +
             " bytes from " + hex(src) + " to " + hex(dst));
  dev_.busyFor(Micros(1000LL * (count / kPageSize)));
  switch (faults_.afterCopy(number)) {
    case AfterCopy::PowerLoss:
      code(kCmdSuccess);
      halted_ = true;
      dev_.powerFail("fault: power lost right after copy " + std::to_string(number) +
                     " (its answer sent)", true);
      return -1;
    case AfterCopy::Vanish:
      halted_ = true;
      dev_.vanish("fault: port vanished right after copy " + std::to_string(number));
      return -1;
    case AfterCopy::Nothing:
      break;
  }
  return kCmdSuccess;
}

// Programming only clears bits: over bytes that were not erased it leaves old AND new.
void IspBootloader::noteUnerased(std::uint32_t copyNumber, std::uint32_t dst,
                                 std::uint32_t count) {
  std::vector<std::uint8_t> old(count);
  mem_.read(dst, old.data(), count);
  std::uint32_t unerased = 0, first = 0;
  for (std::uint32_t i = 0; i < count; ++i)
    if (old[i] != 0xFF && unerased++ == 0) first = i;
  if (unerased > 0)
    dev_.event("flash: copy " + std::to_string(copyNumber) + " programs over " +
               std::to_string(unerased) + " bytes that were not erased, the first at " +
               hex(dst + first));
}

int IspBootloader::cmdBlankCheck(const std::vector<std::uint32_t>& a) {
  if (a.size() != 3) return kParamError;
  int rc = checkSectors(a[0], a[1], a[2]);
  if (rc != kCmdSuccess) return rc;
  int bank = static_cast<int>(a[2]);
  std::uint32_t start = mem_.sectorAddress(bank, static_cast<int>(a[0]));
  std::uint32_t end = mem_.sectorAddress(bank, static_cast<int>(a[1])) +
                      mem_.sectorSize(static_cast<int>(a[1]));
  for (std::uint32_t at = start; at < end; at += 4) {
    std::uint32_t w = mem_.readWord(at);
    if (w != 0xFFFFFFFFu) {
      code(kSectorNotBlank);
      reply(std::to_string(at - start));
      reply(std::to_string(w));
      return -1;
    }
  }
  return kCmdSuccess;
}

int IspBootloader::cmdCompare(const std::vector<std::uint32_t>& a) {
  if (a.size() != 3) return kParamError;
  std::uint32_t a1 = a[0], a2 = a[1], count = a[2];
  if (a1 % 4 != 0 || a2 % 4 != 0) return kAddrError;
  std::uint32_t span = count == 0 ? 1 : count;
  auto mapped = [&](std::uint32_t x) { return mem_.inFlash(x, span) || mem_.inRam(x, span); };
  if (!mapped(a1) || !mapped(a2)) return kAddrNotMapped;
  if (count % 4 != 0) return kCountError;
  std::vector<std::uint8_t> x(count), y(count);
  mem_.read(a1, x.data(), count);
  mem_.read(a2, y.data(), count);
  for (std::uint32_t at = 0; at < count; at += 4) {
    if (!std::equal(x.begin() + at, x.begin() + at + 4, y.begin() + at)) {
      // The ROM compares words and reports the offset of the first word that differs.
      code(kCompareError);
      reply(std::to_string(at));
      return -1;
    }
  }
  return kCmdSuccess;
}

int IspBootloader::cmdSetBootBank(const std::vector<std::uint32_t>& a) {
  if (a.size() != 1) return kParamError;
  if (!unlocked_) return kCmdLocked;
  if (a[0] > 1) return kInvalidFlashUnit;
  bootBank_ = static_cast<int>(a[0]);
  dev_.event("bootloader: boot bank set to " + std::string(bootBank_ ? "B" : "A"));
  return kCmdSuccess;
}

}  // namespace sim
