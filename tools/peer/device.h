// SPDX-License-Identifier: GPL-3.0-or-later
// The pseudo-terminal the peer serves, and the COMn symlink that lets comlab find it.
#pragma once

#include <string>
#include <utility>

namespace peer {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd();
    int get() const { return m_fd; }
    explicit operator bool() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};

// Master side for the peer, plus one descriptor of the slave side held open: without it the master
// reads EIO and polls POLLHUP whenever the far side has the device closed, and the device would
// go away between two connections.
class PtyDevice {
public:
    // Empty `error` on success.
    static PtyDevice open(std::string& error);
    int master() const { return m_master.get(); }
    const std::string& path() const { return m_path; }
    // A program that opened the device may have made it exclusive (TIOCEXCL); that mark lives as long
    // as the device stays open, and we keep it open, so after that program has gone the next open
    // would fail with EBUSY. Clears the mark once nobody holds the device's lock any more.
    void releaseStaleExclusive();
    // Readable when a descriptor of the device is closed (-1 without inotify); drain with takeCloseEvents.
    int closeWatch() const { return m_closeWatch.get(); }
    void takeCloseEvents();
    // Bytes we wrote that the far side has not read yet.
    int pendingForFarSide() const;

private:
    UniqueFd m_master;
    UniqueFd m_slave;
    UniqueFd m_closeWatch;
    std::string m_path;
};

// DIR/COMn -> device path for as long as the object lives; removed only while it still points to us.
class PortLink {
public:
    PortLink() = default;
    PortLink(PortLink&& other) noexcept : m_link(std::exchange(other.m_link, {})), m_target(other.m_target) {}
    PortLink& operator=(PortLink&&) = delete;
    PortLink(const PortLink&) = delete;
    ~PortLink();
    // Makes DIR (and missing parents) and the link; replaces an older symlink of that name.
    static PortLink create(const std::string& dir, int com, const std::string& target, std::string& error,
                           std::string& note);
    const std::string& path() const { return m_link; }

private:
    std::string m_link;
    std::string m_target;
};

} // namespace peer
