#pragma once
// The NXP ISP bootloader's simple commands, and the synchronisation that finds out whether
// the bootloader or the switch's own firmware answers.
#include <cstdint>

#include "isp/line_policy.h"

constexpr int kSyncNothing = 0;
constexpr int kSyncBootloader = 1;  // synchronised, echo on
constexpr int kSyncFirmware = 2;    // the switch's running firmware answered

// The character the current synchronisation attempt sends: '?' at 115200, '*' at 19200.
extern char probeChar;

int nxpSync();
// True when the last nxpSync found nothing it knows, though something answered: bytes came
// that were no answer of the bootloader's or the firmware's, or a handshake went wrong.
extern bool syncHeardSpoilt;
// Set Echo on ("A 1") to a bootloader whose echo is on: 1 when its echo came back as sent
// and it answered exactly "0".
int nxpEchoOn();

// Every command's echo is checked. Each routine returns the outcome of its last exchange
// (kExchange..., line_policy.h). The commands that change nothing in the chip (Unlock,
// Prepare, Compare, Read part identification) are sent again as the policy says; Copy and
// Erase are sent once: their callers decide what an exchange gone wrong means for the flash.
int nxpUnlock();
// Go: the jump is final, so a Go is sent again only while the bootloader is seen to be still
// there (a refusal, or an answer the line spoilt).
constexpr int kGoStarted = 0;           // echo as sent, answered "0"
constexpr int kGoNoAnswer = 1;          // no answer: the bootloader may jump before it answers
constexpr int kGoStartedOtherLine = 2;  // answered "0" to a line the echo shows otherwise
constexpr int kGoRefused = 3;           // refused in every attempt: the bootloader stays
constexpr int kGoLineError = 4;         // the answer was spoilt in every attempt
int nxpGo(std::uint32_t address);
int nxpPrepareSectors(std::uint8_t startSector, std::uint8_t endSector, std::uint8_t bank);
// Copy: when the echo shows another line received, the bootloader's answer to it is read
// into *answered (if given) as an exchange's outcome; otherwise *answered is the exchange's.
int nxpCopyRamToFlash(std::uint32_t flashAddress, std::uint32_t ramAddress, std::uint32_t count,
                      int* answered = nullptr);
// Erase, sent once, and then a blank check of the same sectors (asked again as the policy
// says): kExchangeOk only when both answered exactly "0"; a blank check that finds a word not
// erased is kExchangeRefused.
int nxpEraseSectors(std::uint8_t startSector, std::uint8_t endSector, std::uint8_t bank);
// Compare: equal only after two answers exactly "0" (asked kCompareAttempts times at most); a
// difference is believed at once.
constexpr int kCompareEqual = 0;
constexpr int kCompareFailed = 1;     // any answer but success or COMPARE_ERROR, or none
constexpr int kCompareDifferent = 2;  // COMPARE_ERROR (10): the two areas differ
int nxpCompare(std::uint32_t address1, std::uint32_t address2, std::uint32_t count);
// Both words (the first cut to its low 16 bits), asked again while the line spoils them;
// kPartIdUnread leaves both 0.
constexpr int kPartIdRead = 0;
constexpr int kPartIdUnread = 1;
int nxpReadPartId(std::uint32_t words[2]);
