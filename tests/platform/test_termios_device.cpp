// SPDX-License-Identifier: GPL-3.0-or-later
// The termios device side on pseudo-terminal pairs: the test holds the master end, the calls open the
// slave end as a port would be opened.
#include "fd.h"
#include "input_queue.h"
#include "platform/comm.h"
#include "pty_pair.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <linux/serial.h>
#include <memory>
#include <poll.h>
#include <string>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

// A pseudo-terminal keeps no output queue of its own (TIOCOUTQ always reads 0): what its far side has
// not read yet sits there instead. To stand for a device that holds output, this program links with
// ioctl wrapped, and TIOCOUTQ on the device named here reports the bytes its far side has not read.
namespace {
dev_t g_queueDevice = 0;
int g_queueFarSide = -1;
// Likewise TIOCGICOUNT on the device named here reports these counts, as a UART's driver would.
std::atomic<dev_t> g_countsDevice{0};
std::atomic<int> g_frameErrors{0};
std::atomic<int> g_breaks{0};
} // namespace

extern "C" int __real_ioctl(int fd, unsigned long request, ...);
extern "C" int __wrap_ioctl(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    struct stat st {};
    if (request == TIOCOUTQ && g_queueFarSide >= 0 && ::fstat(fd, &st) == 0 && st.st_rdev == g_queueDevice)
        return __real_ioctl(g_queueFarSide, TIOCINQ, arg);
    if (request == TIOCGICOUNT && g_countsDevice != 0 && ::fstat(fd, &st) == 0 &&
        st.st_rdev == g_countsDevice) {
        auto* counts = static_cast<serial_icounter_struct*>(arg);
        *counts = {};
        counts->frame = g_frameErrors;
        counts->brk = g_breaks;
        return 0;
    }
    return __real_ioctl(fd, request, arg);
}

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// The test holds the master end; send() and receive() act on it.
class Pty : public comlab::test::PtyPair {
public:
    void send(const std::string& bytes) const {
        ASSERT_EQ(::write(master(), bytes.data(), bytes.size()), ssize_t(bytes.size()));
    }
    // Whatever arrives within a generous bound, up to `n` bytes.
    std::string receive(std::size_t n) const { return comlab::test::readFor(master(), n, 3000, true); }
    // Nothing more arrives for a short while.
    bool quiet() const { return comlab::test::quietFor(master(), 100); }
};

// A port handle closed at the end of the scope.
class Port {
public:
    explicit Port(const std::string& name)
        : m_h(CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr)) {}
    ~Port() {
        if (ok())
            CloseHandle(m_h);
    }
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;
    bool ok() const { return m_h != INVALID_HANDLE_VALUE; }
    HANDLE h() const { return m_h; }
    BOOL close() {
        const BOOL r = CloseHandle(m_h);
        m_h = INVALID_HANDLE_VALUE;
        return r;
    }

private:
    HANDLE m_h;
};

DCB lineDcb(DWORD rate = 9600) {
    DCB d;
    d.DCBlength = sizeof(DCB);
    d.BaudRate = rate;
    d.fBinary = 1;
    d.fDtrControl = DTR_CONTROL_ENABLE;
    d.ByteSize = 8;
    d.XonChar = 17;
    d.XoffChar = 19;
    d.XonLim = d.XoffLim = 512;
    return d;
}

void setTimeouts(HANDLE h) {
    COMMTIMEOUTS t{1, 0, 1, 0, 10};
    ASSERT_TRUE(SetCommTimeouts(h, &t));
}

DWORD inQueue(HANDLE h) {
    COMSTAT st;
    DWORD errors = 0xFFFF;
    EXPECT_TRUE(ClearCommError(h, &errors, &st));
    EXPECT_EQ(errors, 0u);
    return st.cbInQue;
}

// Waits (boundedly) until the port reports `n` bytes waiting.
bool waitInQueue(HANDLE h, DWORD n) {
    const auto end = std::chrono::steady_clock::now() + 3s;
    while (std::chrono::steady_clock::now() < end) {
        if (inQueue(h) == n)
            return true;
        ::poll(nullptr, 0, 5);
    }
    return false;
}

// Maps COM names through a folder of its own for the life of the object.
class PortMap {
public:
    PortMap() {
        m_dir = fs::temp_directory_path() / ("comlab-map-" + std::to_string(::getpid()));
        fs::create_directories(m_dir);
        const char* was = std::getenv("COMLAB_PORTS_DIR");
        m_previous = was ? was : "";
        ::setenv("COMLAB_PORTS_DIR", m_dir.c_str(), 1);
    }
    ~PortMap() {
        ::setenv("COMLAB_PORTS_DIR", m_previous.c_str(), 1);
        std::error_code ec;
        fs::remove_all(m_dir, ec);
    }
    void map(int n, const std::string& target) const {
        fs::create_symlink(target, m_dir / ("COM" + std::to_string(n)));
    }

private:
    fs::path m_dir;
    std::string m_previous;
};

