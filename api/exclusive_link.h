// Runs one job at a time on a link. A call that arrives while a job runs, from a callback or
// another thread, is turned away as if another program held the port, instead of tearing the
// port from under the running job.
#pragma once

#include <atomic>

#include "link/velko_comm.h"

namespace velko {

class ExclusiveLink {
  public:
    explicit ExclusiveLink(VELKOComm& link) : link_(link) {}

    // Runs job(link), then closes the port whatever the job returned.
    template <class Job>
    int32_t run(Job&& job) {
        if (busy_.test_and_set(std::memory_order_acquire)) return VELKO_ERR_OPEN;
        const int32_t rc = job(link_);
        link_.close();
        busy_.clear(std::memory_order_release);
        return rc;
    }

  private:
    VELKOComm& link_;
    std::atomic_flag busy_ = ATOMIC_FLAG_INIT;
};

}  // namespace velko
