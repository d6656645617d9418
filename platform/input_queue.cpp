// SPDX-License-Identifier: GPL-3.0-or-later
#include "input_queue.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <system_error>
#include <termios.h>
#include <unistd.h>

namespace platform::detail {

// ---- ChunkQueue ----

unsigned char* ChunkQueue::tail(std::size_t& room) {
    if (m_chunks.empty() || m_chunks.back().end == kChunk) {
        Chunk c;
        c.bytes = m_spare ? std::move(m_spare) : std::make_unique_for_overwrite<unsigned char[]>(kChunk);
        m_chunks.push_back(std::move(c));
    }
    Chunk& last = m_chunks.back();
    room = kChunk - last.end;
    return last.bytes.get() + last.end;
}

void ChunkQueue::commit(std::size_t n) {
    m_chunks.back().end += n;
    m_size += n;
}

std::size_t ChunkQueue::take(unsigned char* out, std::size_t n) {
    std::size_t done = 0;
    while (done < n && done < m_size) {
        Chunk& first = m_chunks.front();
        const std::size_t k = std::min(n - done, first.end - first.begin);
        std::memcpy(out + done, first.bytes.get() + first.begin, k);
        first.begin += k;
        done += k;
        if (first.begin < first.end)
            continue;
        // A drained chunk is kept for reuse: as the spare, or in place when it is the only one.
        if (m_chunks.size() == 1) {
            first.begin = first.end = 0;
        } else {
            m_spare = std::move(first.bytes);
            m_chunks.pop_front();
        }
    }
    m_size -= done;
    return done;
}

void ChunkQueue::clear() {
    if (!m_chunks.empty() && !m_spare)
        m_spare = std::move(m_chunks.front().bytes);
    m_chunks.clear();
    m_size = 0;
}

// ---- InputQueue ----

namespace {
std::atomic<ReaderWaitHook> g_waitHook{nullptr};
std::atomic<void*> g_waitHookContext{nullptr};

std::int64_t wallClockMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}
} // namespace

void setReaderWaitHook(ReaderWaitHook hook, void* context) {
    g_waitHookContext = context;
    g_waitHook = hook;
}

InputQueue::WakeFd::WakeFd() : m_fd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    if (m_fd < 0)
        throw std::system_error(errno, std::generic_category(), "eventfd");
}

InputQueue::WakeFd::~WakeFd() {
    ::close(m_fd);
}

InputQueue::InputQueue(int fd, std::size_t bound, InputFilter* filter)
    : m_fd(fd), m_bound(std::max<std::size_t>(bound, 1)), m_filter(filter), m_countsKept(filter == nullptr),
      m_thread([this] { run(); }) {}

InputQueue::~InputQueue() {
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    wake();
    m_thread.join();
}

void InputQueue::wake() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t r = ::write(m_wake.get(), &one, sizeof one);
}

// After room was made under a hold, the reader looks at the descriptor again; it waits for a good
// stretch of room, so a consumer taking a few bytes at a time does not wake it for each.
void InputQueue::resumeLocked() {
    if (m_held && m_bound - m_queue.size() >= std::min(ChunkQueue::kChunk, (m_bound + 1) / 2)) {
        m_held = false;
        wake();
    }
}

bool InputQueue::holdsWhenFull() const {
    if (m_filter)
        return true;
    termios t{};
    return ::tcgetattr(m_fd, &t) == 0 && ((t.c_cflag & CRTSCTS) || (t.c_iflag & IXOFF));
}

InputQueue::Status InputQueue::status() {
    std::lock_guard lock(m_mutex);
    Status s{m_queue.size(), m_overflowed, m_error};
    m_overflowed = false;
    return s;
}

void InputQueue::takeEvents(std::vector<ReceiveEvent>& out) {
    std::lock_guard lock(m_mutex);
    out.insert(out.end(), m_events.begin(), m_events.end());
    m_events.clear();
}

void InputQueue::noteLocked(ReceiveEventKind kind, std::uint64_t count) {
    const std::uint64_t at = m_taken + m_queue.size();
    if (kind == ReceiveEventKind::QueueOverflow && !m_events.empty() && m_events.back().kind == kind &&
        m_events.back().offset == at) {
        m_events.back().count += count;
        return;
    }
    m_events.push_back({at, kind, count, wallClockMs()});
}

