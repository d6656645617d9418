// SPDX-License-Identifier: GPL-3.0-or-later
// Receive throughput on pseudo-terminals, two figures.
//
// receive: 2 MiB sent from the far side, taken in by the driver (PollingDelay 50, InBufSize 2048) and, at
// the same time, by a bare loop that polls the way a driver without an input queue of its own would: every
// 50 ms ask how much waits, then read it into an 8192-byte buffer. That loop is bound by the 4095 bytes the
// line discipline holds per poll; the ratio shows what the port's own input queue gains.
//
// burst: the far side writes 2 MiB as fast as the pseudo-terminal takes it, into the driver with the same
// settings and, in alternate rounds, into a bare loop that waits in poll() and reads 64 KiB at a time, the
// fastest a program can take a terminal's input. A round's rate is the 2 MiB over the time from the first
// write to the last byte handed over; the driver's rounds start the far side at spread phases of its poll
// period, as a device would, so they include the wait for the next tick. A third kind of round shows the
// port's input queue alone: one ReadFile of 2 MiB that waits until all of it is queued. Rates are totals
// over all rounds; lost counts the driver's and the queue's rounds.
//
// Last lines: receive: driver <B/s>, bare <B/s>, ratio <r>, lost <n>
//             burst: driver <KiB/s> KiB/s, queue <KiB/s> KiB/s, bare <KiB/s> KiB/s, ratio <r>, lost <n>
#include "CPDrv.h"
#include "pty_pair.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::size_t kTotal = 2u << 20;
constexpr int kPollMs = 50;
constexpr qint64 kStallMs = 10000; // no progress for this long ends a run

// Pairs whose far side blocks, like a device that simply waits on the line.
using comlab::test::PtyPair;

std::string makePattern() {
    std::string s(kTotal, '\0');
    for (std::size_t i = 0; i < kTotal; ++i)
        s[i] = char((i * 131 + (i >> 11)) & 0xff);
    return s;
}

// Bytes of `got` that do not match the start of `sent`, plus what never came.
std::size_t lostBytes(const std::string& sent, const std::string& got) {
    std::size_t same = 0;
    while (same < got.size() && same < sent.size() && got[same] == sent[same])
        ++same;
    return sent.size() - same;
}

// The bare receiver: the same poll as the driver's, with nothing around it.
class BareReceiver {
public:
    explicit BareReceiver(const std::string& path) {
        m_fd = comlab::test::openRaw(path);
        if (m_fd < 0)
            return;
        m_timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { poll(); });
    }
    ~BareReceiver() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    BareReceiver(const BareReceiver&) = delete;
    BareReceiver& operator=(const BareReceiver&) = delete;

    bool ok() const { return m_fd >= 0; }
    void start() { m_timer.start(kPollMs); }
    void stop() { m_timer.stop(); }
    std::function<void(const char*, std::size_t)> onData;

private:
    void poll() {
        int waiting = 0;
        if (ioctl(m_fd, TIOCINQ, &waiting) != 0 || waiting <= 0)
            return;
        const ssize_t r = ::read(m_fd, m_buf, std::min<std::size_t>(std::size_t(waiting), sizeof m_buf));
        if (r > 0 && onData)
            onData(m_buf, std::size_t(r));
    }
    int m_fd = -1;
    QTimer m_timer;
    char m_buf[8192];
};

// What one receiver got and when it had everything.
struct Tally {
    std::string got;
    qint64 doneNs = 0;
    void add(const char* p, std::size_t n, const QElapsedTimer& clock) {
        got.append(p, n);
        if (got.size() >= kTotal && doneNs == 0)
            doneNs = clock.nsecsElapsed();
    }
    double rate(const QElapsedTimer& clock) const {
        const qint64 ns = doneNs ? doneNs : clock.nsecsElapsed();
        return ns > 0 ? double(got.size()) / (double(ns) / 1e9) : 0.0;
    }
};

constexpr int kBurstRounds = 5;

