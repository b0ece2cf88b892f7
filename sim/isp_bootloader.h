#pragma once
// The ROM ISP bootloader of an NXP LPC18xx/43xx part, as its user manual describes it: the
// '?' auto-baud and synchronisation, echo, the line discipline (CR, LF or CR LF; ESC aborts),
// the commands U, A, B, W, R, P, C, E, I, G, J, K, N, M and S with their return codes, and
// UU-encoded data with block checksums for W and R.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/device_services.h"
#include "sim/faults.h"
#include "sim/flash_model.h"
#include "sim/switch_sim.h"

namespace sim {

// NXP ISP return codes.
enum IspCode : int {
  kCmdSuccess = 0,
  kInvalidCommand = 1,
  kSrcAddrError = 2,
  kDstAddrError = 3,
  kSrcAddrNotMapped = 4,
  kDstAddrNotMapped = 5,
  kCountError = 6,
  kInvalidSector = 7,
  kSectorNotBlank = 8,
  kSectorNotPrepared = 9,
  kCompareError = 10,
  kParamError = 12,
  kAddrError = 13,
  kAddrNotMapped = 14,
  kCmdLocked = 15,
  kInvalidCode = 16,
  kInvalidBaudRate = 17,
  kInvalidStopBit = 18,
  kInvalidFlashUnit = 20,
};

constexpr std::uint32_t kUnlockCode = 23130;
constexpr std::uint32_t kPartIdWord0 = 0xA001C830;  // LPC4357/4353

class IspBootloader {
 public:
  IspBootloader(DeviceServices& device, Memory& memory, FaultPlan& faults,
                const Options& options);

  // Reset: waiting for '?', echo on, locked, no sector prepared.
  void reset();
  // One byte as the chip's UART received it; hostBaud is the rate it came at, which the
  // auto-baud measures from a '?'.
  void receive(std::uint8_t byte, int hostBaud);
  // Nothing more is waiting on the line: a command ended by a lone CR runs now. (A CR
  // followed at once by LF has its LF echoed before the reply, as the ROM does.)
  void idle();

  bool waitingForSync() const { return state_ == State::WaitQuestion; }
  int baud() const { return baud_; }  // 0 while measuring
  bool echo() const { return echo_; }
  int bootBank() const { return bootBank_; }
  std::uint32_t copies() const { return copies_; }
  std::uint32_t erases() const { return erases_; }

 private:
  enum class State { WaitQuestion, SyncLine, FrequencyLine, Command, WriteData, ReadAck };

  void completeLine();
  void abortLine();
  void command(const std::string& line);
  void dataLine(const std::string& line);
  void readAck(const std::string& line);
  void sendReadBlock();
  // Where one reply fault stands: the commands with its letter so far, and while the reply it
  // strikes is being sent, that reply's bytes so far.
  struct ReplyMark {
    int commands = 0;
    bool armed = false;
    std::size_t bytes = 0;
  };
  // One reply line, with its line end; a reply fault may flip one of its bits or lose a byte.
  void reply(const std::string& text);
  // A command line is taken (letter: its one-letter name, or 0): its reply begins.
  void replyBegins(char letter);
  // A command with this letter is taken: mark is armed when it is the command-th with the
  // fault's letter (target) and the fault names a byte (at >= 0).
  static void armReply(ReplyMark* mark, char letter, char target, int command, int at);
  // Which byte of the next reply line (bytes long with its line end) is byte at of the armed
  // reply, or -1; the mark disarms once it has struck.
  static int replyByte(ReplyMark* mark, int at, std::size_t bytes);
  void code(int value);
  void setState(State s, const std::string& why);

  int cmdUnlock(const std::vector<std::uint32_t>& a);
  int cmdEcho(const std::vector<std::uint32_t>& a);
  int cmdBaud(const std::vector<std::uint32_t>& a);
  int cmdWrite(const std::vector<std::uint32_t>& a);
  int cmdRead(const std::vector<std::uint32_t>& a);
  int cmdPrepare(const std::vector<std::uint32_t>& a);
  int cmdCopy(const std::vector<std::uint32_t>& a);
  int cmdErase(const std::vector<std::uint32_t>& a);
  int cmdBlankCheck(const std::vector<std::uint32_t>& a);
  int cmdCompare(const std::vector<std::uint32_t>& a);
  int cmdSetBootBank(const std::vector<std::uint32_t>& a);
  int checkSectors(std::uint32_t first, std::uint32_t last, std::uint32_t bank) const;
  void noteUnerased(std::uint32_t copyNumber, std::uint32_t dst, std::uint32_t count);
  bool prepared(int bank, int first, int last) const;
  void unprepare(int bank, int first, int last);

  // Line faults that change a byte as the UART receives it, before it is echoed or acted on.
  std::uint8_t asReceived(std::uint8_t byte);
  std::uint8_t commandFault(std::uint8_t byte);
  // The byte the echo of a received byte leaves as.
  std::uint8_t echoFault(std::uint8_t byte);
  // byte with bit BIT%8 flipped when it is byte BIT/8 of line lineNumber, the one the fault
  // is set on (target), and the fault has not struck yet (*done); the event names the line.
  std::uint8_t lineBitFault(std::uint8_t byte, int lineNumber, int target, int bit, bool* done,
                            const char* line, const char* as);
  std::uint8_t sumPairFault(std::uint8_t byte);
  // The echo of one received byte; lfAfterCr for the LF of a CR LF line end.
  void echoByte(std::uint8_t byte, bool lfAfterCr);

  DeviceServices& dev_;
  Memory& mem_;
  FaultPlan& faults_;
  const Options& options_;

  State state_ = State::WaitQuestion;
  int baud_ = 0;
  bool echo_ = true;
  bool unlocked_ = false;
  bool pendingCr_ = false;
  bool halted_ = false;  // the chip has left the bootloader (Go, power loss, lost port)
  int bootBank_ = 0;
  std::string line_;
  std::string command_;  // the command line being answered
  std::array<std::array<bool, 16>, 2> prepared_{};
  std::uint32_t copies_ = 0;
  std::uint32_t erases_ = 0;  // erases begun (torn ones too), counted like the copies

  // A transfer in progress (W or R).
  std::uint32_t xferAddress_ = 0;
  std::uint32_t xferCount_ = 0;
  std::uint32_t xferDone_ = 0;     // bytes of earlier, acknowledged blocks
  std::uint32_t blockBytes_ = 0;   // bytes of the current block so far (W) or in it (R)
  std::uint32_t blockLines_ = 0;
  std::uint32_t blockSum_ = 0;
  bool expectChecksum_ = false;

  // Line-fault counters, from the simulator's start.
  int commandLines_ = 0;  // command lines taken in the synchronised state
  bool commandFaultDone_ = false;
  bool echoFaultDone_ = false;
  int dataLines_ = 0;     // Write-to-RAM data lines taken (a line sent again counts again)
  bool dataEchoFaultDone_ = false;
  int writeBlocks_ = 0;   // Write-to-RAM blocks begun (a block sent again counts again)
  int pairStep_ = 0;      // sum pair: 0 nothing changed yet, 1 one byte changed, 2 done
  int pairDelta_ = 0;     // what the first change added
  ReplyMark flipMark_;  // the reply with a flipped bit
  ReplyMark loseMark_;  // the reply with a lost byte
};

}  // namespace sim