TEST(TermiosOpen, MappedComNameOpensAndCloses) {
    Pty pty;
    ASSERT_TRUE(pty.ok());
    PortMap map;
    map.map(3, pty.slave());
    Port port("\\\\.\\COM3");
    ASSERT_TRUE(port.ok());
    EXPECT_TRUE(port.close());
    // Closed handles are gone: closing again fails.
    EXPECT_FALSE(CloseHandle(port.h()));
}

TEST(TermiosOpen, NamesThatLeadNowhereFail) {
    Pty pty;
    ASSERT_TRUE(pty.ok());
    PortMap map;
    map.map(2, "/nonexistent/comlab-device");
    map.map(4, "/dev/null"); // exists but is no terminal
    for (const char* name :
         {"\\\\.\\COM1", "\\\\.\\COM2", "\\\\.\\COM4", "\\\\.\\COM17", "/nonexistent/tty", "/dev/null", ""}) {
        Port port(name);
        EXPECT_FALSE(port.ok()) << name;
    }
    // Why, for a name that leads to a device that is not there: the device, and that it is missing.
    Port missing("\\\\.\\COM2");
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(platform::LastFailureDetail().device, "/nonexistent/comlab-device");
}

TEST(TermiosOpen, PortIsExclusiveUntilClosed) {
    Pty pty;
    ASSERT_TRUE(pty.ok());
    Port first(pty.slave());
    ASSERT_TRUE(first.ok());
    {
        Port second(pty.slave());
        EXPECT_FALSE(second.ok());
    }
    first.close();
    Port again(pty.slave());
    EXPECT_TRUE(again.ok());
}