// One burst round through the driver: the far side starts `phaseMs` into the driver's poll period.
// Returns the seconds until the last byte was handed over, or a negative value on failure.
double driverBurst(const std::string& sent, int phaseMs, std::string& got) {
    PtyPair pty{PtyPair::Master::Blocking};
    TCommPortDriver drv;
    drv.setPortName(pty.slave());
    drv.setPollingDelay(kPollMs);
    drv.setInBufSize(2048);
    QElapsedTimer clock;
    qint64 doneNs = 0;
    got.clear();
    drv.setOnReceiveData([&](QObject*, void* p, DWORD n) {
        got.append(static_cast<const char*>(p), n);
        if (got.size() >= sent.size() && doneNs == 0)
            doneNs = clock.nsecsElapsed();
    });
    if (!pty.ok() || !drv.OpenPort())
        return -1;
    // The poll timer started with the open; its first tick comes a period later.
    QEventLoop wait;
    QTimer::singleShot(phaseMs, Qt::PreciseTimer, &wait, &QEventLoop::quit);
    wait.exec();
    clock.start();
    std::thread feeder(comlab::test::writeAll, pty.master(), std::cref(sent));
    QElapsedTimer stall;
    stall.start();
    std::size_t last = 0;
    while (got.size() < sent.size() && stall.elapsed() < kStallMs) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        if (got.size() != last) {
            last = got.size();
            stall.restart();
        }
    }
    const double seconds = double(doneNs ? doneNs : clock.nsecsElapsed()) / 1e9;
    drv.ClosePort();
    ::tcflush(pty.master(), TCIOFLUSH);
    feeder.join();
    return seconds;
}

// One burst round through the port's input queue alone: a read that waits for all of it.
double queueBurst(const std::string& sent, std::string& got) {
    PtyPair pty{PtyPair::Master::Blocking};
    if (!pty.ok())
        return -1;
    const HANDLE h = CreateFileA(pty.slave().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return -1;
    COMMTIMEOUTS waitForAll{0, 0, DWORD(kStallMs), 0, 0};
    SetCommTimeouts(h, &waitForAll);
    got.assign(sent.size(), '\0');
    QElapsedTimer clock;
    clock.start();
    std::thread feeder(comlab::test::writeAll, pty.master(), std::cref(sent));
    DWORD n = 0;
    ReadFile(h, got.data(), DWORD(got.size()), &n, nullptr);
    const double seconds = double(clock.nsecsElapsed()) / 1e9;
    got.resize(n);
    ::tcflush(pty.master(), TCIOFLUSH);
    feeder.join();
    CloseHandle(h);
    return seconds;
}

// One burst round through a bare loop: poll(), then read what is there, 64 KiB at a time.
double bareBurst(const std::string& sent, std::string& got) {
    PtyPair pty{PtyPair::Master::Blocking};
    if (!pty.ok())
        return -1;
    const int fd = comlab::test::openRaw(pty.slave());
    if (fd < 0)
        return -1;
    got.clear();
    std::vector<char> buf(64 * 1024);
    QElapsedTimer clock;
    clock.start();
    std::thread feeder(comlab::test::writeAll, pty.master(), std::cref(sent));
    while (got.size() < sent.size()) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, int(kStallMs)) <= 0 || (p.revents & (POLLHUP | POLLERR)))
            break;
        const ssize_t r = ::read(fd, buf.data(), buf.size());
        if (r > 0)
            got.append(buf.data(), std::size_t(r));
    }
    const double seconds = double(clock.nsecsElapsed()) / 1e9;
    ::tcflush(pty.master(), TCIOFLUSH);
    feeder.join();
    ::close(fd);
    return seconds;
}

