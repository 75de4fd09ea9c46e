// Kept apart from the rest of the POSIX layer: the kernel's termios2 and the C library's
// <termios.h> define the same names and cannot share a file.
#include "link/posix_baud.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept;

namespace velko {

bool setAnyBaud(int fd, uint32_t baud) {
    struct termios2 tio {};
    if (baud == 0 || ioctl(fd, TCGETS2, &tio) != 0) return false;
    tio.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    tio.c_ispeed = tio.c_ospeed = baud;
    if (ioctl(fd, TCSETS2, &tio) != 0 || ioctl(fd, TCGETS2, &tio) != 0) return false;
    // A UART makes the nearest rate its clock divides to; within 3 % both ends still agree on
    // every bit of a ten-bit character.
    const uint64_t got = tio.c_ospeed;
    return got * 100 >= uint64_t(baud) * 97 && got * 100 <= uint64_t(baud) * 103;
}

uint32_t terminalBaud(int fd) {
    struct termios2 tio {};
    if (ioctl(fd, TCGETS2, &tio) != 0) return 0;
    return tio.c_ospeed;
}

}  // namespace velko
