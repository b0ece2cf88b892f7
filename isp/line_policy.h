#pragma once
// What the line to the bootloader may cost, and what each outcome of each step leads to. Every
// limit, wait and drain of the exchange, transfer and update layers stands here, each with the
// reason for its value; the loops that send again only ask lineAction what to do.
#include <cstdint>

// Waits.
// A reply line must be complete this long after its read starts: the bootloader answers a
// command within milliseconds and an erase of several sectors within about 100 ms.
constexpr std::uint32_t kLineTimeoutMs = 500;
// What the link itself holds the switch's answers back (a USB adapter's latency timer, a
// serial server on a network, a port redirected over a remote desktop), as the synchronisation
// measured it: every wait for an answer below is that much longer. A link that holds answers
// longer than the most is not one to flash a switch over.
extern std::uint32_t lineHeldMs;
constexpr std::uint32_t kLineHeldMostMs = 2000;
// The second round of the synchronisation waits this long for an answer, so that a link that
// holds answers back is found: a silent port still costs only about 5 s.
constexpr std::uint32_t kSyncSlowLinkMs = kLineHeldMostMs + kLineTimeoutMs;
// The waits with the link's hold added: a reply line; a block's answer after an echo that
// differed; the quiet, and its limit, that ends a drain.
std::uint32_t lineTimeoutMs();
std::uint32_t lineBlockAnswerMs();
std::uint32_t lineDrainQuietMs();
std::uint32_t lineDrainLimitMs();
// Takes the time from a synchronisation probe's end to its answer as the link's hold.
void lineHeldMeasured(std::uint32_t ms);
// Empty lines passed over before a reply: the LPC18xx echoes a line end as CR LF LF, and a
// stray CR comes back as an empty line; never an endless stream of them.
constexpr int kEmptyLinesPassed = 4;
// After ESC the line must be quiet this long before the next exchange: longer than the
// bootloader's turnaround and a USB adapter's 16 ms latency timer, so that whatever the
// bootloader still sends about the broken exchange has come.
constexpr std::uint32_t kDrainQuietMs = 50;
// A line that never goes quiet (noise from a switch at another rate) is left after this.
constexpr std::uint32_t kDrainLimitMs = 1000;
// A Write-to-RAM block whose echo differed: its answer is waited for this long. The bootloader
// answers a checksum line at once (a slow USB adapter holds it back 32 ms at most), but a
// block it received with a line end spoilt has it still waiting for a line that never comes.
constexpr std::uint32_t kBlockAnswerMs = 100;
// A reader short of bytes still on the wire first sleeps for this many and looks: a far end
// faster than the wire (a pseudo-terminal) costs little, and on a line the rest is slept for
// in one go.
constexpr int kFirstLookBytes = 16;
// Lines whose echo is read go out together, in one write of at most what the wire carries in
// this time: half of the second a write is given before the port gives up on it.
constexpr std::uint32_t kEchoedWriteMs = 500;
// Between the pieces of the synchronisation probe: the firmware's frame parser takes ESC,
// "^P$" and the probe character as separate arrivals.
constexpr std::uint32_t kProbeGapMs = 10;
// Synchronisation attempts, alternating 115200 and 19200 baud: two at each rate.
constexpr int kSyncAttempts = 4;
// After "^BOOTL$", the firmware's time to hand over to the bootloader; after synchronisation,
// the time for its last line ends to arrive before the input is flushed.
constexpr std::uint32_t kBootHandoverMs = 100;
// "^BOOTL$" sent this often in all while the firmware still answers the probe after it.
constexpr int kBootRequests = 3;
constexpr std::uint32_t kSyncSettleMs = 20;

