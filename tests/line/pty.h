// A pseudo-terminal pair for line tests: the test plays the far end of the
// line on the master, the driver opens the slave by the name it expects
// ("pts/5", a device in /dev).
#pragma once

#include <cstddef>
#include <cstdint>

namespace ptytest {

struct Pty {
    int iMaster;      // the far end; -1 once closed
    int iSlave;       // kept open so the line stays up while the driver closes and reopens; -1 if not
    char szName[32];  // slave as the driver names it, e.g. "pts/5"
    char szPath[48];  // slave path, e.g. "/dev/pts/5"
};

// Opens a pair in raw mode. With bHoldSlave the helper keeps its own slave
// descriptor open (without it, a master read fails with EIO whenever no one
// has the slave open). Returns false (and errno) on failure.
bool PtyOpen(Pty *pPty, bool bHoldSlave = true);
// Closes whatever is still open; safe to call twice.
void PtyClose(Pty *pPty);
// Closes only the master: the line vanishes under the driver.
void PtyCloseMaster(Pty *pPty);

// Writes all bytes to the master; false on error.
bool PtyWrite(Pty *pPty, const void *pData, size_t n);
// Reads from the master until n bytes have arrived or iTimeoutMs has passed;
// returns the count read.
size_t PtyRead(Pty *pPty, void *pData, size_t n, int iTimeoutMs);
// Discards whatever the master has waiting.
void PtyDrain(Pty *pPty);

}  // namespace ptytest
