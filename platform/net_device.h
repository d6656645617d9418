// SPDX-License-Identifier: GPL-3.0-or-later
// The device side for ports on other machines (see platform/net.h).
#pragma once

#include "platform/comm.h"

#include <cstddef>
#include <memory>

namespace platform::detail {

class NetDevice : public CommDevice {
public:
    // Whether `h` is one of this device's ports.
    virtual bool owns(HANDLE h) = 0;
};
std::unique_ptr<NetDevice> makeNetDevice(std::size_t inputQueueBound);

} // namespace platform::detail
