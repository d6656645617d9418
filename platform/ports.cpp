// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/ports.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace fs = std::filesystem;

namespace platform {
namespace {

constexpr int kMaxComNumber = 16;

// Serial device families in the order COM numbers are handed out.
constexpr std::array<const char*, 3> kFamilies = {"ttyS", "ttyUSB", "ttyACM"};

struct DeviceName {
    int family;
    unsigned long number;
    std::string name;
};

std::optional<DeviceName> parseDeviceName(const std::string& name) {
    for (int f = 0; f < int(kFamilies.size()); ++f) {
        const std::string prefix = kFamilies[std::size_t(f)];
        if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0)
            continue;
        const std::string digits = name.substr(prefix.size());
        if (digits.size() > 6 ||
            !std::all_of(digits.begin(), digits.end(), [](unsigned char c) { return std::isdigit(c) != 0; }))
            continue;
        return DeviceName{f, std::stoul(digits), name};
    }
    return std::nullopt;
}

// The kernel makes ttyS0..ttySn whether or not a UART sits behind them; only those whose UART type
// is known (non-zero) are real ports.
bool uartPresent(const PortRoots& roots, const std::string& name) {
    std::ifstream in(fs::path(roots.sysTtyDir) / name / "type");
    int type = 0;
    return in && (in >> type) && type != 0;
}

std::string mapEntry(const PortRoots& roots, int n) {
    if (roots.mapDir.empty())
        return {};
    const fs::path p = fs::path(roots.mapDir) / ("COM" + std::to_string(n));
    std::error_code ec;
    // A dangling symlink still counts as the user's choice: opening it then fails, as it should.
    if (fs::symlink_status(p, ec).type() == fs::file_type::not_found || ec)
        return {};
    return p.string();
}

std::string envOr(const char* name, const std::string& fallback) {
    const char* v = std::getenv(name);
    return v && *v ? std::string(v) : fallback;
}

enum class Source { None, Map, Present, Fallback };

struct Resolution {
    std::string path;
    Source source = Source::None;
};

// `present` is the list of present devices, filled on first need, so resolving several numbers scans
// the device folders once.
Resolution resolveCom(int n, const PortRoots& roots, std::optional<std::vector<std::string>>& present) {
    if (std::string m = mapEntry(roots, n); !m.empty())
        return {m, Source::Map};
    if (roots.mapOnly)
        return {};
    if (!present)
        present = PresentSerialDevices(roots);
    if (std::size_t(n) <= present->size())
        return {(*present)[std::size_t(n - 1)], Source::Present};
    return {(fs::path(roots.devDir) / ("ttyS" + std::to_string(n - 1))).string(), Source::Fallback};
}

} // namespace

PortRoots systemPortRoots() {
    PortRoots r;
    if (const char* only = std::getenv("COMLAB_PORTS_DIR"); only && *only) {
        r.mapDir = only;
        r.mapOnly = true;
        return r;
    }
    const std::string home = envOr("HOME", "");
    const std::string config = envOr("XDG_CONFIG_HOME", home.empty() ? std::string() : home + "/.config");
    if (!config.empty())
        r.mapDir = (fs::path(config) / "comlab" / "ports").string();
    return r;
}

std::optional<int> comPortNumber(const std::string& name) {
    static const std::string prefix = "\\\\.\\";
    if (name.size() < prefix.size() + 4 || name.compare(0, prefix.size(), prefix) != 0)
        return std::nullopt;
    std::string com = name.substr(prefix.size(), 3);
    std::transform(com.begin(), com.end(), com.begin(),
                   [](unsigned char c) { return char(std::toupper(c)); });
    if (com != "COM")
        return std::nullopt;
    const std::string digits = name.substr(prefix.size() + 3);
    if (digits.empty() || digits.size() > 2 || digits[0] == '0' ||
        !std::all_of(digits.begin(), digits.end(), [](unsigned char c) { return std::isdigit(c) != 0; }))
        return std::nullopt;
    const int n = std::stoi(digits);
    if (n < 1 || n > kMaxComNumber)
        return std::nullopt;
    return n;
}

std::vector<std::string> PresentSerialDevices(const PortRoots& roots) {
    std::vector<DeviceName> found;
    std::error_code ec;
    for (fs::directory_iterator it(roots.devDir, ec), end; !ec && it != end; it.increment(ec)) {
        auto d = parseDeviceName(it->path().filename().string());
        if (!d)
            continue;
        if (d->family == 0 && !uartPresent(roots, d->name))
            continue;
        found.push_back(std::move(*d));
    }
    std::sort(found.begin(), found.end(), [](const DeviceName& a, const DeviceName& b) {
        return a.family != b.family ? a.family < b.family : a.number < b.number;
    });
    std::vector<std::string> paths;
    paths.reserve(found.size());
    for (const auto& d : found)
        paths.push_back((fs::path(roots.devDir) / d.name).string());
    return paths;
}

std::vector<std::string> PresentSerialDevices() {
    return PresentSerialDevices(systemPortRoots());
}

