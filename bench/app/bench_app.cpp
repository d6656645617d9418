// Whole-program figures of comlab, each beside a baseline measured in the same run.
//
// start   The real comlab binary is started (offscreen) with COMLAB_BENCH_MARKERS and timed from just
//         before the spawn to its first whole frame; beside it, a bare Qt window of the same size started
//         from this program. Resident memory of each after 3 s idle.
// idle    CPU of this process with a window of its own: 20 s with the port closed (the baseline), then
//         20 s connected to a silent echo peer, where only the poll ticks run.
// stream  A peer sends 60 s of a 256000-baud line into the exchange page: once shown in character form
//         (text pattern), once in hex form (counter pattern), both duplicate boxes ticked. The log is read
//         back and checked byte for byte against what the peer sent. A 10 ms probe timer in the GUI
//         thread measures the longest stall of the event loop.
//
// Last line: app: start <ms>, rss <MB>, idle <%>, stream char <%> cpu stall <ms>, stream hex <%> cpu
// stall <ms>, lost <n>
#include "Cp1251.h"
#include "ExchangeText.h"
#include "FirstPaintMarker.h"
#include "MessageBox.h"
#include "Unit1.h"
#include "event_wait.h"
#include "peer_process.h"
#include "ui_Unit1.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMetaObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <optional>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kLineBytesPerSecond = 25600; // 256000 baud, ten bits a byte
constexpr int kStallBoundMs = 100;

