#pragma once
// The update's named results in the support log. Each returns the result it is given, so that
// a call can be wrapped; each does nothing while no log is open.

// queryTable's result (kTable...).
int updateLogTableCheck(int result);
// reboot's result (kReboot..., or queryTable's).
int updateLogRestart(int result);
// updateFirmware's result (kUpdate...).
int updateLogResult(int result);
// The update's budget spent: repeated of exchanges had to be repeated.
void updateLogBudget(unsigned repeated, unsigned exchanges);
// A step the bootloader refused alike every time: the command line and its return code.
void updateLogRefusal(const char* line, const char* code);
// A synchronisation that heard answers, none of them one it knows.
void updateLogNoisySync();
// The identity the switch's flash holds, read before the erase (readFlashIdentity's result).
void updateLogFlashIdentity(int result, unsigned model, unsigned pcbRevision, bool crcSound);
