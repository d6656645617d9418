// SPDX-License-Identifier: GPL-3.0-or-later
// Who holds a device: for telling the user which program keeps a busy port.
#pragma once

#include <optional>
#include <string>

namespace platform::detail {

struct DeviceHolder {
    long pid = 0;
    std::string name; // the program's name as the system keeps it
};

// The process that holds `device` locked, or failing that open, as /proc tells it; nothing when it
// does not (another user's process, say, whose descriptors cannot be read).
std::optional<DeviceHolder> findHolder(const std::string& device);

} // namespace platform::detail
