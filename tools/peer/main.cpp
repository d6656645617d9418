// SPDX-License-Identifier: GPL-3.0-or-later
// comlab-peer: the far end of a serial line on a pseudo-terminal.
#include "device.h"
#include "options.h"
#include "streams.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <optional>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

using namespace peer;
using namespace std::chrono_literals;

namespace {

volatile std::sig_atomic_t g_stop = 0;
volatile std::sig_atomic_t g_report = 0;

void onStop(int) {
    g_stop = 1;
}
void onReport(int) {
    g_report = 1;
}

// Housekeeping tick: the stale-exclusive check and, without pidfd, the parent check.
constexpr auto kTick = 200ms;
// Echo stops reading when this much waits to go back, so a far side that never reads cannot make us
// grow without bound; it then sees back-pressure like on a line with flow control.
constexpr std::size_t kEchoBacklog = 64 * 1024;
constexpr std::size_t kChunk = 4096;

struct Stats {
    std::uint64_t bytesIn = 0;
    std::uint64_t bytesOut = 0;
    std::uint64_t dropped = 0;
    std::uint64_t corrupted = 0;
    // Rate of arrival: bytes after the first read over the time from the first read to the last.
    Clock::time_point firstIn{}, lastIn{};
    std::uint64_t firstChunk = 0;
    Clock::time_point firstOut{}, lastOut{};
    std::uint64_t firstOutChunk = 0;
};

double rate(std::uint64_t total, std::uint64_t first, Clock::time_point a, Clock::time_point b) {
    const double s = std::chrono::duration<double>(b - a).count();
    return s > 0 ? static_cast<double>(total - first) / s : 0.0;
}

class Peer {
public:
    Peer(const Options& o, PtyDevice& dev, Clock::time_point start)
        : m_o(o), m_dev(dev), m_start(start), m_inPace(o.baud, start), m_outPace(o.baud, start),
          m_source(o.pattern, o.count, o.seed, o.lineEvery), m_checker(o.expect, o.repeatCode) {}

    int run(int parentFd);
    std::string statsLine(Clock::time_point now) const;
    void writeStatsFile(const std::string& line) const;

private:
    void readInput(Clock::time_point now);
    void writeOutput(Clock::time_point now);
    void refillSource();
    std::size_t readyToSend(Clock::time_point now) const;

