// SPDX-License-Identifier: GPL-3.0-or-later
// Ports on other machines: a TCP connection, with Telnet Com Port Control (RFC 2217) for "rfc2217://"
// and bytes only for "tcp://". Received data goes through the same input queue as a local port's, the
// telnet framing taken off on the reader thread; a closed or dead connection is a hang-up there, after
// the data that came before it, as a pulled cable is.
#include "net_device.h"

#include "input_queue.h"
#include "platform/net.h"
#include "platform/ports.h"
#include "rfc2217.h"

#include <algorithm>
#include <arpa/inet.h>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <linux/sockios.h>
#include <map>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <utility>

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;
namespace t = rfc2217;

std::mutex g_netMutex;
NetResolver g_resolver;
NetTimeouts g_timeouts;
// Resolver threads still waiting on a slow resolver; past a few, a look-up waits for none of them to
// end but fails at once, so a resolver that hangs cannot pile up threads.
std::atomic<int> g_resolving{0};
constexpr int kMaxResolving = 4;

std::vector<std::string> systemResolve(const std::string& host) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    std::vector<std::string> out;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0)
        return out;
    for (addrinfo* a = res; a; a = a->ai_next) {
        char buf[NI_MAXHOST];
        if (::getnameinfo(a->ai_addr, a->ai_addrlen, buf, sizeof buf, nullptr, 0, NI_NUMERICHOST) == 0)
            out.emplace_back(buf);
    }
    ::freeaddrinfo(res);
    return out;
}

bool numericHost(const std::string& host) {
    unsigned char buf[sizeof(in6_addr)];
    return ::inet_pton(AF_INET, host.c_str(), buf) == 1 || ::inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

int msLeft(Clock::time_point deadline) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return int(std::clamp<long long>(ms, 0, std::numeric_limits<int>::max()));
}