// Attempts of one piece of work, each bounded on its own; the budget below bounds their sum.
// A command that changes nothing in the chip (Unlock, Prepare, Compare, part identification,
// Read Memory's "R", Set Echo): sent this often in all.
constexpr int kCommandAttempts = 3;
// Part identification: its words count when two reads in a row agree (a digit that takes a
// bit error may still be a digit), read this often at most.
constexpr int kPartIdReads = kCommandAttempts + 1;
// The identity line of the switch's console: it counts when two reads in a row agree, asked
// this often at most. Each is a frame of about 40 characters, 21 ms at 19200 baud; with a bit
// error in 10^3 a third of them are spoilt, and eight reads still find two good ones in a row
// more than nine times in ten. Two requests in a row without any answer are a silent console.
constexpr int kIdentityReads = 8;
constexpr int kIdentitySilentReads = 2;
// Compare: equal only when this many answers were exactly "0" (the tail of COMPARE_ERROR and
// its offset can be a lone "0"), asked this often at most.
constexpr int kCompareEqualAnswers = 2;
constexpr int kCompareAttempts = kCommandAttempts + 1;
// Go, sent again only while the bootloader is seen to be still there.
constexpr int kGoAttempts = 3;
// A Write-to-RAM block that came back as sent and was answered RESEND: sent again within the
// same "W" this many more times (the bootloader waits for it).
constexpr int kBlockResends = 3;
// The sizes a Write-to-RAM block is sent in, whole first: at wire speed a whole block of 900
// bytes is 110 ms on the line, and with one bit error in 10^4 fewer than one in ten come
// through, while nine in ten blocks of one data line (44 bytes, a whole number of words) do.
constexpr std::uint32_t kBlockSizes[] = {900, 440, 176, 88, 44};
constexpr int kBlockSizeCount = sizeof kBlockSizes / sizeof kBlockSizes[0];
// Where two neighbouring sizes cost the same: the bytes that come through, on average, between
// two spoilt blocks on a line where a block of kBlockSizes[i] and one of kBlockSizes[i + 1]
// take equally long. A spoilt block costs the whole block again, and every block also costs
// its "W", the answers and two turnarounds, about 30 characters' time. A block spoilt sooner
// than this after the last makes the next one smaller; this many bytes in a row that came
// through make it larger again. Only a bit error on the way to the bootloader spoils a block
// (one in the echo costs a read-back of a word): at one bit error in 10^5 each way 440 bytes is
// the best and 900 costs 3 % more; on a line that drops a bit in 10^6 900 is the best.
constexpr std::uint32_t kBlockBreakEven[kBlockSizeCount - 1] = {19000, 4000, 900, 250};
// Blocks spoilt in a row, whatever their size, after which the write gives up.
constexpr int kBlockAttempts = 8;
// The blocks one "W" carries at most on a line that allows whole blocks (a copy block of 4096
// bytes is five). A block answered OK whose echo differed in a data character is read back
// once its "W" is over (the bootloader would take an "R" within it as data).
constexpr int kWriteBlocksPerCommand = 8;
// A "W" that arrived with an address among bytes already in place: the write goes again from
// there at most this often in one write.
constexpr int kWriteRewinds = 8;
// A read block whose sum does not match is asked for again with RESEND this many more times;
// a read block whose exchange the line spoils gets a fresh "R" this often in all.
constexpr int kReadResends = 3;
constexpr int kReadAttempts = 4;
// A Prepare and Erase pair that does not come through is sent this often in all.
constexpr int kEraseAttempts = 3;
// Sectors whose rewrite is spoilt again are erased and rewritten this often in all.
constexpr int kRecoveryAttempts = 3;
// The table read back after the update is read once more when it fails its own CRC: the read
// itself may have been hit.
constexpr int kTableReads = 2;

// The whole update's budget, from the synchronised bootloader's part identification to the
// head block, counts wasted work, never the time a clean link takes: a link that holds every
// answer a second updates slowly but surely. A line that wastes more than this much time on
// exchanges it had to repeat is not one to flash a switch over, and the update stops while the
// bootloader still keeps the switch. A clean update takes about 21 s at wire speed; one over
// a line with a bit error in 10^4 wastes about 30 s of its 50 s.
constexpr std::uint32_t kBudgetWastedMs = 120000;
// Once this many exchanges have been made, more than this share of them repeated spends the
// budget as well: such a line will not get through the rest either.
constexpr std::uint32_t kBudgetJudgedAfter = 400;
constexpr std::uint32_t kBudgetRepeatedPercent = 45;

// What one exchange with the bootloader came to.
constexpr int kExchangeOk = 0;           // echo as sent, answer exactly as expected
constexpr int kExchangeRefused = 1;      // echo as sent, a return code other than 0 (for a
                                         // block: RESEND, or a read block whose sum differs)
constexpr int kExchangeNoReply = 2;      // echo as sent, then nothing within the line time
constexpr int kExchangeGarbled = 3;      // echo as sent, an answer the protocol does not have
constexpr int kExchangeEchoDiffers = 4;  // the bootloader received another line, or no echo
constexpr int kExchangeOutcomes = 5;

// The kinds of step, by what asking again may do to the chip.
constexpr int kStepQuery = 0;        // changes nothing: asked again freely
constexpr int kStepCopy = 1;         // Copy RAM to flash: a page may be programmed only once
constexpr int kStepErase = 2;        // Prepare and Erase: erasing again does no harm
constexpr int kStepGo = 3;           // the jump is final
constexpr int kStepGoOtherLine = 4;  // what the bootloader answered to a Go it received otherwise
constexpr int kStepWriteCommand = 5; // "W": the bootloader then takes the next lines as data
constexpr int kStepWriteData = 6;    // a block's lines and checksum
constexpr int kStepReadData = 7;     // a read block's lines and checksum
constexpr int kStepWriteDataOtherwise = 8;  // the answer to a block whose echo differed
constexpr int kStepCopyOtherLine = 9;  // what the bootloader answered to a Copy it received otherwise
constexpr int kStepKinds = 10;

