// SPDX-License-Identifier: GPL-3.0-or-later
// Pure helpers between the line settings record and a termios: no device is touched.
#pragma once

#include "platform/comm.h"

#include <sys/ioctl.h>
#include <termios.h>

namespace platform::detail {

// Raw 8-bit transfer: every input, output and local processing flag off, 8 data bits, no parity, one
// stop bit, receiver on, modem control lines ignored, reads that never wait in the kernel. The rate is
// kept.
void makeRaw(termios& t);

// The B… constant for a standard rate in bits per second, or B0 when there is none.
speed_t standardSpeed(DWORD rate);

// Edits `t` (made raw first) to carry the line settings of `dcb`; `speed` receives the standard
// constant for the rate, or B0 when the rate needs an arbitrary-rate call. Returns 0, or EINVAL for a
// setting this system cannot give exactly: such a setting is refused rather than replaced by a near one,
// and `refused` (when given) says which.
int applyDcb(const DCB& dcb, termios& t, speed_t& speed, LineSetting* refused = nullptr);

// The modem output lines (TIOCM_DTR, TIOCM_RTS) a record asks to raise and to drop. Under an RTS
// handshake RTS starts raised, ready to receive: the kernel only lowers it when its input queue fills
// and raises it when the queue drains, so an RTS left low from before would stop the far side for good.
// A DTR handshake is refused by applyDcb and drives nothing here.
struct ModemLineChange {
    int raise = 0;
    int drop = 0;
};
ModemLineChange modemLinesFor(const DCB& dcb);

// Whether `got` holds what `want` asks for, in every field the helpers above set (the rate aside).
bool sameSettings(const termios& want, const termios& got);

// The first line setting in which `got` differs from `want` (the rate aside): data bits, parity, stop
// bits, then flow control; Other for any other difference; None when they are the same.
LineSetting differingSetting(const termios& want, const termios& got);

} // namespace platform::detail
