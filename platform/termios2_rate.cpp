// SPDX-License-Identifier: GPL-3.0-or-later
#include "termios2_rate.h"

#include <asm/termbits.h>
#include <cerrno>
#include <sys/ioctl.h>

namespace platform::detail {

int setArbitraryRate(int fd, unsigned rate) {
    termios2 t{};
    if (ioctl(fd, TCGETS2, &t) != 0)
        return errno;
    t.c_cflag &= ~tcflag_t(CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    t.c_ospeed = rate;
    t.c_ispeed = rate;
    if (ioctl(fd, TCSETS2, &t) != 0)
        return errno;
    return 0;
}

int readRates(int fd, unsigned& outRate, unsigned& inRate) {
    termios2 t{};
    if (ioctl(fd, TCGETS2, &t) != 0)
        return errno;
    outRate = t.c_ospeed;
    inRate = t.c_ispeed;
    return 0;
}

} // namespace platform::detail
