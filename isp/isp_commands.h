#pragma once
// The NXP ISP bootloader's simple commands, and the synchronisation that finds out whether
// the bootloader or the switch's own firmware answers.
#include <cstdint>

constexpr int kSyncNothing = 0;
constexpr int kSyncBootloader = 1;  // synchronised, echo off
constexpr int kSyncFirmware = 2;    // the switch's running firmware answered

// The character the current synchronisation attempt sends: '?' at 115200, '*' at 19200.
extern char probeChar;

int nxpSync();
// Set Echo off ("A 0"); 1 when the bootloader answered "0".
int nxpEchoOff();
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
