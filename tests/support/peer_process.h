// SPDX-License-Identifier: GPL-3.0-or-later
// Child processes for tests and benchmarks, comlab-peer above all: its first output line is the path of
// the device it made, and on SIGUSR1 it writes a statistics line (key=value words) to its stats file.
#pragma once

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

extern char** environ;

namespace comlab::test {

struct ChildOptions {
    std::vector<std::string> env; // NAME=value, each replacing what this process would pass on
    bool silenceStderr = false;
    int stopSignal = SIGTERM; // sent when the child goes
};

// A child process with its stdout on a pipe; stopped with the chosen signal and reaped when it goes.
class ChildProcess {
public:
    // args[0] is the program's path; nullptr when it could not be started.
    static std::unique_ptr<ChildProcess> spawn(const std::vector<std::string>& args,
                                               const ChildOptions& o = {}) {
        int out[2];
        if (args.empty() || ::pipe2(out, O_CLOEXEC) != 0)
            return nullptr;
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e) {
            const std::string kv = *e;
            const auto name = kv.substr(0, kv.find('=') + 1);
            if (std::none_of(o.env.begin(), o.env.end(),
                             [&](const std::string& x) { return x.rfind(name, 0) == 0; }))
                env.push_back(kv);
        }
        env.insert(env.end(), o.env.begin(), o.env.end());
        std::vector<char*> argv, envp;
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        for (const auto& e : env)
            envp.push_back(const_cast<char*>(e.c_str()));
        envp.push_back(nullptr);

        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, out[1], STDOUT_FILENO);
        if (o.silenceStderr)
            posix_spawn_file_actions_addopen(&fa, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        pid_t pid = -1;
        const int rc = ::posix_spawn(&pid, args[0].c_str(), &fa, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&fa);
        ::close(out[1]);
        if (rc != 0) {
            ::close(out[0]);
            return nullptr;
        }
        return std::make_unique<ChildProcess>(Started{}, pid, out[0], o.stopSignal);
    }

    class Started {
        friend class ChildProcess;
        Started() = default;
    };
    // Only spawn() makes one.
    ChildProcess(Started, pid_t pid, int out, int stopSignal)
        : m_pid(pid), m_out(out), m_stopSignal(stopSignal) {}

    ~ChildProcess() {
        if (!m_reaped) {
            ::kill(m_pid, SIGCONT); // a stopped child would not act on the stop signal
            ::kill(m_pid, m_stopSignal);
            ::waitpid(m_pid, nullptr, 0);
        }
        ::close(m_out);
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return m_pid; }
    void signal(int s) const {
        if (!m_reaped)
            ::kill(m_pid, s);
    }

    // One line of the child's stdout, without its line break; false on time-out or end of output.
    bool readLine(std::string& line, int timeoutMs) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            const auto nl = m_buf.find('\n');
            if (nl != std::string::npos) {
                line = m_buf.substr(0, nl);
                m_buf.erase(0, nl + 1);
                return true;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now())
                    .count();
            if (left <= 0)
                return false;
            pollfd p{m_out, POLLIN, 0};
            if (::poll(&p, 1, int(left)) <= 0)
                continue;
            char chunk[512];
            const ssize_t n = ::read(m_out, chunk, sizeof chunk);
            if (n <= 0)
                return false;
            m_buf.append(chunk, std::size_t(n));
        }
    }

    bool exited() {
        if (!m_reaped && ::waitpid(m_pid, nullptr, WNOHANG) == m_pid)
            m_reaped = true;
        return m_reaped;
    }

private:
    pid_t m_pid;
    int m_out;
    int m_stopSignal;
    bool m_reaped = false;
    std::string m_buf;
};

// comlab-peer (`bin`) with `args`; path() is its device, empty when it did not start or refused.
class PeerProcess {
public:
    PeerProcess(const std::string& bin, std::vector<std::string> args, const ChildOptions& o = {},
                int pathTimeoutMs = 5000) {
        args.insert(args.begin(), bin);
        m_child = ChildProcess::spawn(args, o);
        if (m_child && !m_child->readLine(m_path, pathTimeoutMs))
            m_path.clear();
    }

    bool started() const { return m_child != nullptr; }
    const std::string& path() const { return m_path; }
    pid_t pid() const { return m_child ? m_child->pid() : -1; }
    void signal(int s) const {
        if (m_child)
            m_child->signal(s);
    }
    bool exited() { return !m_child || m_child->exited(); }
    // Stops the peer now rather than when this object goes.
    void stop() { m_child.reset(); }

private:
    std::unique_ptr<ChildProcess> m_child;
    std::string m_path;
};

using Stats = std::map<std::string, std::string>;

// The first line of a statistics file as key=value pairs; empty when there is none.
inline Stats readStats(const std::filesystem::path& file) {
    std::ifstream f(file);
    std::string line, w;
    std::getline(f, line);
    Stats kv;
    std::istringstream words(line);
    while (words >> w)
        if (const auto eq = w.find('='); eq != std::string::npos)
            kv[w.substr(0, eq)] = w.substr(eq + 1);
    return kv;
}

// A number from the statistics; -1 when the key is absent.
inline long long statNumber(const Stats& s, const char* key) {
    const auto it = s.find(key);
    return it == s.end() ? -1 : std::atoll(it->second.c_str());
}

// Arguments that make the peer COM1 of the map folder `dir` and end it with this process.
inline std::vector<std::string> com1Of(const std::filesystem::path& dir) {
    return {"--map", dir.string(), "--com", "1", "--parent", std::to_string(::getpid())};
}

// comlab-peer mapped as COM1 in `dir`, writing its statistics to dir/stats on request.
class MappedPeer {
public:
    MappedPeer(const std::string& bin, const std::filesystem::path& dir, std::vector<std::string> args,
               const ChildOptions& o = {})
        : m_stats(dir / "stats"), m_peer(bin, withMap(dir, m_stats, std::move(args)), o) {}

    bool ok() const { return m_peer.started(); }
    PeerProcess& process() { return m_peer; }

    // A fresh statistics line: the old file goes, the peer is asked for a new one, and `waitFor(cond)`
    // waits for it (running the event loop or not, as the caller needs).
    template <typename Wait> Stats stats(Wait&& waitFor) const {
        std::filesystem::remove(m_stats);
        m_peer.signal(SIGUSR1);
        if (!waitFor([this] { return std::filesystem::exists(m_stats); }))
            return {};
        return readStats(m_stats);
    }

private:
    static std::vector<std::string> withMap(const std::filesystem::path& dir,
                                            const std::filesystem::path& stats,
                                            std::vector<std::string> args) {
        for (auto& a : com1Of(dir))
            args.push_back(std::move(a));
        args.push_back("--stats-file");
        args.push_back(stats.string());
        return args;
    }

    std::filesystem::path m_stats;
    PeerProcess m_peer;
};

} // namespace comlab::test
