#pragma once
// One copy of the program per port. Windows' serial drivers let one handle open a port at a
// time, but Wine and some virtual port drivers let a second open through, and a second copy's
// probe on a port would break the first copy's update there. So every copy takes a lock named
// after the port before it opens the device, and holds it until the port is closed.
//
// The lock is a mutex in the Global namespace: a port is one device for the whole machine,
// reached alike from every logon session (another user's, a remote desktop's). The system
// drops it with the last handle, so a copy that crashed or was killed leaves nothing behind.
// POSIX systems need none of this: the device's flock and its exclusive-use flag (TIOCEXCL)
// keep a second open out (serial_posix.cpp).
#include <windows.h>

// Results of portLockTake.
constexpr int kPortLockTaken = 1;  // *lock holds the port's lock until portLockRelease
constexpr int kPortLockBusy = 0;   // another copy has the port; the system's last error says so
constexpr int kPortLockNone = -1;  // no lock could be made: the port is used without one

// Takes the lock of COM port portNumber, without waiting; *lock is null unless it is taken.
int portLockTake(int portNumber, HANDLE* lock);
// Gives a held lock back and leaves *lock null; nothing when none is held.
void portLockRelease(HANDLE* lock);
