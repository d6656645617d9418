// SPDX-License-Identifier: GPL-3.0-or-later
// A file descriptor closed when its owner goes.
#pragma once

#include <unistd.h>
#include <utility>

namespace comlab::test {

class Fd {
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    Fd(Fd&& o) noexcept : m_fd(std::exchange(o.m_fd, -1)) {}
    Fd& operator=(Fd&& o) noexcept {
        reset();
        m_fd = std::exchange(o.m_fd, -1);
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }

    void reset() {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }
    int get() const { return m_fd; }

private:
    int m_fd;
};

} // namespace comlab::test
