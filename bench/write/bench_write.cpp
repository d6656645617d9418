// SPDX-License-Identifier: GPL-3.0-or-later
// Write throughput: 16 MiB through the driver's WriteData into a pseudo-terminal whose far side is
// drained by a thread, against a plain blocking write loop on the same kind of pair.
//
// Last line: write: driver <B/s>, bare <B/s>, ratio <r>
#include "CPDrv.h"
#include "pty_pair.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::size_t kTotal = 16u << 20;

// Pairs whose far side blocks, like a device that simply waits on the line.
using comlab::test::PtyPair;

std::string makePattern() {
    std::string s(kTotal, '\0');
    for (std::size_t i = 0; i < kTotal; ++i)
        s[i] = char((i * 167 + (i >> 13)) & 0xff);
    return s;
}

// Reads the far side until everything came (or nothing comes for a while); counts bytes that match.
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

double driverRun(const std::string& data, std::size_t& arrived) {
    PtyPair pty{PtyPair::Master::Blocking};
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

double bareRun(const std::string& data, std::size_t& arrived) {
    PtyPair pty{PtyPair::Master::Blocking};
    if (!pty.ok())
        return 0;
    const int fd = ::open(pty.slave().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    termios tio{};
    tcgetattr(fd, &tio);
    cfmakeraw(&tio);
    tcsetattr(fd, TCSANOW, &tio);
    QElapsedTimer t;
    double secs = 0;
    {
        Drain drain(pty.master(), data);
        t.start();
        std::size_t done = 0;
        while (done < data.size()) {
            const ssize_t r = ::write(fd, data.data() + done, data.size() - done);
            if (r > 0)
                done += std::size_t(r);
            else if (r < 0 && errno != EINTR)
                break;
        }
        while (drain.good() < done && t.elapsed() < 60000)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        secs = double(t.nsecsElapsed()) / 1e9;
        arrived = drain.good();
        ::close(fd);
    }
    return double(arrived) / secs;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const std::string data = makePattern();
    std::size_t viaDriver = 0;
    std::size_t viaBare = 0;
    const double driver = driverRun(data, viaDriver);
    const double bare = bareRun(data, viaBare);
    if (viaDriver != kTotal || viaBare != kTotal)
        std::fprintf(stderr, "arrived intact: driver %zu, bare %zu of %zu\n", viaDriver, viaBare, kTotal);
    std::printf("write: driver %.0f B/s, bare %.0f B/s, ratio %.3f\n", driver, bare,
                bare > 0 ? driver / bare : 0.0);
    return viaDriver == kTotal && viaBare == kTotal ? 0 : 1;
}
