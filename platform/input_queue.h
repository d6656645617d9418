// SPDX-License-Identifier: GPL-3.0-or-later
// The port's own input queue. A terminal device holds only about 4 KiB of input, so a program that
// empties it on a timer caps intake far below what a USB adapter streams, and what the device cannot
// hold is lost on the device. A reader thread therefore drains the descriptor as data arrives into a
// bounded queue of our own, as the Windows serial driver fills its input queue between reads.
#pragma once

#include "platform/comm.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace platform::detail {

// Bytes in fixed-size chunks: appending and taking never move what is already stored, so a queue of
// many megabytes costs no large copies. Not thread-safe by itself.
class ChunkQueue {
public:
    static constexpr std::size_t kChunk = 64 * 1024;

    std::size_t size() const { return m_size; }
    // Contiguous room at the tail (a fresh chunk when the last one is full): fill it, then commit().
    unsigned char* tail(std::size_t& room);
    void commit(std::size_t n);
    // Moves up to `n` bytes from the head into `out`; returns how many.
    std::size_t take(unsigned char* out, std::size_t n);
    void clear();

private:
    struct Chunk {
        std::unique_ptr<unsigned char[]> bytes;
        std::size_t begin = 0;
        std::size_t end = 0;
    };
    std::deque<Chunk> m_chunks;
    std::unique_ptr<unsigned char[]> m_spare; // one emptied chunk kept, so a steady stream allocates nothing
    std::size_t m_size = 0;
};

// A total time-out: constant + multiplier × bytes. Both factors are 32-bit, so the product needs the
// full unsigned 64 bits; anything past a few hundred million years is as good as no limit.
long long totalTimeoutMs(DWORD constant, DWORD multiplier, DWORD bytes);

// Tests: called on the reader thread each time it has taken what the descriptor held and is about to
// wait for more. Null (the default) calls nothing.
using ReaderWaitHook = void (*)(void* context);
void setReaderWaitHook(ReaderWaitHook hook, void* context);

// Turns what a descriptor gives into the data it carries (a network port's telnet framing, say), in
// place on the reader thread. With a filter the queue never drops: when full it stops reading, so the
// far side is held back; and a read of nothing is the end of the stream.
class InputFilter {
public:
    virtual ~InputFilter() = default;
    struct Mark {
        std::size_t at = 0; // bytes of the filtered data before it
        ReceiveEventKind kind{};
        std::uint64_t count = 0;
    };
    // Filters the `n` bytes at `bytes` in place; returns how many data bytes are left there.
    virtual std::size_t filter(unsigned char* bytes, std::size_t n, std::vector<Mark>& marks) = 0;
};

// A reader thread that drains a terminal descriptor into a ChunkQueue of at most `bound` bytes.
//
// The reader never rests while the descriptor has data: a hang-up (an unplug, a board reset) empties
// the kernel's buffer at that moment, so whatever still waits there when it comes is lost.
//
// When the queue is full, the oldest data stays and the newest is read and dropped, and the next
// status() says so once. Under input flow control (RTS/CTS or XON/XOFF) the reader stops reading
// instead, so the kernel holds the far side back and nothing is lost. A hang-up, end of file or read
// error stops the reader; what was queued before it is still handed out, and only then is the error
// reported.
//
// Besides, the reader notes where in the stream things happened (ReceiveEvent): a drop, the line
// errors the driver counted (sampled after every read), the hang-up, and the first read after a pause
// (an Arrival, with the wall-clock time of that read). takeEvents() hands them over.
class InputQueue {
public:
    using Clock = std::chrono::steady_clock;

    // Starts reading `fd`, which the caller keeps open until this object is gone. Throws
    // std::system_error when no thread or wake-up descriptor can be had.
    InputQueue(int fd, std::size_t bound, InputFilter* filter = nullptr);
    ~InputQueue(); // stops and joins the reader
    InputQueue(const InputQueue&) = delete;
    InputQueue& operator=(const InputQueue&) = delete;

    struct Status {
        std::size_t queued = 0;
        bool overflowed = false; // data was dropped since the last status(); cleared by asking
        int error = 0;           // errno of the hang-up or read error that stopped the reader, or 0
    };
    Status status();

    // How long read() waits: not at all, until a deadline, and/or until a gap after the last byte.
    struct Limits {
        bool immediate = false;
        std::optional<Clock::time_point> deadline;
        std::optional<Clock::duration> interval;
        // The limits of a ReadFile of `toRead` bytes under the port's time-outs, starting now.
        static Limits forRead(const COMMTIMEOUTS& timeouts, DWORD toRead);
    };
    struct Result {
        std::size_t got = 0;
        int error = 0; // set only when nothing was handed out and the reader has stopped
    };
    Result read(unsigned char* out, std::size_t n, const Limits& limits);

    // Moves the events noted since the last call to the end of `out`.
    void takeEvents(std::vector<ReceiveEvent>& out);

    // Empties the queue together with the kernel's input. `flushKernel` runs under the queue's lock,
    // while the reader cannot be inside a read, so nothing it took before the purge comes back after
    // it. When `flushKernel` fails the queue is left as it is.
    template <typename F> bool purge(F flushKernel) {
        std::lock_guard lock(m_mutex);
        if (!flushKernel())
            return false;
        m_queue.clear();
        // What was noted among the purged bytes now stands where reading goes on.
        for (ReceiveEvent& e : m_events)
            e.offset = std::min(e.offset, m_taken);
        resumeLocked();
        return true;
    }

private:
    void run();
    // Reads what the descriptor has and returns how much; nothing once the reader must stop (hang-up,
    // error).
    std::optional<std::size_t> drain(short revents);
    bool holdsWhenFull() const;
    // Notes an event at the end of what is queued; a drop right after a drop adds to it.
    void noteLocked(ReceiveEventKind kind, std::uint64_t count);
    // Reads the driver's line-error counts and notes what rose since the last look.
    void sampleLineErrorsLocked();
    void resumeLocked();
    void wake();

    // The descriptor that wakes the reader out of poll() (for a stop, or room after a hold).
    class WakeFd {
    public:
        WakeFd();
        ~WakeFd();
        WakeFd(const WakeFd&) = delete;
        WakeFd& operator=(const WakeFd&) = delete;
        int get() const { return m_fd; }

    private:
        int m_fd;
    };

    const int m_fd;
    const std::size_t m_bound;
    InputFilter* const m_filter;
    std::vector<InputFilter::Mark> m_marks;
    WakeFd m_wake;

    std::mutex m_mutex;
    std::condition_variable m_arrived;
    ChunkQueue m_queue;
    bool m_overflowed = false;
    bool m_held = false; // full under flow control: not reading until there is room again
    bool m_stop = false;
    int m_error = 0;
    std::uint64_t m_taken = 0;                   // bytes handed out by read() so far
    std::optional<Clock::time_point> m_lastRead; // when the descriptor last gave bytes
    std::vector<ReceiveEvent> m_events;
    // The driver's error counts (frame, parity, overrun, buffer overrun, break) at the last look;
    // a device that keeps none (a pseudo-terminal) is asked once.
    std::optional<std::array<int, 5>> m_counts;
    bool m_countsKept = true;
    unsigned char m_discard[4096];

    std::thread m_thread; // last: started once everything above is in place
};

} // namespace platform::detail