#ifdef TIOCGEXCL
// The exclusive mark sits on the device and outlives our descriptor while another process (a peer
// holding the pseudo-terminal, say) keeps the device open: a close must take away the mark it set, so
// an ordinary user can open the port again, and must leave a mark that another program set.
TEST(TermiosOpen, CloseTakesAwayOnlyItsOwnExclusiveMark) {
    const auto marked = [](int fd) {
        int on = -1;
        EXPECT_EQ(ioctl(fd, TIOCGEXCL, &on), 0);
        return on != 0;
    };
    for (const bool markedByOther : {false, true}) {
        SCOPED_TRACE(markedByOther ? "marked by another program" : "unmarked");
        Pty pty;
        ASSERT_TRUE(pty.ok());
        // Another holder of the device, as a peer or a second program would be.
        const int other = ::open(pty.slave().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(other, 0);
        if (markedByOther) {
            ASSERT_EQ(ioctl(other, TIOCEXCL), 0);
        }
        {
            Port port(pty.slave());
            if (!port.ok()) {
                // Only root gets past another program's mark.
                EXPECT_TRUE(markedByOther && ::geteuid() != 0);
                ::close(other);
                continue;
            }
            EXPECT_TRUE(marked(other));
            EXPECT_TRUE(port.close());
        }
        EXPECT_EQ(marked(other), markedByOther);
        ::close(other);
    }
}
#endif

// A port another program holds is refused, with that program named, and the refusal must not touch
// the device: the holder's output, still on its way, all arrives.
TEST(TermiosOpen, BusyPortIsRefusedWithItsHolderAndKeepsItsOutput) {
    Pty pty;
    ASSERT_TRUE(pty.ok());
    const comlab::test::Fd fd(::open(pty.slave().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    const int holder = fd.get();
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
    termios raw{};
    ASSERT_EQ(tcgetattr(holder, &raw), 0);
    cfmakeraw(&raw);
    ASSERT_EQ(tcsetattr(holder, TCSANOW, &raw), 0);
    // The holder sends more than the far side's buffer takes; the far side does not read yet.
    const std::vector<char> out(64 * 1024, 'h');
    std::size_t sent = 0;
    for (ssize_t n; (n = ::write(holder, out.data(), out.size())) > 0;)
        sent += std::size_t(n);
    ASSERT_GT(sent, 4096u);
    struct stat st {};
    ASSERT_EQ(::fstat(holder, &st), 0);
    g_queueDevice = st.st_rdev;
    g_queueFarSide = pty.master();

    Port refused(pty.slave());
    g_queueFarSide = -1;
    EXPECT_FALSE(refused.ok());
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    const platform::FailureDetail& why = platform::LastFailureDetail();
    EXPECT_EQ(why.device, fs::canonical(pty.slave()).string());
    EXPECT_EQ(why.holderPid, long(::getpid()));
    std::string self;
    std::getline(std::ifstream("/proc/self/comm"), self);
    EXPECT_EQ(why.holderName, self);

    EXPECT_EQ(comlab::test::readFor(pty.master(), sent, 3000).size(), sent);
}

TEST(TermiosData, RawBytesBothWaysWithQueueCounts) {
    Pty pty;
    ASSERT_TRUE(pty.ok());
    Port port(pty.slave());
    ASSERT_TRUE(port.ok());
    DCB d = lineDcb();
    ASSERT_TRUE(SetCommState(port.h(), &d));
    setTimeouts(port.h());

    // Every byte value, line-editing and signal characters included, arrives unchanged and unechoed.
    std::string all;
    for (int i = 0; i < 256; ++i)
        all.push_back(char(i));
    pty.send(all);
    ASSERT_TRUE(waitInQueue(port.h(), 256));
    std::vector<char> buf(300);
    DWORD got = 0;
    ASSERT_TRUE(ReadFile(port.h(), buf.data(), 256, &got, nullptr));
    ASSERT_EQ(got, 256u);
    EXPECT_EQ(std::string(buf.data(), got), all);
    EXPECT_EQ(inQueue(port.h()), 0u);
    EXPECT_TRUE(pty.quiet()); // no echo

    const std::string out = "line\nbreak\r\x03\x7f";
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(port.h(), out.data(), DWORD(out.size()), &written, nullptr));
    EXPECT_EQ(written, out.size());
    EXPECT_EQ(pty.receive(out.size()), out); // no CR added to the newline
}

TEST(TermiosData, ReadWithNothingWaitingReturnsNothing) {
    Pty pty;
    ASSERT_TRUE(pty.ok());
    Port port(pty.slave());
    ASSERT_TRUE(port.ok());
    setTimeouts(port.h());
    char buf[16];
    DWORD got = 99;
    EXPECT_TRUE(ReadFile(port.h(), buf, sizeof buf, &got, nullptr));
    EXPECT_EQ(got, 0u);
}

TEST(TermiosData, WriteIntoAFullQueueReportsWhatWent) {
    Pty pty;
    ASSERT_TRUE(pty.ok());
    Port port(pty.slave());
    ASSERT_TRUE(port.ok());
    setTimeouts(port.h());
    // Nobody reads the far side: the kernel's buffers fill and the write stops at its time-out.
    const std::vector<char> big(1 << 20, 'x');
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(port.h(), big.data(), DWORD(big.size()), &written, nullptr));
    EXPECT_GT(written, 0u);
    EXPECT_LT(written, big.size());
    DWORD more = 99;
    EXPECT_TRUE(WriteFile(port.h(), big.data(), 64, &more, nullptr));
    EXPECT_EQ(more, 0u);
    // Once the far side reads, there is room again.
    EXPECT_EQ(pty.receive(4096).size(), 4096u);
    EXPECT_TRUE(WriteFile(port.h(), big.data(), 64, &more, nullptr));
    EXPECT_GT(more, 0u);
}

TEST(TermiosPurge, PurgeEmptiesOnlyWhatIsAskedFor) {
    Pty pty;
    ASSERT_TRUE(pty.ok());
    Port port(pty.slave());
    ASSERT_TRUE(port.ok());
    pty.send("0123456789");
    ASSERT_TRUE(waitInQueue(port.h(), 10));
    EXPECT_TRUE(PurgeComm(port.h(), 0));
    EXPECT_EQ(inQueue(port.h()), 10u);
    EXPECT_TRUE(PurgeComm(port.h(), PURGE_TXABORT | PURGE_TXCLEAR));
    EXPECT_EQ(inQueue(port.h()), 10u);
    EXPECT_FALSE(PurgeComm(port.h(), 0x100));
    EXPECT_TRUE(PurgeComm(port.h(), PURGE_RXCLEAR));
    EXPECT_EQ(inQueue(port.h()), 0u);
    pty.send("abc");
    ASSERT_TRUE(waitInQueue(port.h(), 3));
    EXPECT_TRUE(PurgeComm(port.h(), PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR));
    EXPECT_EQ(inQueue(port.h()), 0u);
}

// What a pseudo-terminal takes: any rate (it has no clock), 8 data bits, one or two stop bits, hardware
// and software flow. It forces 8 data bits and drops parity, so those settings must be reported as
// refused rather than pass as applied.
TEST(TermiosSettings, PseudoTerminalTakesWhatItCanAndRefusesTheRest) {
    struct Case {
        const char* name;
        DWORD rate;
        BYTE byteSize, parity, stopBits;
        bool hwFlow, swFlow;
        bool accepted;
    };
    const Case cases[] = {
        {"9600 8N1", 9600, 8, NOPARITY, ONESTOPBIT, false, false, true},
        {"115200 8N2", 115200, 8, NOPARITY, TWOSTOPBITS, false, false, true},
        {"110", 110, 8, NOPARITY, ONESTOPBIT, false, false, true},
        {"14400", 14400, 8, NOPARITY, ONESTOPBIT, false, false, true},
        {"56000", 56000, 8, NOPARITY, ONESTOPBIT, false, false, true},
        {"128000", 128000, 8, NOPARITY, ONESTOPBIT, false, false, true},
        {"256000", 256000, 8, NOPARITY, ONESTOPBIT, false, false, true},
        {"31200", 31200, 8, NOPARITY, ONESTOPBIT, false, false, true},
        {"back to 9600", 9600, 8, NOPARITY, ONESTOPBIT, false, false, true},
        {"RTS/CTS", 9600, 8, NOPARITY, ONESTOPBIT, true, false, true},
        {"XON/XOFF", 19200, 8, NOPARITY, ONESTOPBIT, false, true, true},
        {"even parity", 9600, 8, EVENPARITY, ONESTOPBIT, false, false, false},
        {"mark parity", 9600, 8, MARKPARITY, ONESTOPBIT, false, false, false},
        {"7 data bits", 9600, 7, NOPARITY, ONESTOPBIT, false, false, false},
        {"5 bits 1.5 stop", 9600, 5, NOPARITY, ONE5STOPBITS, false, false, false},
        {"8 bits 1.5 stop", 9600, 8, NOPARITY, ONE5STOPBITS, false, false, false},
        {"rate 0", 0, 8, NOPARITY, ONESTOPBIT, false, false, false},
    };
    Pty pty;
    ASSERT_TRUE(pty.ok());
    Port port(pty.slave());
    ASSERT_TRUE(port.ok());
    for (const Case& c : cases) {
        DCB d = lineDcb(c.rate);
        d.ByteSize = c.byteSize;
        d.Parity = c.parity;
        d.StopBits = c.stopBits;
        if (c.hwFlow) {
            d.fRtsControl = RTS_CONTROL_HANDSHAKE;
            d.fOutxCtsFlow = 1;
        } else {
            d.fRtsControl = RTS_CONTROL_ENABLE;
        }
        d.fOutX = d.fInX = c.swFlow;
        EXPECT_EQ(SetCommState(port.h(), &d), c.accepted ? TRUE : FALSE) << c.name;
    }
    // After refusals the port still works at settings it takes.
    DCB d = lineDcb(57600);
    EXPECT_TRUE(SetCommState(port.h(), &d));
}

// A record the device does not take whole (a pseudo-terminal forces 8 data bits and no parity) leaves
// the port as it was, arbitrary rate and flow control included, and says which setting was refused.
TEST(TermiosSettings, RefusedRecordLeavesThePortAsItWas) {
    struct Case {
        const char* name;
        DWORD rate;
        BYTE byteSize, parity, stopBits;
        bool hwFlow, swFlow;
        platform::LineSetting refused;
        DWORD value;
    };
    const Case cases[] = {
        {"7 data bits", 19200, 7, NOPARITY, TWOSTOPBITS, true, false, platform::LineSetting::DataBits, 7},
        {"mark parity", 31250, 8, MARKPARITY, ONESTOPBIT, false, true, platform::LineSetting::Parity,
         MARKPARITY},
        {"1.5 stop bits with 8 data bits", 57600, 8, NOPARITY, ONE5STOPBITS, false, false,
         platform::LineSetting::StopBits, ONE5STOPBITS},
    };
    Pty pty;
    ASSERT_TRUE(pty.ok());
    // Opened first, so the port's exclusive mark does not keep it out: it reads the device's settings.
    const comlab::test::Fd watchFd(::open(pty.slave().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    const int watch = watchFd.get();
    ASSERT_GE(watch, 0);
    Port port(pty.slave());
    ASSERT_TRUE(port.ok());
    DCB good = lineDcb(9600);
    ASSERT_TRUE(SetCommState(port.h(), &good));
    termios before{};
    ASSERT_EQ(tcgetattr(watch, &before), 0);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DCB d = lineDcb(c.rate);
        d.ByteSize = c.byteSize;
        d.Parity = c.parity;
        d.StopBits = c.stopBits;
        if (c.hwFlow) {
            d.fRtsControl = RTS_CONTROL_HANDSHAKE;
            d.fOutxCtsFlow = 1;
        }
        d.fOutX = d.fInX = c.swFlow;
        EXPECT_FALSE(SetCommState(port.h(), &d));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
        EXPECT_EQ(platform::LastFailureDetail().refused, c.refused);
        EXPECT_EQ(platform::LastFailureDetail().refusedValue, c.value);
        EXPECT_EQ(platform::LastFailureDetail().device, fs::canonical(pty.slave()).string());
        termios after{};
        ASSERT_EQ(tcgetattr(watch, &after), 0);
        EXPECT_EQ(after.c_cflag, before.c_cflag);
        EXPECT_EQ(after.c_iflag, before.c_iflag);
        EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
    }
}

TEST(TermiosModem, PseudoTerminalHasNoModemLines) {
    Pty pty;
    ASSERT_TRUE(pty.ok());
    Port port(pty.slave());
    ASSERT_TRUE(port.ok());
    DWORD status = 0;
    EXPECT_FALSE(GetCommModemStatus(port.h(), &status));
    for (DWORD f : {SETDTR, CLRDTR, SETRTS, CLRRTS})
        EXPECT_FALSE(EscapeCommFunction(port.h(), f)) << f;
    EXPECT_FALSE(EscapeCommFunction(port.h(), 77));
    // Line settings that drive DTR and RTS still apply: a missing line is no failure there.
    DCB d = lineDcb();
    d.fRtsControl = RTS_CONTROL_ENABLE;
    EXPECT_TRUE(SetCommState(port.h(), &d));
}

TEST(TermiosHangup, FarSideGoneFailsPromptlyAndClosesCleanly) {
    Pty pty;
    ASSERT_TRUE(pty.ok());
    Port port(pty.slave());
    ASSERT_TRUE(port.ok());
    COMMTIMEOUTS slow{0, 0, 2000, 0, 2000}; // long waits that a hang-up must cut short
    ASSERT_TRUE(SetCommTimeouts(port.h(), &slow));
    pty.hangUp();

    const auto start = std::chrono::steady_clock::now();
    char buf[64] = {};
    DWORD n = 99;
    EXPECT_FALSE(WriteFile(port.h(), buf, sizeof buf, &n, nullptr));
    EXPECT_EQ(n, 0u);
    EXPECT_FALSE(ReadFile(port.h(), buf, sizeof buf, &n, nullptr));
    EXPECT_EQ(n, 0u);
    COMSTAT st;
    DWORD errors = 0;
    EXPECT_FALSE(ClearCommError(port.h(), &errors, &st));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms);
    EXPECT_TRUE(port.close());
}

// ---- the port's own input queue ----

// Installs a termios device side with the given input bound for the life of the object.
class QueueBound {
public:
    explicit QueueBound(std::size_t bound)
        : m_device(bound == kBoundOfTheSystem ? nullptr : platform::makeTermiosDevice(bound)),
          m_previous(platform::setCommDevice(m_device ? m_device.get() : &platform::systemCommDevice())) {}
    ~QueueBound() { platform::setCommDevice(m_previous); }
    QueueBound(const QueueBound&) = delete;
    QueueBound& operator=(const QueueBound&) = delete;
    static constexpr std::size_t kBoundOfTheSystem = 0;

private:
    std::unique_ptr<platform::CommDevice> m_device;
    platform::CommDevice* m_previous;
};

std::string pattern(std::size_t n, unsigned seed = 0) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i)
        s[i] = char((i * 131 + (i >> 12) + seed) & 0xff);
    return s;
}

