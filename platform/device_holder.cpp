// SPDX-License-Identifier: GPL-3.0-or-later
#include "device_holder.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace fs = std::filesystem;

namespace platform::detail {
namespace {

std::string programName(long pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(in, name);
    return name;
}

// A lock on the device in /proc/locks: "1: FLOCK  ADVISORY  WRITE 1234 00:19:5 0 EOF", the device
// number of the file system in hexadecimal, then the inode. Waiting requests ("->") hold nothing.
long lockHolder(const struct stat& st) {
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
        std::istringstream fields(line);
        std::string index, kind, advisory, mode, file;
        long pid = 0;
        if (!(fields >> index >> kind) || kind == "->")
            continue;
        if (!(fields >> advisory >> mode >> pid >> file) || pid <= 0)
            continue;
        unsigned devMajor = 0, devMinor = 0;
        unsigned long long inode = 0;
        char c1 = 0, c2 = 0;
        std::istringstream id(file);
        if (!(id >> std::hex >> devMajor >> c1 >> devMinor >> c2 >> std::dec >> inode) || c1 != ':' ||
            c2 != ':')
            continue;
        if (devMajor == major(st.st_dev) && devMinor == minor(st.st_dev) && inode == st.st_ino)
            return pid;
    }
    return 0;
}

// A process with a descriptor open on the device.
long openHolder(const std::string& device) {
    std::error_code ec;
    for (fs::directory_iterator proc("/proc", ec), end; !ec && proc != end; proc.increment(ec)) {
        const std::string name = proc->path().filename().string();
        char* rest = nullptr;
        const long pid = std::strtol(name.c_str(), &rest, 10);
        if (pid <= 0 || *rest != '\0')
            continue;
        std::error_code fdEc;
        for (fs::directory_iterator fd(proc->path() / "fd", fdEc), fdEnd; !fdEc && fd != fdEnd;
             fd.increment(fdEc)) {
            std::error_code linkEc;
            if (fs::read_symlink(fd->path(), linkEc) == device && !linkEc)
                return pid;
        }
    }
    return 0;
}

} // namespace

std::optional<DeviceHolder> findHolder(const std::string& device) {
    struct stat st {};
    if (device.empty() || ::stat(device.c_str(), &st) != 0)
        return std::nullopt;
    long pid = lockHolder(st);
    if (pid == 0)
        pid = openHolder(device);
    if (pid == 0)
        return std::nullopt;
    return DeviceHolder{pid, programName(pid)};
}

} // namespace platform::detail
