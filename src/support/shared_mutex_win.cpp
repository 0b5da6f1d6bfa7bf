#include <windows.h>

#include "support/shared_mutex.h"

namespace Veltrix {

static_assert(sizeof(SRWLOCK) == sizeof(void*), "SRWLOCK is one pointer");

namespace {
PSRWLOCK Srw(void** state) { return reinterpret_cast<PSRWLOCK>(state); }
}  // namespace

void SharedMutex::lock() { AcquireSRWLockExclusive(Srw(&state_)); }
bool SharedMutex::try_lock() { return TryAcquireSRWLockExclusive(Srw(&state_)) != 0; }
void SharedMutex::unlock() { ReleaseSRWLockExclusive(Srw(&state_)); }
void SharedMutex::lock_shared() { AcquireSRWLockShared(Srw(&state_)); }
bool SharedMutex::try_lock_shared() { return TryAcquireSRWLockShared(Srw(&state_)) != 0; }
void SharedMutex::unlock_shared() { ReleaseSRWLockShared(Srw(&state_)); }

}  // namespace Veltrix
