// SPDX-License-Identifier: GPL-3.0-or-later
// The guest's side of the UART lane (scripts/uart-lane.sh): the devices the lane gave this program, the
// UART's own loopback, and a second look at a device comlab holds open. These programs run only inside
// the lane's virtual machine, where COM1 is a 16550A in loopback and COM2 a UART whose far end is
// comlab-peer on the host; anywhere else every test skips, so no machine's own port is ever touched.
#pragma once

#include "MessageBox.h"
#include "Unit1.h"
#include "ui_Unit1.h"

#include <QLabel>
#include <QString>
#include <QStringList>
#include <QTextEdit>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <linux/serial.h>
#include <string>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "fd.h"
#include "termios2_rate.h"

namespace comlab::uart {

// Modem control bits of the 8250 driver beyond the usual six: OUT1 shows as RING in loopback, and LOOP
// switches the UART's loopback on.
constexpr int kOut1 = 0x2000;
constexpr int kLoop = 0x8000;

inline std::string env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}
// /dev/ttyS1 and /dev/ttyS2 in the guest; empty anywhere else.
inline std::string loopDevice() {
    return env("COMLAB_UART_LOOP");
}
inline std::string hostDevice() {
    return env("COMLAB_UART_HOST");
}

// A descriptor of its own on a device the window may hold: the lane runs as root, which opens past the
// exclusive mark, and asks for no lock. Closing it is not the last close, so the port stays as it is.
class DeviceView {
public:
    explicit DeviceView(const std::string& path)
        : m_fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {}
    bool ok() const { return m_fd.get() >= 0; }
    int fd() const { return m_fd.get(); }

    termios settings() const {
        termios t{};
        tcgetattr(m_fd.get(), &t);
        return t;
    }
    // The output rate as the driver reports it (also an arbitrary one).
    unsigned rate() const {
        unsigned out = 0, in = 0;
        platform::detail::readRates(m_fd.get(), out, in);
        return out;
    }
    int lines() const {
        int m = 0;
        ioctl(m_fd.get(), TIOCMGET, &m);
        return m;
    }
    void setLines(int bits, bool on) const { ioctl(m_fd.get(), on ? TIOCMBIS : TIOCMBIC, &bits); }
    // Bytes the UART has sent and received since boot.
    serial_icounter_struct counts() const {
        serial_icounter_struct c{};
        ioctl(m_fd.get(), TIOCGICOUNT, &c);
        return c;
    }
    int outQueue() const {
        int n = 0;
        ioctl(m_fd.get(), TIOCOUTQ, &n);
        return n;
    }

private:
    comlab::test::Fd m_fd;
};

// The loopback UART with its loopback on and OUT1 off. The driver keeps both across closes, so this
// holds for every open until changed.
inline void loopbackOn() {
    DeviceView d(loopDevice());
    d.setLines(kLoop, true);
    d.setLines(kOut1, false);
}

// The window's settings panel, as combo indexes (custom: a rate typed into edBOD instead of the list).
struct PanelSettings {
    int com = 0;
    int rate = 6; // 9600
    int bits = 3; // 8
    int parity = 0;
    int stop = 0;
    int control = 0;
    QString custom{};
};

// A window on the offscreen platform with its boxes recorded, for tests in a lane's guest. Each lane's
// fixture checks that it runs in its guest, then opens the window.
class GuestWindowTest : public ::testing::Test {
protected:
    msgbox::MessageBoxRecorder boxes;
    std::unique_ptr<TForm1> form;

    void openWindow() {
        form = std::make_unique<TForm1>();
        form->show();
    }
    void TearDown() override { form.reset(); }

    Ui::Form1& ui() { return *form->ui; }

    // Fills the panel and presses "Соединить"; true when the port is open afterwards.
    bool connectWith(const PanelSettings& s) {
        ui().cbCOM->setCurrentIndex(s.com);
        ui().CheckBOD->setChecked(!s.custom.isEmpty());
        ui().edBOD->setText(s.custom);
        ui().cbBOD->setCurrentIndex(s.rate);
        ui().cbFORM->setCurrentIndex(s.bits);
        ui().cbCHECK->setCurrentIndex(s.parity);
        ui().cbSTOP->setCurrentIndex(s.stop);
        ui().cbCONTROL->setCurrentIndex(s.control);
        form->btCOMonClick(ui().btCOMon);
        return form->CPDrv->IsOpen();
    }
    void disconnect() { form->btCOMoffClick(ui().btCOMoff); }
    // The state report's lines after a fresh click.
    QStringList stateReport() {
        form->btTekClrClick(ui().btTekClr);
        form->btTekClick(ui().btTek);
        return ui().mmTek->toPlainText().split('\n');
    }
    // The connect box: the port could not be opened with these settings, and the label says so.
    void expectConnectBox() {
        ASSERT_EQ(boxes.boxes().size(), 1u);
        EXPECT_EQ(boxes.boxes()[0].caption, QString::fromUtf8("Ошибка установки связи"));
        EXPECT_EQ(boxes.boxes()[0].icon, msgbox::IconError);
        EXPECT_EQ(ui().lbCOM->text(), QString::fromUtf8("Нет соединения"));
    }
};

// The window, on the guest's UARTs.
class UartWindowTest : public GuestWindowTest {
protected:
    void SetUp() override {
        if (loopDevice().empty() || hostDevice().empty())
            GTEST_SKIP() << "runs only in the UART lane's guest (scripts/uart-lane.sh)";
        loopbackOn();
        openWindow();
    }
};

} // namespace comlab::uart
