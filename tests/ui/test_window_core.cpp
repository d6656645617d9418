// SPDX-License-Identifier: GPL-3.0-or-later
// The window core on the fake device: the state at start, connect and disconnect, the custom rate,
// the state report, the one send routine, the receive dispatch with its lamp, closing, the decimal
// key filter of the rate field and the port tooltips.
#include "MessageBox.h"
#include "Unit1.h"
#include "platform/fake_comm.h"
#include "ui_Unit1.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>
#include <QTextDocument>
#include <QThread>
#include <QTimer>

#include <gtest/gtest.h>

#include <memory>
#include <string_view>

using platform::FakeComm;
using platform::FakeOp;

namespace {

QString u(const char* s) {
    return QString::fromUtf8(s);
}

const QColor kGrey(0x80, 0x80, 0x80);
const QColor kLime(0x00, 0xFF, 0x00);
const QColor kSkyBlue(0xA6, 0xCA, 0xF0);

const char* const kConnectError =
    "Программа не может установить связь\r\nс заданным последовательным портом.\r\n"
    "Проверьте установки порта и попробуйте опять.";
const char* const kWriteFailed =
    "Could not send data.\r\nPlease, check connections and try again.\r\nTurn serial device on or, try "
    "setting Device Check to On in the settings dialog box.\r\nAlso, disable Hardware Flow Control if you "
    "are using a two wires cable.";

// A fresh window on the fake device, with boxes recorded instead of shown.
struct Window {
    FakeComm fake;
    platform::ScopedCommDevice scope{fake};
    msgbox::MessageBoxRecorder boxes;
    std::unique_ptr<TForm1> form;

    explicit Window(std::initializer_list<const char*> devices = {"\\\\.\\COM1"}) {
        for (const char* d : devices)
            fake.addDevice(d);
        form = std::make_unique<TForm1>();
    }
    Ui::Form1& ui() { return *form->ui; }
    void connect() { form->btCOMonClick(form->ui->btCOMon); }
    QStringList report() { return ui().mmTek->toPlainText().split(QLatin1Char('\n')); }
};

std::vector<QWidget*> settingsControls(Ui::Form1& ui) {
    return {ui.cbCOM,   ui.cbBOD,  ui.edBOD,     ui.CheckBOD, ui.cbFORM,
            ui.cbCHECK, ui.cbSTOP, ui.cbCONTROL, ui.btCOMon};
}
std::vector<QWidget*> startButtons(Ui::Form1& ui) {
    return {ui.btTest, ui.btZag, ui.btPos, ui.btMassStart, ui.btOutCOM};
}

// Puts the test page into a "test running" look, so a connect can be seen to reset it.
void fakeRunningTest(TForm1& form) {
    form.WorkMode = mdStub;
    form.LoopRunning = true;
    for (QWidget* w : startButtons(*form.ui))
        w->setEnabled(false);
    form.ui->btStop->setEnabled(true);
    form.ui->lbTestN->setText(u("Заглушка"));
}

void expectTestPageIdle(TForm1& form) {
    for (QWidget* w : startButtons(*form.ui))
        EXPECT_TRUE(w->isEnabled()) << w->objectName().toStdString();
    EXPECT_FALSE(form.ui->btStop->isEnabled());
    EXPECT_EQ(form.ui->lbTestN->text(), u("  "));
    EXPECT_EQ(form.WorkMode, mdIdle);
    EXPECT_FALSE(form.LoopRunning);
}

} // namespace