void InputQueue::sampleLineErrorsLocked() {
    if (!m_countsKept)
        return;
    serial_icounter_struct c{};
    if (::ioctl(m_fd, TIOCGICOUNT, &c) != 0) {
        // Asked once and refused: this device keeps no counts. Later, a device that is gone.
        if (!m_counts)
            m_countsKept = false;
        return;
    }
    const std::array<int, 5> now{c.frame, c.parity, c.overrun, c.buf_overrun, c.brk};
    if (m_counts) {
        static constexpr ReceiveEventKind kinds[5] = {ReceiveEventKind::Framing, ReceiveEventKind::Parity,
                                                      ReceiveEventKind::Overrun, ReceiveEventKind::Overrun,
                                                      ReceiveEventKind::Break};
        for (std::size_t i = 0; i < now.size(); ++i) {
            // The counts are the driver's ints; they only grow, and wrap as unsigned.
            const auto rose = std::uint32_t(now[i]) - std::uint32_t((*m_counts)[i]);
            if (rose == 0)
                continue;
            // An overrun of the receiver and of the driver's buffer are one loss to the user.
            if (i == 3 && !m_events.empty() && m_events.back().kind == ReceiveEventKind::Overrun &&
                m_events.back().offset == m_taken + m_queue.size()) {
                m_events.back().count += rose;
                continue;
            }
            noteLocked(kinds[i], rose);
        }
    }
    m_counts = now;
}

long long totalTimeoutMs(DWORD constant, DWORD multiplier, DWORD bytes) {
    const std::uint64_t ms = std::uint64_t(constant) + std::uint64_t(multiplier) * bytes;
    return static_cast<long long>(std::min<std::uint64_t>(ms, std::uint64_t(1) << 53));
}

InputQueue::Limits InputQueue::Limits::forRead(const COMMTIMEOUTS& to, DWORD toRead) {
    constexpr DWORD kMaxDword = 0xFFFFFFFFu;
    Limits limits;
    // MAXDWORD interval with no totals: return at once with what is there.
    limits.immediate = to.ReadIntervalTimeout == kMaxDword && to.ReadTotalTimeoutMultiplier == 0 &&
                       to.ReadTotalTimeoutConstant == 0;
    const long long total =
        totalTimeoutMs(to.ReadTotalTimeoutConstant, to.ReadTotalTimeoutMultiplier, toRead);
    // Past some decades a time-out is as good as none, and the clock's range stays safe.
    if ((to.ReadTotalTimeoutConstant != 0 || to.ReadTotalTimeoutMultiplier != 0) && total < (1LL << 40))
        limits.deadline = Clock::now() + std::chrono::milliseconds(total);
    if (to.ReadIntervalTimeout != 0 && to.ReadIntervalTimeout != kMaxDword)
        limits.interval = std::chrono::milliseconds(to.ReadIntervalTimeout);
    return limits;
}

InputQueue::Result InputQueue::read(unsigned char* out, std::size_t n, const Limits& limits) {
    std::unique_lock lock(m_mutex);
    Result r;
    auto lastByte = Clock::now();
    while (r.got < n) {
        if (const std::size_t k = m_queue.take(out + r.got, n - r.got)) {
            r.got += k;
            m_taken += k;
            lastByte = Clock::now();
            resumeLocked();
            continue;
        }
        // Hand over what came; the next call reports the failure.
        if (m_error) {
            if (r.got == 0)
                r.error = m_error;
            break;
        }
        if (limits.immediate)
            break;
        auto until = Clock::time_point::max();
        if (limits.deadline)
            until = std::min(until, *limits.deadline);
        if (r.got > 0 && limits.interval)
            until = std::min(until, lastByte + *limits.interval);
        if (until == Clock::time_point::max())
            m_arrived.wait(lock);
        else if (Clock::now() >= until || m_arrived.wait_until(lock, until) == std::cv_status::timeout) {
            const std::size_t k = m_queue.take(out + r.got, n - r.got); // what came with the time-out
            r.got += k;
            m_taken += k;
            resumeLocked();
            break;
        }
    }
    return r;
}