// Writes everything into the far side, waiting for room while the port's reader drains it.
void sendAll(int master, const std::string& bytes) {
    std::size_t done = 0;
    const auto end = std::chrono::steady_clock::now() + 60s;
    while (done < bytes.size() && std::chrono::steady_clock::now() < end) {
        const ssize_t r = ::write(master, bytes.data() + done, bytes.size() - done);
        if (r > 0) {
            done += std::size_t(r);
        } else {
            pollfd p{master, POLLOUT, 0};
            ::poll(&p, 1, 20);
        }
    }
    ASSERT_EQ(done, bytes.size());
}

// Takes everything queued (the bytes are there already; the short time-outs end the read).
std::string readAll(HANDLE h, std::size_t n) {
    std::string got(n, '\0');
    DWORD r = 0;
    EXPECT_TRUE(ReadFile(h, got.data(), DWORD(n), &r, nullptr));
    got.resize(r);
    return got;
}

// Line errors reported by one status query, with the count of bytes queued.
DWORD errorsNow(HANDLE h, DWORD* queued = nullptr) {
    COMSTAT st;
    DWORD errors = 0;
    EXPECT_TRUE(ClearCommError(h, &errors, &st));
    if (queued)
        *queued = st.cbInQue;
    return errors;
}

// A full queue keeps its oldest bytes. Without flow control the newest are dropped and the next status
// query reports CE_RXOVER, once; under input flow control the reader stops instead, the kernel holds the
// far side back, and nothing is lost. The counts on the way go far past the 4095 bytes a terminal holds.
TEST(TermiosQueue, FullQueueKeepsTheOldestAndNeverLosesSilently) {
    struct Case {
        const char* name;
        std::size_t bound;
        bool rtsCts, xonXoff;
    };
    const Case cases[] = {
        {"no flow control", 64 * 1024, false, false},
        {"RTS/CTS", 64 * 1024, true, false},
        {"XOFF on input", 64 * 1024, false, true},
        {"the system's bound", QueueBound::kBoundOfTheSystem, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const QueueBound device(c.bound);
        const std::size_t bound = c.bound ? c.bound : platform::kInputQueueBound;
        Pty pty;
        ASSERT_TRUE(pty.ok());
        Port port(pty.slave());
        ASSERT_TRUE(port.ok());
        DCB d = lineDcb();
        if (c.rtsCts) {
            d.fRtsControl = RTS_CONTROL_HANDSHAKE;
            d.fOutxCtsFlow = 1;
        }
        d.fInX = c.xonXoff; // XOFF sent when full; the far side's DC1/DC3 still arrive as data
        ASSERT_TRUE(SetCommState(port.h(), &d));
        setTimeouts(port.h());

        const std::string oldest = pattern(bound);
        sendAll(pty.master(), oldest);
        ASSERT_TRUE(waitInQueue(port.h(), DWORD(bound)));
        // The newest bytes, small enough to stay in the kernel if the reader holds off.
        const std::string newest(100, 'N');
        pty.send(newest);

        if (c.rtsCts || c.xonXoff) {
            EXPECT_TRUE(pty.quiet()); // nothing to do with the far side: the reader just waits
            DWORD queued = 0;
            EXPECT_EQ(errorsNow(port.h(), &queued), 0u);
            EXPECT_EQ(queued, bound);
            EXPECT_TRUE(readAll(port.h(), bound) == oldest);
            ASSERT_TRUE(waitInQueue(port.h(), DWORD(newest.size())));
            EXPECT_EQ(readAll(port.h(), newest.size()), newest);
            continue;
        }
        DWORD errors = 0;
        DWORD queued = 0;
        for (int i = 0; i < 600 && !(errors & CE_RXOVER); ++i) {
            errors = errorsNow(port.h(), &queued);
            if (!(errors & CE_RXOVER))
                ::poll(nullptr, 0, 5);
        }
        EXPECT_EQ(errors, DWORD(CE_RXOVER));
        EXPECT_EQ(queued, bound);
        EXPECT_EQ(errorsNow(port.h()), 0u); // reported once
        EXPECT_TRUE(readAll(port.h(), bound) == oldest);
        // With room again, what comes next is queued as usual.
        pty.send("after");
        ASSERT_TRUE(waitInQueue(port.h(), 5));
        EXPECT_EQ(readAll(port.h(), 5), "after");
    }
}

// A purge empties what the reader already took as well as the kernel's queue, also when it meets the
// reader in the middle of a stream: nothing sent before the purge shows up after it.
TEST(TermiosQueue, PurgeEmptiesWhatTheReaderTookToo) {
    Pty pty;
    ASSERT_TRUE(pty.ok());
    Port port(pty.slave());
    ASSERT_TRUE(port.ok());
    setTimeouts(port.h());
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        // A stream of 'a' that the reader is busy taking in when the purge comes.
        std::thread writer([&] {
            const std::string chunk(4096, 'a');
            for (int i = 0; i < 16; ++i)
                if (::write(pty.master(), chunk.data(), chunk.size()) < 0)
                    ::poll(nullptr, 0, 1);
        });
        writer.join();
        EXPECT_TRUE(
            PurgeComm(port.h(), round % 2 ? PURGE_RXCLEAR : PURGE_RXABORT | PURGE_RXCLEAR | PURGE_TXCLEAR));
        EXPECT_EQ(inQueue(port.h()), 0u);
        pty.send("bcd");
        ASSERT_TRUE(waitInQueue(port.h(), 3));
        EXPECT_EQ(readAll(port.h(), 64), "bcd");
    }
}