TEST(WindowCore, StartsClosedWithItsControlsTimersAndDriverSettings) {
    Window w;
    auto& ui = w.ui();
    for (QWidget* c : settingsControls(ui))
        EXPECT_TRUE(c->isEnabled()) << c->objectName().toStdString();
    for (QWidget* c : {static_cast<QWidget*>(ui.btZag), static_cast<QWidget*>(ui.btPos),
                       static_cast<QWidget*>(ui.btMassStart), static_cast<QWidget*>(ui.btOutCOM)})
        EXPECT_TRUE(c->isEnabled()) << c->objectName().toStdString();
    for (QWidget* c :
         {static_cast<QWidget*>(ui.btCOMoff), static_cast<QWidget*>(ui.btTest),
          static_cast<QWidget*>(ui.btStop), static_cast<QWidget*>(ui.cbDTRd),
          static_cast<QWidget*>(ui.cbRTSd), static_cast<QWidget*>(ui.btDTR), static_cast<QWidget*>(ui.btRTS)})
        EXPECT_FALSE(c->isEnabled()) << c->objectName().toStdString();

    const std::pair<QComboBox*, int> indexes[] = {{ui.cbCOM, 0},    {ui.cbBOD, 6},   {ui.cbFORM, 3},
                                                  {ui.cbSTOP, 0},   {ui.cbCHECK, 0}, {ui.cbCONTROL, 0},
                                                  {ui.cbSpecS, -1}, {ui.cbDTRd, 1},  {ui.cbRTSd, 0}};
    for (const auto& [combo, index] : indexes)
        EXPECT_EQ(combo->currentIndex(), index) << combo->objectName().toStdString();

    EXPECT_EQ(w.form->CPDrv->PortName(), "\\\\.\\COM1");
    EXPECT_EQ(w.form->CPDrv->Port(), pnCustom);
    EXPECT_FALSE(w.form->CPDrv->IsOpen());
    EXPECT_EQ(w.fake.count(FakeOp::CreateFileA), 0u);

    const std::pair<QTimer*, int> timers[] = {
        {w.form->trTx, 200}, {w.form->trRx, 200}, {w.form->trTest, 1000}, {w.form->trOpros, 500}};
    for (const auto& [timer, interval] : timers) {
        EXPECT_EQ(timer->interval(), interval) << timer->objectName().toStdString();
        EXPECT_FALSE(timer->isActive()) << timer->objectName().toStdString();
    }

    EXPECT_EQ(w.form->WorkMode, mdExchange);
    EXPECT_FALSE(w.form->LoopRunning);
    EXPECT_TRUE(w.form->RxBlock.isEmpty());
    EXPECT_EQ(ui.spCOMTxled->brushColor(), kGrey);
    EXPECT_EQ(ui.spCOMRxled->brushColor(), kGrey);
    EXPECT_EQ(ui.lbCOM->text(), u("нет соединения"));
    EXPECT_TRUE(w.boxes.boxes().empty());
}

