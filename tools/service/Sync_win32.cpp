#include <windows.h>

#include "Sync.h"

namespace rd::service {
namespace {

static_assert(sizeof(SRWLOCK) == sizeof(void*) && sizeof(CONDITION_VARIABLE) == sizeof(void*));

PSRWLOCK Srw(void*& storage) { return reinterpret_cast<PSRWLOCK>(&storage); }
PCONDITION_VARIABLE Cv(void*& storage) { return reinterpret_cast<PCONDITION_VARIABLE>(&storage); }

}  // namespace

void Mutex::lock() noexcept { AcquireSRWLockExclusive(Srw(lock_)); }
bool Mutex::try_lock() noexcept { return TryAcquireSRWLockExclusive(Srw(lock_)) != 0; }
void Mutex::unlock() noexcept { ReleaseSRWLockExclusive(Srw(lock_)); }

void Condition::notify_one() noexcept { WakeConditionVariable(Cv(condition_)); }
void Condition::notify_all() noexcept { WakeAllConditionVariable(Cv(condition_)); }

// A timed-out or spurious wake-up returns as well: the caller tests again.
void Condition::Wait(Mutex& mutex, std::uint32_t ms) noexcept {
  SleepConditionVariableSRW(Cv(condition_), Srw(mutex.lock_), ms, 0);
}

}  // namespace rd::service