// The addresses of `host`, or nothing within the deadline. The resolver runs on a thread of its own:
// getaddrinfo has no time limit, and a resolver that hangs must not hold the caller.
std::optional<std::vector<std::string>> resolve(const std::string& host, Clock::time_point deadline) {
    if (numericHost(host))
        return std::vector<std::string>{host};
    struct Pending {
        std::mutex m;
        std::condition_variable cv;
        bool done = false;
        std::vector<std::string> addrs;
    };
    auto pending = std::make_shared<Pending>();
    NetResolver resolver;
    {
        std::lock_guard lock(g_netMutex);
        resolver = g_resolver;
    }
    if (g_resolving.fetch_add(1) >= kMaxResolving) {
        --g_resolving;
        return std::nullopt;
    }
    try {
        std::thread([pending, resolver, host] {
            std::vector<std::string> a = resolver ? resolver(host) : systemResolve(host);
            --g_resolving;
            std::lock_guard lock(pending->m);
            pending->addrs = std::move(a);
            pending->done = true;
            pending->cv.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        --g_resolving;
        return std::nullopt;
    }
    std::unique_lock lock(pending->m);
    if (!pending->cv.wait_until(lock, deadline, [&] { return pending->done; }))
        return std::nullopt;
    return pending->addrs;
}

struct ConnectResult {
    int fd = -1;
    int err = 0;
    NetProblem problem = NetProblem::None;
};

// Tuned for a serial line: no delay for small writes, a small send buffer whose fill is the output
// count, and keep-alive so a server that was switched off is noticed.
void tune(int fd) {
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const int sndbuf = 8192;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
    const int idle = 5, interval = 2, count = 3;
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
    // Sent data that is not acknowledged within this time ends the connection too.
    const unsigned userTimeout = 15000;
    setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeout, sizeof userTimeout);
}

ConnectResult connectTo(const NetAddress& a, Clock::time_point deadline) {
    ConnectResult r;
    const auto addrs = resolve(a.host, deadline);
    if (!addrs) {
        r.err = ETIMEDOUT;
        r.problem = NetProblem::NoAnswer;
        return r;
    }
    if (addrs->empty()) {
        r.err = EHOSTUNREACH;
        r.problem = NetProblem::NotResolved;
        return r;
    }
    r.err = ECONNREFUSED;
    for (const std::string& host : *addrs) {
        addrinfo hints{};
        hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* res = nullptr;
        if (::getaddrinfo(host.c_str(), a.port.c_str(), &hints, &res) != 0 || !res) {
            r.err = EINVAL;
            continue;
        }
        const int fd = ::socket(res->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            r.err = errno;
            ::freeaddrinfo(res);
            continue;
        }
        tune(fd);
        int c = ::connect(fd, res->ai_addr, res->ai_addrlen);
        ::freeaddrinfo(res);
        int err = c == 0 ? 0 : errno;
        if (err == EINPROGRESS) {
            pollfd p{fd, POLLOUT, 0};
            int pr;
            do {
                pr = ::poll(&p, 1, msLeft(deadline));
            } while (pr < 0 && errno == EINTR);
            socklen_t len = sizeof err;
            if (pr == 0)
                err = ETIMEDOUT;
            else if (pr < 0 || ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
                err = errno;
        }
        if (err == 0) {
            r.fd = fd;
            r.err = 0;
            return r;
        }
        ::close(fd);
        r.err = err;
        if (err == ETIMEDOUT)
            break;
    }
    r.problem = r.err == ETIMEDOUT ? NetProblem::NoAnswer
                                   : (r.err == ECONNREFUSED ? NetProblem::Refused : NetProblem::None);
    return r;
}

BOOL fail(int err) {
    errno = err;
    return FALSE;
}

bool rateClose(std::uint32_t got, DWORD want) {
    const auto diff = got > want ? got - want : want - got;
    return std::uint64_t(diff) * 50 <= want;
}

constexpr int kWaitSlice = 500;
constexpr std::size_t kLineControlSlot = 255; // where answers to DTR/RTS/BREAK go (no command has it)
constexpr DWORD kSetBreak = 8;
constexpr DWORD kClrBreak = 9;

// Why a call failed, kept to be said again on another thread (GetLastError and its detail are per thread).
struct Failure {
    DWORD code = ERROR_SUCCESS;
    FailureDetail detail;

    // This thread's last failure.
    static Failure last() { return {GetLastError(), LastFailureDetail()}; }
    // Makes it this thread's last failure.
    void raise() const {
        SetLastFailure(code, detail);
        errno = detail.systemError;
    }
};

// One connection. The reader thread (through filter()) keeps the protocol state; the calling thread
// sends and waits for answers.
struct NetPort final : detail::InputFilter {
    int fd;
    NetAddress addr;
    std::string url;
    COMMTIMEOUTS timeouts{};
    std::optional<DCB> accepted; // the last record the server took

    // Reader thread only.
    t::Decoder decoder;
    std::vector<t::Event> scratch;

    // Protocol state, from the server.
    std::mutex m;
    std::condition_variable cv;
    bool heardTelnet = false;
    bool comPortOffered = false;
    bool comPortRefused = false;
    std::array<std::uint64_t, 256> answers{}; // per command: how many answers came
    std::array<std::uint32_t, 256> answerValue{};
    std::optional<std::uint8_t> modemState;
    std::array<bool, 256> declined{}; // options we refused, so each is refused once
    std::string replies;              // answers to the server's requests, sent with the next send

    // Sending: whole commands and whole doubled IACs; what a time-out cut short goes first next time.
    std::mutex sendMutex;
    std::string carry;

    // What the record sent by the preparation came to, for the first SetCommState (the opener's thread).
    struct PreparedSettings {
        DCB dcb;
        bool ok = false;
        Failure failure;
    };
    std::optional<PreparedSettings> preparedSettings;

    std::unique_ptr<detail::InputQueue> input; // last: its reader uses the above

    NetPort(int f, NetAddress a, std::string u) : fd(f), addr(std::move(a)), url(std::move(u)) {}
    NetPort(const NetPort&) = delete;
    NetPort& operator=(const NetPort&) = delete;
    ~NetPort() override {
        input.reset();
        ::close(fd);
    }

    bool telnet() const { return addr.kind == NetAddress::Kind::Rfc2217; }

    std::size_t filter(unsigned char* bytes, std::size_t n, std::vector<Mark>& marks) override {
        if (!telnet())
            return n;
        scratch.clear();
        const std::size_t got = decoder.feed(bytes, n, bytes, scratch);
        if (scratch.empty())
            return got;
        std::lock_guard lock(m);
        for (const t::Event& e : scratch)
            onEvent(e, marks);
        cv.notify_all();
        return got;
    }

    void onEvent(const t::Event& e, std::vector<Mark>& marks) {
        heardTelnet = true;
        if (e.kind == t::Event::Kind::Negotiation) {
            const bool ours = e.option == t::BINARY || e.option == t::SGA || e.option == t::COM_PORT_OPTION;
            if (e.option == t::COM_PORT_OPTION && e.verb == t::DO)
                comPortOffered = true;
            else if (e.option == t::COM_PORT_OPTION && e.verb == t::DONT)
                comPortRefused = true;
            // We asked for ours at the start; anything else the server wants is declined, once.
            if (!ours && (e.verb == t::DO || e.verb == t::WILL) && !declined[e.option]) {
                declined[e.option] = true;
                replies += t::negotiation(e.verb == t::DO ? t::WONT : t::DONT, e.option);
            }
            return;
        }
        if (e.kind != t::Event::Kind::ComPort || e.command < t::kServerOffset)
            return;
        const std::uint8_t code = std::uint8_t(e.command - t::kServerOffset);
        if (code == t::NOTIFY_LINESTATE) {
            const std::pair<std::uint8_t, ReceiveEventKind> bits[] = {
                {t::LS_OVERRUN, ReceiveEventKind::Overrun},
                {t::LS_PARITY, ReceiveEventKind::Parity},
                {t::LS_FRAMING, ReceiveEventKind::Framing},
                {t::LS_BREAK, ReceiveEventKind::Break}};
            for (const auto& [bit, kind] : bits)
                if (e.value & bit)
                    marks.push_back({e.at, kind, 1});
        } else if (code == t::NOTIFY_MODEMSTATE) {
            modemState = std::uint8_t(e.value);
        } else {
            // SET-CONTROL answers both flow control and DTR/RTS/BREAK; a late answer to the lines must
            // not stand for the flow control's.
            const bool lines = code == t::SET_CONTROL && e.value >= t::BREAK_ON - 1 && e.value <= t::RTS_OFF;
            const std::size_t slot = lines ? kLineControlSlot : code;
            answerValue[slot] = e.value;
            ++answers[slot];
        }
    }

    // Sends what is carried and the replies due, then `bytes` (already framed), until done, an error
    // (false, errno set) or the deadline. `sent` receives how many bytes of `bytes` left; what is left
    // of them is the caller's to carry or not.
    bool send(const std::string& bytes, std::optional<Clock::time_point> deadline, std::size_t& sent) {
        {
            std::lock_guard lock(m);
            carry += replies;
            replies.clear();
        }
        const std::size_t before = carry.size();
        const std::string out = carry + bytes;
        std::size_t done = 0;
        bool ok = true;
        while (done < out.size()) {
            const ssize_t r = ::send(fd, out.data() + done, out.size() - done, MSG_NOSIGNAL);
            if (r > 0) {
                done += std::size_t(r);
                continue;
            }
            if (r < 0 && errno == EINTR)
                continue;
            if (r < 0 && errno != EAGAIN) {
                ok = false;
                break;
            }
            int wait = kWaitSlice;
            if (deadline) {
                wait = std::min(wait, msLeft(*deadline));
                if (wait == 0)
                    break;
            }
            pollfd p{fd, POLLOUT, 0};
            if (::poll(&p, 1, wait) < 0 && errno != EINTR) {
                ok = false;
                break;
            }
            if (p.revents & (POLLERR | POLLHUP)) {
                errno = EPIPE;
                ok = false;
                break;
            }
        }
        const int err = errno;
        if (done < before) {
            carry.erase(0, done);
            sent = 0;
        } else {
            carry.clear();
            sent = done - before;
        }
        errno = err;
        return ok;
    }
};

// Whether two records ask the server for the same: rate, format and the flags (flow control, DTR, RTS).
bool sameRecord(const DCB& a, const DCB& b) {
    return a.BaudRate == b.BaudRate && a.ByteSize == b.ByteSize && a.Parity == b.Parity &&
           a.StopBits == b.StopBits && dcbFlagWord(a) == dcbFlagWord(b);
}

// The four modem input lines of a NOTIFY-MODEMSTATE as GetCommModemStatus gives them.
DWORD modemStatus(std::uint8_t s) {
    DWORD r = 0;
    if (s & t::MS_CTS)
        r |= MS_CTS_ON;
    if (s & t::MS_DSR)
        r |= MS_DSR_ON;
    if (s & t::MS_RI)
        r |= MS_RING_ON;
    if (s & t::MS_CD)
        r |= MS_RLSD_ON;
    return r;
}

void noteFailure(const std::string& url, int err, NetProblem problem, int waitedMs = 0,
                 LineSetting setting = LineSetting::None, DWORD value = 0) {
    FailureDetail d;
    d.device = url;
    d.systemError = err;
    d.net = problem;
    d.waitedMs = waitedMs;
    d.refused = setting;
    d.refusedValue = value;
    SetLastFailure(ErrorForErrno(err), std::move(d));
    errno = err;
}

class NetDeviceImpl final : public detail::NetDevice {
public:
    explicit NetDeviceImpl(std::size_t bound) : m_bound(bound) {}

    bool owns(HANDLE h) override { return find(h) != nullptr; }

    HANDLE CreateFileA(LPCSTR fileName, DWORD, DWORD, DWORD creation, DWORD) override {
        const std::string url = NetworkUrlOf(ResolvePortName(fileName)).value_or(fileName);
        const auto addr = parseNetUrl(url);
        if (creation != OPEN_EXISTING || !addr) {
            noteFailure(url, ENOENT, NetProblem::None);
            return INVALID_HANDLE_VALUE;
        }
        Opened o = takePrepared(url).value_or(Opened{});
        if (!o.port && !o.failed)
            o = open(url, *addr);
        if (!o.port) {
            o.failure.raise();
            return INVALID_HANDLE_VALUE;
        }
        const HANDLE h = o.port.get();
        std::lock_guard lock(m_mutex);
        m_ports.emplace(h, std::move(o.port));
        return h;
    }

    PrepareOutcome PrepareOpen(LPCSTR fileName, const DCB* settings) override {
        const std::string url = NetworkUrlOf(ResolvePortName(fileName)).value_or(fileName);
        const auto addr = parseNetUrl(url);
        if (!addr)
            return PrepareOutcome::NothingToDo;
        takePrepared(url); // one left from before holds the server's connection: it goes first
        Opened o = open(url, *addr, settings);
        const bool reached = o.reached;
        o.at = Clock::now();
        std::lock_guard lock(m_mutex);
        m_prepared[url] = std::move(o);
        return reached ? PrepareOutcome::Reached : PrepareOutcome::Unreached;
    }

    BOOL CloseHandle(HANDLE h) override {
        std::shared_ptr<NetPort> port;
        {
            std::lock_guard lock(m_mutex);
            auto it = m_ports.find(h);
            if (it == m_ports.end())
                return fail(EBADF);
            port = std::move(it->second);
            m_ports.erase(it);
        }
        // What is still queued goes out before the close, within a moment.
        std::size_t sent = 0;
        {
            std::lock_guard lock(port->sendMutex);
            port->send({}, Clock::now() + std::chrono::milliseconds(200), sent);
        }
        ::shutdown(port->fd, SHUT_WR);
        return TRUE;
    }

    BOOL SetCommState(HANDLE h, const DCB& dcb) override {
        auto port = find(h);
        if (!port)
            return fail(EBADF);
        // The first record, when it is the one the preparation sent moments ago, has its answer already.
        if (auto p = std::exchange(port->preparedSettings, std::nullopt); p && sameRecord(p->dcb, dcb)) {
            if (p->ok)
                return TRUE;
            p->failure.raise();
            return FALSE;
        }
        return apply(port.get(), dcb);
    }

    // Sends a record and checks each setting against the server's answer.
    static BOOL apply(NetPort* port, const DCB& dcb) {
        if (dcb.ByteSize < 5 || dcb.ByteSize > 8)
            return refuse(*port, LineSetting::DataBits, dcb.ByteSize);
        if (dcb.Parity > SPACEPARITY)
            return refuse(*port, LineSetting::Parity, dcb.Parity);
        if (dcb.StopBits > TWOSTOPBITS)
            return refuse(*port, LineSetting::StopBits, dcb.StopBits);
        if (dcb.BaudRate == 0)
            return refuse(*port, LineSetting::BaudRate, 0);
        if (!port->telnet()) {
            port->accepted = dcb; // bytes only: nothing to tell the far end
            return TRUE;
        }
        const NetTimeouts limits = netTimeouts();
        struct Ask {
            std::uint8_t command;
            std::uint32_t value;
            LineSetting setting;
            DWORD shown;
        };
        static constexpr std::uint8_t parities[] = {t::PARITY_NONE, t::PARITY_ODD, t::PARITY_EVEN,
                                                    t::PARITY_MARK, t::PARITY_SPACE};
        static constexpr std::uint8_t stops[] = {t::STOP_1, t::STOP_15, t::STOP_2};
        const bool xonxoff = dcb.fOutX || dcb.fInX;
        const std::uint8_t flow =
            dcb.fOutxCtsFlow ? t::FLOW_HARDWARE : (xonxoff ? t::FLOW_XONXOFF : t::FLOW_NONE);
        const Ask asks[] = {
            {t::SET_BAUDRATE, dcb.BaudRate, LineSetting::BaudRate, dcb.BaudRate},
            {t::SET_DATASIZE, dcb.ByteSize, LineSetting::DataBits, dcb.ByteSize},
            {t::SET_PARITY, parities[dcb.Parity], LineSetting::Parity, dcb.Parity},
            {t::SET_STOPSIZE, stops[dcb.StopBits], LineSetting::StopBits, dcb.StopBits},
            {t::SET_CONTROL, flow,
             dcb.fOutxCtsFlow ? LineSetting::RtsCtsFlow
                              : (xonxoff ? LineSetting::XonXoffFlow : LineSetting::Other),
             0},
        };
        std::array<std::uint64_t, std::size(asks)> seen{};
        {
            std::lock_guard lock(port->m);
            for (std::size_t i = 0; i < std::size(asks); ++i)
                seen[i] = port->answers[asks[i].command];
        }
        std::string out;
        for (const Ask& a : asks)
            out += a.command == t::SET_BAUDRATE ? t::setBaudRate(a.value)
                                                : t::comPortByte(a.command, std::uint8_t(a.value));
        const auto deadline = Clock::now() + std::chrono::milliseconds(limits.answerMs);
        if (!sendAll(*port, out, deadline))
            return FALSE;
        // All five are answered, each by its own code; one deadline for the lot.
        std::unique_lock lock(port->m);
        const auto answered = [&](std::size_t i) { return port->answers[asks[i].command] != seen[i]; };
        port->cv.wait_until(lock, deadline, [&] {
            for (std::size_t i = 0; i < std::size(asks); ++i)
                if (!answered(i))
                    return false;
            return true;
        });
        for (std::size_t i = 0; i < std::size(asks); ++i) {
            const Ask& a = asks[i];
            if (!answered(i)) {
                lock.unlock();
                restore(*port);
                noteFailure(port->url, ETIMEDOUT, NetProblem::NoAnswer, limits.answerMs, a.setting, a.shown);
                return FALSE;
            }
            const std::uint32_t got = port->answerValue[a.command];
            const bool same = a.command == t::SET_BAUDRATE ? rateClose(got, a.value) : got == a.value;
            if (!same) {
                lock.unlock();
                restore(*port);
                return refuse(*port, a.setting, a.shown);
            }
        }
        lock.unlock();
        port->accepted = dcb;
        // DTR and RTS as the record asks; servers may never answer these.
        std::string lines;
        if (dcb.fDtrControl == DTR_CONTROL_ENABLE || dcb.fDtrControl == DTR_CONTROL_DISABLE)
            lines += t::comPortByte(t::SET_CONTROL,
                                    dcb.fDtrControl == DTR_CONTROL_ENABLE ? t::DTR_ON : t::DTR_OFF);
        if (dcb.fRtsControl == RTS_CONTROL_ENABLE || dcb.fRtsControl == RTS_CONTROL_DISABLE)
            lines += t::comPortByte(t::SET_CONTROL,
                                    dcb.fRtsControl == RTS_CONTROL_ENABLE ? t::RTS_ON : t::RTS_OFF);
        return lines.empty() ||
               sendAll(*port, lines, Clock::now() + std::chrono::milliseconds(limits.answerMs));
    }

    BOOL SetupComm(HANDLE h, DWORD, DWORD) override { return find(h) ? TRUE : fail(EBADF); }

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
        if (port->telnet()) {
            const std::uint8_t what = rx && tx ? t::PURGE_BOTH : (rx ? t::PURGE_RX : t::PURGE_TX);
            if (!sendAll(*port, t::comPortByte(t::PURGE_DATA, what),
                         Clock::now() + std::chrono::milliseconds(netTimeouts().answerMs)))
                return FALSE;
        }
        if (rx)
            port->input->purge([] { return true; });
        return TRUE;
    }

    BOOL ClearCommError(HANDLE h, LPDWORD errors, COMSTAT* stat) override {
        auto port = find(h);
        if (!port)
            return fail(EBADF);
        const detail::InputQueue::Status in = port->input->status();
        if (errors)
            *errors = in.overflowed ? CE_RXOVER : 0;
        if (in.queued == 0 && in.error != 0)
            return fail(in.error);
        int out = 0;
        if (ioctl(port->fd, SIOCOUTQ, &out) != 0)
            out = 0;
        std::size_t carried = 0;
        {
            std::lock_guard lock(port->sendMutex);
            carried = port->carry.size();
        }
        if (stat) {
            *stat = COMSTAT{};
            stat->cbInQue = DWORD(std::min<std::size_t>(in.queued, std::numeric_limits<DWORD>::max()));
            stat->cbOutQue = DWORD(std::max(out, 0)) + DWORD(carried);
        }
        return TRUE;
    }

    BOOL ReadFile(HANDLE h, LPVOID buffer, DWORD toRead, LPDWORD read) override {
        auto port = find(h);
        if (!port)
            return fail(EBADF);
        const auto r = port->input->read(static_cast<unsigned char*>(buffer), toRead,
                                         detail::InputQueue::Limits::forRead(port->timeouts, toRead));
        if (read)
            *read = DWORD(r.got);
        return r.error ? fail(r.error) : TRUE;
    }

    BOOL WriteFile(HANDLE h, LPCVOID buffer, DWORD toWrite, LPDWORD written) override {
        auto port = find(h);
        if (!port)
            return fail(EBADF);
        const COMMTIMEOUTS& to = port->timeouts;
        std::optional<Clock::time_point> deadline;
        if (to.WriteTotalTimeoutConstant != 0 || to.WriteTotalTimeoutMultiplier != 0)
            deadline =
                Clock::now() + std::chrono::milliseconds(detail::totalTimeoutMs(
                                   to.WriteTotalTimeoutConstant, to.WriteTotalTimeoutMultiplier, toWrite));
        const auto* p = static_cast<const std::uint8_t*>(buffer);
        std::string framed;
        if (port->telnet())
            t::appendEscaped(framed, p, toWrite);
        else
            framed.assign(reinterpret_cast<const char*>(p), toWrite);
        std::lock_guard lock(port->sendMutex);
        std::size_t sent = 0;
        const bool ok = port->send(framed, deadline, sent);
        // What a time-out left unsent is the caller's to send again.
        // Back from framed bytes to data bytes: a doubled IAC cut in half still counts as sent, and its
        // second half is carried, so the stream never holds half of one.
        DWORD done = 0;
        std::size_t at = 0;
        while (done < toWrite && at < sent) {
            at += p[done] == t::IAC && port->telnet() ? 2 : 1;
            ++done;
        }
        if (at > sent)
            port->carry += char(t::IAC);
        if (written)
            *written = done;
        return ok ? TRUE : FALSE;
    }

    BOOL EscapeCommFunction(HANDLE h, DWORD func) override {
        auto port = find(h);
        if (!port)
            return fail(EBADF);
        std::uint8_t value = 0;
        switch (func) {
        case SETDTR:
            value = t::DTR_ON;
            break;
        case CLRDTR:
            value = t::DTR_OFF;
            break;
        case SETRTS:
            value = t::RTS_ON;
            break;
        case CLRRTS:
            value = t::RTS_OFF;
            break;
        case kSetBreak:
            value = t::BREAK_ON;
            break;
        case kClrBreak:
            value = t::BREAK_OFF;
            break;
        case SETXOFF:
        case SETXON:
            return TRUE;
        default:
            return fail(EINVAL);
        }
        if (!port->telnet())
            return TRUE; // bytes only: there are no lines to drive
        return sendAll(*port, t::comPortByte(t::SET_CONTROL, value),
                       Clock::now() + std::chrono::milliseconds(netTimeouts().answerMs))
                   ? TRUE
                   : FALSE;
    }

    BOOL GetCommModemStatus(HANDLE h, LPDWORD modemStat) override {
        auto port = find(h);
        if (!port)
            return fail(EBADF);
        std::lock_guard lock(port->m);
        // A server that never tells reads as a port without modem lines.
        if (!port->modemState)
            return fail(ENOTTY);
        *modemStat = modemStatus(*port->modemState);
        return TRUE;
    }

    BOOL TakeReceiveEvents(HANDLE h, std::vector<ReceiveEvent>& out) override {
        auto port = find(h);
        if (!port)
            return fail(EBADF);
        port->input->takeEvents(out);
        return TRUE;
    }

private:
    // Sends protocol bytes; a time-out carries what is left, which goes first next time.
    static bool sendAll(NetPort& port, const std::string& bytes, Clock::time_point deadline) {
        std::lock_guard lock(port.sendMutex);
        std::size_t sent = 0;
        const bool ok = port.send(bytes, deadline, sent);
        if (ok && sent < bytes.size())
            port.carry += bytes.substr(sent); // commands go whole, later if not now
        return ok;
    }

    static BOOL refuse(const NetPort& port, LineSetting setting, DWORD value) {
        FailureDetail d;
        d.device = port.url;
        d.systemError = EINVAL;
        d.refused = setting;
        d.refusedValue = value;
        SetLastFailure(ErrorForErrno(EINVAL), std::move(d));
        return fail(EINVAL);
    }

    // A record the server did not take whole: the settings it took before go out again.
    static void restore(NetPort& port) {
        if (!port.accepted)
            return;
        const DCB& d = *port.accepted;
        static constexpr std::uint8_t parities[] = {t::PARITY_NONE, t::PARITY_ODD, t::PARITY_EVEN,
                                                    t::PARITY_MARK, t::PARITY_SPACE};
        static constexpr std::uint8_t stops[] = {t::STOP_1, t::STOP_15, t::STOP_2};
        const std::uint8_t flow =
            d.fOutxCtsFlow ? t::FLOW_HARDWARE : (d.fOutX || d.fInX ? t::FLOW_XONXOFF : t::FLOW_NONE);
        const std::string out = t::setBaudRate(d.BaudRate) + t::comPortByte(t::SET_DATASIZE, d.ByteSize) +
                                t::comPortByte(t::SET_PARITY, parities[d.Parity]) +
                                t::comPortByte(t::SET_STOPSIZE, stops[d.StopBits]) +
                                t::comPortByte(t::SET_CONTROL, flow);
        sendAll(port, out, Clock::now() + std::chrono::milliseconds(500));
    }

    // A connection, or why there is none.
    struct Opened {
        std::shared_ptr<NetPort> port;
        bool failed = false;
        bool reached = false; // a TCP connection was made
        Failure failure;
        Clock::time_point at; // when it was prepared
    };

    // Resolves, connects and negotiates on the calling thread, within the limits.
    Opened open(const std::string& url, const NetAddress& addr, const DCB* settings = nullptr) const {
        Opened o;
        const auto failed = [&o] {
            o.port.reset();
            o.failed = true;
            o.failure = Failure::last();
            return std::move(o);
        };
        const NetTimeouts limits = netTimeouts();
        const ConnectResult c = connectTo(addr, Clock::now() + std::chrono::milliseconds(limits.connectMs));
        if (c.fd < 0) {
            noteFailure(url, c.err, c.problem, limits.connectMs);
            return failed();
        }
        o.reached = true;
        o.port = std::make_shared<NetPort>(c.fd, addr, url);
        try {
            o.port->input = std::make_unique<detail::InputQueue>(c.fd, m_bound, o.port.get());
        } catch (const std::system_error& e) {
            noteFailure(url, e.code().value(), NetProblem::None);
            return failed();
        }
        if (o.port->telnet() && !negotiate(*o.port, limits))
            return failed();
        if (settings) {
            NetPort::PreparedSettings p;
            p.dcb = *settings;
            p.ok = apply(o.port.get(), *settings);
            if (!p.ok)
                p.failure = Failure::last();
            o.port->preparedSettings = std::move(p);
        }
        return o;
    }

    // The preparation of `url`, when there is one young enough to stand for a connect made now; older ones
    // are dropped on the way.
    std::optional<Opened> takePrepared(const std::string& url) {
        std::optional<Opened> taken;
        std::vector<Opened> stale; // closed outside the lock
        {
            std::lock_guard lock(m_mutex);
            const auto now = Clock::now();
            for (auto it = m_prepared.begin(); it != m_prepared.end();) {
                if (it->first == url && now - it->second.at <= kPreparedLife)
                    taken = std::move(it->second);
                else if (it->first == url || now - it->second.at > kPreparedLife)
                    stale.push_back(std::move(it->second));
                else {
                    ++it;
                    continue;
                }
                it = m_prepared.erase(it);
            }
        }
        return taken;
    }

    // BINARY both ways, SUPPRESS-GO-AHEAD, and our WILL COM-PORT-OPTION; the server must answer DO.
    static bool negotiate(NetPort& port, const NetTimeouts& limits) {
        const std::string hello = t::negotiation(t::WILL, t::BINARY) + t::negotiation(t::DO, t::BINARY) +
                                  t::negotiation(t::WILL, t::SGA) + t::negotiation(t::DO, t::SGA) +
                                  t::negotiation(t::WILL, t::COM_PORT_OPTION);
        const auto deadline = Clock::now() + std::chrono::milliseconds(limits.answerMs);
        if (!sendAll(port, hello, deadline)) {
            noteFailure(port.url, errno, NetProblem::None);
            return false;
        }
        bool offered = false;
        bool heard = false;
        {
            std::unique_lock lock(port.m);
            port.cv.wait_until(lock, deadline, [&] { return port.comPortOffered || port.comPortRefused; });
            offered = port.comPortOffered && !port.comPortRefused;
            heard = port.heardTelnet;
        }
        const detail::InputQueue::Status in = port.input->status();
        if (!offered) {
            const int err = in.error ? in.error : (heard ? EPROTONOSUPPORT : ETIMEDOUT);
            noteFailure(port.url, err,
                        in.error ? NetProblem::None
                                 : (heard ? NetProblem::NoComPortOption : NetProblem::NoAnswer),
                        limits.answerMs);
            return false;
        }
        // Modem-line changes and line errors are to be told; whether a server does, nobody waits to see.
        const std::uint8_t errors = t::LS_OVERRUN | t::LS_PARITY | t::LS_FRAMING | t::LS_BREAK;
        if (!sendAll(port,
                     t::comPortByte(t::SET_MODEMSTATE_MASK, 0xFF) +
                         t::comPortByte(t::SET_LINESTATE_MASK, errors),
                     deadline)) {
            noteFailure(port.url, errno, NetProblem::None);
            return false;
        }
        return true;
    }

    std::shared_ptr<NetPort> find(HANDLE h) {
        std::lock_guard lock(m_mutex);
        auto it = m_ports.find(h);
        return it == m_ports.end() ? nullptr : it->second;
    }

    // How long a preparation stands for a connect: the open that follows it comes within moments.
    static constexpr auto kPreparedLife = std::chrono::seconds(10);

    const std::size_t m_bound;
    std::mutex m_mutex;
    std::map<HANDLE, std::shared_ptr<NetPort>> m_ports;
    std::map<std::string, Opened> m_prepared; // by URL
};

} // namespace

