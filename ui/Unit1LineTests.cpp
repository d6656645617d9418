// SPDX-License-Identifier: GPL-3.0-or-later
// The line-test page: the loopback test, the echo stub, the endless sequence and the counted array.
//
// A run ends at its first failed write, after one box: the sequence, the array and the stub stay
// "stopped by failure" (title shown, Stop enabled) until Stop; the loopback test keeps counting its
// errors but shows one box per run. A dead or stalled line thus never chains boxes.
//
// The sequence and the array run as loops inside their click handlers and pump pending events once per
// byte, so anything can happen in between: Stop, a disconnect, a connect, another start, the window
// closing or even being destroyed. After every pump a loop therefore checks, in this order, that the
// window still exists, that it is not closing, and that no newer start has taken the page over (a
// superseded loop leaves the page to the newer run and touches nothing).
#include "Unit1.h"

#include "HexKit.h"
#include "ui_Unit1.h"

#include <QCoreApplication>
#include <QPointer>
#include <QTimer>

namespace {

constexpr int kArrayLimit = 100000;

QString hexByte(std::uint8_t b) {
    return IntToHexPadded(b, 2);
}

} // namespace

// ---- common parts of the four starts ----

namespace {

// The box of this page. Once the window is closing no box appears: it would hold the process open
// behind a window that is already gone.
void pageBox(TForm1& form, const QString& text) {
    if (!form.Closing())
        form.ShowAttention(text);
}

// Steps 1 and 2 of every start: the output queue size and a flush of both queues.
bool startFlush(TForm1& form) {
    form.CPDrv->setOutBufSize(2048);
    if (!form.CPDrv->FlushQueues(true, true)) {
        pageBox(form, TForm1::tr("Входной и выходной буфера не сбрасываются."));
        return false;
    }
    return true;
}

// Steps 4 to 6: the page enters the mode. Returns the serial number of this start.
std::uint32_t enterMode(TForm1& form, TWorkMode mode, const QString& title) {
    form.SetStartButtons(false);
    form.ui->lbTestN->setText(title);
    form.WorkMode = mode;
    return ++form.RunSerial;
}

// After a pump: may the loop of start `serial` go on touching the window?
bool stillOurs(const QPointer<TForm1>& self, std::uint32_t serial) {
    return self && !self->Closing() && self->RunSerial == serial;
}

} // namespace

// ---- loopback test ----

void TForm1::btTestClick(QObject*) {
    if (!startFlush(*this))
        return;
    enterMode(*this, mdTest, tr(" Тест "));
    TestCode = 255;
    TestCycles = 0;
    TestErrors = 0;
    TestFailureShown = false;
    ui->lbIn->setText(QString());
    CPDrv->FlushQueues(true, true);
    TestStep();
}

bool TForm1::TestStep() {
    TestCode = static_cast<std::uint8_t>(TestCode + 1);
    const QString text = hexByte(TestCode);
    ui->lbOut->setText(text);
    if (ui->cbOutLog->isChecked())
        ui->mmOut->appendPlainText(text);
    if (TestCode == 0) {
        ++TestCycles;
        ui->lbCikl->setText(QString::number(TestCycles));
    }
    QPointer<TForm1> self(this);
    const bool sent = SendCode(TestCode, false);
    if (!sent && !TestFailureShown) {
        // Marked before the box: steps run inside its event loop stay quiet.
        TestFailureShown = true;
        ReportSendFailure();
    }
    // A box runs its own event loop; the window may be gone or closing afterwards.
    if (!self || Closing())
        return false;
    // Armed after the send, so the second counts from when the box was closed.
    EnableTimer(trTest, true);
    return sent;
}

bool TForm1::TestOnByte(std::uint8_t b) {
    const QString text = hexByte(b);
    if (ui->cbInLog->isChecked())
        ui->mmIn->appendPlainText(text);
    ui->lbIn->setText(text);
    if (b != TestCode) {
        ++TestErrors;
        ui->lbErr->setText(QString::number(TestErrors));
    }
    // Stopped first, so the step starts a fresh interval.
    EnableTimer(trTest, false);
    return TestStep();
}

void TForm1::trTestTimer(QObject*) {
    EnableTimer(trTest, false);
    if (Closing())
        return;
    ++TestErrors;
    ui->lbErr->setText(QString::number(TestErrors));
    TestStep();
}

// ---- echo stub ----

void TForm1::btZagClick(QObject*) {
    if (!startFlush(*this))
        return;
    enterMode(*this, mdStub, tr(" Заглушка "));
}

bool TForm1::StubOnByte(std::uint8_t b) {
    if (ui->cbZag->isChecked())
        ui->mmZag->appendPlainText(hexByte(b));
    if (SendCode(b, false))
        return true;
    // The stub ends at its first failed echo and stays so until Stop; nothing received meanwhile, in
    // the box's event loop included, is echoed.
    WorkMode = mdIdle;
    ReportSendFailure();
    return false;
}