// The burst figure: driver and bare rounds alternate, so the noise of a shared machine falls on both.
// Returns the bytes the driver lost.
std::size_t burst(const std::string& sent) {
    double driverSeconds = 0;
    double queueSeconds = 0;
    double bareSeconds = 0;
    std::size_t lost = 0;
    std::size_t bareLost = 0;
    std::string got;
    got.reserve(sent.size());
    for (int round = 0; round < kBurstRounds; ++round) {
        const double b = bareBurst(sent, got);
        bareLost += lostBytes(sent, got);
        const double q = queueBurst(sent, got);
        lost += lostBytes(sent, got);
        const double d = driverBurst(sent, kPollMs * (2 * round + 1) / (2 * kBurstRounds), got);
        lost += lostBytes(sent, got);
        if (b < 0 || q < 0 || d < 0) {
            std::fprintf(stderr, "burst: cannot open the pseudo-terminals\n");
            return sent.size();
        }
        bareSeconds += b;
        queueSeconds += q;
        driverSeconds += d;
    }
    const double kib = double(sent.size()) * kBurstRounds / 1024.0;
    const double driverRate = kib / driverSeconds;
    const double bareRate = kib / bareSeconds;
    if (bareLost != 0)
        std::fprintf(stderr, "burst: bare loop lost %zu bytes\n", bareLost);
    std::printf("burst: driver %.0f KiB/s, queue %.0f KiB/s, bare %.0f KiB/s, ratio %.3f, lost %zu\n",
                driverRate, kib / queueSeconds, bareRate, driverRate / bareRate, lost);
    return lost;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const std::string sent = makePattern();

    // Both receivers run side by side in one event loop, each fed by its own thread through its own
    // pair, so the noise of a shared machine falls on both alike.
    PtyPair driverPty{PtyPair::Master::Blocking};
    PtyPair barePty{PtyPair::Master::Blocking};
    if (!driverPty.ok() || !barePty.ok()) {
        std::fprintf(stderr, "no pseudo-terminals\n");
        return 2;
    }
    QElapsedTimer clock;
    Tally viaDriver;
    Tally viaBare;
    viaDriver.got.reserve(kTotal);
    viaBare.got.reserve(kTotal);

    TCommPortDriver drv;
    drv.setPortName(driverPty.slave());
    drv.setPollingDelay(kPollMs);
    drv.setInBufSize(2048);
    drv.setOnReceiveData(
        [&](QObject*, void* p, DWORD n) { viaDriver.add(static_cast<const char*>(p), n, clock); });
    BareReceiver bare(barePty.slave());
    bare.onData = [&](const char* p, std::size_t n) { viaBare.add(p, n, clock); };
    if (!bare.ok() || !drv.OpenPort()) {
        std::fprintf(stderr, "cannot open the pseudo-terminals\n");
        return 2;
    }
    bare.start();
    clock.start();
    std::thread driverFeed(comlab::test::writeAll, driverPty.master(), std::cref(sent));
    std::thread bareFeed(comlab::test::writeAll, barePty.master(), std::cref(sent));

    QElapsedTimer stall;
    stall.start();
    std::size_t last = 0;
    while ((viaDriver.got.size() < kTotal || viaBare.got.size() < kTotal) && stall.elapsed() < kStallMs) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents); // the poll timers wake it
        const std::size_t now = viaDriver.got.size() + viaBare.got.size();
        if (now != last) {
            last = now;
            stall.restart();
        }
    }
    drv.ClosePort();
    bare.stop();
    const double driverRate = viaDriver.rate(clock);
    const double bareRate = viaBare.rate(clock);
    // Unblock a feeder that is still waiting on a full pair.
    ::tcflush(driverPty.master(), TCIOFLUSH);
    ::tcflush(barePty.master(), TCIOFLUSH);
    driverFeed.join();
    bareFeed.join();

    const std::size_t lost = lostBytes(sent, viaDriver.got);
    if (lostBytes(sent, viaBare.got) != 0)
        std::fprintf(stderr, "bare loop lost %zu bytes\n", lostBytes(sent, viaBare.got));
    std::printf("receive: driver %.0f B/s, bare %.0f B/s, ratio %.3f, lost %zu\n", driverRate, bareRate,
                bareRate > 0 ? driverRate / bareRate : 0.0, lost);
    std::fflush(stdout);

    const std::size_t burstLost = burst(sent);
    return lost == 0 && burstLost == 0 ? 0 : 1;
}