TEST(WindowCore, FailedConnectShowsTheErrorLeavesSettingsOpenAndResetsTheTestPage) {
    // The box's text stays as it is; the reason the platform kept goes into its details.
    const auto at = [](const char* device, platform::LineSetting setting = platform::LineSetting::None,
                       DWORD value = 0) {
        platform::FailureDetail d;
        d.device = device;
        d.refused = setting;
        d.refusedValue = value;
        return d;
    };
    platform::FailureDetail held = at("/dev/ttyUSB0");
    held.holderPid = 4242;
    held.holderName = "minicom";
    struct Case {
        const char* why;
        bool addDevice;
        FakeOp failing;
        DWORD error;
        platform::FailureDetail detail;
        const char* details;
    };
    const Case cases[] = {
        {"no such device", false, FakeOp::CreateFileA, ERROR_FILE_NOT_FOUND, at("/dev/ttyUSB7"),
         "COM1 ведёт к /dev/ttyUSB7\nТакого устройства нет."},
        {"permission denied", true, FakeOp::CreateFileA, ERROR_ACCESS_DENIED, at("/dev/ttyS0"),
         "COM1 ведёт к /dev/ttyS0\nНет прав на доступ к устройству. Последовательные порты обычно открыты "
         "группе dialout: sudo usermod -aG dialout $USER, затем войдите в систему заново."},
        {"busy", true, FakeOp::CreateFileA, ERROR_SHARING_VIOLATION, held,
         "COM1 ведёт к /dev/ttyUSB0\nУстройство занято: его держит программа minicom (PID 4242)."},
        {"1.5 stop bits refused", true, FakeOp::SetCommState, ERROR_INVALID_PARAMETER,
         at("/dev/ttyS1", platform::LineSetting::StopBits, ONE5STOPBITS),
         "COM1 ведёт к /dev/ttyS1\nУстройство не принимает настройку: 1,5 стоповых бита."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        Window w({});
        if (c.addDevice)
            w.fake.addDevice("\\\\.\\COM1");
        w.fake.setFailure(c.failing);
        w.fake.setFailureReason(c.error, c.detail);
        auto& ui = w.ui();
        fakeRunningTest(*w.form);

        w.connect();

        ASSERT_EQ(w.boxes.boxes().size(), 1u);
        EXPECT_EQ(w.boxes.boxes()[0].text, u(kConnectError));
        EXPECT_EQ(w.boxes.boxes()[0].caption, u("Ошибка установки связи"));
        EXPECT_EQ(w.boxes.boxes()[0].icon, 16);
        EXPECT_EQ(w.boxes.boxes()[0].detailedText, u(c.details));
        EXPECT_FALSE(w.form->CPDrv->IsOpen());
        EXPECT_FALSE(w.fake.isOpen());
        EXPECT_EQ(ui.lbCOM->text(), u("Нет соединения"));
        for (QWidget* s : settingsControls(ui))
            EXPECT_TRUE(s->isEnabled()) << s->objectName().toStdString();
        EXPECT_FALSE(ui.btCOMoff->isEnabled());
        EXPECT_FALSE(ui.cbDTRd->isEnabled());
        EXPECT_FALSE(ui.cbRTSd->isEnabled());
        EXPECT_EQ(ui.cbDTRd->currentIndex(), 1);
        EXPECT_EQ(ui.cbRTSd->currentIndex(), 0);
        expectTestPageIdle(*w.form);
    }
}

TEST(WindowCore, SuccessfulConnectAppliesTheSettingsAndLocksThem) {
    struct Case {
        int com, bod, form, check, stop, control;
        const char* device;
        DWORD rate;
        BYTE byteSize, parity, stopBits;
        DWORD rtsControl, ctsFlow, xonXoff;
    };
    const Case cases[] = {
        {0, 6, 3, 0, 0, 0, "\\\\.\\COM1", 9600, 8, NOPARITY, ONESTOPBIT, RTS_CONTROL_DISABLE, 0, 0},
        {2, 12, 2, 2, 2, 2, "\\\\.\\COM3", 115200, 7, 2, TWOSTOPBITS, RTS_CONTROL_HANDSHAKE, 1, 0},
        {15, 0, 0, 1, 1, 1, "\\\\.\\COM16", 110, 5, ODDPARITY, ONE5STOPBITS, RTS_CONTROL_ENABLE, 0, 0},
        {9, 14, 1, 3, 0, 3, "\\\\.\\COM10", 256000, 6, 3, ONESTOPBIT, RTS_CONTROL_DISABLE, 0, 1},
        {0, 15, 3, 4, 2, 0, "\\\\.\\COM1", 31200, 8, 4, TWOSTOPBITS, RTS_CONTROL_DISABLE, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.device + std::string(" at ") + std::to_string(c.rate));
        Window w({c.device});
        auto& ui = w.ui();
        ui.cbCOM->setCurrentIndex(c.com);
        ui.cbBOD->setCurrentIndex(c.bod);
        ui.cbFORM->setCurrentIndex(c.form);
        ui.cbCHECK->setCurrentIndex(c.check);
        ui.cbSTOP->setCurrentIndex(c.stop);
        ui.cbCONTROL->setCurrentIndex(c.control);
        ui.lbDTR->setText(u("dtr"));
        ui.lbRTS->setText(u("rts"));
        fakeRunningTest(*w.form);

        w.connect();

        EXPECT_TRUE(w.boxes.boxes().empty());
        ASSERT_TRUE(w.fake.isOpen());
        ASSERT_EQ(w.fake.callsOf(FakeOp::CreateFileA).size(), 1u);
        EXPECT_EQ(w.fake.callsOf(FakeOp::CreateFileA)[0].fileName, c.device);
        const DCB dcb = *w.fake.lastDcb();
        EXPECT_EQ(dcb.BaudRate, c.rate);
        EXPECT_EQ(dcb.ByteSize, c.byteSize);
        EXPECT_EQ(dcb.Parity, c.parity);
        EXPECT_EQ(dcb.StopBits, c.stopBits);
        EXPECT_EQ(dcb.fRtsControl, c.rtsControl);
        EXPECT_EQ(dcb.fOutxCtsFlow, c.ctsFlow);
        EXPECT_EQ(dcb.fOutX, c.xonXoff);
        EXPECT_EQ(dcb.fInX, c.xonXoff);
        EXPECT_FALSE(w.form->CPDrv->CheckLineStatus());

        EXPECT_EQ(ui.lbCOM->text(), u("Соединение с портом \"%1\" ").arg(QString::fromLatin1(c.device)));
        for (QWidget* s : settingsControls(ui))
            EXPECT_FALSE(s->isEnabled()) << s->objectName().toStdString();
        EXPECT_TRUE(ui.btCOMoff->isEnabled());
        // The line combos take their connect values by code: no change handler, so the line buttons
        // and labels stay as they were.
        EXPECT_EQ(ui.cbRTSd->currentIndex(), 1);
        EXPECT_EQ(ui.cbDTRd->currentIndex(), 0);
        EXPECT_TRUE(ui.cbRTSd->isEnabled());
        EXPECT_TRUE(ui.cbDTRd->isEnabled());
        EXPECT_FALSE(ui.btDTR->isEnabled());
        EXPECT_FALSE(ui.btRTS->isEnabled());
        EXPECT_EQ(ui.lbDTR->text(), u("dtr"));
        EXPECT_EQ(ui.lbRTS->text(), u("rts"));
        expectTestPageIdle(*w.form);
    }
}

TEST(WindowCore, CustomRateIsCheckedBeforeUse) {
    struct Case {
        const char* typed;
        const char* field; // the field afterwards
        DWORD rate;        // 0: the text is no integer and the click stops at the box
    };
    const Case cases[] = {
        {"256000", "256000", 256000},
        {"300", "300", 300},
        {"1", "1", 1},
        {"0031250", "0031250", 31250},
        {"256001", "9600", 9600},
        {"2147483647", "9600", 9600},
        {"0", "9600", 9600},
        {"000", "9600", 9600},
        {"", "9600", 9600},
        // A pasted sign: a negative rate would turn into billions of baud on the driver.
        {"-5", "9600", 9600},
        {"-2147483648", "9600", 9600},
        {"99999999999", "99999999999", 0},
        {"abc", "abc", 0},
        {" 96", " 96", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("typed '") + c.typed + "'");
        Window w({"\\\\.\\COM1", "\\\\.\\COM4"});
        auto& ui = w.ui();
        ui.cbCOM->setCurrentIndex(3);
        ui.CheckBOD->setChecked(true);
        ui.edBOD->setText(u(c.typed));
        ui.cbFORM->setCurrentIndex(0);
        ui.cbCONTROL->setCurrentIndex(2);

        w.connect();

        EXPECT_EQ(ui.edBOD->text(), u(c.field));
        EXPECT_EQ(w.form->CPDrv->PortName(), "\\\\.\\COM4");
        EXPECT_EQ(w.form->CPDrv->BaudRate(), brCustom);
        if (c.rate == 0) {
            ASSERT_EQ(w.boxes.boxes().size(), 1u);
            EXPECT_EQ(w.boxes.boxes()[0].text, u("'%1' is not a valid integer value.").arg(u(c.typed)));
            EXPECT_EQ(w.boxes.boxes()[0].caption, u("comlab"));
            EXPECT_EQ(w.boxes.boxes()[0].icon, 16);
            // Nothing after the rate ran: no other setting, no open, no reset of the window.
            EXPECT_EQ(w.fake.count(FakeOp::CreateFileA), 0u);
            EXPECT_EQ(w.form->CPDrv->DataBits(), db8BITS);
            EXPECT_EQ(w.form->CPDrv->HwFlow(), hfNONERTSON);
            EXPECT_EQ(ui.lbCOM->text(), u("нет соединения"));
            EXPECT_EQ(w.form->WorkMode, mdExchange);
            EXPECT_TRUE(ui.btCOMon->isEnabled());
        } else {
            EXPECT_TRUE(w.boxes.boxes().empty());
            ASSERT_TRUE(w.fake.isOpen());
            EXPECT_EQ(w.form->CPDrv->BaudRateValue(), c.rate);
            EXPECT_EQ(w.fake.lastDcb()->BaudRate, c.rate);
            EXPECT_EQ(w.form->CPDrv->DataBits(), db5BITS);
        }
    }
}

TEST(WindowCore, StateReportDescribesTheDriverAndAppends) {
    struct Case {
        int bod, form, check, stop, control;
        const char* line2;
        const char* line3;
    };
    const Case cases[] = {
        {6, 3, 0, 0, 0, "9600,8,N,1", "Hw:None - Sw:None"},
        {12, 3, 0, 2, 2, "115200,8,N,2", "Hw:RTS/CTS - Sw:None"},
        {0, 0, 1, 1, 1, "110,5,O,1.5", "Hw:None+DTR on - Sw:None"},
        {14, 2, 3, 0, 3, "256000,7,M,1", "Hw:None - Sw:XON/XOFF"},
        {9, 1, 4, 2, 0, "38400,6,S,2", "Hw:None - Sw:None"},
        {15, 3, 2, 0, 0, "31200,8,E,1", "Hw:None - Sw:None"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line2);
        Window w({"\\\\.\\COM2"});
        auto& ui = w.ui();
        w.form->btTekClick(ui.btTek);
        ui.cbCOM->setCurrentIndex(1);
        ui.cbBOD->setCurrentIndex(c.bod);
        ui.cbFORM->setCurrentIndex(c.form);
        ui.cbCHECK->setCurrentIndex(c.check);
        ui.cbSTOP->setCurrentIndex(c.stop);
        ui.cbCONTROL->setCurrentIndex(c.control);
        w.connect();
        ASSERT_TRUE(w.form->CPDrv->IsOpen());
        // The report reads the driver, not the controls.
        ui.cbBOD->setCurrentIndex(c.bod == 6 ? 7 : 6);
        w.form->btTekClick(ui.btTek);
        w.form->btCOMoffClick(ui.btCOMoff);
        w.form->btTekClick(ui.btTek);

        const QStringList expected = {u("Нет соединения"), u("Соед. с портом \"\\\\.\\COM2\""), u(c.line2),
                                      u(c.line3), u("Нет соединения")};
        EXPECT_EQ(w.report(), expected);
    }

    Window w;
    w.form->btTekClick(nullptr);
    w.form->btTekClrClick(nullptr);
    EXPECT_TRUE(w.ui().mmTek->toPlainText().isEmpty());
}

TEST(WindowCore, SendCodeWritesOneByteAndLightsTheTransmitLamp) {
    Window w;
    auto& ui = w.ui();

    // Closed: a box, nothing written, no lamp.
    w.form->SendCode(0x41);
    ASSERT_EQ(w.boxes.boxes().size(), 1u);
    EXPECT_EQ(w.boxes.boxes()[0].text, u("Нет соединения с COM-портом."));
    EXPECT_EQ(w.boxes.boxes()[0].caption, u("Внимание"));
    EXPECT_EQ(w.boxes.boxes()[0].icon, 64);
    EXPECT_EQ(ui.spCOMTxled->brushColor(), kGrey);
    EXPECT_FALSE(w.form->trTx->isActive());
    EXPECT_EQ(w.fake.count(FakeOp::WriteFile), 0u);
    w.boxes.clear();

    // Written: lime until the lamp timer ticks.
    w.connect();
    ASSERT_TRUE(w.form->CPDrv->IsOpen());
    w.form->SendCode(0x00);
    w.form->SendCode(0xFF);
    EXPECT_TRUE(w.boxes.boxes().empty());
    EXPECT_EQ(w.fake.output(), (std::vector<BYTE>{0x00, 0xFF}));
    EXPECT_EQ(ui.spCOMTxled->brushColor(), kLime);
    EXPECT_TRUE(w.form->trTx->isActive());
    w.form->trTxTimer(w.form->trTx);
    EXPECT_EQ(ui.spCOMTxled->brushColor(), kGrey);
    EXPECT_FALSE(w.form->trTx->isActive());

    // A write that fails: the warning for a window that connects with the line check off; the lamp
    // stays as it was.
    w.fake.setFailure(FakeOp::WriteFile);
    w.form->SendCode(0x42);
    ASSERT_EQ(w.boxes.boxes().size(), 1u);
    EXPECT_EQ(w.boxes.boxes()[0].text, u(kWriteFailed));
    EXPECT_EQ(w.boxes.boxes()[0].caption, u("Warning"));
    EXPECT_EQ(w.boxes.boxes()[0].icon, 64);
    EXPECT_EQ(ui.spCOMTxled->brushColor(), kGrey);
    EXPECT_FALSE(w.form->trTx->isActive());
    EXPECT_EQ(w.fake.output().size(), 2u);

    // With the line check on, the other advice.
    w.boxes.clear();
    w.form->CPDrv->setCheckLineStatus(true);
    w.form->SendCode(0x43);
    ASSERT_EQ(w.boxes.boxes().size(), 1u);
    EXPECT_TRUE(w.boxes.boxes()[0].text.startsWith(u("Could not send data.\r\nNo device connected")));
    EXPECT_EQ(w.boxes.boxes()[0].caption, u("Warning"));
}

TEST(WindowCore, LampTimersAreNotRestartedByFurtherTraffic) {
    Window w;
    w.connect();
    w.form->SendCode(1);
    const int first = w.form->trTx->remainingTime();
    QThread::msleep(100); // no events: the timer cannot fire meanwhile
    w.form->SendCode(2);
    EXPECT_TRUE(w.form->trTx->isActive());
    EXPECT_LE(w.form->trTx->remainingTime(), first - 50);

    const char block[] = "ab";
    w.form->ReceiveDispatch(block, 2);
    const int rxFirst = w.form->trRx->remainingTime();
    QThread::msleep(100);
    w.form->ReceiveDispatch(block, 2);
    EXPECT_LE(w.form->trRx->remainingTime(), rxFirst - 50);
}

TEST(WindowCore, ReceiveDispatchKeepsTheBlockAndLightsTheReceiveLamp) {
    const TWorkMode modes[] = {mdExchange, mdTest, mdStub, mdSequence, mdArray, mdIdle};
    const QByteArray block("\x00\xFF\x41\x0D\x0A", 5);
    for (const TWorkMode mode : modes) {
        SCOPED_TRACE(static_cast<int>(mode));
        Window w;
        auto& ui = w.ui();
        w.form->WorkMode = mode;

        w.form->ReceiveDispatch(block.constData(), static_cast<DWORD>(block.size()));
        EXPECT_EQ(w.form->RxBlock, block);
        EXPECT_EQ(ui.spCOMRxled->brushColor(), kSkyBlue);
        EXPECT_TRUE(w.form->trRx->isActive());
        // The port is closed: the stub's first echo fails and ends it.
        EXPECT_EQ(w.form->WorkMode, mode == mdStub ? mdIdle : mode);
        EXPECT_EQ(ui.spCOMTxled->brushColor(), kGrey);
        if (mode == mdSequence || mode == mdArray || mode == mdIdle) {
            // Dropped: shown nowhere, answered with nothing.
            EXPECT_TRUE(ui.mmCOMin->toPlainText().isEmpty());
            EXPECT_TRUE(w.boxes.boxes().empty());
        }

        // A later block replaces the earlier one.
        w.form->ReceiveDispatch("z", 1);
        EXPECT_EQ(w.form->RxBlock, QByteArray("z"));

        w.form->trRxTimer(w.form->trRx);
        EXPECT_EQ(ui.spCOMRxled->brushColor(), kGrey);
        EXPECT_FALSE(w.form->trRx->isActive());

        // An empty block empties RxBlock and lights nothing.
        w.form->ReceiveDispatch(block.constData(), 0);
        EXPECT_TRUE(w.form->RxBlock.isEmpty());
        EXPECT_EQ(ui.spCOMRxled->brushColor(), kGrey);
        EXPECT_FALSE(w.form->trRx->isActive());
    }
}

TEST(WindowCore, PerByteLoopEndsAtTheFirstByteItCannotAnswer) {
    // In test mode every code fails to go. The first failure's box is up while a second block arrives;
    // each walk ends at its first byte that cannot be answered, and only the first failure has a box.
    Window w;
    w.connect();
    w.ui().cbInLog->setChecked(true);
    w.form->btTestClick(w.ui().btTest);
    ASSERT_EQ(w.form->WorkMode, mdTest);
    w.fake.setFailure(FakeOp::WriteFile);
    w.form->CPDrv->setOutputTimeout(1); // each failed write gives up at once
    bool nested = false;
    w.boxes.setWhileOpen([&](const msgbox::RecordedBox&) {
        if (!nested) {
            nested = true;
            w.form->ReceiveDispatch("XY", 2);
        }
    });
    w.form->ReceiveDispatch("ABC", 3);
    EXPECT_EQ(w.ui().mmIn->toPlainText(), u("41\n58"));
    ASSERT_EQ(w.boxes.boxes().size(), 1u);
    EXPECT_EQ(w.boxes.boxes()[0].text, u(kWriteFailed));
    EXPECT_EQ(w.form->RxBlock, QByteArray("XY"));
    EXPECT_EQ(w.form->WorkMode, mdTest) << "the test goes on, counting";
}

TEST(WindowCore, WindowDestroyedInsideABoxEndsThePerByteLoop) {
    // The window (and with it the driver that delivered the block) goes away while a box raised by
    // the first echo is up: nothing may touch it afterwards. The sanitizer build checks the "nothing".
    Window w;
    w.connect();
    w.form->btZagClick(w.ui().btZag);
    w.fake.setFailure(FakeOp::WriteFile);
    w.form->CPDrv->setOutputTimeout(1);
    w.boxes.setWhileOpen([&](const msgbox::RecordedBox&) { w.form.reset(); });
    w.fake.pushInput(std::string_view("ABC"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !w.form; }, 5000));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(w.boxes.boxes().size(), 1u);
    EXPECT_FALSE(w.fake.isOpen());
}

