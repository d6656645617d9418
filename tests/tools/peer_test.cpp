// SPDX-License-Identifier: GPL-3.0-or-later
// comlab-peer driven from the far side of its pseudo-terminal, as comlab would see it.
#include "fd.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

using comlab::test::Fd;
using comlab::test::TempDir;

// Reads what arrives on `fd` until `n` bytes or the time is up.
Bytes readBytes(int fd, std::size_t n, Clock::duration limit = 5s) {
    Bytes out;
    const auto end = Clock::now() + limit;
    while (out.size() < n) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        if (left <= 0)
            break;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0)
            continue;
        std::uint8_t buf[4096];
        const ssize_t r = ::read(fd, buf, std::min(sizeof buf, n - out.size()));
        if (r > 0)
            out.insert(out.end(), buf, buf + r);
        else if (r == 0 || errno != EAGAIN)
            break;
    }
    return out;
}

void writeAll(int fd, const Bytes& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t w = ::write(fd, data.data() + done, data.size() - done);
        if (w > 0) {
            done += static_cast<std::size_t>(w);
        } else if (w < 0 && errno == EAGAIN) {
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, 100);
        } else {
            FAIL() << "write: " << std::strerror(errno);
        }
    }
}

Fd openDevice(const std::string& path) {
    Fd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    termios t{};
    if (fd.get() >= 0 && ::tcgetattr(fd.get(), &t) == 0) {
        ::cfmakeraw(&t);
        ::tcsetattr(fd.get(), TCSANOW, &t);
    }
    return fd;
}

std::map<std::string, std::string> parseStats(const std::string& text) {
    std::map<std::string, std::string> kv;
    // The last complete statistics line counts.
    std::istringstream lines(text);
    std::string line, last;
    while (std::getline(lines, line))
        if (line.starts_with("mode="))
            last = line;
    std::istringstream words(last);
    std::string w;
    while (words >> w)
        if (const auto eq = w.find('='); eq != std::string::npos)
            kv[w.substr(0, eq)] = w.substr(eq + 1);
    return kv;
}

std::string readFile(const fs::path& p) {
    std::ifstream f(p);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// One comlab-peer process with its stdout and stderr on pipes.
class Peer {
public:
    explicit Peer(std::vector<std::string> args) {
        int out[2], err[2];
        EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
        EXPECT_EQ(::pipe2(err, O_CLOEXEC), 0);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        posix_spawn_file_actions_adddup2(&fa, err[1], 2);
        args.insert(args.begin(), COMLAB_PEER_BIN);
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        const int rc = ::posix_spawn(&m_pid, COMLAB_PEER_BIN, &fa, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        ::close(out[1]);
        ::close(err[1]);
        m_out = Fd(out[0]);
        m_err = Fd(err[0]);
        EXPECT_EQ(rc, 0);
        // First line: the device path (nothing when the peer refuses its arguments).
        const Bytes b = readLine(m_out.get());
        m_path.assign(b.begin(), b.end());
    }
    ~Peer() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
    }
    const std::string& path() const { return m_path; }
    pid_t pid() const { return m_pid; }
    void signal(int s) const { ::kill(m_pid, s); }
    // Exit status (-1: killed or did not end within the limit); stderr is collected meanwhile.
    int wait(Clock::duration limit = 5s) {
        const auto end = Clock::now() + limit;
        int status = 0;
        while (::waitpid(m_pid, &status, WNOHANG) == 0) {
            drainStderr();
            if (Clock::now() > end) {
                ::kill(m_pid, SIGKILL);
                ::waitpid(m_pid, &status, 0);
                m_pid = -1;
                return -1;
            }
            std::this_thread::sleep_for(5ms);
        }
        m_pid = -1;
        drainStderr();
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    bool running() const { return m_pid > 0 && ::waitpid(m_pid, nullptr, WNOHANG) == 0; }
    const std::string& stderrText() {
        drainStderr();
        return m_errText;
    }

private:
    static Bytes readLine(int fd) {
        Bytes line;
        for (;;) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 5000) <= 0)
                return line;
            std::uint8_t c = 0;
            if (::read(fd, &c, 1) != 1 || c == '\n')
                return line;
            line.push_back(c);
        }
    }
    void drainStderr() {
        ::fcntl(m_err.get(), F_SETFL, O_NONBLOCK);
        char buf[4096];
        ssize_t n;
        while ((n = ::read(m_err.get(), buf, sizeof buf)) > 0)
            m_errText.append(buf, static_cast<std::size_t>(n));
    }

    pid_t m_pid = -1;
    Fd m_out, m_err;
    std::string m_path;
    std::string m_errText;
};