qint64 steadyNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// CPU time of the calling thread: tells own work from time the machine gave to others.
qint64 threadCpuNs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// utime + stime of another process, in seconds.
double cpuSecondsOf(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string all((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    const auto close = all.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::istringstream rest(all.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    // After the name: state is field 3; utime and stime are fields 14 and 15.
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14)
            utime = std::stoull(field);
        if (i == 15)
            stime = std::stoull(field);
    }
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

char stateOf(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string all((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    const auto close = all.rfind(')');
    return close != std::string::npos && close + 2 < all.size() ? all[close + 2] : '?';
}

double rssMb(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stod(line.substr(6)) / 1024.0;
    return 0;
}

// Time spent in one kind of work: its total and its longest single run.
struct Spent {
    qint64 totalNs = 0;
    qint64 maxNs = 0;
    qint64 cpuAtMaxNs = 0; // CPU of this thread during that longest run
    void add(qint64 ns, qint64 cpuNs) {
        totalNs += ns;
        if (ns > maxNs) {
            maxNs = ns;
            cpuAtMaxNs = cpuNs;
        }
    }
};

// Runs f and adds its wall and thread CPU time to `spent`.
template <typename F> void timed(Spent& spent, F&& f) {
    const qint64 c0 = threadCpuNs();
    const qint64 t0 = steadyNs();
    f();
    spent.add(steadyNs() - t0, threadCpuNs() - c0);
}

// Paint passes of the window are update requests; timing them shows what painting costs beside what
// taking the data in costs.
class TimedApplication : public QApplication {
public:
    using QApplication::QApplication;
    bool timing = false;
    Spent paint;

    bool notify(QObject* receiver, QEvent* event) override {
        if (!timing || event->type() != QEvent::UpdateRequest || m_depth > 0)
            return QApplication::notify(receiver, event);
        ++m_depth;
        bool r = false;
        timed(paint, [&] { r = QApplication::notify(receiver, event); });
        --m_depth;
        return r;
    }

private:
    int m_depth = 0;
};

using comlab::test::ChildProcess;
using comlab::test::cpuSeconds;
using comlab::test::pump;

// A child process with its stdout on a pipe and its stderr silenced; stopped and reaped when it goes.
std::unique_ptr<ChildProcess> spawnChild(const std::vector<std::string>& args,
                                         const std::vector<std::string>& extraEnv) {
    return ChildProcess::spawn(args, {.env = extraEnv, .silenceStderr = true, .stopSignal = SIGTERM});
}

int bareWindow(int argc, char** argv) {
    QApplication app(argc, argv);
    QWidget w;
    w.resize(696, 481);
    app.installEventFilter(new FirstPaintMarker(&w));
    w.show();
    return QApplication::exec();
}

struct StartFigures {
    double ms = -1; // median over the runs
    double rss = 0;
    double idleCpuPct = 0; // over the 3 s wait, port closed
};

StartFigures measureStart(const std::vector<std::string>& args, const QString& portsDir, int runs) {
    StartFigures f;
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        const qint64 t0 = steadyNs();
        auto child = spawnChild(args, {"QT_QPA_PLATFORM=offscreen", "COMLAB_BENCH_MARKERS=1",
                                       "COMLAB_PORTS_DIR=" + portsDir.toStdString()});
        std::string line;
        if (!child || !child->readLine(line, 20000) || line.rfind("first-paint ", 0) != 0)
            return f;
        times.push_back(double(std::stoll(line.substr(12)) - t0) / 1e6);
        if (i == 0) {
            const double c0 = cpuSecondsOf(child->pid());
            usleep(3000000);
            f.rss = rssMb(child->pid());
            f.idleCpuPct = (cpuSecondsOf(child->pid()) - c0) / 3.0 * 100.0;
        }
    }
    std::sort(times.begin(), times.end());
    f.ms = times[times.size() / 2];
    return f;
}

std::unique_ptr<TForm1> makeWindow() {
    auto form = std::make_unique<TForm1>();
    form->ui->tnMain->setCurrentIndex(0);
    form->show();
    pump(200);
    return form;
}

bool connectPort(TForm1& form) {
    form.ui->cbCOM->setCurrentIndex(0);
    form.ui->CheckBOD->setChecked(false);
    form.ui->cbBOD->setCurrentIndex(14); // 256000
    form.btCOMonClick(form.ui->btCOMon);
    return form.CPDrv->IsOpen();
}

std::unique_ptr<ChildProcess> startPeer(const std::vector<std::string>& extra, const QString& dir,
                                        std::string& path) {
    std::vector<std::string> args = {COMLAB_PEER_BIN};
    args.insert(args.end(), extra.begin(), extra.end());
    const auto common = comlab::test::com1Of(dir.toStdString());
    args.insert(args.end(), common.begin(), common.end());
    auto peer = spawnChild(args, {});
    if (!peer || !peer->readLine(path, 5000))
        return nullptr;
    return peer;
}

struct IdleFigures {
    double closedPct = -1;
    double connectedPct = -1;
};

IdleFigures measureIdle(const QString& dir, int seconds) {
    IdleFigures f;
    auto form = makeWindow();
    double c0 = cpuSeconds();
    QElapsedTimer wall;
    wall.start();
    pump(seconds * 1000);
    f.closedPct = (cpuSeconds() - c0) / (double(wall.nsecsElapsed()) / 1e9) * 100.0;

    std::string path;
    auto peer = startPeer({"echo"}, dir, path);
    if (!peer || !connectPort(*form)) {
        std::fprintf(stderr, "idle: could not connect to the echo peer\n");
        return f;
    }
    pump(200); // the connect itself is no idle time
    c0 = cpuSeconds();
    wall.restart();
    pump(seconds * 1000);
    f.connectedPct = (cpuSeconds() - c0) / (double(wall.nsecsElapsed()) / 1e9) * 100.0;
    form->btCOMoffClick(form->ui->btCOMoff);
    return f;
}

// Reads and counts whatever waits on the device, until it stays empty for a while.
qint64 drainDevice(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    qint64 total = 0;
    int quiet = 0;
    char buf[4096];
    while (quiet < 5) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) {
            total += n;
            quiet = 0;
        } else {
            ++quiet;
            usleep(20000);
        }
    }
    ::close(fd);
    return total;
}

std::optional<qint64> statsField(const QString& file, const char* name) {
    std::ifstream f(file.toStdString());
    std::string word;
    const std::string key = std::string(name) + "=";
    while (f >> word)
        if (word.rfind(key, 0) == 0)
            return std::stoll(word.substr(key.size()));
    return std::nullopt;
}

// The 10 ms probe: its worst lateness is the longest stall of the event loop.
class StallProbe {
public:
    StallProbe() {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(10);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            const qint64 now = steadyNs();
            const qint64 cpu = threadCpuNs();
            const qint64 late = now - m_last - 10'000'000;
            if (late > m_worst) {
                m_worst = late;
                m_cpuAtWorst = cpu - m_lastCpu;
            }
            m_lastCpu = cpu;
            m_late.push_back(late);
            if (qEnvironmentVariableIsSet("BENCH_APP_TRACE") && late > 30'000'000)
                std::fprintf(stderr, "stall %.1f ms at %.3f s\n", double(late) / 1e6,
                             double(now - m_first) / 1e9);
            m_last = now;
        });
    }
    void start() {
        m_first = m_last = steadyNs();
        m_lastCpu = threadCpuNs();
        m_worst = 0;
        m_cpuAtWorst = 0;
        m_late.clear();
        m_timer.start();
    }
    // Lateness at the given quantile (0..1), in milliseconds.
    double quantileMs(double q) {
        if (m_late.empty())
            return 0;
        auto at = m_late.begin() + std::ptrdiff_t(q * double(m_late.size() - 1));
        std::nth_element(m_late.begin(), at, m_late.end());
        return double(std::max<qint64>(*at, 0)) / 1e6;
    }
    // How many probe ticks came later than `ms`.
    qint64 countOver(double ms) const {
        return std::count_if(m_late.begin(), m_late.end(), [ms](qint64 l) { return double(l) / 1e6 > ms; });
    }
    // CPU this thread used in the interval that ended with the worst lateness (10 ms plus that
    // lateness): near the whole interval means our own work, far below it means the machine ran
    // something else.
    double cpuAtWorstMs() const { return double(m_cpuAtWorst) / 1e6; }
    double stop() {
        m_timer.stop();
        return double(std::max<qint64>(m_worst, 0)) / 1e6;
    }

