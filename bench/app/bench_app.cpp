// SPDX-License-Identifier: GPL-3.0-or-later
// Whole-program figures of comlab, each beside a baseline measured in the same run.
//
// start   The real comlab binary is started (offscreen) with COMLAB_BENCH_MARKERS and timed from just
//         before the spawn to its first whole frame; beside it, a bare Qt window of the same size started
//         from this program. Resident memory of each after 3 s idle.
// idle    CPU of this process with a window of its own: 20 s with the port closed (the baseline), then
//         20 s connected to a silent echo peer, where only the poll ticks run.
// stream  A peer sends 60 s of a 256000-baud line into the exchange page: character form as one long run
//         (text pattern), character form with a line break every 64 bytes, hex form (counter pattern),
//         and hex form with both duplicate boxes ticked. The log is read back and checked byte for byte
//         against what the peer sent. A 10 ms probe timer in the GUI thread measures the longest stall
//         of the event loop.
// burst   A thread of this process writes 2 MiB into the pseudo-terminal as fast as it takes it, into
//         the character form and into hex form with both duplicate boxes, five rounds each, started at
//         five points of the poll period; the rate counts from the first write to the last byte counted
//         by the window, and the log is checked as above.
//         Beside it, a bare reader (no window, raw mode, read as data comes) gives the pseudo-terminal's
//         own rate, and the CPU of reading a paced stream from the peer.
//
// Last lines: app: start <ms>, rss <MB>, idle <%>, stream char <%> lines <%> hex <%> hexdup <%> cpu (net
// of the stall probe's own cost, measured alone in the same run), stall <ms>, lost <n>; then burst: char
// <KiB/s> KiB/s stall <ms> ms, hex <KiB/s> KiB/s stall <ms> ms, lost <n>
#include "Cp1251.h"
#include "ExchangeText.h"
#include "FirstPaintMarker.h"
#include "MessageBox.h"
#include "TimeStamps.h"
#include "Unit1.h"
#include "event_wait.h"
#include "peer_process.h"
#include "pty_pair.h"
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
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kLineBytesPerSecond = 25600; // 256000 baud, ten bits a byte
constexpr int kStallBoundMs = 25;
constexpr qint64 kBurstBytes = qint64(2) << 20;

// One stream into the exchange page.
struct Scenario {
    const char* name;
    bool hexForm;
    bool decorated;    // both duplicate boxes ticked
    bool textPattern;  // the peer's text pattern, otherwise its counter
    int lineEvery;     // CR LF after every so many pattern bytes; 0: none
    bool paced;        // 256000 baud; otherwise as fast as the pseudo-terminal takes it
    const char* bound; // what the figure should stay within, for the report
};