// Stops the peer with SIGTERM and returns its final statistics.
std::map<std::string, std::string> stop(Peer& peer) {
    peer.signal(SIGTERM);
    EXPECT_EQ(peer.wait(), 0);
    return parseStats(peer.stderrText());
}

Bytes counterBytes(std::size_t n) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i)
        b[i] = static_cast<std::uint8_t>(i);
    return b;
}

// --- echo -------------------------------------------------------------------------------------------

TEST(PeerEcho, FaultsAreAppliedAndCountedExactly) {
    struct Case {
        const char* name;
        std::vector<std::string> args;
        std::uint64_t dropEvery, corruptEvery;
    };
    const Case cases[] = {
        {"plain loopback", {}, 0, 0},
        {"drop every 5th", {"--drop-every", "5"}, 5, 0},
        {"corrupt every 7th", {"--corrupt-every", "7"}, 0, 7},
        {"drop wins over corrupt", {"--drop-every", "4", "--corrupt-every", "6"}, 4, 6},
        {"drop everything", {"--drop-every", "1"}, 1, 0},
    };
    const Bytes sent = counterBytes(300);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args{"echo"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        Peer peer(args);
        Fd dev = openDevice(peer.path());
        ASSERT_GE(dev.get(), 0);

        Bytes expected;
        std::uint64_t dropped = 0, corrupted = 0;
        for (std::size_t i = 0; i < sent.size(); ++i) {
            const std::uint64_t nth = i + 1;
            if (c.dropEvery && nth % c.dropEvery == 0) {
                ++dropped;
            } else if (c.corruptEvery && nth % c.corruptEvery == 0) {
                ++corrupted;
                expected.push_back(sent[i] ^ 0x01);
            } else {
                expected.push_back(sent[i]);
            }
        }
        writeAll(dev.get(), sent);
        EXPECT_EQ(readBytes(dev.get(), expected.size()), expected);
        EXPECT_TRUE(readBytes(dev.get(), 1, 100ms).empty()) << "more came back than was sent";

        auto stats = stop(peer);
        EXPECT_EQ(stats["bytes_in"], std::to_string(sent.size()));
        EXPECT_EQ(stats["bytes_out"], std::to_string(expected.size()));
        EXPECT_EQ(stats["dropped"], std::to_string(dropped));
        EXPECT_EQ(stats["corrupted"], std::to_string(corrupted));
    }
}

TEST(PeerEcho, DelayHoldsEachByteWithoutHoldingUpTheOthers) {
    Peer peer({"echo", "--delay", "300"});
    Fd dev = openDevice(peer.path());
    const Bytes sent = counterBytes(40);
    writeAll(dev.get(), sent);
    // Early is impossible however loaded the machine is; one echo at a time would take 12 s.
    EXPECT_TRUE(readBytes(dev.get(), 1, 100ms).empty());
    EXPECT_EQ(readBytes(dev.get(), sent.size(), 5s), sent);
    stop(peer);
}

// --- source -----------------------------------------------------------------------------------------

const std::string kText = "The quick brown fox jumps over the lazy dog 0123456789. ";

Bytes withLines(const Bytes& pattern, std::size_t every) {
    Bytes out;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        out.push_back(pattern[i]);
        if (every && (i + 1) % every == 0) {
            out.push_back('\r');
            out.push_back('\n');
        }
    }
    return out;
}

Bytes runSource(const std::vector<std::string>& extra, std::size_t expectedSize) {
    std::vector<std::string> args{"source"};
    args.insert(args.end(), extra.begin(), extra.end());
    Peer peer(args);
    Fd dev = openDevice(peer.path());
    Bytes got = readBytes(dev.get(), expectedSize + 1, 3s);
    // With a count it ends by itself once everything has been read.
    EXPECT_EQ(peer.wait(), 0);
    EXPECT_NE(parseStats(peer.stderrText())["bytes_out"], "");
    return got;
}

