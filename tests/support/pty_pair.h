// SPDX-License-Identifier: GPL-3.0-or-later
// A pseudo-terminal pair: the slave side is opened as a port would be, the master side stays with the
// test or benchmark and plays the far end of the line.
#pragma once

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <termios.h>
#include <unistd.h>

namespace comlab::test {

class PtyPair {
public:
    enum class Master { NonBlocking, Blocking };

    explicit PtyPair(Master mode = Master::NonBlocking) {
        m_master =
            ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | (mode == Master::NonBlocking ? O_NONBLOCK : 0));
        if (m_master >= 0 && ::grantpt(m_master) == 0 && ::unlockpt(m_master) == 0)
            if (const char* name = ::ptsname(m_master))
                m_slave = name;
    }
    ~PtyPair() { hangUp(); }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool ok() const { return m_master >= 0 && !m_slave.empty(); }
    int master() const { return m_master; }
    const std::string& slave() const { return m_slave; }
    // Closes the master: the slave side sees the line hang up, as when an adapter is pulled out.
    void hangUp() {
        if (m_master >= 0)
            ::close(m_master);
        m_master = -1;
    }

private:
    int m_master = -1;
    std::string m_slave;
};

// Reads from `fd` what arrives within `ms`, until `want` bytes came. With `exact` no read goes past
// `want`, so whatever follows stays for the next reader; otherwise a read may bring more.
inline std::string readFor(int fd, std::size_t want, int ms, bool exact = false) {
    std::string got;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    char buf[4096];
    while (got.size() < want && std::chrono::steady_clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0)
            continue;
        const std::size_t room = exact ? std::min(sizeof buf, want - got.size()) : sizeof buf;
        const ssize_t r = ::read(fd, buf, room);
        if (r > 0)
            got.append(buf, std::size_t(r));
    }
    return got;
}

// Opens a terminal as a bare reader does: raw, with reads that never wait. -1 when it cannot.
inline int openRaw(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    termios t{};
    ::tcgetattr(fd, &t);
    ::cfmakeraw(&t);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    ::tcsetattr(fd, TCSANOW, &t);
    return fd;
}

// Writes all of `data` into `fd` as fast as it takes it; gives up only on an error other than a
// full or interrupted write.
inline void writeAll(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t r = ::write(fd, data.data() + done, data.size() - done);
        if (r > 0)
            done += std::size_t(r);
        else if (r < 0 && errno != EINTR && errno != EAGAIN)
            return;
    }
}

// Nothing arrives on `fd` for `ms`.
inline bool quietFor(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, ms) == 0;
}

} // namespace comlab::test
