#include <mutex>

#include "trace/recursive_lock.h"

namespace velko {

struct RecursiveLock::Impl {
    std::recursive_mutex mutex;
};

RecursiveLock::RecursiveLock() : impl_(new Impl) {}
RecursiveLock::~RecursiveLock() = default;
void RecursiveLock::lock() {
    impl_->mutex.lock();
}
void RecursiveLock::unlock() {
    impl_->mutex.unlock();
}

}  // namespace velko
