// Baud rates outside the classic termios table, set through the kernel's termios2.
#pragma once

#include <cstdint>

namespace velko {

// Sets input and output to `baud` on the open terminal `fd`, leaving every other setting as
// it is; false when the driver refuses it or can only come close by more than 3 %.
bool setAnyBaud(int fd, uint32_t baud);

// The output rate the open terminal `fd` is set to, whichever way it was set; 0 when it
// cannot be read.
uint32_t terminalBaud(int fd);

}  // namespace velko