const Scenario kChar{"char", false, false, true, 0, true, "4 %"};
const Scenario kLines{"lines", false, false, true, 64, true, "3.5 %"};
const Scenario kHex{"hex", true, false, false, 0, true, "4.5 %"};
const Scenario kHexDup{"hexdup", true, true, false, 0, true, "7 %"};
const Scenario kBurstChar{"burst char", false, false, true, 0, false, "32000 KiB/s"};
const Scenario kBurstHex{"burst hex", true, true, false, 0, false, "2600 KiB/s"};

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
    qint64 cpuNs = 0; // CPU of this thread in all
    qint64 maxNs = 0;
    qint64 cpuAtMaxNs = 0; // CPU of this thread during that longest run
    void add(qint64 ns, qint64 cpu) {
        totalNs += ns;
        cpuNs += cpu;
        if (ns > maxNs) {
            maxNs = ns;
            cpuAtMaxNs = cpu;
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

bool g_stamps = false; // --stamps: the log's time stamps on

std::unique_ptr<TForm1> makeWindow() {
    auto form = std::make_unique<TForm1>();
    form->ui->tnMain->setCurrentIndex(0);
    form->timeStamps->action()->setChecked(g_stamps);
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

// What the stall probe itself costs: the window connected to a silent peer, the probe running.
double measureProbe(const QString& dir, int seconds) {
    auto form = makeWindow();
    std::string path;
    auto peer = startPeer({"echo"}, dir, path);
    if (!peer || !connectPort(*form))
        return -1;
    pump(200);
    StallProbe probe;
    probe.start();
    const double c0 = cpuSeconds();
    QElapsedTimer wall;
    wall.start();
    pump(seconds * 1000);
    const double pct = (cpuSeconds() - c0) / (double(wall.nsecsElapsed()) / 1e9) * 100.0;
    probe.stop();
    form->btCOMoffClick(form->ui->btCOMoff);
    return pct;
}

struct StreamFigures {
    double cpuPct = -1;
    double stallMs = -1;
    double stallP99Ms = 0;
    double stallCpuMs = 0; // GUI thread CPU in the worst interval
    Spent receive;         // in the page's receive handler
    Spent paint;           // in paint passes of the window
    qint64 stallsOver50 = 0;
    qint64 sent = 0;    // bytes the peer put on the line while the window had the port
    qint64 shown = 0;   // bytes the log represents in the right place
    qint64 counted = 0; // the window's own count
    qint64 lost = -1;
    double rate = 0;    // bytes per second shown
    double seconds = 0; // from the peer's start to the last byte counted
    qint64 logChars = 0;
    bool ok = false;
};

// The bytes the peer sends, from its first: its pattern, with CR LF after every `lineEvery` pattern bytes.
std::vector<std::uint8_t> peerBytes(const Scenario& sc, qint64 n) {
    const std::string text = "The quick brown fox jumps over the lazy dog 0123456789. ";
    std::vector<std::uint8_t> out;
    out.reserve(std::size_t(n));
    for (qint64 k = 0; qint64(out.size()) < n; ++k) {
        out.push_back(sc.textPattern ? std::uint8_t(text[std::size_t(k) % text.size()])
                                     : std::uint8_t(k & 0xFF));
        if (sc.lineEvery > 0 && (k + 1) % sc.lineEvery == 0) {
            out.push_back('\r');
            out.push_back('\n');
        }
    }
    out.resize(std::size_t(n));
    return out;
}

// Holds a started peer until it is stopped, so that what it wrote before the window has the port is
// taken out and counted first; every byte is then accounted for.
std::unique_ptr<ChildProcess> stoppedPeer(const QString& dir, const std::vector<std::string>& args,
                                          std::string& path, qint64& before) {
    auto peer = startPeer(args, dir, path);
    if (!peer)
        return nullptr;
    ::kill(peer->pid(), SIGSTOP);
    for (int i = 0; i < 100 && stateOf(peer->pid()) != 'T'; ++i)
        usleep(10000);
    before = drainDevice(path);
    return before < 0 ? nullptr : std::move(peer);
}

std::vector<std::string> sourceArgs(const Scenario& sc, qint64 count, const QString& statsFile) {
    std::vector<std::string> args = {"source",
                                     "--pattern",
                                     sc.textPattern ? "text" : "counter",
                                     "--count",
                                     std::to_string(count),
                                     "--stats-file",
                                     statsFile.toStdString()};
    if (sc.paced) {
        args.push_back("--baud");
        args.push_back("256000");
    }
    if (sc.lineEvery > 0) {
        args.push_back("--line-every");
        args.push_back(std::to_string(sc.lineEvery));
    }
    return args;
}

// The log's data checked against what was sent: how many bytes are not shown where they belong.
// `data` is the log's text from the first received byte on.
qint64 lostIn(const QString& data, const Scenario& sc, const std::uint8_t* bytes, std::size_t n,
              qint64& shown) {
    // What was sent, shown the way the page shows it; the log keeps every line break as "\n".
    QString expected;
    if (sc.hexForm)
        AppendHexForm(expected, bytes, n, sc.decorated);
    else
        AppendCharForm(expected, bytes, n, sc.decorated);
    expected.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    expected.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    // Characters a byte takes in these forms; a line break stands for the two bytes of its CR LF.
    const int unit = sc.hexForm ? (sc.decorated ? 6 : 3) : (sc.decorated ? 5 : 1);
    qsizetype same = 0;
    const qsizetype common = std::min(data.size(), expected.size());
    while (same < common && data[same] == expected[same])
        ++same;
    const qint64 breaks = QStringView(expected).first(same).count(QLatin1Char('\n'));
    shown = (same - breaks) / unit + 2 * breaks;
    return data == expected ? 0 : std::max<qint64>(qint64(n) - shown, 1);
}

// Sets the receive form of a scenario, turns counting on, and makes the page show received data: a
// line of one blank in HEX form sends nothing, raises no box, and switches to the exchange.
void showReceived(TForm1& form, const Scenario& sc) {
    auto& ui = *form.ui;
    (sc.hexForm ? ui.rbCOMinHex : ui.rbCOMinSym)->setChecked(true);
    ui.cbInHexSym->setChecked(sc.decorated);
    ui.cbInSymHex->setChecked(sc.decorated);
    ui.cbCountOn->setChecked(true);
    ui.rbOutHex->setChecked(true);
    ui.edCOMout->setText(QStringLiteral(" "));
    form.btOutCOMClick(ui.btOutCOM);
}

StreamFigures measureStream(const QString& dir, const Scenario& sc, int seconds) {
    StreamFigures f;
    // Pattern bytes of a paced stream of `seconds`: line breaks come on top.
    qint64 patternBytes = qint64(kLineBytesPerSecond) * seconds;
    if (sc.lineEvery > 0)
        patternBytes = patternBytes * sc.lineEvery / (sc.lineEvery + 2);
    const qint64 total = patternBytes + (sc.lineEvery ? 2 * (patternBytes / sc.lineEvery) : 0);
    const QString statsFile = dir + QStringLiteral("/stream.stats");
    QFile::remove(statsFile);

    auto form = makeWindow();
    std::string path;
    qint64 before = 0;
    auto peer = stoppedPeer(dir, sourceArgs(sc, patternBytes, statsFile), path, before);
    if (!peer || !connectPort(*form)) {
        std::fprintf(stderr, "%s: could not connect to the source peer\n", sc.name);
        return f;
    }
    showReceived(*form, sc);
    pump(200); // the connect repaints the whole window: no part of the stream

    // The page's receive path, timed: the driver lends each block to this handler.
    Spent receive;
    form->CPDrv->setOnReceiveData([&, w = form.get()](QObject* sender, void* data, DWORD size) {
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
    f.seconds = elapsed;
    if (!peer->exited()) {
        // Too slow: stop the source, let the window take what is already on the line, then end it.
        ::kill(peer->pid(), SIGSTOP);
        pump(1000);
        peer.reset();
    }
    pump(300); // the last poll ticks
    form->btCOMoffClick(form->ui->btCOMoff);

    f.sent = statsField(statsFile, "bytes_out").value_or(total) - before;
    f.counted = form->RxByteCount;
    // The log: the echo line of the blank, then the received data.
    const QString log = form->ui->mmCOMin->text();
    f.logChars = log.size();
    const std::vector<std::uint8_t> all = peerBytes(sc, before + std::max<qint64>(f.sent, 0));
    f.lost = lostIn(log.mid(log.indexOf(QLatin1Char('\n')) + 1), sc, all.data() + before,
                    all.size() - std::size_t(before), f.shown);
    f.rate = double(f.shown) / elapsed;
    f.ok = true;
    return f;
}

constexpr int kBurstRounds = 5;
constexpr int kPollMs = 50; // the driver's default poll period

// Bursts of 2 MiB written by a thread of this process into a pseudo-terminal mapped as COM1 (a peer
// process could not write as fast). Each round starts the writer at another point of the poll period,
// so the rate holds the average wait for the tick; the rate counts from the first write to the last
// byte counted by the window.
StreamFigures measureBurst(const QString& dir, const Scenario& sc) {
    StreamFigures f;
    comlab::test::PtyPair pty{comlab::test::PtyPair::Master::Blocking};
    const QString link = dir + QStringLiteral("/COM1");
    QFile::remove(link);
    if (!pty.ok() || !QFile::link(QString::fromStdString(pty.slave()), link)) {
        std::fprintf(stderr, "%s: no pseudo-terminal\n", sc.name);
        return f;
    }
    const std::vector<std::uint8_t> bytes = peerBytes(sc, kBurstBytes);
    const std::string data(bytes.begin(), bytes.end());

    auto form = makeWindow();
    Spent receive;
    qint64 lastNs = 0;
    form->CPDrv->setOnReceiveData([&, w = form.get()](QObject* sender, void* p, DWORD size) {
        timed(receive, [&] { w->CPDrvReceiveData(sender, p, size); });
        if (w->RxByteCount >= kBurstBytes && lastNs == 0)
            lastNs = steadyNs();
    });
    auto* app = static_cast<TimedApplication*>(QCoreApplication::instance());
    app->paint = {};

    double seconds = 0, cpu = 0;
    for (int round = 0; round < kBurstRounds; ++round) {
        if (!connectPort(*form)) {
            std::fprintf(stderr, "%s: could not connect\n", sc.name);
            QFile::remove(link);
            return f;
        }
        showReceived(*form, sc);
        form->btCOMinClrClick(form->ui->btCOMinClr);
        form->btCountClrClick(form->ui->btCountClr);
        // The poll timer started with the connect; whole periods go by while the connect's repaint of
        // the window is done, then the writer starts at this round's point of the period.
        pump(4 * kPollMs + kPollMs * (2 * round + 1) / (2 * kBurstRounds));

        app->timing = true;
        StallProbe probe;
        probe.start();
        const double c0 = cpuSeconds();
        lastNs = 0;
        const qint64 startNs = steadyNs();
        std::thread feeder(comlab::test::writeAll, pty.master(), std::cref(data));
        while (lastNs == 0 && steadyNs() - startNs < qint64(30) * 1000000000)
            pump(2);
        const qint64 endNs = lastNs ? lastNs : steadyNs();
        seconds += double(endNs - startNs) / 1e9;
        // The log lays down what came a slice per turn: the probe watches until it is done.
        pump(300);
        cpu += cpuSeconds() - c0;
        const double stall = probe.stop();
        if (stall > f.stallMs) {
            f.stallMs = stall;
            f.stallCpuMs = probe.cpuAtWorstMs();
        }
        f.stallsOver50 += probe.countOver(50);
        f.stallP99Ms = std::max(f.stallP99Ms, probe.quantileMs(0.99));
        app->timing = false;
        if (lastNs == 0)
            ::tcflush(pty.master(), TCIOFLUSH);
        feeder.join();
        pump(100);
        form->btCOMoffClick(form->ui->btCOMoff);

        qint64 shown = 0;
        f.lost = std::max<qint64>(f.lost, 0) +
                 lostIn(form->ui->mmCOMin->text(), sc, bytes.data(), bytes.size(), shown);
        f.shown += shown;
        f.sent += kBurstBytes;
        f.counted += form->RxByteCount;
        f.logChars = form->ui->mmCOMin->characterCount();
    }
    QFile::remove(link);
    f.receive = receive;
    f.paint = app->paint;
    f.seconds = seconds;
    f.cpuPct = cpu / seconds * 100.0;
    f.rate = double(f.shown) / seconds;
    f.ok = true;
    return f;
}

void printStream(const char* name, const StreamFigures& s) {
    std::printf(
        "%-10s: receive handler %.2f s in all (%.2f s CPU), longest %.1f ms (%.1f ms CPU); painting %.2f s "
        "(%.2f s CPU), longest %.1f ms (%.1f ms CPU); worst stall had %.1f ms CPU of the GUI thread\n",
        name, double(s.receive.totalNs) / 1e9, double(s.receive.cpuNs) / 1e9, double(s.receive.maxNs) / 1e6,
        double(s.receive.cpuAtMaxNs) / 1e6, double(s.paint.totalNs) / 1e9, double(s.paint.cpuNs) / 1e9,
        double(s.paint.maxNs) / 1e6, double(s.paint.cpuAtMaxNs) / 1e6, s.stallCpuMs);
    std::printf(
        "%-10s: cpu %.1f %% of a core, stall %.1f ms (bound %d; 99%% within %.1f ms, %lld over 50 ms), sent "
        "%lld, shown %lld, counted %lld, lost %lld, %.0f KiB/s shown over %.3f s, log %lld chars\n",
        name, s.cpuPct, s.stallMs, kStallBoundMs, s.stallP99Ms, static_cast<long long>(s.stallsOver50),
        static_cast<long long>(s.sent), static_cast<long long>(s.shown), static_cast<long long>(s.counted),
        static_cast<long long>(s.lost), s.rate / 1024, s.seconds, static_cast<long long>(s.logChars));
}

// The device without a window: raw mode, read as data comes, nothing shown. Its burst rate is what the
// pseudo-terminal itself allows; its CPU on a paced stream is what reading alone costs.
struct BareFigures {
    double burstKiBs = -1;
    double pacedCpuPct = -1;
};

// The bare reader on a paced stream from the peer: CPU of reading alone.
double barePaced(const QString& dir, const Scenario& sc, int seconds) {
    const QString statsFile = dir + QStringLiteral("/bare.stats");
    const qint64 count = qint64(kLineBytesPerSecond) * seconds;
    std::string path;
    qint64 before = 0;
    auto peer = stoppedPeer(dir, sourceArgs(sc, count, statsFile), path, before);
    if (!peer)
        return -1;
    const int fd = comlab::test::openRaw(path);
    if (fd < 0)
        return -1;
    const qint64 want = count - before;
    qint64 got = 0;
    const double c0 = cpuSeconds();
    const qint64 t0 = steadyNs();
    ::kill(peer->pid(), SIGCONT);
    std::vector<char> buf(1 << 16);
    while (got < want && steadyNs() - t0 < qint64(seconds + 60) * 1000000000) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0)
            continue;
        const ssize_t n = ::read(fd, buf.data(), buf.size());
        if (n > 0)
            got += n;
    }
    const double s = double(steadyNs() - t0) / 1e9;
    ::close(fd);
    return (cpuSeconds() - c0) / s * 100.0;
}

// The bare reader on a burst written by a thread of this process: what the pseudo-terminal allows.
double bareBurst() {
    comlab::test::PtyPair pty{comlab::test::PtyPair::Master::Blocking};
    if (!pty.ok())
        return -1;
    const int fd = comlab::test::openRaw(pty.slave());
    if (fd < 0)
        return -1;
    const std::vector<std::uint8_t> bytes = peerBytes(kBurstChar, kBurstBytes);
    const std::string data(bytes.begin(), bytes.end());
    qint64 got = 0;
    std::vector<char> buf(1 << 16);
    const qint64 t0 = steadyNs();
    std::thread feeder(comlab::test::writeAll, pty.master(), std::cref(data));
    while (got < kBurstBytes) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 5000) <= 0)
            break;
        const ssize_t n = ::read(fd, buf.data(), buf.size());
        if (n > 0)
            got += n;
    }
    const double s = double(steadyNs() - t0) / 1e9;
    ::tcflush(pty.master(), TCIOFLUSH);
    feeder.join();
    ::close(fd);
    return double(got) / 1024.0 / s;
}

} // namespace

