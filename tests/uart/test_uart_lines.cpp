// SPDX-License-Identifier: GPL-3.0-or-later
// Data and modem lines on a 16550A under the kernel's 8250 driver: bytes through the UART's loopback in
// several formats, the modem-line page following the loopback's wiring (DSR follows DTR, CTS follows
// RTS, RING follows OUT1, CD follows OUT2), and RTS/CTS flow control holding and passing output.
#include "event_wait.h"
#include "uart_guest.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include <array>
#include <vector>

namespace {

using namespace comlab::uart;
using comlab::test::runUntil;

QString u(const char* s) {
    return QString::fromUtf8(s);
}

// A driver on the loopback UART that keeps what it receives.
struct LoopDriver {
    TCommPortDriver drv;
    std::vector<BYTE> got;

    LoopDriver() {
        drv.setPortName("\\\\.\\COM1");
        drv.setOnReceiveData([this](QObject*, void* p, DWORD n) {
            got.insert(got.end(), static_cast<BYTE*>(p), static_cast<BYTE*>(p) + n);
        });
    }
};

TEST(UartData, EveryByteComesBackThroughTheLoopbackInSeveralFormats) {
    if (loopDevice().empty())
        GTEST_SKIP() << "runs only in the UART lane's guest (scripts/uart-lane.sh)";
    loopbackOn();
    struct Case {
        const char* name;
        TBaudRate rate;
        DWORD custom;
        TDataBits bits;
        TParity parity;
        TStopBits stop;
    };
    const Case cases[] = {
        {"115200 8N1", br115200, 0, db8BITS, ptNONE, sb1BITS},
        {"9600 7E1", br9600, 0, db7BITS, ptEVEN, sb1BITS},
        {"31250 6O2", brCustom, 31250, db6BITS, ptODD, sb2BITS},
        {"300 5N1.5", br300, 0, db5BITS, ptNONE, sb1HALFBITS},
        {"57600 8M1", br57600, 0, db8BITS, ptMARK, sb1BITS},
        {"19200 8S2", br19200, 0, db8BITS, ptSPACE, sb2BITS},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LoopDriver d;
        if (c.rate == brCustom)
            d.drv.setBaudRateValue(c.custom);
        else
            d.drv.setBaudRate(c.rate);
        d.drv.setDataBits(c.bits);
        d.drv.setParity(c.parity);
        d.drv.setStopBits(c.stop);
        ASSERT_TRUE(d.drv.OpenPort());
        // Every value the data bits can carry, in turn, twice over for the narrow formats.
        const unsigned mask = (1u << (c.bits + 5)) - 1;
        std::vector<BYTE> sent;
        for (unsigned i = 0; i < 256; ++i)
            sent.push_back(BYTE(i & mask));
        ASSERT_EQ(d.drv.WriteData(sent.data(), DWORD(sent.size())), sent.size());
        EXPECT_TRUE(runUntil([&] { return d.got.size() >= sent.size(); }, 20000));
        EXPECT_EQ(d.got, sent);
    }
}

class UartModemPage : public UartWindowTest {
protected:
    std::array<QString, 4> inputs() {
        return {ui().lbCTS->text(), ui().lbDSR->text(), ui().lbRING->text(), ui().lbCD->text()};
    }
    // Picks an item of the line combo as a user does, with the arrow keys, and applies it with its button.
    void drive(QComboBox* combo, QPushButton* button, int item) {
        combo->setFocus();
        QTest::keyClick(combo, item == 0 ? Qt::Key_Down : Qt::Key_Up); // away first: a change either way
        QTest::keyClick(combo, item == 0 ? Qt::Key_Up : Qt::Key_Down);
        ASSERT_EQ(combo->currentIndex(), item);
        ASSERT_TRUE(button->isEnabled());
        QTest::mouseClick(button, Qt::LeftButton);
    }
};

TEST_F(UartModemPage, OutputsDrivenFromThePageShowOnTheInputsByPoll) {
    const QString high = u("+12 В"), low = u("-12 В (воздух)");
    struct Case {
        int dtrItem, rtsItem; // item 0 sets the line, item 1 clears it
        bool out1;            // OUT1 has no control on the page; the test drives it
        std::array<QString, 4> shown;
    };
    // CD follows OUT2, which the driver keeps on while the port is open.
    const Case cases[] = {
        {0, 0, false, {high, high, low, high}},
        {1, 0, true, {high, low, high, high}},
        {0, 1, true, {low, high, high, high}},
        {1, 1, false, {low, low, low, high}},
    };
    ASSERT_TRUE(connectWith({}));
    DeviceView view(loopDevice());
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "DTR item " << c.dtrItem << ", RTS item " << c.rtsItem << ", OUT1 " << c.out1);
        drive(ui().cbDTRd, ui().btDTR, c.dtrItem);
        drive(ui().cbRTSd, ui().btRTS, c.rtsItem);
        EXPECT_EQ(ui().lbDTR->text(), c.dtrItem == 0 ? u("+12 В (выкл)") : u("-12 В (вкл)"));
        EXPECT_EQ(ui().lbRTS->text(), c.rtsItem == 0 ? u("+12 В (выкл)") : u("-12 В (вкл)"));
        view.setLines(kOut1, c.out1);
        QTest::mouseClick(ui().btOpros, Qt::LeftButton);
        EXPECT_EQ(inputs(), c.shown);
    }
    view.setLines(kOut1, false);

    // Polling every half second follows a line driven meanwhile.
    ui().cbOpros->setChecked(true);
    QTest::mouseClick(ui().btOpros, Qt::LeftButton);
    ASSERT_EQ(ui().btOpros->text(), u("Остановить"));
    drive(ui().cbRTSd, ui().btRTS, 0);
    EXPECT_TRUE(QTest::qWaitFor([&] { return ui().lbCTS->text() == high; }, 5000));
    QTest::mouseClick(ui().btOpros, Qt::LeftButton);
    EXPECT_EQ(ui().btOpros->text(), u("Опрос"));
    EXPECT_TRUE(boxes.boxes().empty());
}

