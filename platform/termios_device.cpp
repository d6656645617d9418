// SPDX-License-Identifier: GPL-3.0-or-later
// The communication calls on a Linux terminal device (termios). A HANDLE is the address of a Port this
// file owns; handles are looked up in a table, so a stale or foreign handle fails instead of crashing.
// On failure errno says why; a refused open or line setting also keeps, for GetLastError, the device
// and what it refused or who holds it.
#include "device_holder.h"
#include "input_queue.h"
#include "net_device.h"
#include "platform/comm.h"
#include "platform/ports.h"
#include "termios2_rate.h"
#include "termios_settings.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <limits>
#include <linux/serial.h>
#include <map>
#include <memory>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <system_error>
#include <termios.h>
#include <unistd.h>

namespace platform {
namespace {

using detail::applyDcb;
using detail::InputQueue;
using detail::makeRaw;
using detail::sameSettings;
using detail::totalTimeoutMs;

using Clock = std::chrono::steady_clock;

constexpr DWORD kSetBreak = 8; // the escape codes for a break condition
constexpr DWORD kClrBreak = 9;

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) {}
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    int get() const { return m_fd; }

private:
    int m_fd = -1;
};

// Waits a little for queued output to leave before the descriptor is closed: a close with output held
// back (by flow control, say) would otherwise block for the kernel's closing wait of up to 30 s. What
// cannot go within about a second is dropped.
void drainBriefly(int fd) {
    int last = std::numeric_limits<int>::max();
    int stalled = 0;
    for (int i = 0; i < 100 && stalled < 20; ++i) {
        int queued = 0;
        if (ioctl(fd, TIOCOUTQ, &queued) != 0 || queued <= 0)
            return;
        stalled = queued < last ? 0 : stalled + 1;
        last = queued;
        ::poll(nullptr, 0, 10);
    }
    tcflush(fd, TCOFLUSH);
}

struct Port {
    UniqueFd fd;
    bool exclusive = false;
    bool handedOut = false; // the open went through and the caller holds the handle
    std::string device;     // what the port name led to
    COMMTIMEOUTS timeouts{};
    DWORD inQueue = 0;
    DWORD outQueue = 0;
    serial_icounter_struct counts{};
    bool haveCounts = false;
    // Received bytes wait here, not in the kernel; absent on a port opened for writing only.
    std::unique_ptr<InputQueue> input;

    explicit Port(int f) : fd(f) {}
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;
    ~Port() {
        input.reset(); // the reader is joined before the descriptor goes
        // The output queue belongs to the device: an open that was refused (the device is busy, say)
        // must leave what the holder is sending alone.
        if (handedOut)
            drainBriefly(fd.get());
        // The exclusive flag lives on the device, not on our descriptor; leave it as we found it.
        if (exclusive)
            ioctl(fd.get(), TIOCNXCL);
    }
};

BOOL fail(int err) {
    errno = err;
    return FALSE;
}

// Fails a call on `port` with the line setting the device would not take.
BOOL refuseSetting(const Port& port, LineSetting setting, DWORD value, int err = EINVAL) {
    FailureDetail detail;
    detail.device = port.device;
    detail.systemError = err;
    detail.refused = setting;
    detail.refusedValue = value;
    SetLastFailure(ErrorForErrno(err), std::move(detail));
    return fail(err);
}

// Keeps why an open of `path` failed: the device it led to and, for a busy one, who holds it.
void noteOpenFailure(const std::string& path, int err) {
    FailureDetail detail;
    detail.device = path.empty() ? std::string() : DeviceBehind(path);
    detail.systemError = err;
    if (err == EBUSY) {
        if (auto holder = detail::findHolder(detail.device)) {
            detail.holderPid = holder->pid;
            detail.holderName = holder->name;
        }
    }
    SetLastFailure(ErrorForErrno(err), std::move(detail));
    errno = err;
}

// A device without modem lines (a pseudo-terminal) answers ENOTTY or EINVAL.
bool noModemLines(int err) {
    return err == ENOTTY || err == EINVAL;
}

// Raises or drops a modem line; a device without modem lines is no failure here.
int driveLine(int fd, int line, bool on) {
    if (ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &line) == 0)
        return 0;
    return noModemLines(errno) ? 0 : errno;
}

bool rateClose(unsigned got, DWORD want) {
    // The kernel itself treats rates within 2 % as the same line rate.
    const auto diff = got > want ? got - want : want - got;
    return std::uint64_t(diff) * 50 <= want;
}

