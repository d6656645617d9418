// Receive throughput: 2 MiB sent from the far side of a pseudo-terminal, taken in by the driver
// (PollingDelay 50, InBufSize 2048) and, at the same time, by a bare loop that polls the same way: every 50
// ms ask how much waits, then read it into an 8192-byte buffer. Both are bound by what the line discipline
// holds per poll, so the ratio shows what the driver's own path costs.
//
// Last line: receive: driver <B/s>, bare <B/s>, ratio <r>, lost <n>
#include "CPDrv.h"
#include "pty_pair.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <string>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

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

// Writes everything into the far side, blocking while the pair is full.
void feed(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t r = ::write(fd, data.data() + done, data.size() - done);
        if (r > 0)
            done += std::size_t(r);
        else if (r < 0 && errno != EINTR && errno != EAGAIN)
            return;
    }
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
        m_fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (m_fd < 0)
            return;
        termios tio{};
        tcgetattr(m_fd, &tio);
        cfmakeraw(&tio);
        tio.c_cc[VMIN] = 0;
        tio.c_cc[VTIME] = 0;
        tcsetattr(m_fd, TCSANOW, &tio);
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
    std::thread driverFeed(feed, driverPty.master(), std::cref(sent));
    std::thread bareFeed(feed, barePty.master(), std::cref(sent));

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
    return lost == 0 ? 0 : 1;
}
