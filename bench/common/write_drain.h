// SPDX-License-Identifier: GPL-3.0-or-later
// What the write benchmarks share: a 16 MiB pattern, a thread that drains the far side of a
// pseudo-terminal and counts what arrived intact, and the driver's own blocking WriteData of the
// pattern as a measure to compare with.
#pragma once

#include "CPDrv.h"
#include "pty_pair.h"

#include <QElapsedTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <poll.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace comlab::bench {

inline constexpr std::size_t kWriteTotal = 16u << 20;

inline std::string writePattern() {
    std::string s(kWriteTotal, '\0');
    for (std::size_t i = 0; i < kWriteTotal; ++i)
        s[i] = char((i * 167 + (i >> 13)) & 0xff);
    return s;
}

// Reads the far side until everything came (or nothing comes for a while); counts the bytes that match.
class Drain {
public:
    Drain(int fd, const std::string& expected) : m_thread([this, fd, &expected] { run(fd, expected); }) {}
    ~Drain() { m_thread.join(); }
    Drain(const Drain&) = delete;
    Drain& operator=(const Drain&) = delete;
    std::size_t good() const { return m_good.load(); }

private:
    void run(int fd, const std::string& expected) {
        std::vector<char> buf(1 << 16);
        std::size_t at = 0;
        bool intact = true;
        while (at < expected.size()) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 5000) <= 0)
                break;
            const ssize_t r = ::read(fd, buf.data(), buf.size());
            if (r <= 0)
                break;
            for (ssize_t i = 0; i < r && at + std::size_t(i) < expected.size(); ++i)
                intact = intact && buf[std::size_t(i)] == expected[at + std::size_t(i)];
            at += std::size_t(r);
            if (intact)
                m_good.store(std::min(at, expected.size()));
        }
    }
    std::atomic<std::size_t> m_good{0};
    std::thread m_thread;
};

// The driver's WriteData of `data` into a fresh pair: bytes per second, and how many arrived intact.
inline double driverWriteRate(const std::string& data, std::size_t& arrived) {
    comlab::test::PtyPair pty{comlab::test::PtyPair::Master::Blocking};
    if (!pty.ok())
        return 0;
    TCommPortDriver drv;
    drv.setPortName(pty.slave());
    if (!drv.OpenPort()) {
        std::fprintf(stderr, "cannot open %s\n", pty.slave().c_str());
        return 0;
    }
    QElapsedTimer t;
    double secs = 0;
    {
        Drain drain(pty.master(), data);
        t.start();
        const DWORD written = drv.WriteData(data.data(), DWORD(data.size()));
        while (drain.good() < written && t.elapsed() < 60000)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        secs = double(t.nsecsElapsed()) / 1e9;
        arrived = drain.good();
        drv.ClosePort(); // lets a stalled drain see the end
    }
    return double(arrived) / secs;
}

} // namespace comlab::bench
