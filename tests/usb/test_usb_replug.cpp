// SPDX-License-Identifier: GPL-3.0-or-later
// A real unplug and replug on both drivers, measured for the port's reconnect: QEMU's device_del pulls
// the FT232, and removing g_serial pulls the CDC-ACM board. A descriptor held open must see the hang-up
// and read() 0; the figures (how soon, and under which name the device comes back) are printed, never
// asserted. These tests rename the devices, so the lane runs them last.
#include "usb_guest.h"

#include <QTest>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <functional>
#include <limits.h>
#include <sys/syscall.h>

namespace {

using namespace comlab::usb;

// The present tty devices whose names start with `prefix`, e.g. "ttyUSB".
std::vector<std::string> ttys(const std::string& prefix) {
    std::vector<std::string> names;
    if (DIR* d = ::opendir("/sys/class/tty")) {
        while (dirent* e = ::readdir(d))
            if (std::string(e->d_name).rfind(prefix, 0) == 0)
                names.emplace_back(e->d_name);
        ::closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// The first device of a family that appears within `ms`, with its node in /dev; "" when none came.
std::string waitForTty(const std::string& prefix, int ms) {
    const double deadline = secondsNow() + ms / 1000.0;
    while (secondsNow() < deadline) {
        for (const auto& n : ttys(prefix))
            if (::access(("/dev/" + n).c_str(), F_OK) == 0)
                return n;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return {};
}

std::string readLine(const std::string& path) {
    std::ifstream in(path);
    std::string s;
    std::getline(in, s);
    return s;
}

// Waits (`ms` at most) until no device of the family is left; false if one stayed.
bool waitForNone(const std::string& prefix, int ms) {
    const double deadline = secondsNow() + ms / 1000.0;
    while (!ttys(prefix).empty()) {
        if (secondsNow() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// What identifies the USB device behind a tty: vendor:product, serial number and port path (sysfs).
std::string identity(const std::string& tty) {
    char buf[PATH_MAX];
    if (!::realpath(("/sys/class/tty/" + tty + "/device").c_str(), buf))
        return "?";
    for (std::string dir = buf; dir.size() > 1; dir.erase(dir.rfind('/'))) {
        if (::access((dir + "/idVendor").c_str(), F_OK) != 0)
            continue;
        const std::string serial = readLine(dir + "/serial");
        return readLine(dir + "/idVendor") + ":" + readLine(dir + "/idProduct") +
               " serial=" + (serial.empty() ? "none" : serial) + " port=" + dir.substr(dir.rfind('/') + 1);
    }
    return "?";
}

struct Pull {
    double hangup = -1, eof = -1; // seconds after the pull began; -1: never within the bound
    int readResult = 1;
};

// Holds `fd`, starts the pull, and times the hang-up and the read() that follows it.
Pull timeHangup(int fd, const std::function<void()>& pull) {
    Pull r;
    const double start = secondsNow();
    std::thread watch([&] {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 5000) <= 0 || !(p.revents & (POLLHUP | POLLERR)))
            return;
        r.hangup = secondsNow() - start;
        char c;
        r.readResult = int(::read(fd, &c, 1));
        r.eof = secondsNow() - start;
    });
    pull();
    watch.join();
    return r;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? -1 : v[v.size() / 2];
}

struct Plug {
    const char* name;
    std::string family;
    std::function<bool()> pull;
    std::function<double()> replug; // when the replug that worked began; -1: it failed
};

// How each driver's device is pulled and plugged back in: QMP for the FT232, the gadget's module for
// the CDC-ACM board.
std::vector<Plug> plugsOf(Qmp& qmp) {
    // QEMU's answer to a command, printed when it is no success.
    const auto qmpDone = [&qmp](const std::string& json) {
        const std::string answer = qmp.command(json);
        if (answer.find("\"return\"") != std::string::npos)
            return true;
        std::printf("QMP: %s -> %s\n", json.c_str(), answer.empty() ? "no answer" : answer.c_str());
        return false;
    };
    return {
        {"ftdi_sio", "ttyUSB",
         [qmpDone] { return qmpDone(R"({"execute":"device_del","arguments":{"id":"ftdi"}})"); },
         [&qmp] {
             // QEMU lets go of the chardev a little after the device is gone: until then it is "in use".
             const std::string add =
                 R"({"execute":"device_add","arguments":{"driver":"usb-serial","id":"ftdi",)"
                 R"("chardev":"ftdi","bus":"xhci.0","port":"1","serial":"COMLAB-FT1"}})";
             for (int attempt = 0; attempt < 250; ++attempt) {
                 const double at = secondsNow();
                 const std::string answer = qmp.command(add);
                 if (answer.find("\"return\"") != std::string::npos)
                     return at;
                 if (answer.find("in use") == std::string::npos) {
                     std::printf("QMP: device_add -> %s\n", answer.empty() ? "no answer" : answer.c_str());
                     return -1.0;
                 }
                 std::this_thread::sleep_for(std::chrono::milliseconds(20));
             }
             return -1.0;
         }},
        {"cdc_acm", "ttyACM", [] { return ::syscall(SYS_delete_module, "g_serial", O_NONBLOCK) == 0; },
         [] {
             const double at = secondsNow();
             return std::system("modprobe g_serial") == 0 ? at : -1.0;
         }},
    };
}

TEST(UsbReplug, HeldDescriptorSeesTheHangUpAndTheDeviceComesBack) {
    if (!inGuest())
        GTEST_SKIP() << "runs only in the USB lane's guest (scripts/usb-lane.sh)";
    Qmp qmp;
    ASSERT_TRUE(qmp.ok()) << "QEMU's control socket does not answer on " << env("COMLAB_USB_QMP") << ": "
                          << qmp.answer();
    const std::vector<Plug> plugs = plugsOf(qmp);
    constexpr int kPulls = 5;
    for (const Plug& p : plugs) {
        SCOPED_TRACE(p.name);
        std::vector<double> hangups, eofs, comebacks;
        for (int i = 0; i < kPulls; ++i) {
            SCOPED_TRACE(i);
            const std::string before = waitForTty(p.family, 10000);
            ASSERT_FALSE(before.empty());
            comlab::test::Fd held(
                ::open(("/dev/" + before).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
            ASSERT_GE(held.get(), 0);
            bool pulled = false;
            const Pull r = timeHangup(held.get(), [&] { pulled = p.pull(); });
            ASSERT_TRUE(pulled);
            EXPECT_GE(r.hangup, 0) << "no hang-up on the held descriptor";
            EXPECT_EQ(r.readResult, 0) << "read() after the hang-up";
            hangups.push_back(r.hangup * 1000);
            eofs.push_back(r.eof * 1000);
            // The last pull replugs while the old descriptor is still open.
            ASSERT_TRUE(waitForNone(p.family, 5000));
            const bool stillHeld = i == kPulls - 1;
            if (!stillHeld)
                held.reset();
            const double start = p.replug();
            ASSERT_GE(start, 0);
            const std::string after = waitForTty(p.family, 10000);
            ASSERT_FALSE(after.empty()) << "the device did not come back";
            comebacks.push_back((secondsNow() - start) * 1000);
            std::printf("USB-LANE-FIGURE %s pull %d: hang-up after %.1f ms, read() %d after %.1f ms; back as "
                        "%s (%s) after %.0f ms%s\n",
                        p.name, i + 1, r.hangup * 1000, r.readResult, r.eof * 1000, after.c_str(),
                        identity(after).c_str(), comebacks.back(),
                        stillHeld ? ", while the old descriptor was still open" : "");
            if (stillHeld) {
                EXPECT_NE(after, before) << "a held minor number is not handed out again";
                // Closed, the old one is free: one more pull and replug gets the first name back.
                held.reset();
                ASSERT_TRUE(p.pull());
                ASSERT_TRUE(waitForNone(p.family, 5000));
                ASSERT_GE(p.replug(), 0);
                const std::string again = waitForTty(p.family, 10000);
                std::printf("USB-LANE-FIGURE %s: replugged once the old descriptor was closed, back as %s\n",
                            p.name, again.c_str());
                EXPECT_EQ(again, before);
            } else {
                EXPECT_EQ(after, before);
            }
        }
        std::printf(
            "USB-LANE-FIGURE %s: median of %d pulls: hang-up %.1f ms, read() 0 %.1f ms, back %.0f ms\n",
            p.name, kPulls, median(hangups), median(eofs), median(comebacks));
        std::fflush(stdout);
    }
}

} // namespace

namespace {

// The window connected to each device when it is pulled: within a poll or two the status strip says the
// port is lost and the port is closed; plugged back in, the same device is opened again by itself, with
// the same settings, and data flows where it flowed. How soon each happens is printed, never asserted.
TEST(UsbReplug, TheWindowLosesThePortAndTakesItBackByItself) {
    if (!inGuest())
        GTEST_SKIP() << "runs only in the USB lane's guest (scripts/usb-lane.sh)";
    Qmp qmp;
    ASSERT_TRUE(qmp.ok()) << qmp.answer();
    const std::vector<Plug> plugs = plugsOf(qmp);
    const Driver drivers[] = {ftdi(), acm()};
    constexpr int kPulls = 3;
    msgbox::MessageBoxRecorder boxes;
    for (std::size_t d = 0; d < 2; ++d) {
        const Plug& p = plugs[d];
        const Driver& drv = drivers[d];
        SCOPED_TRACE(p.name);
        ASSERT_FALSE(waitForTty(p.family, 10000).empty());
        TForm1 form;
        form.show();
        Ui::Form1& ui = *form.ui;
        ui.cbCOM->setCurrentIndex(drv.com);
        form.btCOMonClick(ui.btCOMon);
        ASSERT_TRUE(form.CPDrv->IsOpen());
        ui.rbCOMinSym->setChecked(true);
        {
            // A board takes data only while something holds its side.
            FarEnd far(drv.far, FarEnd::Hold);
            ASSERT_TRUE(far.ok());
            ui.edCOMout->setText(QStringLiteral("hi"));
            form.btOutCOMClick(ui.btOutCOM);
            EXPECT_TRUE(QTest::qWaitFor([&] { return far.received() >= 2; }, 5000));
        }
        std::vector<double> notices, returns;
        for (int i = 0; i < kPulls; ++i) {
            SCOPED_TRACE(i);
            const double pulledAt = secondsNow();
            ASSERT_TRUE(p.pull());
            ASSERT_TRUE(QTest::qWaitFor([&] { return !form.CPDrv->IsOpen(); }, 5000)) << "not noticed";
            notices.push_back((secondsNow() - pulledAt) * 1000);
            EXPECT_TRUE(ui.lbCOM->text().startsWith(QStringLiteral("Связь потеряна")))
                << ui.lbCOM->text().toStdString();
            const double pluggedAt = p.replug();
            ASSERT_GE(pluggedAt, 0);
            ASSERT_TRUE(QTest::qWaitFor([&] { return form.CPDrv->IsOpen(); }, 10000)) << "not reconnected";
            returns.push_back((secondsNow() - pluggedAt) * 1000);
            EXPECT_TRUE(ui.lbCOM->text().endsWith(QStringLiteral("восстановлено")))
                << ui.lbCOM->text().toStdString();
            EXPECT_EQ(form.WorkMode, mdExchange);
            // The far end comes back too (the gadget's side is new after a replug).
            ASSERT_FALSE(waitForTty(p.family, 1000).empty());
            FarEnd far(drv.far, FarEnd::Hold);
            ASSERT_TRUE(far.ok());
            const QString word = QStringLiteral("back%1").arg(i);
            far.send({'b', 'a', 'c', 'k', std::uint8_t('0' + i)});
            EXPECT_TRUE(QTest::qWaitFor([&] { return ui.mmCOMin->text().endsWith(word); }, 5000))
                << ui.mmCOMin->text().right(40).toStdString();
        }
        std::printf(
            "USB-LANE-FIGURE %s window: pull to the lost state %.0f ms, replug to reconnected %.0f ms "
            "(medians of %d)\n",
            p.name, median(notices), median(returns), kPulls);
        std::fflush(stdout);
        form.btCOMoffClick(ui.btCOMoff);
    }
    for (const auto& b : boxes.boxes())
        ADD_FAILURE() << "box: " << b.text.toStdString();
}

} // namespace