    const Options& m_o;
    PtyDevice& m_dev;
    Clock::time_point m_start;
    Pacer m_inPace, m_outPace;
    PatternSource m_source;
    SequenceChecker m_checker;
    Stats m_stats;
    struct Pending {
        Clock::time_point due;
        std::uint8_t byte;
    };
    std::deque<Pending> m_echo;
    std::vector<std::uint8_t> m_out; // source bytes made but not yet written
    std::size_t m_outPos = 0;
    bool m_sourceDone = false;
    bool m_waitWritable = false;
    Clock::time_point m_hupUntil{};
    std::optional<Clock::time_point> m_drainedSince;
};

std::size_t Peer::readyToSend(Clock::time_point now) const {
    if (m_o.mode == Mode::Source)
        return m_out.size() - m_outPos;
    std::size_t n = 0;
    for (const auto& p : m_echo) {
        if (p.due > now || n == kChunk)
            break;
        ++n;
    }
    return n;
}

void Peer::refillSource() {
    if (m_outPos < m_out.size() || m_sourceDone)
        return;
    m_out.clear();
    m_outPos = 0;
    // Small batches: a paced line takes few bytes at a time, and a finite count must end exactly.
    const std::size_t batch = m_outPace.limited() ? 256 : kChunk;
    while (m_out.size() < batch) {
        const auto b = m_source.next();
        if (!b) {
            m_sourceDone = true;
            break;
        }
        m_out.push_back(*b);
    }
}

void Peer::readInput(Clock::time_point now) {
    std::size_t want = std::min(kChunk, m_inPace.allowance(now));
    if (m_o.mode == Mode::Echo)
        want = std::min(want, kEchoBacklog - std::min(kEchoBacklog, m_echo.size()));
    if (want == 0)
        return;
    std::uint8_t buf[kChunk];
    const ssize_t n = ::read(m_dev.master(), buf, want);
    if (n <= 0) {
        // EAGAIN: nothing there. EIO cannot come while we hold the slave open, but never spin on it.
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            m_hupUntil = now + 100ms;
        m_inPace.idle(now);
        return;
    }
    const auto got = static_cast<std::size_t>(n);
    m_inPace.consume(got);
    if (got < want)
        m_inPace.idle(now);
    if (m_stats.bytesIn == 0) {
        m_stats.firstIn = now;
        m_stats.firstChunk = got;
    }
    m_stats.lastIn = now;
    for (std::size_t i = 0; i < got; ++i) {
        const std::uint64_t index = ++m_stats.bytesIn;
        std::uint8_t b = buf[i];
        if (m_o.mode == Mode::Sink) {
            m_checker.feed(b);
            continue;
        }
        if (m_o.mode != Mode::Echo)
            continue;
        if (m_o.dropEvery && index % m_o.dropEvery == 0) {
            ++m_stats.dropped;
            continue;
        }
        if (m_o.corruptEvery && index % m_o.corruptEvery == 0) {
            b ^= 0x01;
            ++m_stats.corrupted;
        }
        m_echo.push_back({now + std::chrono::milliseconds(m_o.delayMs), b});
    }
}

void Peer::writeOutput(Clock::time_point now) {
    if (m_o.mode == Mode::Source)
        refillSource();
    const std::size_t ready = readyToSend(now);
    if (ready == 0) {
        m_outPace.idle(now);
        return;
    }
    const std::size_t n = std::min({ready, m_outPace.allowance(now), kChunk});
    if (n == 0)
        return;
    std::uint8_t buf[kChunk];
    const std::uint8_t* data = buf;
    if (m_o.mode == Mode::Source) {
        data = m_out.data() + m_outPos;
    } else {
        for (std::size_t i = 0; i < n; ++i)
            buf[i] = m_echo[i].byte;
    }
    const ssize_t w = ::write(m_dev.master(), data, n);
    if (w < 0) {
        if (errno == EAGAIN)
            m_waitWritable = true;
        else if (errno != EINTR)
            m_hupUntil = now + 100ms;
        m_outPace.idle(now);
        return;
    }
    const auto sent = static_cast<std::size_t>(w);
    m_outPace.consume(sent);
    if (sent < n) {
        // The far side's input queue is full: the line was held up, not behind.
        m_waitWritable = true;
        m_outPace.idle(now);
    }
    if (m_stats.bytesOut == 0) {
        m_stats.firstOut = now;
        m_stats.firstOutChunk = sent;
    }
    m_stats.lastOut = now;
    m_stats.bytesOut += sent;
    if (m_o.mode == Mode::Source)
        m_outPos += sent;
    else
        m_echo.erase(m_echo.begin(), m_echo.begin() + static_cast<std::ptrdiff_t>(sent));
}

std::string Peer::statsLine(Clock::time_point now) const {
    std::ostringstream s;
    s.setf(std::ios::fixed);
    s.precision(3);
    const char* mode = m_o.mode == Mode::Echo ? "echo" : m_o.mode == Mode::Source ? "source" : "sink";
    s << "mode=" << mode << " bytes_in=" << m_stats.bytesIn << " bytes_out=" << m_stats.bytesOut
      << " mismatches=" << m_checker.mismatches() << " first_mismatch=";
    if (const auto& f = m_checker.firstMismatch()) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "%02X:%02X", f->expected, f->got);
        s << f->offset << ':' << hex;
    } else {
        s << "none";
    }
    s << " dropped=" << m_stats.dropped << " corrupted=" << m_stats.corrupted << " sum=" << m_checker.sum()
      << " elapsed=" << std::chrono::duration<double>(now - m_start).count()
      << " rate_in=" << rate(m_stats.bytesIn, m_stats.firstChunk, m_stats.firstIn, m_stats.lastIn)
      << " rate_out=" << rate(m_stats.bytesOut, m_stats.firstOutChunk, m_stats.firstOut, m_stats.lastOut);
    return s.str();
}

