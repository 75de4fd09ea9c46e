// A Windows mutex: re-entrant for its owner, waited for without a time limit.
#include <windows.h>

#include "trace/recursive_lock.h"

namespace velko {

struct RecursiveLock::Impl {
    HANDLE mutex = CreateMutexA(nullptr, FALSE, nullptr);
    ~Impl() {
        if (mutex) CloseHandle(mutex);
    }
};

RecursiveLock::RecursiveLock() : impl_(new Impl) {}
RecursiveLock::~RecursiveLock() = default;
void RecursiveLock::lock() {
    WaitForSingleObject(impl_->mutex, INFINITE);
}
void RecursiveLock::unlock() {
    ReleaseMutex(impl_->mutex);
}

}  // namespace velko
