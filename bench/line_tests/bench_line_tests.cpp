// SPDX-License-Identifier: GPL-3.0-or-later
// The line tests against comlab-peer on a pseudo-terminal, with the window offscreen:
// - loopback: codes per second against an echo device, next to the design limit of one code per poll
//   tick (1000 / PollingDelay per second);
// - array: 100 000 bytes into a sink paced at 115200 baud, elapsed until the sink has them all against
//   the line time, every byte checked by the sink;
// - sequence: 10 s into the same kind of sink, bytes per second against the line rate.
// CPU seconds of this process are given for each.
//
// Last line: line tests: loopback <x>% of limit, array <y>% of line, sequence <z>% of line
#include "MessageBox.h"
#include "Unit1.h"
#include "event_wait.h"
#include "peer_process.h"
#include "temp_dir.h"
#include "ui_Unit1.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr int kLoopbackSeconds = 30;
constexpr int kArrayBytes = 100000;
constexpr int kSequenceSeconds = 10;
constexpr double kBaud = 115200;
constexpr int kBaudIndex = 12; // 115200 in the rate list

using comlab::test::cpuSeconds;
using comlab::test::pump;
using comlab::test::statNumber;

// comlab-peer as COM1 of `dir`. Its statistics come through the file; the copies it prints would bury
// the figures.
class Peer : public comlab::test::MappedPeer {
public:
    Peer(const fs::path& dir, std::vector<std::string> args)
        : MappedPeer(COMLAB_PEER_BIN, dir, std::move(args),
                     {.env = {}, .silenceStderr = true, .stopSignal = SIGTERM}) {}

    // Waited for without the event loop: the figures are taken from inside the window's handlers.
    comlab::test::Stats stats() const {
        return MappedPeer::stats([](const auto& ready) {
            for (int i = 0; i < 500 && !ready(); ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            return ready();
        });
    }
};

struct Session {
    comlab::test::TempDir dir{"bench-line-tests"};
    std::unique_ptr<Peer> peer;
    std::unique_ptr<TForm1> form;

    Session(std::vector<std::string> args, int baudIndex) {
        qputenv("COMLAB_PORTS_DIR", QByteArray::fromStdString(dir.path().string()));
        peer = std::make_unique<Peer>(dir.path(), std::move(args));
        form = std::make_unique<TForm1>();
        form->show();
        form->ui->cbCOM->setCurrentIndex(0);
        if (baudIndex >= 0)
            form->ui->cbBOD->setCurrentIndex(baudIndex);
        form->btCOMonClick(nullptr);
    }
    ~Session() {
        form.reset();
        peer.reset();
    }
    bool ok() const { return peer->ok() && form->CPDrv->IsOpen(); }
};

double loopback() {
    Session s({"echo"}, -1);
    if (!s.ok())
        return 0;
    const double limit = 1000.0 / s.form->CPDrv->PollingDelay();
    const double cpu0 = cpuSeconds();
    QElapsedTimer t;
    t.start();
    s.form->btTestClick(nullptr);
    pump(kLoopbackSeconds * 1000);
    s.form->btStopClick(nullptr);
    const double secs = double(t.nsecsElapsed()) / 1e9;
    const double cpu = cpuSeconds() - cpu0;
    const long long codes = (s.form->TestCycles - 1) * 256LL + s.form->TestCode + 1;
    const double rate = double(codes) / secs;
    std::printf(
        "loopback: %lld codes in %.2f s = %.2f codes/s, limit %.0f/s (PollingDelay %u ms), errors %d, "
        "CPU %.2f s\n",
        codes, secs, rate, limit, unsigned(s.form->CPDrv->PollingDelay()), s.form->TestErrors, cpu);
    return 100.0 * rate / limit;
}

double array() {
    Session s({"sink", "--baud", "115200", "--expect", "counter"}, kBaudIndex);
    if (!s.ok())
        return 0;
    s.form->ui->edMass->setText(QString::number(kArrayBytes));
    const double cpu0 = cpuSeconds();
    QElapsedTimer t;
    t.start();
    s.form->btMassStartClick(nullptr);
    const double sendSecs = double(t.nsecsElapsed()) / 1e9;
    const double cpu = cpuSeconds() - cpu0;
    std::map<std::string, std::string> st;
    while (t.elapsed() < 60000) {
        st = s.peer->stats();
        if (statNumber(st, "bytes_in") >= kArrayBytes)
            break;
        pump(20);
    }
    const double secs = double(t.nsecsElapsed()) / 1e9;
    const double line = kArrayBytes * 10.0 / kBaud;
    std::printf("array: %d bytes, handler returned after %.2f s, sink had %lld bytes after %.2f s "
                "(mismatches %lld, sum %lld, window sum %d); line time %.2f s; CPU %.2f s\n",
                kArrayBytes, sendSecs, statNumber(st, "bytes_in"), secs, statNumber(st, "mismatches"),
                statNumber(st, "sum"), s.form->ArraySum, line, cpu);
    if (statNumber(st, "bytes_in") != kArrayBytes || statNumber(st, "mismatches") != 0)
        return 0;
    return 100.0 * line / secs;
}

double sequence() {
    Session s({"sink", "--baud", "115200", "--expect", "repeat:55"}, kBaudIndex);
    if (!s.ok())
        return 0;
    s.form->ui->edPos->setText(QStringLiteral("55"));
    // Measured at the sink between two points of the run, clear of the start and of the pty's buffer.
    std::map<std::string, std::string> a, b;
    QElapsedTimer ta, tb;
    QTimer::singleShot(1000, s.form.get(), [&] {
        a = s.peer->stats();
        ta.start();
    });
    QTimer::singleShot(kSequenceSeconds * 1000, s.form.get(), [&] {
        b = s.peer->stats();
        tb.start();
        s.form->btStopClick(nullptr);
    });
    const double cpu0 = cpuSeconds();
    QElapsedTimer t;
    t.start();
    s.form->btPosClick(nullptr);
    const double secs = double(t.nsecsElapsed()) / 1e9;
    const double cpu = cpuSeconds() - cpu0;
    const double window = double(ta.nsecsElapsed() - tb.nsecsElapsed()) / 1e9;
    const double rate = double(statNumber(b, "bytes_in") - statNumber(a, "bytes_in")) / window;
    std::printf("sequence: %.2f s, sink %lld bytes (mismatches %lld), %.0f B/s over %.2f s of the run, line "
                "%.0f B/s; CPU %.2f s\n",
                secs, statNumber(b, "bytes_in"), statNumber(b, "mismatches"), rate, window, kBaud / 10, cpu);
    if (statNumber(b, "mismatches") != 0)
        return 0;
    return 100.0 * rate / (kBaud / 10);
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    // No box may block an unattended run; any that comes is printed.
    msgbox::MessageBoxRecorder boxes(
        [](const msgbox::RecordedBox& b) { std::printf("box: %s\n", qPrintable(b.text)); });
    const double l = loopback();
    const double a = array();
    const double s = sequence();
    std::printf("line tests: loopback %.1f%% of limit, array %.1f%% of line, sequence %.1f%% of line\n", l, a,
                s);
    return 0;
}
