#include <windows.h>

#include "platform/Lock.h"

static_assert(sizeof(SRWLOCK) == sizeof(void*), "SRWLOCK is one pointer");

void Lock::Acquire() { AcquireSRWLockExclusive(reinterpret_cast<PSRWLOCK>(&srwLock)); }
void Lock::Release() { ReleaseSRWLockExclusive(reinterpret_cast<PSRWLOCK>(&srwLock)); }