// The far side hangs up after sending: the bytes already queued are counted and read first, and only
// then do the status query and the read fail.
TEST(TermiosQueue, HangUpAfterDataHandsTheDataOverFirst) {
    Pty pty;
    ASSERT_TRUE(pty.ok());
    Port port(pty.slave());
    ASSERT_TRUE(port.ok());
    COMMTIMEOUTS slow{0, 0, 2000, 0, 2000}; // a wait the hang-up must cut short
    ASSERT_TRUE(SetCommTimeouts(port.h(), &slow));
    pty.send("last words");
    ASSERT_TRUE(waitInQueue(port.h(), 10));
    pty.hangUp();

    COMSTAT st;
    DWORD errors = 0;
    ASSERT_TRUE(ClearCommError(port.h(), &errors, &st));
    EXPECT_EQ(st.cbInQue, 10u);
    char buf[64];
    DWORD n = 0;
    EXPECT_TRUE(ReadFile(port.h(), buf, 4, &n, nullptr));
    EXPECT_EQ(std::string(buf, n), "last");
    EXPECT_TRUE(ReadFile(port.h(), buf, sizeof buf, &n, nullptr)); // what is left, then the wait ends
    EXPECT_EQ(std::string(buf, n), " words");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(ReadFile(port.h(), buf, sizeof buf, &n, nullptr));
    EXPECT_EQ(n, 0u);
    EXPECT_FALSE(ClearCommError(port.h(), &errors, &st));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms);
    EXPECT_TRUE(port.close());
}