private:
    QTimer m_timer;
    qint64 m_first = 0;
    qint64 m_last = 0;
    qint64 m_worst = 0;
    qint64 m_lastCpu = 0;
    qint64 m_cpuAtWorst = 0;
    std::vector<qint64> m_late;
};

struct StreamFigures {
    double cpuPct = -1;
    double stallMs = -1;
    double stallP99Ms = 0;
    double stallCpuMs = 0; // GUI thread CPU in the worst interval
    Spent receive;         // in the page's receive handler
    Spent paint;           // in paint passes of the window
    qint64 stallsOver50 = 0;
    qint64 sent = 0;    // bytes the peer put on the line while the window had the port
    qint64 shown = 0;   // bytes the log represents
    qint64 wrong = 0;   // shown, but not the byte sent at that place
    qint64 counted = 0; // the window's own count
    qint64 lost = -1;
    double rate = 0; // bytes per second shown
    qint64 logChars = 0;
    bool ok = false;
};

// One stream into the exchange page. Hex form: counter pattern, each byte shown as "HH(c) ". Character
// form: text pattern (no line breaks, so every byte stays one character), each byte shown as "c(HH)".
StreamFigures measureStream(const QString& dir, bool hexForm, int seconds) {
    StreamFigures f;
    const qint64 total = qint64(kLineBytesPerSecond) * seconds;
    const QString statsFile = dir + QStringLiteral("/stream.stats");
    QFile::remove(statsFile);

    auto form = makeWindow();
    auto& ui = *form->ui;
    (hexForm ? ui.rbCOMinHex : ui.rbCOMinSym)->setChecked(true);
    ui.cbInHexSym->setChecked(true);
    ui.cbInSymHex->setChecked(true);
    ui.cbCountOn->setChecked(true);

    std::string path;
    auto peer = startPeer({"source", "--baud", "256000", "--pattern", hexForm ? "counter" : "text", "--count",
                           std::to_string(total), "--stats-file", statsFile.toStdString()},
                          dir, path);
    if (!peer) {
        std::fprintf(stderr, "stream: no peer\n");
        return f;
    }
    // Hold the peer while the port opens: opening purges the input queue, and what the peer wrote before
    // is taken out and counted here instead, so that every byte is accounted for.
    ::kill(peer->pid(), SIGSTOP);
    for (int i = 0; i < 100 && stateOf(peer->pid()) != 'T'; ++i)
        usleep(10000);
    const qint64 before = drainDevice(path);
    if (before < 0 || !connectPort(*form)) {
        std::fprintf(stderr, "stream: could not connect to the source peer\n");
        return f;
    }
    // A line of one blank in HEX form sends nothing, raises no box, and turns the page to showing data.
    ui.rbOutHex->setChecked(true);
    ui.edCOMout->setText(QStringLiteral(" "));
    form->btOutCOMClick(form->ui->btOutCOM);

    // The page's receive path, timed: the driver lends each block to this handler.
    Spent receive;
    form->CPDrv->setOnReceiveData([&receive, w = form.get()](QObject* sender, void* data, DWORD size) {
        timed(receive, [&] { w->CPDrvReceiveData(sender, data, size); });
    });
    auto* app = static_cast<TimedApplication*>(QCoreApplication::instance());
    app->paint = {};
    app->timing = true;

    StallProbe probe;
    probe.start();
    const double c0 = cpuSeconds();
    QElapsedTimer wall;
    wall.start();
    ::kill(peer->pid(), SIGCONT);

    // The peer exits once everything it sent has been read; a window that falls behind gets more time.
    const qint64 limitMs = qint64(seconds) * 2000 + 10000;
    while (!peer->exited() && wall.elapsed() < limitMs)
        pump(100);
    const double elapsed = double(wall.nsecsElapsed()) / 1e9;
    f.cpuPct = (cpuSeconds() - c0) / elapsed * 100.0;
    f.stallMs = probe.stop();
    app->timing = false;
    f.receive = receive;
    f.paint = app->paint;
    f.stallP99Ms = probe.quantileMs(0.99);
    f.stallCpuMs = probe.cpuAtWorstMs();
    f.stallsOver50 = probe.countOver(50);
    if (!peer->exited()) {
        // Too slow: stop the source, let the window take what is already on the line, then end it.
        ::kill(peer->pid(), SIGSTOP);
        pump(1000);
        peer.reset();
    }
    pump(300); // the last poll ticks
    form->btCOMoffClick(form->ui->btCOMoff);

    f.sent = statsField(statsFile, "bytes_out").value_or(0) - before;
    f.counted = form->RxByteCount;
    // The log: the echo line of the blank, then the received data.
    const QString log = form->ui->mmCOMin->text();
    f.logChars = log.size();
    const QString data = log.mid(log.indexOf(QLatin1Char('\n')) + 1);

    // What was sent, shown the way the page shows it.
    const std::string textPattern = "The quick brown fox jumps over the lazy dog 0123456789. ";
    std::vector<std::uint8_t> bytes(std::size_t(std::max<qint64>(f.sent, 0)));
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const qint64 k = before + qint64(i);
        bytes[i] =
            hexForm ? std::uint8_t(k & 0xFF) : std::uint8_t(textPattern[std::size_t(k) % textPattern.size()]);
    }
    QString expected;
    if (hexForm)
        AppendHexForm(expected, bytes.data(), bytes.size(), true);
    else
        AppendCharForm(expected, bytes.data(), bytes.size(), true);

    // Every byte is a unit of fixed width in these forms: "HH(c) " or "c(HH)".
    const int unit = hexForm ? 6 : 5;
    f.shown = data.size() / unit;
    const qint64 common = std::min<qint64>(data.size(), expected.size()) / unit;
    for (qint64 i = 0; i < common; ++i)
        if (QStringView(data).mid(i * unit, unit) != QStringView(expected).mid(i * unit, unit))
            ++f.wrong;
    f.lost = std::max<qint64>(f.sent - f.shown, 0) + f.wrong + (data.size() % unit != 0 ? 1 : 0);
    f.rate = double(f.shown) / elapsed;
    f.ok = true;
    return f;
}