std::string ResolvePortName(const std::string& name, const PortRoots& roots) {
    const auto n = comPortNumber(name);
    if (!n)
        return name;
    std::optional<std::vector<std::string>> present;
    return resolveCom(*n, roots, present).path;
}

std::string ResolvePortName(const std::string& name) {
    return ResolvePortName(name, systemPortRoots());
}

namespace {
std::optional<std::string> targetOf(int n, const PortRoots& roots,
                                    std::optional<std::vector<std::string>>& present) {
    if (n < 1 || n > kMaxComNumber)
        return std::nullopt;
    const Resolution r = resolveCom(n, roots, present);
    if (r.source == Source::None)
        return std::nullopt;
    // The last resort names a ttyS whether or not a UART is behind it; a phantom is no device to show.
    if (r.source == Source::Fallback && !uartPresent(roots, "ttyS" + std::to_string(n - 1)))
        return std::nullopt;
    if (auto url = NetworkUrlOf(r.path))
        return url; // whether the server is up is known only by connecting
    std::error_code ec;
    const fs::path target = fs::canonical(r.path, ec);
    if (ec)
        return std::nullopt;
    return target.string();
}
} // namespace

std::optional<std::string> NetworkUrlOf(const std::string& path) {
    const auto isUrl = [](const std::string& s) {
        return s.rfind("rfc2217://", 0) == 0 || s.rfind("tcp://", 0) == 0;
    };
    if (isUrl(path))
        return path;
    std::error_code ec;
    if (path.empty() || !fs::is_symlink(path, ec))
        return std::nullopt;
    const std::string target = fs::read_symlink(path, ec).string();
    if (!ec && isUrl(target))
        return target;
    return std::nullopt;
}

std::string DeviceBehind(const std::string& path) {
    if (path.empty())
        return {};
    if (auto url = NetworkUrlOf(path))
        return *url;
    std::error_code ec;
    fs::path p(path);
    // A bounded walk: a loop of links ends somewhere too.
    for (int hops = 0; hops < 40 && fs::is_symlink(p, ec); ++hops) {
        const fs::path target = fs::read_symlink(p, ec);
        if (ec)
            break;
        p = target.is_absolute() ? target : p.parent_path() / target;
    }
    const fs::path canonical = fs::weakly_canonical(p, ec);
    return (ec ? p : canonical).lexically_normal().string();
}

std::optional<std::string> ComPortTarget(int n, const PortRoots& roots) {
    std::optional<std::vector<std::string>> present;
    return targetOf(n, roots, present);
}

std::vector<std::optional<std::string>> ComPortTargets(const PortRoots& roots) {
    std::optional<std::vector<std::string>> present;
    std::vector<std::optional<std::string>> targets;
    for (int n = 1; n <= kMaxComNumber; ++n)
        targets.push_back(targetOf(n, roots, present));
    return targets;
}

std::vector<std::optional<std::string>> ComPortTargets() {
    return ComPortTargets(systemPortRoots());
}

std::optional<std::string> ComPortTarget(int n) {
    return ComPortTarget(n, systemPortRoots());
}

} // namespace platform

namespace platform {
namespace {

std::string firstLine(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

} // namespace

std::string UsbIdentity::describe() const {
    std::string s = vendor + ":" + product;
    return serial.empty() ? s + " at USB port " + usbPort : s + " serial " + serial;
}

std::optional<UsbIdentity> UsbIdentityOf(const std::string& device, const PortRoots& roots) {
    const std::string name = fs::path(DeviceBehind(device)).filename().string();
    if (name.empty())
        return std::nullopt;
    std::error_code ec;
    // The tty's device, then up the tree to the USB device: the first folder that has an idVendor.
    fs::path dir = fs::canonical(fs::path(roots.sysTtyDir) / name / "device", ec);
    if (ec)
        return std::nullopt;
    for (int depth = 0; depth < 8 && dir.has_relative_path(); ++depth, dir = dir.parent_path()) {
        if (!fs::exists(dir / "idVendor", ec))
            continue;
        UsbIdentity id{firstLine(dir / "idVendor"), firstLine(dir / "idProduct"), firstLine(dir / "serial"),
                       dir.filename().string()};
        if (id.vendor.empty())
            return std::nullopt;
        return id;
    }
    return std::nullopt;
}

std::optional<UsbIdentity> UsbIdentityOf(const std::string& device) {
    return UsbIdentityOf(device, systemPortRoots());
}

std::vector<std::string> DevicesWithIdentity(const UsbIdentity& identity, const PortRoots& roots) {
    std::vector<std::string> out;
    for (const std::string& d : PresentSerialDevices(roots)) {
        const auto id = UsbIdentityOf(d, roots);
        if (id && *id == identity)
            out.push_back(d);
    }
    return out;
}

std::vector<std::string> DevicesWithIdentity(const UsbIdentity& identity) {
    return DevicesWithIdentity(identity, systemPortRoots());
}

} // namespace platform
