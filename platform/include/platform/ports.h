// SPDX-License-Identifier: GPL-3.0-or-later
// Port names: which device a name such as "\\.\COM3" opens on this machine.
//
// "\\.\COMn" (n = 1..16, "COM" in any case) leads, in order, to the user's own mapping (an entry COMn,
// normally a symlink, in ${XDG_CONFIG_HOME:-~/.config}/comlab/ports/), otherwise to the n-th serial
// device present (real UARTs, then USB and ACM adapters, each in natural order), otherwise to
// /dev/ttyS(n-1). When COMLAB_PORTS_DIR is set, the entries of that folder are the only mapping and a
// COMn without an entry there leads nowhere. Any other name is a path and is opened as it stands.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace platform {

// Where resolution looks. The system's roots come from the environment; tests build their own so that
// nothing on the machine is consulted.
struct PortRoots {
    std::string devDir = "/dev";
    std::string sysTtyDir = "/sys/class/tty";
    std::string mapDir;   // folder of COMn entries; empty: none
    bool mapOnly = false; // the map folder is the only source (COMLAB_PORTS_DIR)
};

// The roots for this process, read from the environment at each call.
PortRoots systemPortRoots();

// n for "\\.\COMn" with n in 1..16, otherwise nothing.
std::optional<int> comPortNumber(const std::string& name);

// The serial devices present, in the order COM numbers are given to them.
std::vector<std::string> PresentSerialDevices(const PortRoots& roots);
std::vector<std::string> PresentSerialDevices();

// The path to open for `name`; empty when a COM name leads nowhere.
std::string ResolvePortName(const std::string& name, const PortRoots& roots);
std::string ResolvePortName(const std::string& name);

// The URL of a port on another machine ("rfc2217://…", "tcp://…") that `path` is, or that the symlink
// `path` points at; nothing for anything else.
std::optional<std::string> NetworkUrlOf(const std::string& path);

// The device a path names, its symlinks followed as far as they lead: the canonical path of a device
// that exists, otherwise the path a dangling link points at.
std::string DeviceBehind(const std::string& path);

// The device COMn leads to now (symlinks followed), or nothing when no device is there.
std::optional<std::string> ComPortTarget(int n, const PortRoots& roots);
std::optional<std::string> ComPortTarget(int n);

// The same for COM1 to COM16 in one pass, the devices present listed once.
std::vector<std::optional<std::string>> ComPortTargets(const PortRoots& roots);
std::vector<std::optional<std::string>> ComPortTargets();

// Who a USB serial device is, read from sysfs: the adapter's serial number where it has one, otherwise
// its vendor and product with the USB port it sits in ("1-1.2"). Many adapters (CH340s, a board's own
// CDC-ACM gadget) have no serial number. Nothing for a device with no USB device above it (a UART, a
// pseudo-terminal). A replugged adapter may come back under another tty name; this is how it is known.
struct UsbIdentity {
    std::string vendor;
    std::string product;
    std::string serial;
    std::string usbPort;
    bool operator==(const UsbIdentity& o) const {
        if (vendor != o.vendor || product != o.product)
            return false;
        return !serial.empty() || !o.serial.empty() ? serial == o.serial : usbPort == o.usbPort;
    }
    // "0403:6001 serial A50285BI" or "1a86:7523 at USB port 1-1.2".
    std::string describe() const;
};
std::optional<UsbIdentity> UsbIdentityOf(const std::string& device, const PortRoots& roots);
std::optional<UsbIdentity> UsbIdentityOf(const std::string& device);

// The serial devices present (as PresentSerialDevices finds them) that have this identity.
std::vector<std::string> DevicesWithIdentity(const UsbIdentity& identity, const PortRoots& roots);
std::vector<std::string> DevicesWithIdentity(const UsbIdentity& identity);

} // namespace platform