long long msSince(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

// Waits up to `ms` for `events`; false when the device is gone (hang-up, error).
bool waitFor(int fd, short events, int ms) {
    pollfd p{fd, events, 0};
    int r;
    do {
        r = ::poll(&p, 1, ms);
    } while (r < 0 && errno == EINTR);
    if (r < 0)
        return false;
    if (p.revents & (POLLHUP | POLLERR | POLLNVAL)) {
        errno = EIO;
        return false;
    }
    return true;
}

// The value of `setting` in a record, for telling the user which one a device refused.
DWORD settingValue(const DCB& dcb, LineSetting setting) {
    switch (setting) {
    case LineSetting::DataBits:
        return dcb.ByteSize;
    case LineSetting::Parity:
        return dcb.Parity;
    case LineSetting::StopBits:
        return dcb.StopBits;
    case LineSetting::BaudRate:
        return dcb.BaudRate;
    default:
        return 0;
    }
}

// What a port holds now (termios, rate, DTR and RTS), to put back when a record is not taken whole.
class SavedLine {
public:
    explicit SavedLine(int fd) : m_fd(fd) {
        m_haveTermios = tcgetattr(fd, &m_termios) == 0;
        unsigned in = 0;
        m_haveRate = detail::readRates(fd, m_rate, in) == 0 && m_rate != 0;
        m_haveLines = ioctl(fd, TIOCMGET, &m_lines) == 0;
    }
    void restore() const {
        if (m_haveTermios)
            tcsetattr(m_fd, TCSANOW, &m_termios);
        // An arbitrary rate does not come back with the termios: put it back by its value.
        unsigned out = 0;
        unsigned in = 0;
        if (m_haveRate && detail::readRates(m_fd, out, in) == 0 && out != m_rate)
            detail::setArbitraryRate(m_fd, m_rate);
        if (m_haveLines) {
            for (const int line : {TIOCM_DTR, TIOCM_RTS})
                driveLine(m_fd, line, (m_lines & line) != 0);
        }
    }

private:
    int m_fd;
    termios m_termios{};
    unsigned m_rate = 0;
    int m_lines = 0;
    bool m_haveTermios = false;
    bool m_haveRate = false;
    bool m_haveLines = false;
};

// Longest single wait when a time-out is unbounded; the loop then looks again.
constexpr int kWaitSlice = 500;

class TermiosDevice final : public CommDevice {
public:
    explicit TermiosDevice(std::size_t inputBound) : m_inputBound(inputBound) {}

    HANDLE CreateFileA(LPCSTR fileName, DWORD access, DWORD, DWORD creation, DWORD) override {
        if (creation != OPEN_EXISTING) {
            errno = EINVAL;
            return INVALID_HANDLE_VALUE;
        }
        const std::string path = ResolvePortName(fileName);
        // Why an open fails is kept for the caller; whatever was opened is closed untouched.
        const auto refuse = [&path](int err) {
            noteOpenFailure(path, err);
            return INVALID_HANDLE_VALUE;
        };
        if (path.empty())
            return refuse(ENOENT);
        const bool rd = access & GENERIC_READ;
        const bool wr = access & GENERIC_WRITE;
        const int mode = rd == wr ? O_RDWR : (rd ? O_RDONLY : O_WRONLY);
        const int fd = ::open(path.c_str(), mode | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        // A ttyS entry with no UART behind it answers EIO: there is no such device.
        if (fd < 0)
            return refuse(errno == EIO ? ENODEV : errno);
        auto port = std::make_shared<Port>(fd);
        if (!isatty(fd))
            return refuse(errno);
        // TIOCEXCL keeps other programs out but not root; flock keeps out every program that asks
        // first, root included. Both go, so either kind of neighbour is turned away.
        if (flock(fd, LOCK_EX | LOCK_NB) != 0)
            return refuse(errno == EWOULDBLOCK ? EBUSY : errno);
        // Only a mark we set is ours to clear on close: root gets past another program's mark, and
        // clearing it then would let others in beside that program.
        int markedBefore = 0;
#ifdef TIOCGEXCL
        if (ioctl(fd, TIOCGEXCL, &markedBefore) != 0)
            markedBefore = 0;
#endif
        if (ioctl(fd, TIOCEXCL) == 0)
            port->exclusive = markedBefore == 0;
        else if (!noModemLines(errno))
            return refuse(errno);

        termios t{};
        if (tcgetattr(fd, &t) != 0)
            return refuse(errno);
        makeRaw(t);
        termios back{};
        if (tcsetattr(fd, TCSANOW, &t) != 0 || tcgetattr(fd, &back) != 0)
            return refuse(errno);
        if (!sameSettings(t, back))
            return refuse(EIO);
        if (rd) {
            try {
                port->input = std::make_unique<InputQueue>(fd, m_inputBound);
            } catch (const std::system_error& e) {
                return refuse(e.code().value());
            }
        }
        const HANDLE h = port.get();
        // From here the port is a handle: its close drains what it queued.
        port->handedOut = true;
        port->device = DeviceBehind(path);
        std::lock_guard lock(m_mutex);
        m_ports.emplace(h, std::move(port));
        return h;
    }

    BOOL CloseHandle(HANDLE h) override {
        std::shared_ptr<Port> port;
        {
            std::lock_guard lock(m_mutex);
            auto it = m_ports.find(h);
            if (it == m_ports.end())
                return fail(EBADF);
            port = std::move(it->second);
            m_ports.erase(it);
        }
        return TRUE;
    }

    BOOL SetCommState(HANDLE h, const DCB& dcb) override {
        auto port = find(h);
        if (!port)
            return fail(EBADF);
        const int fd = port->fd.get();
        termios t{};
        if (tcgetattr(fd, &t) != 0)
            return FALSE;
        speed_t speed = B0;
        LineSetting refused = LineSetting::None;
        if (int err = applyDcb(dcb, t, speed, &refused))
            return refuseSetting(*port, refused, settingValue(dcb, refused), err);
        // A record the device does not take whole leaves the port as it was, so that what runs on it
        // is what the caller last had accepted.
        const SavedLine saved(fd);
        if (applyRecord(*port, dcb, t, speed))
            return TRUE;
        const int err = errno;
        saved.restore();
        errno = err;
        return FALSE;
    }

    BOOL SetupComm(HANDLE h, DWORD inQueue, DWORD outQueue) override {
        auto port = find(h);
        if (!port)
            return fail(EBADF);
        // The kernel sizes its own queues; the sizes are only kept.
        port->inQueue = inQueue;
        port->outQueue = outQueue;
        return TRUE;
    }

    BOOL SetCommTimeouts(HANDLE h, const COMMTIMEOUTS& timeouts) override {
        auto port = find(h);
        if (!port)
            return fail(EBADF);
        port->timeouts = timeouts;
        return TRUE;
    }

    BOOL PurgeComm(HANDLE h, DWORD flags) override {
        auto port = find(h);
        if (!port)
            return fail(EBADF);
        if (flags & ~(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR))
            return fail(EINVAL);
        const bool rx = flags & (PURGE_RXABORT | PURGE_RXCLEAR);
        const bool tx = flags & (PURGE_TXABORT | PURGE_TXCLEAR);
        if (!rx && !tx)
            return TRUE;
        const auto flush = [&] {
            return tcflush(port->fd.get(), rx && tx ? TCIOFLUSH : (rx ? TCIFLUSH : TCOFLUSH)) == 0;
        };
        return rx && port->input ? port->input->purge(flush) : flush();
    }

    BOOL ClearCommError(HANDLE h, LPDWORD errors, COMSTAT* stat) override {
        auto port = find(h);
        if (!port)
            return fail(EBADF);
        const InputQueue::Status in = port->input ? port->input->status() : InputQueue::Status{};
        int out = 0;
        // A device that is gone (hung up, unplugged) answers EIO here. What it sent before is still
        // counted and handed out; only then does the status fail.
        // Whichever way it ends, a drop is reported: the failure of a gone device must not swallow it.
        if (errors)
            *errors = in.overflowed ? CE_RXOVER : 0;
        if (ioctl(port->fd.get(), TIOCOUTQ, &out) != 0) {
            if (in.queued == 0)
                return FALSE;
            out = 0;
        } else if (in.queued == 0 && in.error != 0) {
            return fail(in.error);
        }
        if (errors)
            *errors |= lineErrors(*port);
        if (stat) {
            *stat = COMSTAT{};
            stat->cbInQue = DWORD(std::min<std::size_t>(in.queued, std::numeric_limits<DWORD>::max()));
            stat->cbOutQue = DWORD(std::max(out, 0));
        }
        return TRUE;
    }

    BOOL ReadFile(HANDLE h, LPVOID buffer, DWORD toRead, LPDWORD read) override {
        auto port = find(h);
        if (!port)
            return fail(EBADF);
        if (!port->input) {
            if (read)
                *read = 0;
            return fail(EBADF); // opened for writing only
        }
        const auto r = port->input->read(static_cast<unsigned char*>(buffer), toRead,
                                         InputQueue::Limits::forRead(port->timeouts, toRead));
        if (read)
            *read = DWORD(r.got);
        return r.error ? fail(r.error) : TRUE;
    }

    BOOL WriteFile(HANDLE h, LPCVOID buffer, DWORD toWrite, LPDWORD written) override {
        auto port = find(h);
        if (!port)
            return fail(EBADF);
        const int fd = port->fd.get();
        const COMMTIMEOUTS& to = port->timeouts;
        const auto* p = static_cast<const unsigned char*>(buffer);
        const bool bounded = to.WriteTotalTimeoutConstant != 0 || to.WriteTotalTimeoutMultiplier != 0;
        const long long total =
            totalTimeoutMs(to.WriteTotalTimeoutConstant, to.WriteTotalTimeoutMultiplier, toWrite);
        const auto start = Clock::now();
        DWORD done = 0;
        BOOL ok = TRUE;
        while (done < toWrite) {
            const ssize_t r = ::write(fd, p + done, toWrite - done);
            if (r > 0) {
                done += DWORD(r);
                continue;
            }
            if (r < 0 && errno == EINTR)
                continue;
            if (r < 0 && errno != EAGAIN) {
                ok = FALSE;
                break;
            }
            long long wait = kWaitSlice;
            if (bounded) {
                const long long left = total - msSince(start);
                if (left <= 0)
                    break;
                wait = std::min(wait, left);
            }
            if (!waitFor(fd, POLLOUT, int(wait))) {
                ok = FALSE;
                break;
            }
        }
        if (written)
            *written = done;
        return ok;
    }

    BOOL EscapeCommFunction(HANDLE h, DWORD func) override {
        auto port = find(h);
        if (!port)
            return fail(EBADF);
        const int fd = port->fd.get();
        int line = 0;
        switch (func) {
        case SETDTR:
        case CLRDTR:
            line = TIOCM_DTR;
            return ioctl(fd, func == SETDTR ? TIOCMBIS : TIOCMBIC, &line) == 0;
        case SETRTS:
        case CLRRTS:
            line = TIOCM_RTS;
            return ioctl(fd, func == SETRTS ? TIOCMBIS : TIOCMBIC, &line) == 0;
        case SETXOFF:
            return tcflow(fd, TCOOFF) == 0;
        case SETXON:
            return tcflow(fd, TCOON) == 0;
        case kSetBreak:
            return ioctl(fd, TIOCSBRK) == 0;
        case kClrBreak:
            return ioctl(fd, TIOCCBRK) == 0;
        default:
            return fail(EINVAL);
        }
    }

    BOOL GetCommModemStatus(HANDLE h, LPDWORD modemStat) override {
        auto port = find(h);
        if (!port)
            return fail(EBADF);
        int lines = 0;
        if (ioctl(port->fd.get(), TIOCMGET, &lines) != 0)
            return FALSE;
        DWORD s = 0;
        if (lines & TIOCM_CTS)
            s |= MS_CTS_ON;
        if (lines & TIOCM_DSR)
            s |= MS_DSR_ON;
        if (lines & TIOCM_RI)
            s |= MS_RING_ON;
        if (lines & TIOCM_CD)
            s |= MS_RLSD_ON;
        *modemStat = s;
        return TRUE;
    }

    BOOL TakeReceiveEvents(HANDLE h, std::vector<ReceiveEvent>& out) override {
        auto port = find(h);
        if (!port)
            return fail(EBADF);
        if (port->input)
            port->input->takeEvents(out);
        return TRUE;
    }

private:
    // Puts termios `t` (built from `dcb`, with the standard `speed` or B0), the rate and the modem lines
    // on the port and reads them back; false with errno set, and the refused setting kept, when the
    // device did not take them.
    static bool applyRecord(const Port& port, const DCB& dcb, const termios& t, speed_t speed) {
        const int fd = port.fd.get();
        if (tcsetattr(fd, TCSANOW, &t) != 0)
            return false;
        if (speed == B0) {
            if (int err = detail::setArbitraryRate(fd, dcb.BaudRate))
                return fail(err);
        }

        const auto lines = detail::modemLinesFor(dcb);
        for (const int line : {TIOCM_DTR, TIOCM_RTS}) {
            if (lines.raise & line || lines.drop & line) {
                if (int err = driveLine(fd, line, (lines.raise & line) != 0))
                    return fail(err);
            }
        }

        termios back{};
        if (tcgetattr(fd, &back) != 0)
            return false;
        unsigned outRate = 0;
        unsigned inRate = 0;
        if (int err = detail::readRates(fd, outRate, inRate))
            return fail(err);
        LineSetting refused = detail::differingSetting(t, back);
        if (refused == LineSetting::None &&
            (!rateClose(outRate, dcb.BaudRate) || (inRate != 0 && !rateClose(inRate, dcb.BaudRate))))
            refused = LineSetting::BaudRate;
        if (refused != LineSetting::None)
            return refuseSetting(port, refused, settingValue(dcb, refused));
        return true;
    }

    std::shared_ptr<Port> find(HANDLE h) {
        std::lock_guard lock(m_mutex);
        auto it = m_ports.find(h);
        return it == m_ports.end() ? nullptr : it->second;
    }

    // Line errors since the last query, from the driver's counters where it keeps them (UARTs and most
    // adapters; a pseudo-terminal has none and reports no errors).
    static DWORD lineErrors(Port& port) {
        serial_icounter_struct now{};
        if (ioctl(port.fd.get(), TIOCGICOUNT, &now) != 0)
            return 0;
        DWORD e = 0;
        if (port.haveCounts) {
            const auto& was = port.counts;
            if (now.frame != was.frame)
                e |= CE_FRAME;
            if (now.overrun != was.overrun)
                e |= CE_OVERRUN;
            if (now.buf_overrun != was.buf_overrun)
                e |= CE_RXOVER;
            if (now.parity != was.parity)
                e |= CE_RXPARITY;
            if (now.brk != was.brk)
                e |= CE_BREAK;
        }
        port.counts = now;
        port.haveCounts = true;
        return e;
    }

    const std::size_t m_inputBound;
    std::mutex m_mutex;
    std::map<HANDLE, std::shared_ptr<Port>> m_ports;
};

// Local devices by termios; a name that leads to a URL, to the network device.
class SystemDevice final : public CommDevice {
public:
    HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, DWORD creation, DWORD flags) override {
        CommDevice& d = NetworkUrlOf(ResolvePortName(name)) ? static_cast<CommDevice&>(*m_net) : m_local;
        return d.CreateFileA(name, access, share, creation, flags);
    }
    BOOL CloseHandle(HANDLE h) override { return of(h).CloseHandle(h); }
    BOOL SetCommState(HANDLE h, const DCB& dcb) override { return of(h).SetCommState(h, dcb); }
    BOOL SetupComm(HANDLE h, DWORD in, DWORD out) override { return of(h).SetupComm(h, in, out); }
    BOOL SetCommTimeouts(HANDLE h, const COMMTIMEOUTS& t) override { return of(h).SetCommTimeouts(h, t); }
    BOOL PurgeComm(HANDLE h, DWORD flags) override { return of(h).PurgeComm(h, flags); }
    BOOL ClearCommError(HANDLE h, LPDWORD e, COMSTAT* s) override { return of(h).ClearCommError(h, e, s); }
    BOOL ReadFile(HANDLE h, LPVOID b, DWORD n, LPDWORD r) override { return of(h).ReadFile(h, b, n, r); }
    BOOL WriteFile(HANDLE h, LPCVOID b, DWORD n, LPDWORD w) override { return of(h).WriteFile(h, b, n, w); }
    BOOL EscapeCommFunction(HANDLE h, DWORD f) override { return of(h).EscapeCommFunction(h, f); }
    BOOL GetCommModemStatus(HANDLE h, LPDWORD s) override { return of(h).GetCommModemStatus(h, s); }
    BOOL TakeReceiveEvents(HANDLE h, std::vector<ReceiveEvent>& out) override {
        return of(h).TakeReceiveEvents(h, out);
    }
    PrepareOutcome PrepareOpen(LPCSTR name, const DCB* settings) override {
        return NetworkUrlOf(ResolvePortName(name)) ? m_net->PrepareOpen(name, settings)
                                                   : PrepareOutcome::NothingToDo;
    }

private:
    CommDevice& of(HANDLE h) { return m_net->owns(h) ? static_cast<CommDevice&>(*m_net) : m_local; }

    TermiosDevice m_local{kInputQueueBound};
    std::unique_ptr<detail::NetDevice> m_net = detail::makeNetDevice(kInputQueueBound);
};

} // namespace

CommDevice& systemCommDevice() {
    // Never destroyed: a worker that prepares an open (PrepareOpen) may still be at it while the program
    // ends, and must not meet a device already gone.
    static SystemDevice* const d = new SystemDevice;
    return *d;
}

std::unique_ptr<CommDevice> makeTermiosDevice(std::size_t inputQueueBound) {
    return std::make_unique<TermiosDevice>(inputQueueBound);
}

} // namespace platform
