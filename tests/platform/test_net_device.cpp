// SPDX-License-Identifier: GPL-3.0-or-later
// Ports on other machines, against a scripted server on 127.0.0.1 for what ser2net never does (refuse a
// setting, stay silent, send garbage) and against the real ser2net with a pseudo-terminal behind it.
#include "net_device.h"
#include "platform/comm.h"
#include "platform/net.h"
#include "pty_pair.h"
#include "rfc2217.h"
#include "ser2net.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <netinet/in.h>
#include <random>
#include <sys/socket.h>
#include <thread>

namespace {

// The events of a port, without the arrival times that a pause in the data notes.
bool takeProblems(HANDLE h, std::vector<platform::ReceiveEvent>& events) {
    const bool ok = platform::TakeReceiveEvents(h, events) != FALSE;
    std::erase_if(events, [](const auto& e) { return e.kind == platform::ReceiveEventKind::Arrival; });
    return ok;
}

namespace t = platform::rfc2217;
using Clock = std::chrono::steady_clock;

// A server that speaks as scripted, one connection at a time.
struct Script {
    bool silent = false;                // accepts and never says a word
    bool offerComPort = true;           // DO COM-PORT-OPTION, or DONT when the client offers it
    std::map<std::uint8_t, int> answer; // a command's answer instead of the value asked; -1: none
    std::string garbage;                // sent right after the greeting
};

Script silentScript() {
    Script s;
    s.silent = true;
    return s;
}
Script withoutComPort() {
    Script s;
    s.offerComPort = false;
    return s;
}
Script answering(std::uint8_t command, int value) {
    Script s;
    s.answer[command] = value;
    return s;
}
Script withGarbage(std::string garbage) {
    Script s;
    s.garbage = std::move(garbage);
    return s;
}

class ScriptedServer {
public:
    explicit ScriptedServer(Script script) : m_script(std::move(script)) {
        m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(m_listen, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && ::listen(m_listen, 4) == 0 &&
            ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&a), &len) == 0)
            m_port = ntohs(a.sin_port);
        m_thread = std::thread([this] { run(); });
    }
    ~ScriptedServer() {
        m_stop = true;
        m_thread.join();
        ::close(m_listen);
    }
    std::string url(const char* scheme = "rfc2217") const {
        return std::string(scheme) + "://127.0.0.1:" + std::to_string(m_port);
    }
    std::string received() {
        std::lock_guard lock(m_mutex);
        return m_data;
    }

private:
    bool readable(int fd) {
        pollfd p{fd, POLLIN, 0};
        return ::poll(&p, 1, 20) > 0;
    }
    void run() {
        while (!m_stop) {
            if (!readable(m_listen))
                continue;
            const int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                session(fd);
                ::close(fd);
            }
        }
    }
    void session(int fd) {
        const auto say = [fd](const std::string& s) { (void)!::send(fd, s.data(), s.size(), MSG_NOSIGNAL); };
        if (!m_script.silent && m_script.offerComPort)
            say(t::negotiation(t::DO, t::COM_PORT_OPTION) + m_script.garbage);
        t::Decoder decoder;
        unsigned char buf[4096];
        while (!m_stop) {
            if (!readable(fd))
                continue;
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n <= 0)
                return;
            if (m_script.silent)
                continue;
            std::vector<t::Event> events;
            const std::size_t got = decoder.feed(buf, std::size_t(n), buf, events);
            {
                std::lock_guard lock(m_mutex);
                m_data.append(reinterpret_cast<const char*>(buf), got);
            }
            std::string echo;
            t::appendEscaped(echo, buf, got);
            say(echo);
            for (const t::Event& e : events) {
                if (e.kind == t::Event::Kind::Negotiation && e.option == t::COM_PORT_OPTION &&
                    e.verb == t::WILL && !m_script.offerComPort)
                    say(t::negotiation(t::DONT, t::COM_PORT_OPTION));
                if (e.kind != t::Event::Kind::ComPort)
                    continue;
                const auto it = m_script.answer.find(e.command);
                const std::uint32_t value = it == m_script.answer.end() ? e.value : std::uint32_t(it->second);
                if (it != m_script.answer.end() && it->second < 0)
                    continue;
                const std::uint8_t code = std::uint8_t(e.command + t::kServerOffset);
                if (e.command == t::SET_BAUDRATE) {
                    const std::uint8_t v[4] = {std::uint8_t(value >> 24), std::uint8_t(value >> 16),
                                               std::uint8_t(value >> 8), std::uint8_t(value)};
                    say(t::comPortCommand(code, v, 4));
                } else if (e.command <= t::SET_CONTROL) {
                    say(t::comPortByte(code, std::uint8_t(value)));
                }
            }
        }
    }

    Script m_script;
    int m_listen = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;
    std::string m_data;
    std::thread m_thread;
};

