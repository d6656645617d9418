// SPDX-License-Identifier: GPL-3.0-or-later
// Reply timing: how long a request-and-reply exchange takes through the driver's 50 ms poll.
//
// The far side is a device that answers each request byte after a turnaround of 32 to 38 ms, in three
// pieces 2 ms apart. The port side sends the next request as soon as the whole reply was handed over.
// With a poll every 50 ms the best an exchange can take is one poll period; a reply split over two
// polls takes two. Side by side, in the same run and on a pair of its own, the baseline: a bare loop
// that polls the terminal every 50 ms and reads what waits there, as a driver without an input queue of
// its own would. Also printed: the CPU the whole process used, per second of exchanges.
//
// Usage: bench_reply [EXCHANGES]   (default 100)
// Last line: reply: driver median <ms> ms (<n> of <N> over 75 ms), bare median <ms> ms (<n> over 75 ms),
//            cpu <pct> %
#include "CPDrv.h"
#include "pty_pair.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <poll.h>
#include <random>
#include <string>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kPollMs = 50;
const std::string kPieces[3] = {"+CSQ: 21,99\r\n", "\r\n", "OK\r\n"};
const std::size_t kReplySize = kPieces[0].size() + kPieces[1].size() + kPieces[2].size();

// The device: answers every request byte, until the line hangs up or `stop` is set.
void device(int fd, const std::atomic<bool>& stop, unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> turnaround(32, 38);
    while (!stop) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0)
            continue;
        char c;
        if (::read(fd, &c, 1) != 1)
            return;
        ::poll(nullptr, 0, turnaround(random));
        for (int i = 0; i < 3; ++i) {
            if (i > 0)
                ::poll(nullptr, 0, 2);
            if (::write(fd, kPieces[i].data(), kPieces[i].size()) < 0)
                return;
        }
    }
}

// One side's exchanges: the time of each, from the request to the whole reply.
struct Exchanges {
    std::vector<double> ms;
    std::size_t got = 0;
    QElapsedTimer since;
    double median() const {
        if (ms.empty())
            return 0;
        std::vector<double> s = ms;
        std::nth_element(s.begin(), s.begin() + std::ptrdiff_t(s.size() / 2), s.end());
        return s[s.size() / 2];
    }
    std::size_t over(double limit) const {
        return std::size_t(std::count_if(ms.begin(), ms.end(), [limit](double m) { return m > limit; }));
    }
    // Counts bytes; true when a reply is complete (and then timed).
    bool add(std::size_t n) {
        got += n;
        if (got < kReplySize)
            return false;
        got = 0;
        ms.push_back(double(since.nsecsElapsed()) / 1e6);
        return true;
    }
};

double cpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int total = argc > 1 ? std::max(1, std::atoi(argv[1])) : 100;

    comlab::test::PtyPair driverPair(comlab::test::PtyPair::Master::Blocking);
    comlab::test::PtyPair barePair(comlab::test::PtyPair::Master::Blocking);
    if (!driverPair.ok() || !barePair.ok()) {
        std::fprintf(stderr, "no pseudo-terminal\n");
        return 2;
    }
    for (int fd : {driverPair.master(), barePair.master()}) {
        termios t{};
        tcgetattr(fd, &t);
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
    }
    std::atomic<bool> stop{false};
    std::thread driverDevice(device, driverPair.master(), std::cref(stop), 1u);
    std::thread bareDevice(device, barePair.master(), std::cref(stop), 2u);

    TCommPortDriver drv;
    drv.setPortName(driverPair.slave());
    drv.setPollingDelay(kPollMs);
    Exchanges viaDriver;
    drv.setOnReceiveData([&](QObject*, void*, DWORD n) {
        if (viaDriver.add(n) && int(viaDriver.ms.size()) < total) {
            viaDriver.since.restart();
            drv.WriteByte('Q');
        }
    });
    if (!drv.OpenPort()) {
        std::fprintf(stderr, "cannot open %s\n", driverPair.slave().c_str());
        return 2;
    }

    const int bare = comlab::test::openRaw(barePair.slave());
    if (bare < 0) {
        std::fprintf(stderr, "cannot open %s\n", barePair.slave().c_str());
        return 2;
    }
    Exchanges viaBare;
    QTimer bareTick;
    bareTick.setTimerType(Qt::PreciseTimer);
    QObject::connect(&bareTick, &QTimer::timeout, [&] {
        int waiting = 0;
        if (ioctl(bare, TIOCINQ, &waiting) != 0 || waiting <= 0)
            return;
        char buf[4096];
        const ssize_t r = ::read(bare, buf, sizeof buf);
        if (r > 0 && viaBare.add(std::size_t(r)) && int(viaBare.ms.size()) < total) {
            viaBare.since.restart();
            [[maybe_unused]] const ssize_t w = ::write(bare, "Q", 1);
        }
    });
    bareTick.start(kPollMs);

    const double cpuStart = cpuSeconds();
    QElapsedTimer wall;
    wall.start();
    viaDriver.since.start();
    drv.WriteByte('Q');
    viaBare.since.start();
    [[maybe_unused]] const ssize_t w = ::write(bare, "Q", 1);

    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, [&] {
        const bool done = int(viaDriver.ms.size()) >= total && int(viaBare.ms.size()) >= total;
        if (done || wall.elapsed() > qint64(total) * 500)
            loop.quit();
    });
    check.start(20);
    loop.exec();
    const double cpu = cpuSeconds() - cpuStart;
    const double seconds = double(wall.nsecsElapsed()) / 1e9;

    drv.ClosePort();
    ::close(bare);
    stop = true;
    driverDevice.join();
    bareDevice.join();

    std::printf("exchanges: driver %zu, bare %zu of %d, in %.1f s\n", viaDriver.ms.size(), viaBare.ms.size(),
                total, seconds);
    std::printf("reply: driver median %.1f ms (%zu of %zu over 75 ms), bare median %.1f ms (%zu over 75 ms), "
                "cpu %.2f %%\n",
                viaDriver.median(), viaDriver.over(75), viaDriver.ms.size(), viaBare.median(),
                viaBare.over(75), seconds > 0 ? 100.0 * cpu / seconds : 0.0);
    return 0;
}
