// SPDX-License-Identifier: GPL-3.0-or-later
#include "input_queue.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <poll.h>
#include <sys/eventfd.h>
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

InputQueue::WakeFd::WakeFd() : m_fd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    if (m_fd < 0)
        throw std::system_error(errno, std::generic_category(), "eventfd");
}

InputQueue::WakeFd::~WakeFd() {
    ::close(m_fd);
}

InputQueue::InputQueue(int fd, std::size_t bound)
    : m_fd(fd), m_bound(std::max<std::size_t>(bound, 1)), m_thread([this] { run(); }) {}

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
    termios t{};
    return ::tcgetattr(m_fd, &t) == 0 && ((t.c_cflag & CRTSCTS) || (t.c_iflag & IXOFF));
}

InputQueue::Status InputQueue::status() {
    std::lock_guard lock(m_mutex);
    Status s{m_queue.size(), m_overflowed, m_error};
    m_overflowed = false;
    return s;
}

InputQueue::Result InputQueue::read(unsigned char* out, std::size_t n, const Limits& limits) {
    std::unique_lock lock(m_mutex);
    Result r;
    auto lastByte = Clock::now();
    while (r.got < n) {
        if (const std::size_t k = m_queue.take(out + r.got, n - r.got)) {
            r.got += k;
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
            r.got += m_queue.take(out + r.got, n - r.got); // what came with the time-out
            resumeLocked();
            break;
        }
    }
    return r;
}

namespace {
// A slow, steady stream (below 100 KB/s) would wake the reader for every few bytes the far side
// sends; the reader then rests a moment between reads and fetches it in fewer, larger pieces, which keeps
// its cost near that of the consumer's own poll. The kernel holds 4 KiB meanwhile, twice what such a
// stream brings in one rest, and the consumer looks only every few tens of milliseconds anyway. The
// rate is judged from the bytes one read took and the time since the read before; after a pause of more
// than two rests there is no rate yet, so the first arrivals of a burst are never kept waiting.
constexpr auto kRest = std::chrono::milliseconds(20);
constexpr auto kPause = 2 * kRest;
constexpr double kSlowBytesPerSecond = 100'000;
} // namespace

void InputQueue::run() {
    bool rest = false;
    auto lastRead = Clock::now() - kPause;
    for (;;) {
        bool watch = false;
        {
            std::lock_guard lock(m_mutex);
            if (m_stop)
                return;
            watch = !m_held && !rest;
        }
        pollfd fds[2] = {{m_wake.get(), POLLIN, 0}, {watch ? m_fd : -1, POLLIN, 0}};
        const int r = ::poll(fds, 2, rest ? int(kRest.count()) : -1);
        rest = false;
        if (r < 0) {
            if (errno == EINTR)
                continue;
            std::lock_guard lock(m_mutex);
            m_error = errno;
            m_arrived.notify_all();
            return;
        }
        if (fds[0].revents & POLLIN) {
            std::uint64_t count = 0;
            [[maybe_unused]] const ssize_t r = ::read(m_wake.get(), &count, sizeof count);
        }
        if (fds[1].revents) {
            const auto now = Clock::now();
            const std::optional<std::size_t> took = drain(fds[1].revents);
            if (!took)
                return;
            const std::chrono::duration<double> since = now - lastRead;
            rest = since <= kPause && double(*took) < kSlowBytesPerSecond * since.count();
            lastRead = now;
        }
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
            if (into == m_discard) {
                m_overflowed = true;
            } else {
                m_queue.commit(std::size_t(r));
            }
            took += std::size_t(r);
            more = std::size_t(r) == want; // a short read emptied the kernel's queue
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
    if (error)
        m_error = error;
    if (took > 0 || error)
        m_arrived.notify_all();
    if (error)
        return std::nullopt;
    return took;
}

} // namespace platform::detail
