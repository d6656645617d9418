// SPDX-License-Identifier: GPL-3.0-or-later
// COM name resolution over folder trees built by the test: a fake /dev, a fake sysfs tty class and map
// folders. Nothing on the machine is consulted.
#include "platform/ports.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace fs = std::filesystem;
using platform::PortRoots;

namespace {

class FakeMachine : public ::testing::Test {
protected:
    void SetUp() override {
        m_root =
            fs::temp_directory_path() / ("comlab-ports-" + std::to_string(::getpid()) + "-" +
                                         ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(m_root);
        fs::create_directories(dev());
        fs::create_directories(sys());
        fs::create_directories(map());
        // Real UARTs ttyS0, ttyS3, ttyS10; phantoms ttyS1 (type 0) and ttyS2 (no type at all); adapters
        // listed out of order.
        uart("ttyS0", 4);
        uart("ttyS1", 0);
        node("ttyS2");
        uart("ttyS3", 4);
        uart("ttyS10", 4);
        node("ttyUSB1");
        node("ttyUSB0");
        node("ttyACM0");
        node("ttyS");    // not a numbered device
        node("ttyUSBx"); // nor this
        node("console");
    }
    void TearDown() override { fs::remove_all(m_root); }

    fs::path dev() const { return m_root / "dev"; }
    fs::path sys() const { return m_root / "sys"; }
    fs::path map() const { return m_root / "map"; }
    void node(const std::string& name) const { std::ofstream(dev() / name) << ""; }
    void uart(const std::string& name, int type) const {
        node(name);
        fs::create_directories(sys() / name);
        std::ofstream(sys() / name / "type") << type << "\n";
    }
    PortRoots roots(bool withMap = false, bool mapOnly = false) const {
        PortRoots r;
        r.devDir = dev().string();
        r.sysTtyDir = sys().string();
        if (withMap)
            r.mapDir = map().string();
        r.mapOnly = mapOnly;
        return r;
    }
    std::string d(const std::string& name) const { return (dev() / name).string(); }

    fs::path m_root;
};

TEST_F(FakeMachine, PresentDevicesInNaturalOrderWithoutPhantoms) {
    const std::vector<std::string> want = {d("ttyS0"),   d("ttyS3"),   d("ttyS10"),
                                           d("ttyUSB0"), d("ttyUSB1"), d("ttyACM0")};
    EXPECT_EQ(platform::PresentSerialDevices(roots()), want);
}

TEST_F(FakeMachine, ComNamesResolveInOrderOfPrecedence) {
    fs::create_symlink(d("ttyUSB1"), map() / "COM1");
    fs::create_symlink("/nonexistent/device", map() / "COM2"); // a dangling choice is still the choice
    struct Case {
        const char* name;
        bool withMap, mapOnly;
        std::string want;
    };
    const Case cases[] = {
        {"\\\\.\\COM1", false, false, d("ttyS0")},
        {"\\\\.\\COM2", false, false, d("ttyS3")},
        {"\\\\.\\COM3", false, false, d("ttyS10")},
        {"\\\\.\\COM4", false, false, d("ttyUSB0")},
        {"\\\\.\\COM6", false, false, d("ttyACM0")},
        {"\\\\.\\com6", false, false, d("ttyACM0")},
        {"\\\\.\\COM7", false, false, d("ttyS6")}, // nothing present: the plain ttyS
        {"\\\\.\\COM16", false, false, d("ttyS15")},
        {"\\\\.\\COM1", true, false, (map() / "COM1").string()},
        {"\\\\.\\COM2", true, false, (map() / "COM2").string()},
        {"\\\\.\\COM3", true, false, d("ttyS10")}, // no entry: falls through to present devices
        {"\\\\.\\COM1", true, true, (map() / "COM1").string()},
        {"\\\\.\\COM3", true, true, ""},                // the map is all there is
        {"\\\\.\\COM17", false, false, "\\\\.\\COM17"}, // out of range: a path like any other
        {"\\\\.\\COM0", false, false, "\\\\.\\COM0"},
        {"\\\\.\\COM03", false, false, "\\\\.\\COM03"},
        {"\\\\.\\COM3x", false, false, "\\\\.\\COM3x"},
        {"COM3", false, false, "COM3"},
        {"/dev/pts/7", true, true, "/dev/pts/7"},
        {"", false, false, ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(platform::ResolvePortName(c.name, roots(c.withMap, c.mapOnly)), c.want)
            << c.name << " map=" << c.withMap << " only=" << c.mapOnly;
}

TEST_F(FakeMachine, TargetShowsWhereAComNameLeadsNow) {
    fs::create_symlink(d("ttyUSB1"), map() / "COM1");
    fs::create_symlink("/nonexistent/device", map() / "COM2");
    struct Case {
        int n;
        bool withMap, mapOnly;
        std::optional<std::string> want;
    };
    const std::string usb1 = fs::canonical(d("ttyUSB1")).string();
    const std::string s0 = fs::canonical(d("ttyS0")).string();
    const Case cases[] = {
        {1, true, false, usb1},                                          // symlink followed
        {2, true, false, std::nullopt},                                  // dangling
        {1, false, false, s0},          {7, false, false, std::nullopt}, // only the phantom-prone fallback
        {3, true, true, std::nullopt},  {0, false, false, std::nullopt}, {17, false, false, std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(platform::ComPortTarget(c.n, roots(c.withMap, c.mapOnly)), c.want) << c.n;

    // All sixteen at once give what each gives on its own.
    for (const bool withMap : {false, true}) {
        const PortRoots r = roots(withMap, false);
        const auto all = platform::ComPortTargets(r);
        ASSERT_EQ(all.size(), 16u);
        for (int n = 1; n <= 16; ++n)
            EXPECT_EQ(all[std::size_t(n - 1)], platform::ComPortTarget(n, r)) << n;
    }
}

TEST_F(FakeMachine, FallbackToARealUartIsShown) {
    // Fewer devices than the number asked for, but the plain ttyS for it is a real UART.
    PortRoots r = roots();
    fs::remove(dev() / "ttyUSB0");
    fs::remove(dev() / "ttyUSB1");
    fs::remove(dev() / "ttyACM0");
    EXPECT_EQ(platform::ResolvePortName("\\\\.\\COM11", r), d("ttyS10"));
    EXPECT_EQ(platform::ComPortTarget(11, r), fs::canonical(d("ttyS10")).string());
}

// Sets or clears environment variables for the life of the object.
class EnvGuard {
public:
    void set(const char* name, const char* value) {
        const char* was = std::getenv(name);
        m_saved.push_back({name, was ? std::optional<std::string>(was) : std::nullopt});
        if (value)
            ::setenv(name, value, 1);
        else
            ::unsetenv(name);
    }
    ~EnvGuard() {
        for (auto it = m_saved.rbegin(); it != m_saved.rend(); ++it) {
            if (it->second)
                ::setenv(it->first.c_str(), it->second->c_str(), 1);
            else
                ::unsetenv(it->first.c_str());
        }
    }

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> m_saved;
};

TEST(SystemRoots, EnvironmentChoosesTheMapFolder) {
    struct Case {
        const char* portsDir;
        const char* xdg;
        const char* home;
        std::string mapDir;
        bool mapOnly;
    };
    const Case cases[] = {
        {"/tmp/only-these", "/x/cfg", "/home/u", "/tmp/only-these", true},
        {nullptr, "/x/cfg", "/home/u", "/x/cfg/comlab/ports", false},
        {"", "/x/cfg", "/home/u", "/x/cfg/comlab/ports", false},
        {nullptr, nullptr, "/home/u", "/home/u/.config/comlab/ports", false},
        {nullptr, "", "/home/u", "/home/u/.config/comlab/ports", false},
    };
    for (const Case& c : cases) {
        EnvGuard env;
        env.set("COMLAB_PORTS_DIR", c.portsDir);
        env.set("XDG_CONFIG_HOME", c.xdg);
        env.set("HOME", c.home);
        const PortRoots r = platform::systemPortRoots();
        EXPECT_EQ(r.mapDir, c.mapDir);
        EXPECT_EQ(r.mapOnly, c.mapOnly);
        EXPECT_EQ(r.devDir, "/dev");
    }
}

// USB adapters known by who they are, as sysfs tells it: the serial number where there is one, else
// vendor, product and the USB port. A replugged adapter found under another tty name; one that is not
// USB has no identity; two with one identity are both found, so that neither is taken.
TEST_F(FakeMachine, UsbAdaptersAreKnownByWhoTheyAreNotByTheirName) {
    // sysfs: /sys/class/tty/NAME/device leads into the USB device's interface.
    const auto adapter = [&](const std::string& tty, const std::string& port, const std::string& vendor,
                             const std::string& serial) {
        const fs::path usb = sys() / "devices" / "usb1" / port;
        fs::create_directories(usb / (port + ":1.0") / tty);
        std::ofstream(usb / "idVendor") << vendor << "\n";
        std::ofstream(usb / "idProduct") << "6001\n";
        if (!serial.empty())
            std::ofstream(usb / "serial") << serial << "\n";
        fs::create_directories(sys() / tty);
        fs::create_symlink(usb / (port + ":1.0") / tty, sys() / tty / "device");
        node(tty);
    };
    adapter("ttyUSB0", "1-1", "0403", "A50285BI");
    adapter("ttyUSB1", "1-2", "0403", "");
    adapter("ttyACM0", "1-3", "1a86", "");
    const PortRoots r = roots();
    const auto id = [&](const std::string& tty) { return platform::UsbIdentityOf(d(tty), r); };
    ASSERT_TRUE(id("ttyUSB0") && id("ttyUSB1") && id("ttyACM0"));
    EXPECT_EQ(id("ttyUSB0")->describe(), "0403:6001 serial A50285BI");
    EXPECT_EQ(id("ttyUSB1")->describe(), "0403:6001 at USB port 1-2");
    EXPECT_FALSE(id("ttyS0")); // a UART
    EXPECT_FALSE(platform::UsbIdentityOf("/dev/pts/7", r));
    const auto with = [&](const std::string& tty) { return platform::DevicesWithIdentity(*id(tty), r); };
    EXPECT_EQ(with("ttyUSB0"), std::vector<std::string>{d("ttyUSB0")});
    EXPECT_EQ(with("ttyUSB1"), std::vector<std::string>{d("ttyUSB1")});

    // Pulled and plugged into another port while the old name was still held: back as ttyUSB2, known by
    // its serial number. The one without a serial number is known only in its own port.
    const auto serialOne = *id("ttyUSB0");
    const auto portOne = *id("ttyUSB1");
    fs::remove_all(sys() / "devices" / "usb1" / "1-1");
    fs::remove_all(sys() / "ttyUSB0");
    fs::remove(dev() / "ttyUSB0");
    adapter("ttyUSB2", "1-4", "0403", "A50285BI");
    EXPECT_EQ(platform::DevicesWithIdentity(serialOne, r), std::vector<std::string>{d("ttyUSB2")});
    EXPECT_EQ(platform::DevicesWithIdentity(portOne, r), std::vector<std::string>{d("ttyUSB1")});
    // A second adapter with the same serial number (clones have them): both match.
    adapter("ttyUSB3", "1-5", "0403", "A50285BI");
    EXPECT_EQ(platform::DevicesWithIdentity(serialOne, r).size(), 2u);
}

TEST(SystemRoots, TestRunsSeeOnlyTheirEmptyMap) {
    // The test command points COM names at an empty folder: no COM name reaches a real device here.
    ASSERT_NE(std::getenv("COMLAB_PORTS_DIR"), nullptr);
    for (int n = 1; n <= 16; ++n) {
        EXPECT_EQ(platform::ResolvePortName("\\\\.\\COM" + std::to_string(n)), "") << n;
        EXPECT_EQ(platform::ComPortTarget(n), std::nullopt) << n;
    }
}

} // namespace
