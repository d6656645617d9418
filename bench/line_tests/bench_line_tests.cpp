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
#include "ui_Unit1.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

constexpr int kLoopbackSeconds = 30;
constexpr int kArrayBytes = 100000;
constexpr int kSequenceSeconds = 10;
constexpr double kBaud = 115200;
constexpr int kBaudIndex = 12; // 115200 in the rate list

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

void runFor(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// comlab-peer as COM1 of `dir`.
class Peer {
public:
    Peer(const fs::path& dir, std::vector<std::string> args) : m_stats(dir / "stats") {
        args.insert(args.begin(), COMLAB_PEER_BIN);
        for (const auto& a : {std::string("--map"), dir.string(), std::string("--com"), std::string("1"),
                              std::string("--stats-file"), m_stats.string(), std::string("--parent"),
                              std::to_string(::getpid())})
            args.push_back(a);
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        // Its statistics come through the file; the copies it prints would bury the figures.
        posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (::posix_spawn(&m_pid, COMLAB_PEER_BIN, &fa, nullptr, argv.data(), environ) != 0)
            m_pid = -1;
        posix_spawn_file_actions_destroy(&fa);
        ::close(out[1]);
        for (;;) { // the device path line: the device is ready
            pollfd p{out[0], POLLIN, 0};
            char c = 0;
            if (::poll(&p, 1, 5000) <= 0 || ::read(out[0], &c, 1) != 1 || c == '\n')
                break;
        }
        ::close(out[0]);
    }
    ~Peer() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGTERM);
            ::waitpid(m_pid, nullptr, 0);
        }
    }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;
    bool ok() const { return m_pid > 0; }

    std::map<std::string, std::string> stats() const {
        fs::remove(m_stats);
        ::kill(m_pid, SIGUSR1);
        for (int i = 0; i < 500 && !fs::exists(m_stats); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        std::ifstream f(m_stats);
        std::string line, w;
        std::getline(f, line);
        std::map<std::string, std::string> kv;
        std::istringstream words(line);
        while (words >> w)
            if (const auto eq = w.find('='); eq != std::string::npos)
                kv[w.substr(0, eq)] = w.substr(eq + 1);
        return kv;
    }

private:
    pid_t m_pid = -1;
    fs::path m_stats;
};

long long num(const std::map<std::string, std::string>& s, const char* key) {
    const auto it = s.find(key);
    return it == s.end() ? -1 : std::atoll(it->second.c_str());
}

struct Session {
    fs::path dir;
    std::unique_ptr<Peer> peer;
    std::unique_ptr<TForm1> form;

    Session(std::vector<std::string> args, int baudIndex) {
        std::string tmpl = (fs::temp_directory_path() / "bench-line-tests-XXXXXX").string();
        dir = ::mkdtemp(tmpl.data());
        qputenv("COMLAB_PORTS_DIR", QByteArray::fromStdString(dir.string()));
        peer = std::make_unique<Peer>(dir, std::move(args));
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
        fs::remove_all(dir);
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
    runFor(kLoopbackSeconds * 1000);
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
        if (num(st, "bytes_in") >= kArrayBytes)
            break;
        runFor(20);
    }
    const double secs = double(t.nsecsElapsed()) / 1e9;
    const double line = kArrayBytes * 10.0 / kBaud;
    std::printf("array: %d bytes, handler returned after %.2f s, sink had %lld bytes after %.2f s "
                "(mismatches %lld, sum %lld, window sum %d); line time %.2f s; CPU %.2f s\n",
                kArrayBytes, sendSecs, num(st, "bytes_in"), secs, num(st, "mismatches"), num(st, "sum"),
                s.form->ArraySum, line, cpu);
    if (num(st, "bytes_in") != kArrayBytes || num(st, "mismatches") != 0)
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
    const double rate = double(num(b, "bytes_in") - num(a, "bytes_in")) / window;
    std::printf("sequence: %.2f s, sink %lld bytes (mismatches %lld), %.0f B/s over %.2f s of the run, line "
                "%.0f B/s; CPU %.2f s\n",
                secs, num(b, "bytes_in"), num(b, "mismatches"), rate, window, kBaud / 10, cpu);
    if (num(b, "mismatches") != 0)
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
