// What the POSIX line implementations share: the monotonic clock and a read bounded by the
// port's time limits, for terminals and sockets alike.
#pragma once

#include <cstdint>
#include <string>

#include "link/platform.h"

namespace velko {

uint64_t monotonicMs();

// The system's text of an errno value as the rest of a phrase: "connection timed out".
std::string errorText(int error);

// The reading end of a non-blocking terminal or socket. Each system call takes whatever the
// line holds and later reads are served from that first: frames are read a byte at a time,
// and a system call per byte would cost more than the rest of the job.
class LineReader {
  public:
    explicit LineReader(int fd) : fd_(fd) {}

    // Reads up to `count` bytes into `buf`: returns when all arrived or when the time limits
    // of `limits` passed (true, with fewer in `got`), sleeping in poll meanwhile; false when
    // the read failed or the other end hung up.
    bool read(const Timeouts& limits, void* buf, uint32_t count, uint32_t* got);

    // Throws away what was read ahead and not taken yet. A socket is also read without waiting
    // until it holds nothing more (a terminal is flushed by its owner instead); false when that
    // read failed or the other end closed the connection.
    bool discard(bool socket);

  private:
    int fd_;
    unsigned char ahead_[256];
    uint32_t head_ = 0, tail_ = 0;  // ahead_[head_, tail_) arrived but is not read yet
};

// Writes all `count` bytes to the non-blocking `fd`, waiting in poll while it is full; false
// when a write failed. `send` flags apply to sockets (0 for terminals).
bool writeAll(int fd, const void* buf, uint32_t count, uint32_t* written, bool socket);

}  // namespace velko