TEST(WindowCore, BytesBeforeTheFirstSendLightTheLampOnly) {
    Window w;
    w.connect();
    ASSERT_EQ(w.form->WorkMode, mdIdle);
    w.fake.pushInput(std::string_view("hello"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !w.form->RxBlock.isEmpty(); }, 5000));
    EXPECT_EQ(w.form->RxBlock, QByteArray("hello"));
    EXPECT_EQ(w.ui().spCOMRxled->brushColor(), kSkyBlue);
    EXPECT_TRUE(w.ui().mmCOMin->toPlainText().isEmpty());
    EXPECT_TRUE(w.fake.output().empty());
    // The lamp goes out by itself.
    EXPECT_TRUE(QTest::qWaitFor([&] { return w.ui().spCOMRxled->brushColor() == kGrey; }, 5000));
}

TEST(WindowCore, DisconnectLeavesARunningTestAsItIs) {
    Window w;
    auto& ui = w.ui();
    w.connect();
    ASSERT_TRUE(w.form->CPDrv->IsOpen());
    w.form->WorkMode = mdTest;
    w.form->LoopRunning = true;
    ui.btTest->setEnabled(false);
    ui.btStop->setEnabled(true);
    ui.btDTR->setEnabled(true);
    ui.lbDTR->setText(u("Вкл."));
    ui.lbRTS->setText(u("Выкл."));
    TForm1::EnableTimer(w.form->trTest, true);
    TForm1::EnableTimer(w.form->trOpros, true);

    w.form->btCOMoffClick(ui.btCOMoff);

    EXPECT_FALSE(w.form->CPDrv->IsOpen());
    EXPECT_FALSE(w.fake.isOpen());
    EXPECT_EQ(ui.lbCOM->text(), u("Нет соединения"));
    for (QWidget* s : settingsControls(ui))
        EXPECT_TRUE(s->isEnabled()) << s->objectName().toStdString();
    EXPECT_FALSE(ui.btCOMoff->isEnabled());
    EXPECT_FALSE(ui.cbRTSd->isEnabled());
    EXPECT_FALSE(ui.cbDTRd->isEnabled());

    EXPECT_EQ(w.form->WorkMode, mdTest);
    EXPECT_TRUE(w.form->LoopRunning);
    EXPECT_FALSE(ui.btTest->isEnabled());
    EXPECT_TRUE(ui.btStop->isEnabled());
    EXPECT_TRUE(w.form->trTest->isActive());
    EXPECT_TRUE(w.form->trOpros->isActive());
    EXPECT_TRUE(ui.btDTR->isEnabled());
    EXPECT_FALSE(ui.btRTS->isEnabled());
    EXPECT_EQ(ui.lbDTR->text(), u("Вкл."));
    EXPECT_EQ(ui.lbRTS->text(), u("Выкл."));

    // A second disconnect, port already closed, only repeats the status.
    ui.lbCOM->clear();
    w.form->btCOMoffClick(ui.btCOMoff);
    EXPECT_EQ(ui.lbCOM->text(), u("Нет соединения"));
    EXPECT_EQ(w.fake.count(FakeOp::CloseHandle), 1u);
}