TEST(PeerSource, PatternsArriveExactly) {
    Bytes text(230);
    for (std::size_t i = 0; i < text.size(); ++i)
        text[i] = static_cast<std::uint8_t>(kText[i % kText.size()]);
    struct Case {
        const char* name;
        std::vector<std::string> args;
        Bytes expected;
    };
    const Case cases[] = {
        {"counter wraps after FF", {"--count", "600"}, counterBytes(600)},
        {"text", {"--pattern", "text", "--count", "230"}, text},
        {"counter with lines", {"--count", "64", "--line-every", "16"}, withLines(counterBytes(64), 16)},
        {"text with a short last line",
         {"--pattern", "text", "--count", "230", "--line-every", "50"},
         withLines(text, 50)},
        {"nothing", {"--count", "0"}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(runSource(c.args, c.expected.size()), c.expected);
    }
}

TEST(PeerSource, RandomPatternFollowsItsSeed) {
    const Bytes a = runSource({"--pattern", "random", "--seed", "7", "--count", "500"}, 500);
    const Bytes b = runSource({"--pattern", "random", "--seed", "7", "--count", "500"}, 500);
    const Bytes c = runSource({"--pattern", "random", "--seed", "8", "--count", "500"}, 500);
    ASSERT_EQ(a.size(), 500u);
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
    std::size_t distinct = 0;
    for (int v = 0; v < 256; ++v)
        distinct += std::count(a.begin(), a.end(), v) > 0;
    EXPECT_GT(distinct, 100u) << "does not look random";
}

// --- pacing -----------------------------------------------------------------------------------------

// Bytes per second arriving on `fd` over `window`, counted from the first read onwards.
double measureRate(int fd, Clock::duration window) {
    // Whatever waits already (a source starts before we open) is not part of the measurement.
    std::uint8_t buf[4096];
    pollfd first{fd, POLLIN, 0};
    if (::poll(&first, 1, 3000) <= 0 || ::read(fd, buf, sizeof buf) <= 0)
        return 0;
    const auto start = Clock::now();
    auto last = start;
    std::size_t n = 0;
    while (Clock::now() - start < window) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0)
            continue;
        const ssize_t r = ::read(fd, buf, sizeof buf);
        if (r > 0) {
            n += static_cast<std::size_t>(r);
            last = Clock::now();
        }
    }
    const double s = std::chrono::duration<double>(last - start).count();
    return s > 0 ? static_cast<double>(n) / s : 0;
}