TEST(TermiosHandles, UnknownHandlesFailEverywhere) {
    int local = 0;
    Pty pty;
    ASSERT_TRUE(pty.ok());
    HANDLE closed =
        CreateFileA(pty.slave().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(closed, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(CloseHandle(closed));
    for (HANDLE h : {INVALID_HANDLE_VALUE, HANDLE(nullptr), HANDLE(&local), closed}) {
        DCB d = lineDcb();
        COMMTIMEOUTS t{};
        COMSTAT st;
        DWORD v = 0;
        char b[4] = {};
        EXPECT_FALSE(CloseHandle(h));
        EXPECT_FALSE(SetCommState(h, &d));
        EXPECT_FALSE(SetupComm(h, 2048, 2048));
        EXPECT_FALSE(SetCommTimeouts(h, &t));
        EXPECT_FALSE(PurgeComm(h, PURGE_RXCLEAR));
        EXPECT_FALSE(ClearCommError(h, &v, &st));
        EXPECT_FALSE(ReadFile(h, b, sizeof b, &v, nullptr));
        EXPECT_FALSE(WriteFile(h, b, sizeof b, &v, nullptr));
        EXPECT_FALSE(EscapeCommFunction(h, SETDTR));
        EXPECT_FALSE(GetCommModemStatus(h, &v));
    }
}

TEST(TickCount, AdvancesWithTime) {
    const DWORD a = GetTickCount();
    ::poll(nullptr, 0, 30);
    const DWORD elapsed = GetTickCount() - a;
    EXPECT_GE(elapsed, 20u);
    EXPECT_LT(elapsed, 10000u);
}

} // namespace

namespace {

// The events taken; the times data came after a pause only when asked for.
std::vector<platform::ReceiveEvent> eventsOf(HANDLE h, bool arrivals = false) {
    std::vector<platform::ReceiveEvent> events;
    EXPECT_TRUE(platform::TakeReceiveEvents(h, events));
    if (!arrivals)
        std::erase_if(events, [](const auto& e) { return e.kind == platform::ReceiveEventKind::Arrival; });
    return events;
}

// Waits (boundedly) until `n` bytes are queued, whatever errors the status reports on the way.
bool waitQueued(HANDLE h, DWORD n) {
    for (int i = 0; i < 600; ++i) {
        COMSTAT st;
        DWORD errors = 0;
        if (ClearCommError(h, &errors, &st) && st.cbInQue == n)
            return true;
        ::poll(nullptr, 0, 5);
    }
    return false;
}

std::string describe(const std::vector<platform::ReceiveEvent>& events) {
    std::string s;
    for (const auto& e : events)
        s += std::to_string(e.offset) + ":" + std::to_string(int(e.kind)) + "x" +
             (e.kind == platform::ReceiveEventKind::HangUp ? std::string("err") : std::to_string(e.count)) +
             " ";
    return s;
}

} // namespace

// A device that answers in pieces and hangs up at once: the kernel drops what it still holds at the
// hang-up, so the reader must have taken every piece by then. The far side sends its next piece, or
// hangs up, 2 ms after the reader has taken what there was and is about to wait: a reader that rested
// on a slow stream with data waiting would lose the last piece.
TEST(TermiosQueue, EveryPieceBeforeAHangUpIsKept) {
    struct Far {
        comlab::test::PtyPair* pty = nullptr;
        std::vector<std::string> pieces;
        std::atomic<std::size_t> next{0};
    };
    Far far;
    far.pieces = {"OK\r\n", "+DATA: 12,34\r\n", "NO CARRIER\r\n"};
    for (int round = 0; round < 10; ++round) {
        SCOPED_TRACE(round);
        Pty pty;
        ASSERT_TRUE(pty.ok());
        far.pty = &pty;
        far.next = 0;
        // Before the open: the reader's first wait already sends the first piece.
        platform::detail::setReaderWaitHook(
            [](void* context) {
                auto* f = static_cast<Far*>(context);
                const std::size_t i = f->next++;
                // A device's pace: a piece every 2 ms, the rate of a slow line.
                if (i > 0)
                    ::poll(nullptr, 0, 2);
                if (i < f->pieces.size())
                    EXPECT_EQ(::write(f->pty->master(), f->pieces[i].data(), f->pieces[i].size()),
                              ssize_t(f->pieces[i].size()));
                else if (i == f->pieces.size())
                    f->pty->hangUp();
            },
            &far);
        Port port(pty.slave());
        ASSERT_TRUE(port.ok());
        COMMTIMEOUTS slow{0, 0, 3000, 0, 3000};
        ASSERT_TRUE(SetCommTimeouts(port.h(), &slow));
        std::string got;
        char buf[256];
        DWORD n = 0;
        while (ReadFile(port.h(), buf, sizeof buf, &n, nullptr) && n > 0)
            got.append(buf, n);
        platform::detail::setReaderWaitHook(nullptr, nullptr);
        EXPECT_EQ(got, far.pieces[0] + far.pieces[1] + far.pieces[2]);
        // The hang-up is noted after the last byte.
        const auto events = eventsOf(port.h());
        ASSERT_EQ(events.size(), 1u) << describe(events);
        EXPECT_EQ(events[0].kind, platform::ReceiveEventKind::HangUp);
        EXPECT_EQ(events[0].offset, got.size());
    }
}

// Where data was dropped and where line errors came, as offsets of the stream ReadFile hands out: a
// drop at the end of what the full queue kept, counted in bytes; a line error before the bytes of the
// read that brought it; a purge moves what it met to where reading goes on.
TEST(TermiosEvents, DropsAndLineErrorsStandWhereTheyHappened) {
    const std::size_t bound = 64 * 1024;
    const QueueBound device(bound);
    Pty pty;
    ASSERT_TRUE(pty.ok());
    struct stat st {};
    ASSERT_EQ(::stat(pty.slave().c_str(), &st), 0);
    g_countsDevice = st.st_rdev;
    g_frameErrors = 0;
    g_breaks = 0;
    Port port(pty.slave());
    ASSERT_TRUE(port.ok());
    setTimeouts(port.h());

    pty.send("abc");
    ASSERT_TRUE(waitQueued(port.h(), 3));
    g_frameErrors = 2; // two bad characters in what comes next
    pty.send("xyz");
    ASSERT_TRUE(waitQueued(port.h(), 6));
    g_breaks = 1;
    pty.send(std::string(1, '\0'));
    ASSERT_TRUE(waitQueued(port.h(), 7));
    EXPECT_EQ(describe(eventsOf(port.h())), "3:2x2 6:4x1 ");
    EXPECT_EQ(readAll(port.h(), 7), std::string("abcxyz\0", 7));

    // The queue fills; 100 bytes more are dropped, then room comes and data flows again.
    sendAll(pty.master(), pattern(bound));
    ASSERT_TRUE(waitQueued(port.h(), DWORD(bound)));
    pty.send(std::string(100, 'N'));
    std::vector<platform::ReceiveEvent> events;
    for (int i = 0; i < 600 && (events.empty() || events.back().count < 100); ++i) {
        auto more = eventsOf(port.h());
        if (!more.empty() && !events.empty() && more.front().offset == events.back().offset)
            events.back().count += more.front().count, more.erase(more.begin());
        events.insert(events.end(), more.begin(), more.end());
        ::poll(nullptr, 0, 5);
    }
    EXPECT_EQ(describe(events), std::to_string(7 + bound) + ":0x100 ");
    EXPECT_EQ(readAll(port.h(), bound), pattern(bound));
    pty.send("after");
    ASSERT_TRUE(waitQueued(port.h(), 5));
    g_frameErrors = 3;
    pty.send("bad");
    ASSERT_TRUE(waitQueued(port.h(), 8));
    EXPECT_TRUE(PurgeComm(port.h(), PURGE_RXCLEAR));
    EXPECT_EQ(describe(eventsOf(port.h())), std::to_string(7 + bound) + ":2x1 ");
    g_countsDevice = 0;
}

// The reader notes when bytes come after a quiet line, at the first byte of that read, with the wall
// clock of the read; bytes that follow closely note nothing.
TEST(TermiosEvents, AnArrivalIsNotedAfterAPauseOnly) {
    Pty pty;
    ASSERT_TRUE(pty.ok());
    Port port(pty.slave());
    ASSERT_TRUE(port.ok());
    setTimeouts(port.h());
    const auto wall = [] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::system_clock::now().time_since_epoch())
            .count();
    };
    // Each round: a pause, then two writes straight after each other.
    const std::string rounds[][2] = {{"first", "-more"}, {"then", "-on"}, {"last", "!"}};
    std::uint64_t offset = 0;
    std::string arrivals, expected;
    for (const auto& [a, b] : rounds) {
        ::poll(nullptr, 0, platform::kArrivalPauseMs + 50);
        const std::int64_t before = wall();
        pty.send(a);
        pty.send(b);
        ASSERT_TRUE(waitQueued(port.h(), DWORD(a.size() + b.size())));
        const std::int64_t after = wall();
        for (const auto& e : eventsOf(port.h(), true)) {
            ASSERT_EQ(e.kind, platform::ReceiveEventKind::Arrival);
            arrivals += std::to_string(e.offset) + " ";
            EXPECT_GE(e.timeMs, before);
            EXPECT_LE(e.timeMs, after);
        }
        expected += std::to_string(offset) + " ";
        EXPECT_EQ(readAll(port.h(), 64), a + b);
        offset += a.size() + b.size();
    }
    EXPECT_EQ(arrivals, expected);
}
