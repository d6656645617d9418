// SPDX-License-Identifier: GPL-3.0-or-later
// The modem-line page, automatic COM numbering and the line tests on the USB serial drivers. CDC-ACM's
// DSR and CD follow whether the board's side (ttyGS0) is open. DTR and RTS driven from the page show in
// the driver's own read-back only: neither QEMU's FT232 nor the gadget passes them to the far end.
#include "event_wait.h"
#include "usb_guest.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <array>
#include <cstdio>

namespace {

using namespace comlab::usb;
using comlab::test::runUntil;

QString u(const char* s) {
    return QString::fromUtf8(s);
}

class UsbModemPage : public UsbWindowTest {
protected:
    // Picks an item of the line combo as a user does, with the arrow keys, and applies it with its button.
    void drive(QComboBox* combo, QPushButton* button, int item) {
        combo->setFocus();
        QTest::keyClick(combo, item == 0 ? Qt::Key_Down : Qt::Key_Up); // away first: a change either way
        QTest::keyClick(combo, item == 0 ? Qt::Key_Up : Qt::Key_Down);
        ASSERT_EQ(combo->currentIndex(), item);
        QTest::mouseClick(button, Qt::LeftButton);
    }
    std::pair<QString, QString> dsrAndCd() {
        QTest::mouseClick(ui().btOpros, Qt::LeftButton);
        return {ui().lbDSR->text(), ui().lbCD->text()};
    }
};

TEST_F(UsbModemPage, DsrAndCdFollowTheBoardSideOpeningAndClosing) {
    const QString high = u("+12 В"), low = u("-12 В (воздух)");
    ASSERT_TRUE(connectWith({.com = acm().com}));
    EXPECT_EQ(dsrAndCd(), std::make_pair(low, low)) << "nothing holds ttyGS0 yet";
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        {
            FarEnd board(acm().far, FarEnd::Hold);
            ASSERT_TRUE(board.ok());
            EXPECT_TRUE(runUntil([&] { return dsrAndCd() == std::make_pair(high, high); }, 3000));
        }
        EXPECT_TRUE(runUntil([&] { return dsrAndCd() == std::make_pair(low, low); }, 3000));
    }
    EXPECT_TRUE(boxes.boxes().empty());
}

TEST_F(UsbModemPage, DtrAndRtsDrivenFromThePageShowInTheDriversReadBack) {
    for (const Driver& d : {ftdi(), acm()}) {
        SCOPED_TRACE(d.name);
        // Opened first: every open of a tty raises DTR and RTS, so a view opened later would change them.
        DeviceView view(d.device);
        ASSERT_TRUE(connectWith({.com = d.com}));
        // What a connect leaves: DTR raised, RTS as the flow-control item says (item 0: off).
        EXPECT_EQ(view.lines() & (TIOCM_DTR | TIOCM_RTS), TIOCM_DTR);
        for (const auto& [dtr, rts] : {std::pair{1, 0}, {0, 1}, {1, 1}, {0, 0}}) {
            SCOPED_TRACE(testing::Message() << "DTR item " << dtr << ", RTS item " << rts);
            drive(ui().cbDTRd, ui().btDTR, dtr);
            drive(ui().cbRTSd, ui().btRTS, rts);
            EXPECT_EQ((view.lines() & TIOCM_DTR) != 0, dtr == 0);
            EXPECT_EQ((view.lines() & TIOCM_RTS) != 0, rts == 0);
        }
        disconnect();
    }
    EXPECT_TRUE(boxes.boxes().empty());
}