TEST(PeerPacing, KeepsLineRateAt9600Baud) {
    constexpr double kRate = 960.0; // 9600 baud, ten bits a byte
    struct Case {
        const char* mode;
        double (*measure)(Peer&, int fd);
    };
    const Case cases[] = {
        {"source", [](Peer&, int fd) { return measureRate(fd, 2s); }},
        {"echo",
         [](Peer&, int fd) {
             writeAll(fd, counterBytes(3000)); // more than 2 s of line time
             return measureRate(fd, 2s);
         }},
        {"sink",
         [](Peer& peer, int fd) {
             // The sink measures what it takes in; the pseudo-terminal buffers what we write.
             writeAll(fd, counterBytes(3000));
             std::this_thread::sleep_for(2200ms);
             peer.signal(SIGUSR1);
             std::this_thread::sleep_for(200ms);
             return std::stod(parseStats(peer.stderrText())["rate_in"]);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode);
        // A loaded machine can stall the measuring side now and then; a wrong pace fails every try.
        double rate = 0;
        for (int attempt = 0; attempt < 3; ++attempt) {
            Peer peer({c.mode, "--baud", "9600"});
            Fd dev = openDevice(peer.path());
            rate = c.measure(peer, dev.get());
            std::printf("[ pacing ] %s at 9600 baud: %.1f bytes/s (%+.2f %% of %.0f)\n", c.mode, rate,
                        (rate / kRate - 1) * 100, kRate);
            if (std::abs(rate / kRate - 1) <= 0.05)
                break;
        }
        EXPECT_NEAR(rate, kRate, kRate * 0.05);
    }
}

// --- sink -------------------------------------------------------------------------------------------

unsigned endAroundSum(const Bytes& b) {
    unsigned s = 0;
    for (auto v : b) {
        s += v;
        if (s > 255)
            s -= 255;
    }
    return s;
}

TEST(PeerSink, ChecksArrayAndRepeatedCode) {
    Bytes changed = counterBytes(700);
    changed[300] = 0xAA;
    Bytes lost = counterBytes(700);
    lost.erase(lost.begin() + 300);
    Bytes lostAndChanged = lost;
    lostAndChanged[500] ^= 0x10;
    Bytes repeat(200, 0xA5);
    Bytes badRepeat = repeat;
    badRepeat[50] = 0x5A;
    badRepeat[51] = 0x00;
    struct Case {
        const char* name;
        std::string expect;
        Bytes sent;
        int mismatches;
        std::string first;
    };
    const Case cases[] = {
        {"array intact", "counter", counterBytes(700), 0, "none"},
        {"array with a changed byte", "counter", changed, 1, "300:2C:AA"},
        {"array with a lost byte", "counter", lost, 1, "300:2C:2D"},
        {"array with a lost and a changed byte", "counter", lostAndChanged, 2, "300:2C:2D"},
        {"repeat intact", "repeat:A5", repeat, 0, "none"},
        {"repeat with two wrong codes", "repeat:a5", badRepeat, 2, "50:A5:5A"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const fs::path statsFile = dir.path() / "stats";
        Peer peer({"sink", "--expect", c.expect, "--stats-file", statsFile.string()});
        Fd dev = openDevice(peer.path());
        writeAll(dev.get(), c.sent);
        // Ask for statistics until everything has been taken in; SIGUSR1 must not stop the peer.
        std::map<std::string, std::string> live;
        for (int i = 0; i < 100 && live["bytes_in"] != std::to_string(c.sent.size()); ++i) {
            peer.signal(SIGUSR1);
            std::this_thread::sleep_for(20ms);
            live = parseStats(readFile(statsFile));
        }
        EXPECT_EQ(live["bytes_in"], std::to_string(c.sent.size()));
        EXPECT_TRUE(peer.running());

        auto stats = stop(peer);
        EXPECT_EQ(stats, parseStats(readFile(statsFile))) << "stderr and stats file disagree";
        EXPECT_EQ(stats["mismatches"], std::to_string(c.mismatches));
        EXPECT_EQ(stats["first_mismatch"], c.first);
        EXPECT_EQ(stats["sum"], std::to_string(endAroundSum(c.sent)));
        EXPECT_EQ(stats["bytes_out"], "0");
    }
}

// --- device and map ---------------------------------------------------------------------------------

// Opens the device the way comlab does (lock, exclusive mode), round-trips a few bytes, closes; three
// times. Returns 0 on success, else the step that failed. Only system calls: it may run after fork.
int reopenCycles(const char* path) {
    for (int cycle = 0; cycle < 3; ++cycle) {
        int fd = -1;
        for (int tries = 0; fd < 0 && tries < 2000; ++tries) {
            fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
            if (fd < 0) {
                const timespec ms{0, 1'000'000};
                ::nanosleep(&ms, nullptr);
            }
        }
        if (fd < 0)
            return 10 + cycle;
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::ioctl(fd, TIOCEXCL) != 0)
            return 20 + cycle;
        termios t{};
        ::tcgetattr(fd, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(fd, TCSANOW, &t);
        const std::uint8_t out[3] = {0x55, static_cast<std::uint8_t>(cycle), 0xAA};
        if (::write(fd, out, 3) != 3)
            return 30 + cycle;
        std::uint8_t in[3];
        std::size_t got = 0;
        while (got < 3) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 3000) <= 0)
                return 40 + cycle;
            const ssize_t r = ::read(fd, in + got, 3 - got);
            if (r <= 0)
                return 50 + cycle;
            got += static_cast<std::size_t>(r);
        }
        if (in[0] != out[0] || in[1] != out[1] || in[2] != out[2])
            return 60 + cycle;
        ::close(fd);
    }
    return 0;
}

TEST(PeerDevice, FarSideCanCloseAndOpenAgain) {
    Peer peer({"echo"});
    EXPECT_EQ(reopenCycles(peer.path().c_str()), 0);
    if (::geteuid() == 0) {
        // Exclusive mode only bars ordinary users; run the cycles as one.
        ASSERT_EQ(::chmod(peer.path().c_str(), 0666), 0);
        const pid_t child = ::fork();
        if (child == 0) {
            if (::setgid(65534) != 0 || ::setuid(65534) != 0)
                ::_exit(99);
            ::_exit(reopenCycles(peer.path().c_str()));
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0) << "as an ordinary user";
    }
    auto stats = stop(peer);
    EXPECT_EQ(stats["bytes_in"], stats["bytes_out"]);
}