// What follows an outcome.
constexpr int kActDone = 0;          // the step did what was asked
constexpr int kActAskAgain = 1;      // ESC, drain, and the same step again
constexpr int kActResend = 2;        // the same block again within the same command
constexpr int kActCompare = 3;       // a compare tells whether the copy is in place; if it is
                                     // not, its sectors are erased and rewritten
constexpr int kActRewrite = 4;       // the copy may have gone anywhere in its sectors: unless
                                     // a compare finds a block with data in place, erase them
                                     // and write again what was in them
constexpr int kActRewind = 5;        // a "W" that arrived elsewhere: the write goes again from
                                     // where it may have put data
constexpr int kActReadAnswer = 6;    // read what the bootloader answered to the line it got
constexpr int kActRestartWatch = 7;  // the bootloader may have jumped: the restart watch tells
constexpr int kActGiveUp = 8;        // the attempts or the budget are spent
constexpr int kActNewCommand = 9;    // the bootloader ended the exchange cleanly but what it
                                     // holds is in doubt: the step again, with no ESC needed
constexpr int kActReadBack = 10;     // the bootloader took a block whose echo differed in one
                                     // data character: the bytes under it are read back from
                                     // RAM; the block goes again (with no ESC needed) only
                                     // when they are not as sent or the echo differed otherwise

// What an outcome of a step leads to. Every action that repeats work is counted against the
// budget, and once the budget is spent it becomes kActGiveUp. Outcomes out of range give up.
int lineAction(int stepKind, int outcome);
// What the policy says of an outcome, nothing counted: for a routine that only looks ahead,
// or whose repeat its caller has counted already (kActGiveUp once the budget is spent).
int linePolicy(int stepKind, int outcome);

// The size the next Write-to-RAM or read block goes in, by the line's recent record, and that
// record: a block of so many bytes that came through, or one that the line spoilt.
std::uint32_t lineBlockSize();
void lineBlockCameThrough(std::uint32_t bytes);
void lineBlockSpoilt();

// A command the bootloader refused with its echo exact: the line as sent and the return code.
constexpr int kRefusedLineSize = 40;
constexpr int kRefusedCodeSize = 8;
struct t_LineRefusal {
  char line[kRefusedLineSize];
  char code[kRefusedCodeSize];
  bool fresh;  // noted by the exchange whose outcome is being judged now
};

// The budget's account, kept while an update runs.
struct t_LineBudget {
  bool running;
  std::uint32_t exchanges;  // exchanges made with the bootloader
  std::uint32_t repeated;   // work that had to be done again: asked again, resent, rewritten
  std::uint32_t spoilt;     // of those, repeats of an exchange that was answered (spoilt
                            // bytes, or a refusal that may be a spoilt "0")
  std::uint32_t silentRun;  // repeats in a row after which nothing at all had come back
  std::uint32_t refusedRun; // repeats in a row of a command refused, echo exact, same code
  bool refusedAlike;        // a run reached kRefusalsAlike, and since then nothing went
                            // through and no answer came spoilt
  std::uint32_t wastedMs;   // the time the exchanges that had to be repeated took
  std::uint32_t exchangeStartMs;
  bool exchangeWasted;      // the exchange under way is one that had to be repeated
  t_LineRefusal refusal;    // the last refusal noted
  t_LineRefusal refusedBy;  // the refusal that made refusedAlike
};
extern t_LineBudget lineBudget;
// Opens the account (the update starts) and closes it (the update has ended); both send the
// next block whole again.
void lineBudgetStart();
void lineBudgetEnd();
// One more exchange made.
void lineBudgetExchange();
// True while an update runs and its budget is spent.
bool lineBudgetSpent();
// True while an update runs, work had to be repeated, and the line was answering with spoilt
// bytes when it was last repeated: a step that gave up then gave up on a noisy line, not on a
// silent one nor on a bootloader that refuses.
bool lineBudgetNoisy();
// A refusal counts as the bootloader's own once the same command was refused this often in a
// row with the same code: a "0" spoilt into a code is not spoilt alike twice.
constexpr std::uint32_t kRefusalsAlike = 2;
// A command line sent and the return code the bootloader refused it with, its echo exact.
void lineBudgetRefusal(const char* line, const char* code);
// True when a command was refused alike kRefusalsAlike times in a row, its echo exact every
// time, and since then nothing went through and nothing came spoilt: the bootloader refuses,
// the line is sound (the commands after it, such as an Erase of sectors the refused Prepare
// left unprepared, may be refused otherwise). The command and code are in lineBudget.refusedBy.
bool lineBudgetRefused();