void Peer::writeStatsFile(const std::string& line) const {
    if (m_o.statsFile.empty())
        return;
    // Temp file and rename: a reader never sees half a line.
    const std::string temp = m_o.statsFile + ".tmp." + std::to_string(::getpid());
    std::FILE* f = std::fopen(temp.c_str(), "w");
    if (!f) {
        std::fprintf(stderr, "comlab-peer: cannot write %s: %s\n", temp.c_str(), std::strerror(errno));
        return;
    }
    const bool ok = std::fprintf(f, "%s\n", line.c_str()) > 0;
    if (std::fclose(f) != 0 || !ok || std::rename(temp.c_str(), m_o.statsFile.c_str()) != 0) {
        std::fprintf(stderr, "comlab-peer: cannot write %s: %s\n", m_o.statsFile.c_str(),
                     std::strerror(errno));
        std::remove(temp.c_str());
    }
}

timespec toTimespec(Clock::duration d) {
    const auto ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::max(d, Clock::duration::zero()));
    return timespec{static_cast<time_t>(ns.count() / 1'000'000'000),
                    static_cast<long>(ns.count() % 1'000'000'000)};
}

bool parentGone(pid_t pid) {
    return ::kill(pid, 0) != 0 && errno == ESRCH;
}

int Peer::run(int parentFd) {
    sigset_t unblocked;
    sigprocmask(SIG_SETMASK, nullptr, &unblocked);
    sigdelset(&unblocked, SIGINT);
    sigdelset(&unblocked, SIGTERM);
    sigdelset(&unblocked, SIGHUP);
    sigdelset(&unblocked, SIGUSR1);

    std::optional<Clock::time_point> deadline;
    if (m_o.seconds)
        deadline = m_start +
                   std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(*m_o.seconds));
    Clock::time_point nextTick = m_start;
    int quickChecks = 0;
    const bool reads = m_o.mode != Mode::Source;

    for (;;) {
        Clock::time_point now = Clock::now();
        if (g_report) {
            g_report = 0;
            const std::string line = statsLine(now);
            std::fprintf(stderr, "%s\n", line.c_str());
            writeStatsFile(line);
        }
        if (g_stop || (deadline && now >= *deadline))
            return 0;
        if (now >= nextTick) {
            m_dev.releaseStaleExclusive();
            if (m_o.parent && parentFd < 0 && parentGone(*m_o.parent))
                return 0;
            // Right after a close the closer may still hold its lock for a moment: look again soon.
            nextTick = now + (quickChecks > 0 ? 10ms : kTick);
            quickChecks = std::max(0, quickChecks - 1);
        }
        const bool hup = now < m_hupUntil;
        if (!hup && !m_waitWritable)
            writeOutput(now);
        if (m_o.mode == Mode::Source && m_sourceDone && m_outPos == m_out.size()) {
            // All written; stay until the far side has read it, or it would go with the device. The
            // kernel moves written bytes into that queue a moment later, so empty must last a while.
            if (m_dev.pendingForFarSide() > 0)
                m_drainedSince.reset();
            else if (!m_drainedSince)
                m_drainedSince = now;
            else if (now - *m_drainedSince >= 50ms)
                return 0;
        }

        // What to wait for, and until when.
        Clock::time_point wake = nextTick;
        if (deadline)
            wake = std::min(wake, *deadline);
        pollfd fds[3] = {{m_dev.master(), 0, 0}, {m_dev.closeWatch(), POLLIN, 0}, {parentFd, POLLIN, 0}};
        if (hup) {
            fds[0].fd = -1;
            wake = std::min(wake, m_hupUntil);
        } else {
            if (reads) {
                if (m_inPace.allowance(now) > 0)
                    fds[0].events |= POLLIN;
                else
                    wake = std::min(wake, m_inPace.nextCredit());
            }
            if (m_waitWritable) {
                fds[0].events |= POLLOUT;
            } else if (m_o.mode == Mode::Source) {
                if (m_outPos < m_out.size() || !m_sourceDone)
                    wake = std::min(wake, m_outPace.nextCredit());
                else
                    wake = std::min(wake, now + 10ms); // waiting for the far side to read the rest
            } else if (!m_echo.empty()) {
                wake = std::min({wake, std::max(m_echo.front().due, m_outPace.nextCredit())});
            }
        }
        // At least a millisecond: a fast line then moves a few bytes per wake-up instead of spinning.
        const timespec ts = toTimespec(std::max(wake - now, Clock::duration(1ms)));
        const int rc = ::ppoll(fds, 3, &ts, &unblocked);
        if (rc < 0) {
            if (errno == EINTR)
                continue;
            std::fprintf(stderr, "comlab-peer: poll: %s\n", std::strerror(errno));
            return 1;
        }
        now = Clock::now();
        if (parentFd >= 0 && (fds[2].revents & POLLIN))
            return 0;
        if (fds[1].revents & POLLIN) {
            m_dev.takeCloseEvents();
            nextTick = now;
            quickChecks = 3;
        }
        if (fds[0].revents & POLLOUT)
            m_waitWritable = false;
        if (fds[0].revents & (POLLHUP | POLLERR)) {
            // Only when no descriptor of the far side is open; back off instead of polling hot.
            m_hupUntil = now + 100ms;
            m_waitWritable = false;
        }
        if (reads && (fds[0].revents & POLLIN))
            readInput(now);
    }
}

int openParent(pid_t pid) {
#ifdef SYS_pidfd_open
    const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (fd >= 0)
        return fd;
#else
    (void)pid;
#endif
    return -1;
}

} // namespace

