#pragma once
// The NXP ISP bootloader's simple commands, and the synchronisation that finds out whether
// the bootloader or the switch's own firmware answers.
#include <cstdint>

constexpr int kSyncNothing = 0;
constexpr int kSyncBootloader = 1;  // synchronised, echo on
constexpr int kSyncFirmware = 2;    // the switch's running firmware answered

// The character the current synchronisation attempt sends: '?' at 115200, '*' at 19200.
extern char probeChar;

int nxpSync();
// Set Echo on ("A 1"), whether the echo was on or off; 1 when the bootloader answered "0".
int nxpEchoOn();

// Every command's echo is checked. The commands that change nothing in flash (Unlock, Prepare,
// Compare, Read part identification, a Go that was refused) are sent again, a few times, when
// the echo or the reply shows a line error. Copy and Erase are sent once: their callers decide
// what an exchange gone wrong means for the flash.
constexpr int kCommandOk = 0;
constexpr int kCommandRefused = 1;    // the bootloader received the line and refused it
constexpr int kCommandLineError = 3;  // the echo differed, or the reply was lost or garbled
int nxpUnlock();
int nxpGo(std::uint32_t address);
int nxpPrepareSectors(std::uint8_t startSector, std::uint8_t endSector, std::uint8_t bank);
int nxpCopyRamToFlash(std::uint32_t flashAddress, std::uint32_t ramAddress, std::uint32_t count);
int nxpEraseSectors(std::uint8_t startSector, std::uint8_t endSector, std::uint8_t bank);
constexpr int kCompareEqual = 0;
constexpr int kCompareFailed = 1;     // any answer but success or COMPARE_ERROR, or none
constexpr int kCompareDifferent = 2;  // COMPARE_ERROR (10): the two areas differ
int nxpCompare(std::uint32_t address1, std::uint32_t address2, std::uint32_t count);
int nxpReadPartId(std::uint32_t words[2]);