std::optional<NetAddress> parseNetUrl(const std::string& url) {
    NetAddress a;
    std::string rest;
    if (url.rfind("rfc2217://", 0) == 0) {
        a.kind = NetAddress::Kind::Rfc2217;
        rest = url.substr(10);
    } else if (url.rfind("tcp://", 0) == 0) {
        a.kind = NetAddress::Kind::Tcp;
        rest = url.substr(6);
    } else {
        return std::nullopt;
    }
    while (!rest.empty() && rest.back() == '/')
        rest.pop_back();
    std::size_t colon;
    if (!rest.empty() && rest.front() == '[') {
        const std::size_t close = rest.find(']');
        if (close == std::string::npos || close + 1 >= rest.size() || rest[close + 1] != ':')
            return std::nullopt;
        a.host = rest.substr(1, close - 1);
        colon = close + 1;
    } else {
        colon = rest.rfind(':');
        if (colon == std::string::npos)
            return std::nullopt;
        a.host = rest.substr(0, colon);
        if (a.host.find(':') != std::string::npos)
            return std::nullopt; // an IPv6 address needs its brackets
    }
    a.port = rest.substr(colon + 1);
    if (a.host.empty() || a.port.empty() || a.port.size() > 5 ||
        !std::all_of(a.port.begin(), a.port.end(), [](unsigned char c) { return c >= '0' && c <= '9'; }) ||
        std::stoi(a.port) < 1 || std::stoi(a.port) > 65535)
        return std::nullopt;
    return a;
}

void setNetResolver(NetResolver resolver) {
    std::lock_guard lock(g_netMutex);
    g_resolver = std::move(resolver);
}

void setNetTimeouts(const NetTimeouts& timeouts) {
    std::lock_guard lock(g_netMutex);
    g_timeouts = timeouts;
}

NetTimeouts netTimeouts() {
    std::lock_guard lock(g_netMutex);
    return g_timeouts;
}

std::unique_ptr<detail::NetDevice> detail::makeNetDevice(std::size_t inputQueueBound) {
    return std::make_unique<NetDeviceImpl>(inputQueueBound);
}

} // namespace platform