TEST(UartFlow, RtsCtsWithCtsRaisedCarriesEveryByte) {
    if (loopDevice().empty())
        GTEST_SKIP() << "runs only in the UART lane's guest (scripts/uart-lane.sh)";
    loopbackOn();
    LoopDriver d;
    d.drv.setHwFlow(hfRTSCTS);
    ASSERT_TRUE(d.drv.OpenPort());
    EXPECT_TRUE(d.drv.ReadModemLines() & lsCTS) << "in loopback CTS follows the RTS the handshake raised";
    std::vector<BYTE> sent(1000);
    for (std::size_t i = 0; i < sent.size(); ++i)
        sent[i] = BYTE(i * 7);
    ASSERT_EQ(d.drv.WriteData(sent.data(), DWORD(sent.size())), sent.size());
    EXPECT_TRUE(runUntil([&] { return d.got.size() >= sent.size(); }, 20000));
    EXPECT_EQ(d.got, sent);
}

// COM2's far end is a host pseudo-terminal, which has no modem lines: the guest's UART reads CTS low.
TEST(UartFlow, RtsCtsWithCtsLowHoldsOutputAndTheTimedWriteGivesUp) {
    if (hostDevice().empty())
        GTEST_SKIP() << "runs only in the UART lane's guest (scripts/uart-lane.sh)";
    msgbox::MessageBoxRecorder boxes;
    TForm1 form;
    form.ui->cbCOM->setCurrentIndex(1);
    form.ui->cbCONTROL->setCurrentIndex(2);
    form.btCOMonClick(nullptr);
    ASSERT_TRUE(form.CPDrv->IsOpen());
    ASSERT_EQ(form.CPDrv->ReadModemLines() & lsCTS, 0);
    DeviceView view(hostDevice());
    const auto sentBefore = view.counts().tx;

    // The output queue takes what the driver lets it (OutBufSize), and then the write waits out its
    // time-out and reports what went.
    std::vector<BYTE> data(3000, 0x5A);
    EXPECT_EQ(form.CPDrv->WriteData(data.data(), DWORD(data.size())), form.CPDrv->OutBufSize());
    EXPECT_EQ(DWORD(view.outQueue()), form.CPDrv->OutBufSize());
    EXPECT_EQ(view.counts().tx, sentBefore) << "nothing left the UART";

    form.SendCode(0x33);
    ASSERT_EQ(boxes.boxes().size(), 1u);
    EXPECT_EQ(boxes.boxes()[0].caption, u("Warning"));
    EXPECT_TRUE(boxes.boxes()[0].text.startsWith(u("Could not send data.\r\nPlease, check connections")));
    form.btCOMoffClick(nullptr);
    EXPECT_EQ(view.counts().tx, sentBefore) << "what was held is dropped at close, not sent";
}

} // namespace

namespace {

// A break from the far end (the lane sends telnet BREAKs to COM3 every half second): the 8250 counts it,
// and the exchange log marks it where it came, with the count on the status strip. The break's own byte
// 0 is data as the line gave it.
TEST(UartBreak, ABreakFromTheFarEndIsMarkedWhereItCame) {
    if (env("COMLAB_UART_BREAK").empty())
        GTEST_SKIP() << "runs only in the UART lane's guest (scripts/uart-lane.sh)";
    msgbox::MessageBoxRecorder boxes;
    TForm1 form;
    form.show();
    form.ui->cbCOM->setCurrentIndex(2);
    form.btCOMonClick(form.ui->btCOMon);
    ASSERT_TRUE(form.CPDrv->IsOpen());
    form.ui->rbCOMinHex->setChecked(true);
    form.ui->rbOutHex->setChecked(true);
    form.ui->edCOMout->setText(QStringLiteral(" "));
    form.btOutCOMClick(form.ui->btOutCOM); // the exchange, with the box of an empty line
    const QString mark = QStringLiteral("⟨разрыв линии (break)⟩");
    const auto marked = [&] {
        const ExchangeLog* log = form.ui->mmCOMin;
        return log->textWithMarks(0, log->characterCount()).contains(mark);
    };
    EXPECT_TRUE(QTest::qWaitFor(marked, 10000));
    const auto* strip = form.findChild<QLabel*>(QStringLiteral("lbErrors"));
    ASSERT_NE(strip, nullptr);
    EXPECT_TRUE(strip->isVisible());
    EXPECT_TRUE(strip->toolTip().contains(QStringLiteral("разрывы линии (break): ")))
        << strip->toolTip().toStdString();
}

} // namespace
