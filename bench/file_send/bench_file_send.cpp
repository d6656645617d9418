// SPDX-License-Identifier: GPL-3.0-or-later
// Sending a file: 16 MiB through FileSender (a piece per tick, sized to the output queue's room) into a
// pseudo-terminal whose far side is drained by a thread, against the driver's own blocking WriteData of
// the same bytes on the same kind of pair. Also the longest the event loop went without turning while
// the file went (what a user would feel as a frozen window).
//
// Last line: file send: sender <B/s>, driver <B/s>, ratio <r>, longest loop gap <ms> ms
#include "CPDrv.h"
#include "FileSender.h"
#include "pty_pair.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTemporaryFile>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <poll.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::size_t kTotal = 16u << 20;
using comlab::test::PtyPair;

std::string makePattern() {
    std::string s(kTotal, '\0');
    for (std::size_t i = 0; i < kTotal; ++i)
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

double senderRun(const QString& path, const std::string& data, std::size_t& arrived, qint64& longestGap) {
    PtyPair pty{PtyPair::Master::Blocking};
    TCommPortDriver drv;
    drv.setPortName(pty.slave());
    if (!pty.ok() || !drv.OpenPort())
        return 0;
    FileSender sender(&drv);
    QEventLoop loop;
    QObject::connect(&sender, &FileSender::finished, &loop, &QEventLoop::quit);
    // A 1 ms timer stands for the window: the longest wait between its ticks is how long the loop hung.
    QTimer probe;
    probe.setTimerType(Qt::PreciseTimer);
    QElapsedTimer sinceProbe;
    longestGap = 0;
    QObject::connect(&probe, &QTimer::timeout,
                     [&] { longestGap = std::max(longestGap, sinceProbe.restart()); });
    QElapsedTimer t;
    double secs = 0;
    {
        Drain drain(pty.master(), data);
        t.start();
        sinceProbe.start();
        probe.start(1);
        if (!sender.start(path, {}))
            return 0;
        loop.exec();
        probe.stop();
        while (drain.good() < kTotal && t.elapsed() < 60000)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        secs = double(t.nsecsElapsed()) / 1e9;
        arrived = drain.good();
        drv.ClosePort();
    }
    return double(arrived) / secs;
}

double driverRun(const std::string& data, std::size_t& arrived) {
    PtyPair pty{PtyPair::Master::Blocking};
    TCommPortDriver drv;
    drv.setPortName(pty.slave());
    if (!pty.ok() || !drv.OpenPort())
        return 0;
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
        drv.ClosePort();
    }
    return double(arrived) / secs;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const std::string data = makePattern();
    QTemporaryFile file;
    if (!file.open() || file.write(data.data(), qint64(data.size())) != qint64(data.size()) ||
        !file.flush()) {
        std::fprintf(stderr, "cannot write the file to send\n");
        return 1;
    }
    std::size_t viaSender = 0;
    std::size_t viaDriver = 0;
    qint64 gap = 0;
    const double sender = senderRun(file.fileName(), data, viaSender, gap);
    const double driver = driverRun(data, viaDriver);
    if (viaSender != kTotal || viaDriver != kTotal)
        std::fprintf(stderr, "arrived intact: sender %zu, driver %zu of %zu\n", viaSender, viaDriver, kTotal);
    std::printf("file send: sender %.0f B/s, driver %.0f B/s, ratio %.3f, longest loop gap %lld ms\n", sender,
                driver, driver > 0 ? sender / driver : 0.0, static_cast<long long>(gap));
    return viaSender == kTotal && viaDriver == kTotal ? 0 : 1;
}