TEST(WindowCore, ClosingTheWindowClosesThePort) {
    Window w;
    w.form->show();
    w.connect();
    ASSERT_TRUE(w.fake.isOpen());
    EXPECT_TRUE(w.form->close());
    EXPECT_FALSE(w.form->CPDrv->IsOpen());
    EXPECT_FALSE(w.fake.isOpen());
    EXPECT_TRUE(w.form->Closing());
    w.form->FormClose(w.form.get());
    w.form->close();
    EXPECT_EQ(w.fake.count(FakeOp::CloseHandle), 1u);
    EXPECT_TRUE(w.boxes.boxes().empty());
}

TEST(WindowCore, RateFieldTakesDigitsOnly) {
    Window w;
    auto* ed = w.ui().edBOD;
    w.form->show();
    ed->setFocus();

    QTest::keyClicks(ed, QStringLiteral("12a-3 .+9"));
    EXPECT_EQ(ed->text(), u("1239"));
    QTest::keyClick(ed, Qt::Key_Backspace);
    EXPECT_EQ(ed->text(), u("123"));

    // Editing keys and shortcuts are no typed characters.
    QTest::keyClick(ed, Qt::Key_Home);
    // X11 gives Delete the text DEL; it still deletes.
    QKeyEvent del(QEvent::KeyPress, Qt::Key_Delete, Qt::NoModifier, QString(QChar(0x7F)));
    QApplication::sendEvent(ed, &del);
    EXPECT_EQ(ed->text(), u("23"));
    QApplication::clipboard()->setText(QStringLiteral("-5"));
    QTest::keyClick(ed, Qt::Key_End);
    QTest::keyClick(ed, Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(ed->text(), u("23-5"));

    // The filter itself: digits and backspace pass, anything else becomes 0.
    const std::pair<char, char> keys[] = {{'0', '0'}, {'9', '9'}, {'\b', '\b'}, {' ', 0},
                                          {'a', 0},   {'-', 0},   {'\r', 0},    {'\xB9', 0}};
    for (auto [in, out] : keys) {
        char k = in;
        w.form->edBODKeyPress(ed, k);
        EXPECT_EQ(k, out) << int(static_cast<unsigned char>(in));
    }
}

TEST(WindowCore, KeysThatTypeSeveralCodeUnitsAreFilteredCharacterByCharacter) {
    // A character beyond 16 bits arrives as a surrogate pair, and a compose sequence may type two
    // characters with one key: the filters must judge each character, not wave the key through.
    const QString emoji = QString::fromUtf8("\xF0\x9F\x98\x80");
    struct Case {
        const char* field;
        bool hexOut; // the exchange line's transmit form
        QString typed;
        QString expected;
    };
    const Case cases[] = {
        {"edBOD", false, emoji, QString()},
        {"edBOD", false, QStringLiteral("1x2"), QStringLiteral("12")},
        {"edMass", false, emoji, QString()},
        {"edPos", false, emoji, QString()},
        {"edPos", false, QStringLiteral("ag"), QStringLiteral("A")},
        {"edCOMout", true, emoji, QString()},
        {"edCOMout", true, QStringLiteral("f0"), QStringLiteral("F0")},
        {"edCOMout", false, emoji, emoji},
        {"edCOMout", false, QStringLiteral("f0"), QStringLiteral("f0")},
    };
    for (const Case& c : cases) {
        Window w;
        w.form->show();
        w.ui().rbOutHex->setChecked(c.hexOut);
        w.ui().rbOutSym->setChecked(!c.hexOut);
        auto* ed = w.form->findChild<QLineEdit*>(QString::fromLatin1(c.field));
        ASSERT_NE(ed, nullptr) << c.field;
        ed->clear();
        ed->setFocus();
        QKeyEvent key(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, c.typed);
        QApplication::sendEvent(ed, &key);
        EXPECT_EQ(ed->text(), c.expected) << c.field << " " << c.typed.toStdString();
    }
}

TEST(WindowCore, TabStillMovesOnFromTheRateField) {
    Window w;
    w.form->show();
    QApplication::setActiveWindow(w.form.get());
    auto* ed = w.ui().edBOD;
    ed->setFocus();
    ASSERT_TRUE(ed->hasFocus());
    QTest::keyClick(ed, Qt::Key_Tab);
    EXPECT_FALSE(ed->hasFocus());
    EXPECT_TRUE(ed->text().isEmpty());
}

// Makes an empty file `name` in `dir` and maps COMn to it there; false when that cannot be done.
static bool mapComToFile(const QTemporaryDir& dir, int n, const QString& name) {
    QFile f(dir.filePath(name));
    if (!f.open(QIODevice::WriteOnly))
        return false;
    const QString link = dir.filePath(QStringLiteral("COM%1").arg(n));
    QFile::remove(link);
    return QFile::link(f.fileName(), link);
}

// The tooltips of the port list as a fresh window shows them once the list opens, with the COM map
// given by `mapDir`. The list reads the mapping when it opens, not when the window was made.
static QStringList portTooltips(const QString& mapDir) {
    Window w;
    auto* cb = w.ui().cbCOM;
    const QByteArray was = qgetenv("COMLAB_PORTS_DIR");
    qputenv("COMLAB_PORTS_DIR", QFile::encodeName(mapDir));
    w.form->show();
    cb->showPopup();
    QStringList tips;
    for (int i = 0; i < cb->count(); ++i)
        tips << cb->itemData(i, Qt::ToolTipRole).toString();
    cb->hidePopup();
    qputenv("COMLAB_PORTS_DIR", was);
    return tips;
}

TEST(WindowCore, PortListTooltipsNameTheDeviceBehindEachPort) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    ASSERT_TRUE(mapComToFile(dir, 2, QStringLiteral("device")));
    const QString target = dir.filePath(QStringLiteral("device"));

    const QStringList tips = portTooltips(dir.path());
    ASSERT_EQ(tips.size(), 16);
    EXPECT_TRUE(tips[1].contains(QFileInfo(target).canonicalFilePath())) << tips[1].toStdString();
    EXPECT_TRUE(tips[1].contains(u("COM2"))) << tips[1].toStdString();
    EXPECT_EQ(tips[0], u("За COM1 сейчас нет устройства"));
}

TEST(WindowCore, PortTooltipShowsADevicePathAsPlainText) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    // Names that a tooltip would otherwise take for markup or an entity.
    const QString names[] = {QStringLiteral("<b>dev"), QStringLiteral("<i>a&amp;b")};
    for (const QString& name : names) {
        ASSERT_TRUE(mapComToFile(dir, 1, name));
        const QString target = dir.filePath(name);
        const QString tip = portTooltips(dir.path()).value(0);

        // What the tooltip shows: rich text rendered, plain text as it is.
        QString shown = tip;
        if (Qt::mightBeRichText(tip)) {
            QTextDocument doc;
            doc.setHtml(tip);
            shown = doc.toPlainText();
        }
        EXPECT_TRUE(shown.contains(QFileInfo(target).canonicalFilePath())) << tip.toStdString();
    }
}