void printStream(const char* name, const StreamFigures& s) {
    std::printf("stream %-4s: receive handler %.1f s in all, longest %.1f ms (%.1f ms CPU); painting %.1f s, "
                "longest %.1f ms (%.1f ms CPU); worst stall had %.1f ms CPU of the GUI thread\n",
                name, double(s.receive.totalNs) / 1e9, double(s.receive.maxNs) / 1e6,
                double(s.receive.cpuAtMaxNs) / 1e6, double(s.paint.totalNs) / 1e9,
                double(s.paint.maxNs) / 1e6, double(s.paint.cpuAtMaxNs) / 1e6, s.stallCpuMs);
    std::printf(
        "stream %-4s: cpu %.1f %% of a core, stall %.1f ms (bound %d; 99%% within %.1f ms, %lld over 50 "
        "ms), sent %lld, shown %lld, wrong %lld, counted %lld, lost %lld, %.0f B/s shown, log %lld chars\n",
        name, s.cpuPct, s.stallMs, kStallBoundMs, s.stallP99Ms, static_cast<long long>(s.stallsOver50),
        static_cast<long long>(s.sent), static_cast<long long>(s.shown), static_cast<long long>(s.wrong),
        static_cast<long long>(s.counted), static_cast<long long>(s.lost), s.rate,
        static_cast<long long>(s.logChars));
}

} // namespace

