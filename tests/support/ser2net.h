// SPDX-License-Identifier: GPL-3.0-or-later
// ser2net in the foreground, offering one device by Telnet Com Port Control on 127.0.0.1, with a
// configuration of its own in a temporary folder. Never a service: it stops with this object.
#pragma once

#include "temp_dir.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace comlab::test {

inline std::string ser2netBinary() {
    for (const char* p : {"/usr/sbin/ser2net", "/usr/bin/ser2net"})
        if (::access(p, X_OK) == 0)
            return p;
    return {};
}

// A port of 127.0.0.1 that nothing listens on just now.
inline int freeLocalPort() {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = -1;
    if (s >= 0 && ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    if (s >= 0)
        ::close(s);
    return port;
}

// Whether something listens on 127.0.0.1:`port` (a connect goes through).
inline bool localPortListens(int port) {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(std::uint16_t(port));
    const bool ok = s >= 0 && ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    if (s >= 0)
        ::close(s);
    return ok;
}

class Ser2net {
public:
    explicit Ser2net(std::string device) : m_device(std::move(device)) {}
    ~Ser2net() { stop(); }
    Ser2net(const Ser2net&) = delete;
    Ser2net& operator=(const Ser2net&) = delete;

    // Starts it: on a free port the first time (another one if that is taken before ser2net binds it),
    // on the same port after a stop. False when it is not installed or does not come up.
    bool start() {
        if (ser2netBinary().empty() || m_dir.path().empty())
            return false;
        for (int attempt = 0; attempt < 5; ++attempt) {
            if (m_port <= 0 || (attempt > 0 && !m_fixed))
                m_port = freeLocalPort();
            if (m_port <= 0)
                return false;
            if (launch()) {
                m_fixed = true;
                return true;
            }
        }
        return false;
    }

    // Stops it as a switched-off server is stopped: the connections drop.
    void stop() {
        if (m_pid <= 0)
            return;
        ::kill(m_pid, SIGKILL);
        int status = 0;
        ::waitpid(m_pid, &status, 0);
        m_pid = -1;
    }

    int port() const { return m_port; }
    std::string url() const { return "rfc2217://127.0.0.1:" + std::to_string(m_port); }

private:
    bool launch() {
        const std::string yaml = (m_dir.path() / "ser2net.yaml").string();
        const std::string pid = (m_dir.path() / "ser2net.pid").string();
        {
            std::ofstream f(yaml);
            f << "connection: &comlab\n"
              << "  accepter: telnet(rfc2217),tcp,127.0.0.1," << m_port << "\n"
              << "  connector: serialdev," << m_device << ",9600n81,local\n"
              << "  options:\n    kickolduser: true\n    mdns: false\n";
        }
        const std::string bin = ser2netBinary();
        char* argv[] = {const_cast<char*>(bin.c_str()),
                        const_cast<char*>("-n"),
                        const_cast<char*>("-c"),
                        const_cast<char*>(yaml.c_str()),
                        const_cast<char*>("-P"),
                        const_cast<char*>(pid.c_str()),
                        nullptr};
        if (::posix_spawn(&m_pid, bin.c_str(), nullptr, nullptr, argv, environ) != 0) {
            m_pid = -1;
            return false;
        }
        // Up when it listens; gone when the port was taken meanwhile.
        for (int i = 0; i < 250; ++i) {
            int status = 0;
            if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_pid = -1;
                return false;
            }
            if (localPortListens(m_port))
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        stop();
        return false;
    }

    std::string m_device;
    TempDir m_dir{"comlab-ser2net"};
    pid_t m_pid = -1;
    int m_port = -1;
    bool m_fixed = false;
};

} // namespace comlab::test