// Without a map of its own, comlab numbers the present devices: the guest's three UARTs, then ttyUSB0,
// then ttyACM0. The list's tooltips name them, and COM4 opens the FT232.
TEST(UsbPortList, AutomaticNumberingFindsBothAdaptersAndTheTooltipsNameThem) {
    if (!inGuest())
        GTEST_SKIP() << "runs only in the USB lane's guest (scripts/usb-lane.sh)";
    const QByteArray map = qgetenv("COMLAB_PORTS_DIR");
    qunsetenv("COMLAB_PORTS_DIR");
    qputenv("XDG_CONFIG_HOME", "/tmp/no-config");
    {
        msgbox::MessageBoxRecorder boxes;
        TForm1 form;
        form.show();
        form.ui->cbCOM->showPopup();
        const auto tip = [&](int i) { return form.ui->cbCOM->itemData(i, Qt::ToolTipRole).toString(); };
        EXPECT_EQ(tip(3), u("COM4 ведёт к /dev/ttyUSB0"));
        EXPECT_EQ(tip(4), u("COM5 ведёт к /dev/ttyACM0"));
        EXPECT_EQ(tip(5), u("За COM6 сейчас нет устройства"));
        form.ui->cbCOM->hidePopup();

        form.ui->cbCOM->setCurrentIndex(3);
        form.ui->cbFORM->setCurrentIndex(2); // 7 data bits: a setting to find on the device
        form.btCOMonClick(nullptr);
        ASSERT_TRUE(form.CPDrv->IsOpen());
        EXPECT_EQ(DeviceView(ftdi().device).settings().c_cflag & CSIZE, tcflag_t(CS7));
        form.btCOMoffClick(nullptr);
        EXPECT_TRUE(boxes.boxes().empty());
    }
    qputenv("COMLAB_PORTS_DIR", map);
}

class UsbLineTests : public UsbWindowTest {};

// The loopback test with an echo on the board's side runs without an error; it steps one code per
// round trip through the window's 50 ms poll, so it runs for the first 64 codes only (every code
// crosses both ways in UsbData). An array then reaches the board whole and in order.
TEST_F(UsbLineTests, LoopbackTestAndArrayAcrossCdcAcm) {
    const auto boxTexts = [&] {
        QString all;
        for (const auto& b : boxes.boxes())
            all += b.caption + ": " + b.text + "\n";
        return all.toStdString();
    };
    ASSERT_TRUE(connectWith({.com = acm().com, .rate = 12}));
    {
        FarEnd echo(acm().far, FarEnd::Echo);
        ASSERT_TRUE(echo.ok());
        const double start = secondsNow();
        form->btTestClick(ui().btTest);
        EXPECT_TRUE(QTest::qWaitFor([&] { return form->TestCycles == 1 && form->TestCode >= 64; }, 30000));
        form->btStopClick(ui().btStop);
        const double stopped = secondsNow();
        // The code sent just before Stop may still be on its way: the echo takes it, so the board that
        // comes next does not find it waiting in the gadget.
        comlab::test::pump(300);
        std::printf("USB-LANE-FIGURE cdc_acm loopback test: %d codes in %.1f s\n", int(form->TestCode),
                    stopped - start);
        EXPECT_EQ(form->TestErrors, 0);
        EXPECT_EQ(ui().lbCikl->text(), QStringLiteral("1"));
        EXPECT_TRUE(boxes.boxes().empty()) << boxTexts();
    }

    // A board that reads only: with an echo, the array's writes wait on the window's own receiving too,
    // and on this shared machine a stall past the write time-out (500 ms) ends the array now and then.
    FarEnd board(acm().far, FarEnd::Hold);
    ASSERT_TRUE(board.ok());
    constexpr int kSize = 1000;
    ui().edMass->setText(QString::number(kSize));
    const double arrayStart = secondsNow();
    form->btMassStartClick(ui().btMassStart);
    std::printf("USB-LANE-FIGURE cdc_acm array: %d bytes in %.1f s\n", kSize, secondsNow() - arrayStart);
    int sum = 0;
    for (int i = 0; i < kSize; ++i)
        if ((sum += i % 256) > 255)
            sum -= 255;
    EXPECT_EQ(form->ArraySum, sum);
    EXPECT_EQ(ui().edMassN->text(), QString::number(kSize));
    EXPECT_TRUE(runUntil([&] { return board.received() >= std::size_t(kSize); }, 10000));
    comlab::test::pump(100);
    const auto got = board.bytes();
    ASSERT_EQ(got.size(), std::size_t(kSize));
    for (int i = 0; i < kSize; ++i)
        ASSERT_EQ(got[std::size_t(i)], std::uint8_t(i)) << "byte " << i;
    EXPECT_TRUE(ui().btTest->isEnabled());
    EXPECT_FALSE(ui().btStop->isEnabled());
    EXPECT_TRUE(boxes.boxes().empty()) << boxTexts();
}

} // namespace