TEST(PeerMap, LinkMadeReplacedAndRemoved) {
    TempDir dir;
    const fs::path mapDir = dir.path() / "config" / "ports"; // not there yet
    const fs::path link = mapDir / "COM3";
    {
        Peer peer({"echo", "--map", mapDir.string(), "--com", "3"});
        ASSERT_TRUE(fs::is_symlink(link));
        EXPECT_EQ(fs::read_symlink(link), peer.path());
        stop(peer);
        EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
    }
    fs::create_symlink("/dev/pts/does-not-exist", link);
    Peer peer({"echo", "--map", mapDir.string(), "--com", "3"});
    EXPECT_EQ(fs::read_symlink(link), peer.path());
    EXPECT_EQ(fs::read_symlink(link), peer.path());
    Fd dev = openDevice(link.string());
    writeAll(dev.get(), {1, 2, 3});
    EXPECT_EQ(readBytes(dev.get(), 3), (Bytes{1, 2, 3}));
    stop(peer);
    EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
    EXPECT_TRUE(fs::is_directory(mapDir));
}

// --- command line and lifetime ----------------------------------------------------------------------

TEST(PeerCli, BadInputIsRefused) {
    TempDir dir;
    const fs::path file = dir.path() / "plain-file";
    std::ofstream(file) << "x";
    fs::create_directory(dir.path() / "ports");
    std::ofstream(dir.path() / "ports" / "COM2") << "not a link";
    struct Case {
        std::vector<std::string> args;
        int status;
        const char* says;
    };
    const Case cases[] = {
        {{}, 2, "usage:"},
        {{"loop"}, 2, "usage:"},
        {{"echo", "sink"}, 2, "usage:"},
        {{"echo", "--nope"}, 2, "usage:"},
        {{"echo", "--baud"}, 2, "usage:"},
        {{"echo", "--baud", "0"}, 2, "usage:"},
        {{"echo", "--baud", "96x"}, 2, "usage:"},
        {{"echo", "--baud=-9600"}, 2, "usage:"},
        {{"echo", "--delay", "-5"}, 2, "usage:"},
        {{"echo", "--drop-every", "0"}, 2, "usage:"},
        {{"echo", "--count", "5"}, 2, "usage:"},
        {{"source", "--pattern", "zigzag"}, 2, "usage:"},
        {{"source", "--seed", "3"}, 2, "usage:"},
        {{"sink", "--expect", "repeat:GG"}, 2, "usage:"},
        {{"sink", "--expect", "repeat:123"}, 2, "usage:"},
        {{"echo", "--seconds", "0"}, 2, "usage:"},
        {{"echo", "--com", "3"}, 2, "usage:"},
        {{"echo", "--map", dir.path().string(), "--com", "17"}, 2, "usage:"},
        {{"echo", "--baud", "9600", "--baud", "4800"}, 2, "usage:"},
        {{"echo", "--map", (file / "ports").string(), "--com", "1"}, 1, "map folder"},
        {{"echo", "--map", (dir.path() / "ports").string(), "--com", "2"}, 1, "not a symlink"},
    };
    for (const Case& c : cases) {
        std::string joined;
        for (const auto& a : c.args)
            joined += a + ' ';
        SCOPED_TRACE(joined);
        Peer peer(c.args);
        EXPECT_EQ(peer.wait(), c.status);
        EXPECT_NE(peer.stderrText().find(c.says), std::string::npos) << peer.stderrText();
        if (c.status == 1) {
            EXPECT_EQ(peer.stderrText().find("usage:"), std::string::npos);
        }
    }
    EXPECT_EQ(readFile(dir.path() / "ports" / "COM2"), "not a link");
}

TEST(PeerLifetime, EndsCleanlyAndReports) {
    struct Case {
        const char* name;
        std::vector<std::string> args;
        int signal; // 0: the peer must end by itself
    };
    pid_t sleeper = 0;
    {
        char sleepArg[] = "sleep", secs[] = "0.3";
        char* argv[] = {sleepArg, secs, nullptr};
        ASSERT_EQ(::posix_spawnp(&sleeper, "sleep", nullptr, nullptr, argv, environ), 0);
    }
    const Case cases[] = {
        {"SIGINT", {"echo"}, SIGINT},
        {"SIGTERM", {"sink"}, SIGTERM},
        {"time limit", {"echo", "--seconds", "0.3"}, 0},
        {"parent gone", {"source", "--parent", std::to_string(sleeper)}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Peer peer(c.args);
        EXPECT_FALSE(peer.path().empty());
        if (c.signal)
            peer.signal(c.signal);
        else if (c.args.back() == std::to_string(sleeper))
            ::waitpid(sleeper, nullptr, 0);
        EXPECT_EQ(peer.wait(), 0);
        EXPECT_NE(parseStats(peer.stderrText())["elapsed"], "");
    }
}

} // namespace