int main(int argc, char** argv) {
    bool quick = false;
    std::string only; // start, idle, char or hex: run that part alone (while working on it)
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--bare-window")
            return bareWindow(argc, argv);
        if (a == "--quick")
            quick = true;
        else if (a == "--only" && i + 1 < argc)
            only = argv[++i];
        else if (a == "--help" || a == "-h") {
            std::printf("usage: bench_app [--quick] [--only start|idle|char|hex]\n");
            return 0;
        }
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    std::signal(SIGPIPE, SIG_IGN);

    std::string self = argv[0];
    {
        char buf[4096];
        const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
        if (n > 0)
            self.assign(buf, std::size_t(n));
    }

    QTemporaryDir dir;
    if (!dir.isValid()) {
        std::fprintf(stderr, "no temporary folder\n");
        return 2;
    }
    const QString portsDir = dir.path() + QStringLiteral("/ports");
    QDir().mkpath(portsDir);

    const int startRuns = quick ? 1 : 5;
    const int idleSeconds = quick ? 5 : 20;
    const int streamSeconds = quick ? 10 : 60;

    // Start-up before this process has a window: nothing of ours competes with the children.
    const auto runs = [&only](const char* part) { return only.empty() || only == part; };
    StartFigures app, bare;
    if (runs("start")) {
        app = measureStart({COMLAB_BIN}, portsDir, startRuns);
        bare = measureStart({self, "--bare-window"}, portsDir, startRuns);
    }
    std::printf("start: comlab %.1f ms to first paint, rss %.1f MB, idle %.2f %% (port closed, 3 s)\n",
                app.ms, app.rss, app.idleCpuPct);
    std::printf("start: bare Qt window %.1f ms, rss %.1f MB; ratio %.2f, rss +%.1f MB\n", bare.ms, bare.rss,
                bare.ms > 0 ? app.ms / bare.ms : 0.0, app.rss - bare.rss);
    std::fflush(stdout);

    TimedApplication qapp(argc, argv);
    qputenv("COMLAB_PORTS_DIR", portsDir.toLocal8Bit());
    // The window's own boxes must not block the run; any box is reported.
    msgbox::MessageBoxRecorder recorder;

    const IdleFigures idle = runs("idle") ? measureIdle(portsDir, idleSeconds) : IdleFigures{};
    std::printf("idle %d s: connected %.2f %% of a core, port closed %.2f %% (bound 1 %%)\n", idleSeconds,
                idle.connectedPct, idle.closedPct);
    std::fflush(stdout);

    const StreamFigures chr = runs("char") ? measureStream(portsDir, false, streamSeconds) : StreamFigures{};
    printStream("char", chr);
    std::fflush(stdout);
    const StreamFigures hex = runs("hex") ? measureStream(portsDir, true, streamSeconds) : StreamFigures{};
    printStream("hex", hex);

    for (const auto& b : recorder.boxes())
        std::printf("box: %s | %s\n", qPrintable(b.caption), qPrintable(b.text));

    // A run that could not take place counts as lost, so it cannot pass unnoticed.
    const qint64 lost = (chr.ok ? chr.lost : 1) + (hex.ok ? hex.lost : 1);
    std::printf("app: start %.0f ms, rss %.1f MB, idle %.2f %%, stream char %.1f %% cpu stall %.1f ms, "
                "stream hex %.1f %% cpu stall %.1f ms, lost %lld\n",
                app.ms, app.rss, idle.connectedPct, chr.cpuPct, chr.stallMs, hex.cpuPct, hex.stallMs,
                static_cast<long long>(lost));
    return 0;
}