int main(int argc, char** argv) {
    bool quick = false;
    std::string only; // run that part alone (while working on it)
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--bare-window")
            return bareWindow(argc, argv);
        if (a == "--quick")
            quick = true;
        else if (a == "--stamps")
            g_stamps = true;
        else if (a == "--only" && i + 1 < argc)
            only = argv[++i];
        else if (a == "--help" || a == "-h") {
            std::printf("usage: bench_app [--quick] [--stamps] [--only "
                        "start|idle|char|lines|hex|hexdup|burst|bare]\n");
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

    const bool streams = runs("char") || runs("lines") || runs("hex") || runs("hexdup");
    const IdleFigures idle = runs("idle") || streams ? measureIdle(portsDir, idleSeconds) : IdleFigures{};
    std::printf("idle %d s: connected %.2f %% of a core, port closed %.2f %% (bound 1 %%)\n", idleSeconds,
                idle.connectedPct, idle.closedPct);
    // The streams run a 10 ms probe for stalls; what it costs by itself is taken off their figures.
    const double probePct = streams ? measureProbe(portsDir, idleSeconds) : -1;
    const double probeCost = probePct >= 0 && idle.connectedPct >= 0 ? probePct - idle.connectedPct : 0.0;
    std::printf(
        "stall probe: connected with the probe running %.2f %% of a core, the probe's own cost %.2f %%\n",
        probePct, probeCost);
    std::fflush(stdout);

    // The bare reader first: the device's own ceiling for the burst, the cost of reading a paced stream.
    BareFigures bareReader;
    if (runs("bare") || runs("burst"))
        bareReader.burstKiBs = bareBurst();
    if (runs("bare"))
        bareReader.pacedCpuPct = barePaced(portsDir, kChar, quick ? 5 : 20);
    std::printf("bare reader: burst %.0f KiB/s, paced 25.6 KB/s stream %.2f %% of a core\n",
                bareReader.burstKiBs, bareReader.pacedCpuPct);
    std::fflush(stdout);

    qint64 lost = 0;
    double worstStall = 0;
    auto stream = [&](const Scenario& sc, bool wanted) {
        StreamFigures f;
        if (wanted) {
            f = measureStream(portsDir, sc, streamSeconds);
            printStream(sc.name, f);
            std::fflush(stdout);
            // A run that could not take place counts as lost, so it cannot pass unnoticed.
            lost += f.ok ? f.lost : 1;
            worstStall = std::max(worstStall, f.stallMs);
        }
        return f;
    };
    const StreamFigures chr = stream(kChar, runs("char"));
    const StreamFigures lines = stream(kLines, runs("lines"));
    const StreamFigures hex = stream(kHex, runs("hex"));
    const StreamFigures hexDup = stream(kHexDup, runs("hexdup"));
    const double pacedStall = worstStall;
    const qint64 pacedLost = lost;
    lost = 0;
    worstStall = 0;
    auto burst = [&](const Scenario& sc) {
        StreamFigures f;
        if (runs("burst")) {
            f = measureBurst(portsDir, sc);
            printStream(sc.name, f);
            std::fflush(stdout);
            lost += f.ok ? f.lost : 1;
        }
        return f;
    };
    const StreamFigures burstChar = burst(kBurstChar);
    const StreamFigures burstHex = burst(kBurstHex);

    for (const auto& b : recorder.boxes())
        std::printf("box: %s | %s\n", qPrintable(b.caption), qPrintable(b.text));

    // Stream figures net of the stall probe's own cost; the raw ones are in the lines above.
    auto net = [probeCost](const StreamFigures& f) { return f.cpuPct < 0 ? f.cpuPct : f.cpuPct - probeCost; };
    std::printf(
        "app: start %.0f ms, rss %.1f MB, idle %.2f %%, stream char %.1f %% lines %.1f %% hex %.1f %% "
        "hexdup %.1f %% cpu (bounds %s, %s, %s, %s; the probe's %.2f %% taken off; bare reader %.2f %%), "
        "stall %.1f ms, lost %lld\n",
        app.ms, app.rss, idle.connectedPct, net(chr), net(lines), net(hex), net(hexDup), kChar.bound,
        kLines.bound, kHex.bound, kHexDup.bound, probeCost, bareReader.pacedCpuPct, pacedStall,
        static_cast<long long>(pacedLost));
    std::printf(
        "burst: char %.0f KiB/s stall %.1f ms, hex %.0f KiB/s stall %.1f ms, lost %lld (bare reader %.0f "
        "KiB/s)\n",
        burstChar.rate / 1024, burstChar.stallMs, burstHex.rate / 1024, burstHex.stallMs,
        static_cast<long long>(lost), bareReader.burstKiBs);
    return 0;
}
