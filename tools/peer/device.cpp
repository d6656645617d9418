// SPDX-License-Identifier: GPL-3.0-or-later
#include "device.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace peer {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = std::exchange(other.m_fd, -1);
    }
    return *this;
}

UniqueFd::~UniqueFd() {
    if (m_fd >= 0)
        ::close(m_fd);
}

namespace {

std::string sysError(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

bool makeRaw(int fd) {
    termios t{};
    if (::tcgetattr(fd, &t) != 0)
        return false;
    ::cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    return ::tcsetattr(fd, TCSANOW, &t) == 0;
}

} // namespace

PtyDevice PtyDevice::open(std::string& error) {
    PtyDevice d;
    d.m_master = UniqueFd(::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!d.m_master) {
        error = sysError("posix_openpt");
        return d;
    }
    char name[PATH_MAX];
    if (::grantpt(d.master()) != 0 || ::unlockpt(d.master()) != 0 ||
        ::ptsname_r(d.master(), name, sizeof name) != 0) {
        error = sysError("preparing the pseudo-terminal");
        return d;
    }
    d.m_path = name;
    d.m_slave = UniqueFd(::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!d.m_slave) {
        error = sysError("opening " + d.m_path);
        return d;
    }
    // The slave side carries the line settings of both ends; raw on both so no byte is translated.
    if (!makeRaw(d.m_slave.get()) || !makeRaw(d.master())) {
        error = sysError("setting raw mode");
        return d;
    }
    // A far side closing the device is the moment to look at its exclusive mark; the periodic check
    // covers systems without inotify.
    d.m_closeWatch = UniqueFd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (d.m_closeWatch && ::inotify_add_watch(d.m_closeWatch.get(), name, IN_CLOSE) < 0)
        d.m_closeWatch = UniqueFd();
    error.clear();
    return d;
}

void PtyDevice::takeCloseEvents() {
    alignas(inotify_event) char buf[4096];
    while (m_closeWatch && ::read(m_closeWatch.get(), buf, sizeof buf) > 0) {
    }
}

void PtyDevice::releaseStaleExclusive() {
#ifdef TIOCGEXCL
    int exclusive = 0;
    if (::ioctl(m_slave.get(), TIOCGEXCL, &exclusive) != 0 || !exclusive)
        return;
    // comlab holds flock on the device while it has it open; if we can take the lock, it has gone.
    if (::flock(m_slave.get(), LOCK_EX | LOCK_NB) == 0) {
        ::ioctl(m_slave.get(), TIOCNXCL);
        ::flock(m_slave.get(), LOCK_UN);
    }
#endif
}

int PtyDevice::pendingForFarSide() const {
    int n = 0;
    return ::ioctl(m_slave.get(), TIOCINQ, &n) == 0 ? n : 0;
}

PortLink::~PortLink() {
    if (m_link.empty())
        return;
    char buf[PATH_MAX];
    const ssize_t n = ::readlink(m_link.c_str(), buf, sizeof buf - 1);
    if (n >= 0 && std::string(buf, static_cast<std::size_t>(n)) == m_target)
        ::unlink(m_link.c_str());
}

PortLink PortLink::create(const std::string& dir, int com, const std::string& target, std::string& error,
                          std::string& note) {
    PortLink link;
    error.clear();
    note.clear();
    // mkdir -p: the usual map folder under ~/.config does not exist until someone makes it.
    for (std::size_t pos = 1; pos <= dir.size(); ++pos) {
        if (pos != dir.size() && dir[pos] != '/')
            continue;
        const std::string part = dir.substr(0, pos);
        if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
            error = sysError("cannot create map folder " + part);
            return link;
        }
    }
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        error = sysError("map folder " + dir);
        return link;
    }
    const std::string path = dir + "/COM" + std::to_string(com);
    if (::lstat(path.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            error = path + " exists and is not a symlink; not replacing it";
            return link;
        }
        char buf[PATH_MAX];
        const ssize_t n = ::readlink(path.c_str(), buf, sizeof buf - 1);
        note = "replacing " + path + " -> " + (n >= 0 ? std::string(buf, static_cast<std::size_t>(n)) : "?");
    }
    // A new link under a temporary name, then rename: the name never points nowhere.
    const std::string temp = dir + "/.COM" + std::to_string(com) + ".tmp." + std::to_string(::getpid());
    ::unlink(temp.c_str());
    if (::symlink(target.c_str(), temp.c_str()) != 0) {
        error = sysError("cannot write map folder " + dir);
        return link;
    }
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        error = sysError("cannot create " + path);
        ::unlink(temp.c_str());
        return link;
    }
    link.m_link = path;
    link.m_target = target;
    return link;
}

} // namespace peer
