// SPDX-License-Identifier: GPL-3.0-or-later
// Write throughput: 16 MiB through the driver's WriteData into a pseudo-terminal whose far side is
// drained by a thread, against a plain blocking write loop on the same kind of pair.
//
// Last line: write: driver <B/s>, bare <B/s>, ratio <r>
#include "write_drain.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

using comlab::bench::Drain;
using comlab::bench::kWriteTotal;
// Pairs whose far side blocks, like a device that simply waits on the line.
using comlab::test::PtyPair;

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
    const std::string data = comlab::bench::writePattern();
    std::size_t viaDriver = 0;
    std::size_t viaBare = 0;
    const double driver = comlab::bench::driverWriteRate(data, viaDriver);
    const double bare = bareRun(data, viaBare);
    if (viaDriver != kWriteTotal || viaBare != kWriteTotal)
        std::fprintf(stderr, "arrived intact: driver %zu, bare %zu of %zu\n", viaDriver, viaBare,
                     kWriteTotal);
    std::printf("write: driver %.0f B/s, bare %.0f B/s, ratio %.3f\n", driver, bare,
                bare > 0 ? driver / bare : 0.0);
    return viaDriver == kWriteTotal && viaBare == kWriteTotal ? 0 : 1;
}
