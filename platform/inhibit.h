// Keeping the host awake while the module is being programmed: a sleep or shutdown half-way
// through a download leaves the module without firmware.
#pragma once

#include "platform/types.h"

// Takes a logind inhibitor lock against sleep and shutdown (blocking mode) in the name of
// "V-MOD VersionUp Tool" with why as the reason the desktop shows. TRUE while one is held;
// FALSE when there is no logind (a container, CI) or it refused: the caller goes on either way.
// A second call while one is held keeps the first lock and returns TRUE.
BOOL HostInhibitSleepBegin(LPCWSTR why);
// Releases the lock, waiting until logind has let go, so that a reboot asked for next is not
// held back by it. Safe when none is held; the lock also ends with the process.
void HostInhibitSleepEnd();
