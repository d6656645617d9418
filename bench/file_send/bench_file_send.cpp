// SPDX-License-Identifier: GPL-3.0-or-later
// Sending a file: 16 MiB through FileSender (a piece per tick, sized to the output queue's room) into a
// pseudo-terminal whose far side is drained by a thread, against the driver's own blocking WriteData of
// the same bytes on the same kind of pair. Also the longest the event loop went without turning while
// the file went (what a user would feel as a frozen window).
//
// Last line: file send: sender <B/s>, driver <B/s>, ratio <r>, longest loop gap <ms> ms
#include "FileSender.h"
#include "write_drain.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTemporaryFile>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

using comlab::bench::Drain;
using comlab::bench::kWriteTotal;
using comlab::test::PtyPair;

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
        while (drain.good() < kWriteTotal && t.elapsed() < 60000)
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
    const std::string data = comlab::bench::writePattern();
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
    const double driver = comlab::bench::driverWriteRate(data, viaDriver);
    if (viaSender != kWriteTotal || viaDriver != kWriteTotal)
        std::fprintf(stderr, "arrived intact: sender %zu, driver %zu of %zu\n", viaSender, viaDriver,
                     kWriteTotal);
    std::printf("file send: sender %.0f B/s, driver %.0f B/s, ratio %.3f, longest loop gap %lld ms\n", sender,
                driver, driver > 0 ? sender / driver : 0.0, static_cast<long long>(gap));
    return viaSender == kWriteTotal && viaDriver == kWriteTotal ? 0 : 1;
}
