// What happens to jobs and devices, for the clients that listen (Server-Sent Events): each
// event gets the next number, and the last ones are kept so that a client that reconnects with
// the number it saw last misses nothing that is still kept.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace velko::serve {

struct Event {
    uint64_t id = 0;
    std::string type;  // "job", "device"
    std::string data;  // JSON
};

class EventHub {
  public:
    void publish(std::string type, std::string data) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            kept_.push_back({++last_, std::move(type), std::move(data)});
            if (kept_.size() > kKept) kept_.pop_front();
        }
        arrived_.notify_all();
    }

    // The events after `after`, waiting up to `wait` for one; none when the wait ended first
    // or the hub closed.
    std::vector<Event> after(uint64_t after, std::chrono::milliseconds wait) {
        std::unique_lock<std::mutex> lock(mutex_);
        arrived_.wait_for(lock, wait, [&] { return closed_ || last_ > after; });
        // Numbers are consecutive: the events after `after` are the tail of what is kept.
        std::vector<Event> out;
        const uint64_t first = kept_.empty() ? last_ + 1 : kept_.front().id;
        const size_t from = after < first ? 0 : size_t(after - first + 1);
        if (from < kept_.size()) out.assign(kept_.begin() + long(from), kept_.end());
        return out;
    }

    uint64_t last() {
        std::lock_guard<std::mutex> lock(mutex_);
        return last_;
    }

    // Wakes every listener for good: the service is stopping.
    void close() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            closed_ = true;
        }
        arrived_.notify_all();
    }
    bool closed() {
        std::lock_guard<std::mutex> lock(mutex_);
        return closed_;
    }

  private:
    static constexpr size_t kKept = 1000;
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<Event> kept_;
    uint64_t last_ = 0;
    bool closed_ = false;
};

}  // namespace velko::serve
