// What the POSIX line implementations share: the monotonic clock and a read bounded by the
// port's time limits, for terminals and sockets alike.
#pragma once

#include <cstdint>

#include "link/platform.h"

namespace velko {

uint64_t monotonicMs();

// Reads up to `count` bytes from the non-blocking `fd` into `buf`: returns when all arrived or
// when the time limits of `limits` passed (true, with fewer in `got`), sleeping in poll
// meanwhile; false when the read failed or the other end hung up.
bool readWithin(int fd, const Timeouts& limits, void* buf, uint32_t count, uint32_t* got);

// Writes all `count` bytes to the non-blocking `fd`, waiting in poll while it is full; false
// when a write failed. `send` flags apply to sockets (0 for terminals).
bool writeAll(int fd, const void* buf, uint32_t count, uint32_t* written, bool socket);

}  // namespace velko
