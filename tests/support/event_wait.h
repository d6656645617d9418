// SPDX-License-Identifier: GPL-3.0-or-later
// Waiting with the Qt event loop running, and the CPU time this process spent meanwhile.
#pragma once

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <ctime>

namespace comlab::test {

// Runs the event loop for `ms` without spinning, so the process's CPU time is what the code under test
// spent.
inline void pump(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// Runs the event loop until done() or the deadline; false on the deadline.
template <typename F> bool runUntil(F done, int ms, int stepMs = 20) {
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > ms)
            return false;
        pump(stepMs);
    }
    return true;
}

// User and system CPU time of this process, in seconds.
inline double cpuSeconds() {
    timespec ts{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

} // namespace comlab::test