// ---- sequence ----

void TForm1::btPosClick(QObject*) {
    if (!startFlush(*this))
        return;
    const std::uint32_t serial = enterMode(*this, mdSequence, tr("Последовательность. "));
    const std::int32_t value = HexToInt(ui->edPos->text());
    const auto code = static_cast<std::uint8_t>(value & 0xFF);
    ui->lbPos->setText(hexByte(code) + QStringLiteral("H"));
    LoopRunning = true;

    QPointer<TForm1> self(this);
    while (LoopRunning) {
        if (!CPDrv->IsOpen()) {
            pageBox(*this, tr("COM-порт не подсоединен!."));
            return;
        }
        const bool sent = SendCode(code);
        if (!sent || !stillOurs(self, serial))
            return;
        if (!CPDrv->FlushQueues(true, false)) {
            pageBox(*this, tr("Входной буфер не сбрасывается."));
            return;
        }
        QCoreApplication::processEvents();
        if (!stillOurs(self, serial))
            return;
    }
}

// ---- array ----

void TForm1::btMassStartClick(QObject*) {
    if (!startFlush(*this))
        return;

    // The size: empty, zero or above the limit is refused; a negative size sends a single byte.
    const QString text = ui->edMass->text();
    if (text.isEmpty()) {
        pageBox(*this, tr("Размер массива не задан или слишком велик."));
        return;
    }
    const auto size = ConvertInteger(text);
    if (!size)
        return;
    if (*size == 0 || *size > kArrayLimit) {
        pageBox(*this, tr("Размер массива не задан или слишком велик."));
        return;
    }

    const std::uint32_t serial = enterMode(*this, mdArray, tr(" Массив "));
    ArrayCode = 0;
    ArrayIndex = 1;
    ArraySum = 0;
    ArraySize = *size;
    ArrayRunning = true;
    LoopRunning = true;

    QPointer<TForm1> self(this);
    while (LoopRunning && ArrayRunning) {
        if (!CPDrv->IsOpen()) {
            pageBox(*this, tr("COM-порт не подсоединен!."));
            return;
        }
        const bool sent = ArrayStep();
        // ArrayStep pumps events last; a newer start now owns the page and its input queue.
        if (!sent || !stillOurs(self, serial))
            return;
        if (!CPDrv->FlushQueues(true, false)) {
            pageBox(*this, tr("Входной буфер не сбрасывается."));
            return;
        }
    }

    // All bytes sent, or Stop: back to idle; WorkMode stays as it is.
    SetStartButtons(true);
    ui->lbTestN->setText(QStringLiteral("  "));
    LoopRunning = false;
}

bool TForm1::ArrayStep() {
    const std::uint8_t code = ArrayCode;
    const std::uint32_t serial = RunSerial;
    QPointer<TForm1> self(this);
    const bool sent = SendCode(code);
    // A box of SendCode pumps events too: afterwards the run may be over or the window gone. A byte
    // that did not go is not shown: the displays keep the last one that did.
    if (!sent || !stillOurs(self, serial))
        return false;
    ui->edMassC->setText(hexByte(code));
    ui->edMassN->setText(QString::number(ArrayIndex));
    // 8-bit addition with end-around carry: once non-zero the sum never returns to 0.
    ArraySum += code;
    if (ArraySum > 255)
        ArraySum -= 255;
    ui->edMassS->setText(QString::number(ArraySum));
    ArrayCode = static_cast<std::uint8_t>(code + 1);
    ++ArrayIndex;
    if (ArrayIndex > ArraySize)
        ArrayRunning = false;
    QCoreApplication::processEvents();
    return true;
}

// ---- stop, clear buttons, key filters ----

void TForm1::btStopClick(QObject*) {
    SetStartButtons(true);
    ui->lbTestN->setText(QStringLiteral("  "));
    WorkMode = mdIdle;
    LoopRunning = false;
    EnableTimer(trTest, false);
}

void TForm1::btTestClrClick(QObject*) {
    TestErrors = 0;
    TestCycles = 0;
    ui->lbIn->setText(QString());
    ui->lbOut->setText(QString());
    ui->lbCikl->setText(QStringLiteral("0"));
    ui->lbErr->setText(QStringLiteral("0"));
}

void TForm1::btOutClrClick(QObject*) {
    ui->mmOut->clear();
}

void TForm1::btInClrClick(QObject*) {
    ui->mmIn->clear();
}

void TForm1::btmmZagClrClick(QObject*) {
    ui->mmZag->clear();
}

void TForm1::btMassClrClick(QObject*) {
    ui->edMassC->setText(QString());
    ui->edMassN->setText(QString());
    ui->edMassS->setText(QString());
}

void TForm1::edPosKeyPress(QObject*, char& Key) {
    Key = HexKit1->HexKeyFilter(Key, false);
}

void TForm1::edMassKeyPress(QObject*, char& Key) {
    Key = HexKit1->DigitKeyFilter(Key, false);
}