void InputQueue::run() {
    {
        std::lock_guard lock(m_mutex);
        sampleLineErrorsLocked(); // the counts at open: what came before is none of ours
    }
    for (;;) {
        bool watch = false;
        {
            std::lock_guard lock(m_mutex);
            if (m_stop)
                return;
            watch = !m_held;
        }
        if (const ReaderWaitHook hook = g_waitHook)
            hook(g_waitHookContext);
        pollfd fds[2] = {{m_wake.get(), POLLIN, 0}, {watch ? m_fd : -1, POLLIN, 0}};
        const int r = ::poll(fds, 2, -1);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            std::lock_guard lock(m_mutex);
            m_error = errno;
            noteLocked(ReceiveEventKind::HangUp, std::uint64_t(m_error));
            m_arrived.notify_all();
            return;
        }
        if (fds[0].revents & POLLIN) {
            std::uint64_t count = 0;
            [[maybe_unused]] const ssize_t r = ::read(m_wake.get(), &count, sizeof count);
        }
        if (fds[1].revents && !drain(fds[1].revents))
            return;
    }
}

std::optional<std::size_t> InputQueue::drain(short revents) {
    std::lock_guard lock(m_mutex);
    std::size_t took = 0;
    bool more = true;
    int error = 0;
    while (more) {
        const std::size_t room = m_bound - m_queue.size();
        std::size_t want = 0;
        unsigned char* into = nullptr;
        if (room > 0) {
            into = m_queue.tail(want);
            want = std::min(want, room);
        } else if (holdsWhenFull()) {
            m_held = true;
            break;
        } else {
            into = m_discard;
            want = sizeof m_discard;
        }
        // Reading under the lock: a purge never meets bytes that are on their way into the queue.
        const ssize_t r = ::read(m_fd, into, want);
        if (r > 0) {
            // The first bytes after a quiet line: when they came, before them in the stream. One look
            // at the clock per wake-up, not per read.
            if (took == 0) {
                const auto now = Clock::now();
                if (!m_lastRead || now - *m_lastRead >= std::chrono::milliseconds(kArrivalPauseMs))
                    noteLocked(ReceiveEventKind::Arrival, 0);
                m_lastRead = now;
            }
            // Line errors come with the bytes that carried them: noted before this read's bytes.
            sampleLineErrorsLocked();
            if (into == m_discard) {
                m_overflowed = true;
                noteLocked(ReceiveEventKind::QueueOverflow, std::uint64_t(r));
            } else if (m_filter) {
                m_marks.clear();
                const std::size_t kept = m_filter->filter(into, std::size_t(r), m_marks);
                std::size_t committed = 0;
                for (const InputFilter::Mark& m : m_marks) {
                    const std::size_t at = std::min(m.at, kept);
                    m_queue.commit(at - committed);
                    committed = at;
                    noteLocked(m.kind, m.count);
                }
                m_queue.commit(kept - committed);
            } else {
                m_queue.commit(std::size_t(r));
            }
            took += std::size_t(r);
            more = std::size_t(r) == want; // a short read emptied the kernel's queue
        } else if (r == 0 && m_filter && want > 0) {
            error = ECONNRESET; // the far side closed the connection
            more = false;
        } else if (r < 0 && errno == EINTR) {
            continue;
        } else if (r < 0 && errno != EAGAIN) {
            error = errno;
            more = false;
        } else {
            // Nothing there. With reads that never wait, a hung-up device also reads as empty; the
            // poll result tells the two apart.
            if (revents & POLLNVAL)
                error = EBADF;
            else if (revents & (POLLHUP | POLLERR))
                error = EIO;
            more = false;
        }
    }
    if (error) {
        m_error = error;
        sampleLineErrorsLocked();
        noteLocked(ReceiveEventKind::HangUp, std::uint64_t(error));
    }
    if (took > 0 || error)
        m_arrived.notify_all();
    if (error)
        return std::nullopt;
    return took;
}

} // namespace platform::detail
