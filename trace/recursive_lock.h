// A lock that the thread holding it may take again; released as often as it was taken.
#pragma once

#include <memory>

namespace velko {

class RecursiveLock {
  public:
    RecursiveLock();
    ~RecursiveLock();
    RecursiveLock(const RecursiveLock&) = delete;
    RecursiveLock& operator=(const RecursiveLock&) = delete;

    void lock();  // waits without a time limit
    void unlock();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace velko