DCB record(DWORD rate = 9600, BYTE bits = 8, BYTE parity = NOPARITY) {
    DCB d;
    d.DCBlength = sizeof d;
    d.BaudRate = rate;
    d.fBinary = 1;
    d.fDtrControl = DTR_CONTROL_ENABLE;
    d.ByteSize = bits;
    d.Parity = parity;
    return d;
}

HANDLE openPort(const std::string& url) {
    return CreateFileA(url.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

void setTimeouts(HANDLE h) {
    COMMTIMEOUTS to{1, 0, 1, 0, 10};
    ASSERT_TRUE(SetCommTimeouts(h, &to));
}

// Reads until `want` bytes came or a generous bound passed.
std::string readPort(HANDLE h, std::size_t want, int ms = 5000) {
    std::string got;
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    std::vector<char> buf(65536);
    while (got.size() < want && Clock::now() < end) {
        DWORD n = 0;
        COMMTIMEOUTS to{0, 0, 50, 0, 10};
        SetCommTimeouts(h, &to);
        if (!ReadFile(h, buf.data(), DWORD(std::min(buf.size(), want - got.size())), &n, nullptr))
            break;
        got.append(buf.data(), n);
    }
    return got;
}

void writePort(HANDLE h, const std::string& data) {
    std::size_t done = 0;
    for (int i = 0; i < 2000 && done < data.size(); ++i) {
        DWORD n = 0;
        WriteFile(h, data.data() + done, DWORD(data.size() - done), &n, nullptr);
        done += n;
    }
    ASSERT_EQ(done, data.size());
}

class NetPorts : public ::testing::Test {
protected:
    void SetUp() override { platform::setNetTimeouts({1500, 700}); }
    void TearDown() override {
        platform::setNetTimeouts({});
        platform::setNetResolver(nullptr);
    }
};

TEST(NetUrls, NamesParseWithIpv6InBrackets) {
    using K = platform::NetAddress::Kind;
    struct Case {
        const char* url;
        bool ok;
        K kind;
        const char* host;
        const char* port;
    };
    const Case cases[] = {
        {"rfc2217://lab-pi:3001", true, K::Rfc2217, "lab-pi", "3001"},
        {"tcp://10.0.0.7:4001", true, K::Tcp, "10.0.0.7", "4001"},
        {"rfc2217://[::1]:3001", true, K::Rfc2217, "::1", "3001"},
        {"rfc2217://::1:3001", false, {}, "", ""},
        {"rfc2217://lab-pi", false, {}, "", ""},
        {"rfc2217://lab-pi:70000", false, {}, "", ""},
        {"rfc2217://:3001", false, {}, "", ""},
        {"telnet://lab-pi:23", false, {}, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        const auto a = platform::parseNetUrl(c.url);
        ASSERT_EQ(a.has_value(), c.ok);
        if (a) {
            EXPECT_EQ(a->kind, c.kind);
            EXPECT_EQ(a->host, c.host);
            EXPECT_EQ(a->port, c.port);
        }
    }
}

TEST_F(NetPorts, AConnectThatFailsSaysWhy) {
    ScriptedServer noComPort(withoutComPort());
    ScriptedServer silent(silentScript());
    const int closed = comlab::test::freeLocalPort();
    static std::atomic<bool> release{false};
    release = false;
    platform::setNetResolver([](const std::string& host) -> std::vector<std::string> {
        if (host == "lab-pi")
            return {"127.0.0.1"};
        while (host == "hanging" && !release)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return {};
    });
    using O = platform::PrepareOutcome;
    struct Case {
        std::string url;
        platform::NetProblem problem;
        O prepared; // what preparing the open on another thread comes to
    };
    const Case cases[] = {
        {"rfc2217://127.0.0.1:" + std::to_string(closed), platform::NetProblem::Refused, O::Unreached},
        {"rfc2217://nowhere.invalid:3001", platform::NetProblem::NotResolved, O::Unreached},
        {"rfc2217://hanging:3001", platform::NetProblem::NoAnswer, O::Unreached},
        {noComPort.url(), platform::NetProblem::NoComPortOption, O::Reached},
        {silent.url(), platform::NetProblem::NoAnswer, O::Reached},
        {"rfc2217://[::1", platform::NetProblem::None, O::NothingToDo},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        // Opened directly, then prepared on a worker: the open that takes the preparation fails at once
        // with the worker's reason.
        for (const bool prepare : {false, true}) {
            if (prepare) {
                O outcome{};
                std::thread([&] { outcome = platform::PrepareOpen(c.url.c_str()); }).join();
                EXPECT_EQ(outcome, c.prepared);
            }
            SetLastError(ERROR_SUCCESS);
            EXPECT_EQ(openPort(c.url), INVALID_HANDLE_VALUE);
            EXPECT_EQ(platform::LastFailureDetail().net, c.problem);
            EXPECT_EQ(platform::LastFailureDetail().device, c.url);
        }
    }
    release = true;
}

TEST_F(NetPorts, EachSettingIsCheckedAgainstTheServersAnswer) {
    struct Case {
        const char* name;
        Script script;
        DCB dcb;
        bool ok;
        platform::LineSetting refused;
        platform::NetProblem problem;
    };
    const Case cases[] = {
        {"answered as asked", {}, record(115200, 7, EVENPARITY), true, {}, {}},
        {"data bits changed",
         answering(t::SET_DATASIZE, 8),
         record(9600, 7),
         false,
         platform::LineSetting::DataBits,
         {}},
        {"rate changed",
         answering(t::SET_BAUDRATE, 9600),
         record(250000),
         false,
         platform::LineSetting::BaudRate,
         {}},
        {"parity never answered", answering(t::SET_PARITY, -1), record(), false,
         platform::LineSetting::Parity, platform::NetProblem::NoAnswer},
    };
    for (const Case& c : cases)
        for (const bool prepared : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (prepared ? ", prepared on a worker" : ""));
            ScriptedServer server(c.script);
            // Prepared with the record, the open's first SetCommState gives the worker's outcome.
            if (prepared)
                std::thread([&] {
                    EXPECT_EQ(platform::PrepareOpen(server.url().c_str(), &c.dcb),
                              platform::PrepareOutcome::Reached);
                }).join();
            const HANDLE h = openPort(server.url());
            ASSERT_NE(h, INVALID_HANDLE_VALUE) << int(platform::LastFailureDetail().net);
            DCB d = c.dcb;
            EXPECT_EQ(SetCommState(h, &d), c.ok ? TRUE : FALSE);
            if (!c.ok) {
                EXPECT_EQ(platform::LastFailureDetail().refused, c.refused);
                EXPECT_EQ(platform::LastFailureDetail().net, c.problem);
            }
            // The port still carries data afterwards, 0xFF doubled on the way and undoubled back.
            setTimeouts(h);
            const std::string data = std::string("a\xff\xff") + "b";
            writePort(h, data);
            EXPECT_EQ(readPort(h, data.size()), data);
            EXPECT_EQ(server.received(), data);
            CloseHandle(h);
        }
}

TEST_F(NetPorts, GarbageFromTheServerIsSafeAndAClosedConnectionIsAHangUpAfterItsData) {
    std::mt19937 rng(22);
    // A framing error reported before "c", then garbage, then the modem lines.
    std::string garbage = std::string("ab\xff\xfa\x2c\x6a\x08\xff\xf0") + "c";
    for (int i = 0; i < 20000; ++i)
        garbage += char(rng() % 4 == 0 ? 0xFF : rng() % 256);
    // Anything but a DONT: a server that takes back COM-PORT-OPTION is another case.
    for (std::size_t i = 1; i < garbage.size(); ++i)
        if (garbage[i - 1] == '\xff' && garbage[i] == '\xfe')
            garbage[i] = 'x';
    garbage += std::string("\xff\xfa\x2c\x01") + std::string(300, 'x') + "\xff\xf0"; // oversize
    garbage += "\xff\xfa\x2c\x6b\x30\xff\xf0";                                       // CTS and DSR
    std::size_t expect = 0;
    {
        t::Decoder d;
        std::string copy = garbage;
        std::vector<t::Event> ev;
        expect = d.feed(reinterpret_cast<std::uint8_t*>(copy.data()), copy.size(),
                        reinterpret_cast<std::uint8_t*>(copy.data()), ev);
    }
    auto server = std::make_unique<ScriptedServer>(withGarbage(garbage));
    const HANDLE h = openPort(server->url());
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    const std::string got = readPort(h, expect);
    EXPECT_EQ(got.size(), expect);
    EXPECT_EQ(got.substr(0, 3), "abc");
    DWORD lines = 0;
    EXPECT_TRUE(GetCommModemStatus(h, &lines));
    EXPECT_EQ(lines, MS_CTS_ON | MS_DSR_ON);
    server.reset(); // the server goes away
    std::vector<platform::ReceiveEvent> events;
    for (int i = 0; i < 250; ++i) {
        char b[256];
        DWORD n = 0;
        if (!ReadFile(h, b, sizeof b, &n, nullptr))
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_TRUE(takeProblems(h, events));
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events.front().kind, platform::ReceiveEventKind::Framing);
    EXPECT_EQ(events.front().offset, 2u);
    EXPECT_EQ(events.back().kind, platform::ReceiveEventKind::HangUp);
    EXPECT_EQ(events.back().offset, expect);
    DWORD errors = 0;
    COMSTAT st{};
    EXPECT_FALSE(ClearCommError(h, &errors, &st));
    CloseHandle(h);
}

// A port that is not read fills its queue; then the socket is not read either, so TCP holds the server
// back, and everything arrives once the port is read again.
TEST_F(NetPorts, AFullQueueHoldsTheServerBackAndDropsNothing) {
    const auto device = platform::detail::makeNetDevice(64 * 1024);
    platform::CommDevice* const saved = platform::setCommDevice(device.get());
    std::string stream(2 << 20, '\0');
    std::mt19937 rng(9);
    for (char& c : stream)
        c = char(rng() % 255); // no IAC, so what arrives is what was sent
    auto server = std::make_unique<ScriptedServer>(withGarbage(stream));
    const HANDLE h = openPort(server->url());
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    COMSTAT st{};
    DWORD errors = 0;
    ASSERT_TRUE(ClearCommError(h, &errors, &st));
    EXPECT_LE(st.cbInQue, 64u * 1024);
    const std::string got = readPort(h, stream.size(), 60000);
    EXPECT_EQ(got.size(), stream.size());
    EXPECT_TRUE(got == stream);
    std::vector<platform::ReceiveEvent> events;
    takeProblems(h, events);
    EXPECT_TRUE(events.empty());
    CloseHandle(h);
    server.reset();
    platform::setCommDevice(saved);
}

TEST_F(NetPorts, RawTcpCarriesBytesOnly) {
    ScriptedServer server(Script{});
    const HANDLE h = openPort(server.url("tcp"));
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DCB d = record(115200, 7);
    EXPECT_TRUE(SetCommState(h, &d));
    DWORD lines = 0;
    EXPECT_FALSE(GetCommModemStatus(h, &lines));
    setTimeouts(h);
    writePort(h, "\xff\x01");
    // Sent as they stand: the scripted server reads FF 01 as a telnet command and echoes nothing.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(server.received(), "");
    CloseHandle(h);
}

// ---- Against the real ser2net, a pseudo-terminal behind it ----

class Ser2netPort : public NetPorts {
protected:
    comlab::test::PtyPair pty{comlab::test::PtyPair::Master::NonBlocking};
    std::unique_ptr<comlab::test::Ser2net> server;
    void SetUp() override {
        platform::setNetTimeouts({5000, 3000});
        if (comlab::test::ser2netBinary().empty())
            GTEST_SKIP() << "ser2net is not installed (scripts/test.sh installs it)";
        ASSERT_TRUE(pty.ok());
        server = std::make_unique<comlab::test::Ser2net>(pty.slave());
        ASSERT_TRUE(server->start());
    }
};

TEST_F(Ser2netPort, DataBothWaysByteForByteAndSettingsAnswered) {
    const auto t0 = Clock::now();
    const HANDLE h = openPort(server->url());
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << int(platform::LastFailureDetail().net);
    std::printf("connect to ser2net on localhost: %.1f ms\n",
                std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    DCB d = record(115200);
    EXPECT_TRUE(SetCommState(h, &d)) << int(platform::LastFailureDetail().refused);
    d = record(19200, 7, EVENPARITY);
    EXPECT_TRUE(SetCommState(h, &d)) << int(platform::LastFailureDetail().refused);
    d = record(9600);
    EXPECT_TRUE(SetCommState(h, &d));
    setTimeouts(h);

    std::string all;
    for (int i = 0; i < 256; ++i)
        all += char(i);
    all += std::string(3000, '\xff') + "end";
    writePort(h, all);
    EXPECT_EQ(comlab::test::readFor(pty.master(), all.size(), 5000), all);
    comlab::test::writeAll(pty.master(), all);
    EXPECT_EQ(readPort(h, all.size()), all);
    CloseHandle(h);
}

TEST_F(Ser2netPort, AStreamArrivesWholeWithItsRate) {
    const HANDLE h = openPort(server->url());
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    std::string stream(4 << 20, '\0');
    std::mt19937 rng(5);
    for (char& c : stream)
        c = char(rng());
    const auto t0 = Clock::now();
    std::thread far([&] { comlab::test::writeAll(pty.master(), stream); });
    const std::string got = readPort(h, stream.size(), 60000);
    const double s = std::chrono::duration<double>(Clock::now() - t0).count();
    far.join();
    EXPECT_EQ(got.size(), stream.size());
    EXPECT_TRUE(got == stream);
    std::printf("intake through ser2net: %.2f MB/s (%zu bytes in %.2f s)\n", got.size() / s / 1e6, got.size(),
                s);

    // The same through a local pseudo-terminal, for comparison.
    comlab::test::PtyPair local;
    const HANDLE l = openPort(local.slave());
    ASSERT_NE(l, INVALID_HANDLE_VALUE);
    const auto t1 = Clock::now();
    std::thread far2([&] { comlab::test::writeAll(local.master(), stream); });
    const std::string got2 = readPort(l, stream.size(), 60000);
    const double s2 = std::chrono::duration<double>(Clock::now() - t1).count();
    far2.join();
    EXPECT_EQ(got2.size(), stream.size());
    std::printf("intake through a local pseudo-terminal: %.2f MB/s\n", got2.size() / s2 / 1e6);
    CloseHandle(l);
    CloseHandle(h);
}

TEST_F(Ser2netPort, AServerThatGoesAwayIsAHangUpAndAnswersAgainWhenBack) {
    const HANDLE h = openPort(server->url());
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    setTimeouts(h);
    comlab::test::writeAll(pty.master(), "before");
    EXPECT_EQ(readPort(h, 6), "before");
    server->stop();
    std::vector<platform::ReceiveEvent> events;
    for (int i = 0; i < 250 && events.empty(); ++i) {
        char b[64];
        DWORD n = 0;
        ReadFile(h, b, sizeof b, &n, nullptr);
        takeProblems(h, events);
    }
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back().kind, platform::ReceiveEventKind::HangUp);
    EXPECT_EQ(events.back().offset, 6u);
    CloseHandle(h);
    using O = platform::PrepareOutcome;
    EXPECT_EQ(platform::PrepareOpen(server->url().c_str()), O::Unreached);
    ASSERT_TRUE(server->start());
    // Prepared on a worker, as the window does: the open takes that connection, and it carries data.
    O outcome{};
    std::thread([&] { outcome = platform::PrepareOpen(server->url().c_str()); }).join();
    EXPECT_EQ(outcome, O::Reached);
    const HANDLE again = openPort(server->url());
    ASSERT_NE(again, INVALID_HANDLE_VALUE);
    setTimeouts(again);
    comlab::test::writeAll(pty.master(), "after");
    EXPECT_EQ(readPort(again, 5), "after");
    CloseHandle(again);
}

} // namespace
