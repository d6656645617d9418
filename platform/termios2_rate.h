// SPDX-License-Identifier: GPL-3.0-or-later
// Arbitrary line rates through the kernel's termios2 interface. Kept apart because the kernel's
// <asm/termbits.h> defines its own struct termios and cannot share a translation unit with <termios.h>.
#pragma once

namespace platform::detail {

// Sets output and input rate to `rate` bits per second, leaving every other setting as it is.
// Returns 0 or the errno of the failing call.
int setArbitraryRate(int fd, unsigned rate);

// Reads the output and input rates the device holds now, in bits per second, whether they were set
// through a standard constant or an arbitrary value. Returns 0 or the errno of the failing call.
int readRates(int fd, unsigned& outRate, unsigned& inRate);

} // namespace platform::detail
