#pragma once
// A simulated Valtrane switch on a pseudo-terminal: the NXP LPC18xx/43xx ISP bootloader and
// the switch's own firmware console, with a flash that can persist in a file and faults that
// can be injected deterministically. Used in-process by the tests and by the switch-sim tool.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sim {

// Faults, each off by default. Counts are 1-based and counted from the simulator's start.
struct Faults {
  std::int64_t powerLossAfterBytes = -1;  // device dies after receiving this many bytes
  int powerLossAfterCopy = -1;            // dies right after the k-th successful Copy RAM to flash
                                          // (its answer still goes out)
  bool powerLossBeforeTableWrite = false; // dies right after the erase of the sector that holds
                                          // the parameter table (answered), before anything is
                                          // copied to it
  int corruptWriteLine = -1;              // one byte of the k-th Write-to-RAM data line is altered
  int weakCellCopy = -1;                  // the k-th copy leaves one bit unprogrammed
  int dropReplyLine = -1;                 // the bootloader's k-th reply line is never sent
  int delayReplyLine = -1;                // the bootloader's k-th reply line comes 600 ms late
  bool consoleNoise = false;              // the firmware sends noise bytes between its frames
  int vanishAfterCopy = -1;               // the port disappears right after the k-th copy
  // Power lost at the k-th Erase or Copy RAM to flash (counted among those that pass their
  // checks and would change the flash): right before it (nothing changed, no answer), in its
  // middle (a torn operation, seeded), or right after an erase (its answer sent).
  int powerLossBeforeErase = -1;
  int tornErase = -1;
  int powerLossAfterErase = -1;
  int powerLossBeforeCopy = -1;
  int tornCopy = -1;
  bool garbledFirstAnswer = false;        // the first answer to '?' reaches the host as noise
  // The k-th command with this letter (counted among the command lines of the synchronised
  // bootloader whose name is that one letter), and the ones after it up to refuseTimes in
  // all, are answered with refuseCode and not acted on: a chip that refuses them.
  char refuseLetter = 0;
  int refuseFrom = -1;
  int refuseTimes = 1;
  int refuseCode = 0;
};

// Errors on the serial line itself and the LPC18xx echo variant, each off by default. Line
// errors strike bytes as the chip's UART receives them (so its echo shows them) or as the
// host reads them.
struct LineFaults {
  double bitErrorRate = 0.0;   // random bit errors per bit, both directions, seeded
  int corruptCommand = -1;     // the K-th command line of the synchronised bootloader...
  int corruptCommandBit = 0;   // ...arrives with this bit flipped (byte BIT/8, bit BIT%8)
  int corruptEcho = -1;        // the K-th command line arrives as sent, but its echo...
  int corruptEchoBit = 0;      // ...leaves with this bit flipped
  int corruptDataEcho = -1;    // the K-th Write-to-RAM data line arrives as sent, but its echo...
  int corruptDataEchoBit = 0;  // ...leaves with this bit flipped
  int sumPairBlock = -1;       // in the K-th Write-to-RAM block one byte +1, another -1
  // The reply to the K-th command with this letter (its return code and the lines after it,
  // line ends included; not the echo) leaves with bit BIT%8 of its byte BIT/8 flipped.
  char replyFlipLetter = 0;
  int replyFlipCommand = -1;
  int replyFlipBit = -1;
  // ...or, counted the same way, leaves with its byte BYTE lost: the host never receives it.
  char replyLoseLetter = 0;
  int replyLoseCommand = -1;
  int replyLoseByte = -1;
  // The K-th identity frame the firmware sends in answer to "^V$" (counted from the start,
  // the whole frame "^=V ...$" with its "^" as byte 0) leaves with bit BIT%8 of its byte
  // BIT/8 flipped, or with its byte BYTE lost.
  int identityFlipAnswer = -1;
  int identityFlipBit = -1;
  int identityLoseAnswer = -1;
  int identityLoseByte = -1;
  bool echoCrLfLf = false;     // while echo is on, a line end is echoed CR LF LF
  // A line that comes and goes (a loose connector): from the simulator's start, every
  // dropoutEveryMs the line carries nothing either way for dropoutMs. 0: never.
  int dropoutEveryMs = 0;
  int dropoutMs = 0;
};

enum class ProbeAnswer { Ack, ReadyLine };  // "^+$" or a five-character "^=P..$" line

struct Options {
  std::string link;           // path of a symlink to the pseudo-terminal (optional in-process)
  std::string flashFile;      // flash contents kept here across runs (bank A, then bank B)
  std::string logFile;        // transcript of every byte both ways and the state changes
  std::string installImage;   // container image programmed as a finished update would
  bool blank = false;         // start from an erased chip
  bool wireSpeed = false;     // bytes and flash operations take their real time
  bool bank256K = false;      // part identification second word 0x44 (256 KB banks)
  // The part identification's second word instead of the one the bank size gives: another
  // part of the family (0x22 for 384 KB banks, 0x80 for one bank of 512 KB).
  std::optional<std::uint32_t> partIdWord1;
  bool startInBootloader = false;
  std::uint32_t bootCodeVersion[2] = {1, 13};  // the K command's two lines
  // Identity overrides, written into the installed parameter table (CRC recomputed).
  std::optional<std::uint32_t> version;
  std::optional<std::string> name;
  std::optional<int> model;
  std::optional<int> pcbRevision;
  bool oldTableForm = false;       // installed table carries the older magic 0x1E3CA501
  bool badCheckCrc = false;        // installed table's firmware CRC does not match
  bool eraseTable = false;         // the table area is left erased
  ProbeAnswer probeAnswer = ProbeAnswer::Ack;
  bool ackBeforeIdentity = false;  // "^+$" before the identity line that answers "^V$"
  int dspBanks = 2;                // DSP progress after a restart: banks 1..dspBanks, 0 = none
  int dspIntervalMs = 250;         // between two progress messages
  int bootDelayMs = 1000;          // from the start of the firmware to its first message
  bool readyMessage = true;        // "^=P$" after the progress messages
  // A USB serial adapter between host and switch: the switch's bytes are held up to this many
  // ms (its latency timer) or until 62 have gathered; the host's are about 1 ms late. -1: none.
  int adapterLatencyMs = -1;
  // The host takes the adapter's packets only at the ends of 1 ms USB frames.
  bool adapterFrames = false;
  std::uint64_t seed = 1;
  Faults faults;
  LineFaults lineFaults;
};

// Where the device is now.
enum class Mode { Off, Firmware, BootloaderWaiting, BootloaderSynced };

class Switch {
 public:
  explicit Switch(Options options);
  ~Switch();  // stops the device and saves the flash
  Switch(const Switch&) = delete;
  Switch& operator=(const Switch&) = delete;

  // Opens the pseudo-terminal, seeds or loads the flash, publishes the link and starts the
  // device on a thread of its own. False with a reason when it cannot.
  bool start(std::string* error);
  void stop();

  const std::string& slavePath() const;  // the terminal device the host opens
  Mode mode() const;
  int uartBaud() const;                  // the rate the device listens at now
  bool poweredOff() const;               // a power-loss fault has struck
  std::vector<std::uint8_t> flash() const;  // bank A followed by bank B
  std::uint32_t bankSize() const;
  std::uint32_t copiesDone() const;      // successful Copy RAM to flash commands so far

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace sim