int main(int argc, char** argv) {
    const ParseResult parsed = parseOptions(argc, argv);
    if (parsed.status == ParseStatus::Help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (parsed.status == ParseStatus::Error) {
        std::fprintf(stderr, "comlab-peer: %s\n%s", parsed.error.c_str(), kUsage);
        return 2;
    }
    const Options& o = parsed.options;

    // Signals arrive only inside ppoll, so a flag set by a handler is always seen before we sleep.
    sigset_t handled;
    sigemptyset(&handled);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGUSR1})
        sigaddset(&handled, s);
    sigprocmask(SIG_BLOCK, &handled, nullptr);
    struct sigaction sa {};
    sa.sa_handler = onStop;
    for (int s : {SIGINT, SIGTERM, SIGHUP})
        sigaction(s, &sa, nullptr);
    sa.sa_handler = onReport;
    sigaction(SIGUSR1, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    UniqueFd parentFd;
    if (o.parent) {
        parentFd = UniqueFd(openParent(*o.parent));
        if (!parentFd && parentGone(*o.parent))
            return 0;
    }

    std::string error;
    PtyDevice dev = PtyDevice::open(error);
    if (!error.empty()) {
        std::fprintf(stderr, "comlab-peer: %s\n", error.c_str());
        return 1;
    }
    std::optional<PortLink> link;
    if (!o.mapDir.empty()) {
        std::string note;
        link.emplace(PortLink::create(o.mapDir, o.com, dev.path(), error, note));
        if (!error.empty()) {
            std::fprintf(stderr, "comlab-peer: %s\n", error.c_str());
            return 1;
        }
        if (!note.empty())
            std::fprintf(stderr, "comlab-peer: %s\n", note.c_str());
    }
    std::printf("%s\n", dev.path().c_str());
    std::fflush(stdout);

    const auto start = Clock::now();
    Peer peer(o, dev, start);
    const int status = peer.run(parentFd.get());
    const std::string line = peer.statsLine(Clock::now());
    std::fprintf(stderr, "%s\n", line.c_str());
    peer.writeStatsFile(line);
    return status;
}
