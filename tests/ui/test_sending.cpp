// SPDX-License-Identifier: GPL-3.0-or-later
// Sending beyond a typed line, on the fake device: Enter, the history and the line end of the send
// line; a file streamed with its progress, held by flow control, paced, cancelled or cut off by the
// port; the break of the modem-line page.
#include "BreakControl.h"
#include "ExchangeLog.h"
#include "FileDialog.h"
#include "FileSendPanel.h"
#include "MessageBox.h"
#include "SendLine.h"
#include "Unit1.h"
#include "platform/fake_comm.h"
#include "ui_Unit1.h"

#include <QAction>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

#include <algorithm>

#include <functional>
#include <memory>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
using platform::FakeOp;

QString u(const char* s) {
    return QString::fromUtf8(s);
}

Bytes bytesOf(const QByteArray& a) {
    return Bytes(a.begin(), a.end());
}

class Sending : public ::testing::Test {
protected:
    void SetUp() override {
        comm.addDevice("\\\\.\\COM1");
        form = std::make_unique<TForm1>();
        form->show();
    }

    Ui::Form1& ui() { return *form->ui; }

    void connectPort() {
        form->btCOMonClick(ui().btCOMon);
        ASSERT_TRUE(form->CPDrv->IsOpen());
        comm.clearOutput();
        comm.clearCalls();
        boxes.clear();
    }

    QString writeFile(const char* name, const QByteArray& data) {
        const QString path = dir.filePath(QString::fromLatin1(name));
        QFile f(path);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(data);
        return path;
    }

    // Sends through the action and the file dialog, as a user would.
    void sendFile(const QString& path) {
        filedlg::FileDialogStub dialog({path});
        form->fileSend->acSendFile->trigger();
    }

    FileSender& sender() { return *form->fileSend->sender; }
    bool waitEnd() {
        return QTest::qWaitFor([&] { return !sender().running(); }, 20000);
    }
    QStringList logLines() { return ui().mmCOMin->text().split(QLatin1Char('\n'), Qt::SkipEmptyParts); }

    std::vector<DWORD> writeSizes() const {
        std::vector<DWORD> out;
        for (const auto& c : comm.callsOf(FakeOp::WriteFile))
            if (c.done > 0)
                out.push_back(c.done);
        return out;
    }

    platform::FakeComm comm;
    platform::ScopedCommDevice device{comm};
    msgbox::MessageBoxRecorder boxes;
    QTemporaryDir dir;
    std::unique_ptr<TForm1> form;
};

TEST_F(Sending, EnterPressesSendInBothFormsUnlessATestHoldsTheLine) {
    connectPort();
    struct Case {
        bool hex;
        const char* typed;
        Qt::Key key;
        Qt::KeyboardModifiers mods;
        Bytes sent;
    };
    const Case cases[] = {
        {false, "AB", Qt::Key_Return, Qt::NoModifier, {0x41, 0x42}},
        {true, "41 42", Qt::Key_Return, Qt::NoModifier, {0x41, 0x42}}, // the hex filter used to eat it
        {false, "C", Qt::Key_Enter, Qt::KeypadModifier, {0x43}},
    };
    ui().edCOMout->setFocus();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed);
        comm.clearOutput();
        ui().rbOutHex->setChecked(c.hex);
        ui().rbOutSym->setChecked(!c.hex);
        ui().edCOMout->clear();
        QTest::keyClicks(ui().edCOMout, u(c.typed));
        QTest::keyClick(ui().edCOMout, c.key, c.mods);
        EXPECT_EQ(comm.output(), c.sent);
        EXPECT_EQ(ui().edCOMout->text(), u(c.typed)); // the line stays, as after a click
    }
    form->btZagClick(ui().btZag); // the echo stub: "Передать" is disabled
    comm.clearOutput();
    QTest::keyClick(ui().edCOMout, Qt::Key_Return);
    EXPECT_TRUE(comm.output().empty());
    EXPECT_TRUE(boxes.boxes().empty());
}

TEST_F(Sending, TheChosenLineEndFollowsTheLinesBytes) {
    connectPort();
    struct Case {
        int lineEnd;
        bool hex;
        const char* line;
        Bytes sent;
        const char* echo;
    };
    const Case cases[] = {
        {SendLine::None, false, "AB", {0x41, 0x42}, "> AB < "},
        {SendLine::Cr, false, "AB", {0x41, 0x42, 0x0D}, "> AB\\0D < "},
        {SendLine::Lf, false, "AB", {0x41, 0x42, 0x0A}, "> AB\\0A < "},
        {SendLine::CrLf, false, "A\\0D", {0x41, 0x0D, 0x0D, 0x0A}, "> A\r\\0D\\0A < "},
        {SendLine::CrLf, true, "41", {0x41, 0x0D, 0x0A}, "> 41 0D 0A  < "},
        {SendLine::Cr, true, "   ", {0x0D}, "> 0D  < "},
    };
    ASSERT_EQ(form->sendLine->lineEndBox()->count(), 4);
    EXPECT_EQ(form->sendLine->lineEnd(), SendLine::None); // as designed: nothing added
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        form->sendLine->setLineEnd(c.lineEnd);
        ui().rbOutHex->setChecked(c.hex);
        ui().rbOutSym->setChecked(!c.hex);
        ui().edCOMout->setText(u(c.line));
        ui().mmCOMin->clearLog();
        comm.clearOutput();
        form->btOutCOMClick(ui().btOutCOM);
        EXPECT_EQ(comm.output(), c.sent);
        EXPECT_EQ(ui().mmCOMin->text(), u(c.echo).replace(u("\r"), u("\n")) + u("\n"));
    }
    EXPECT_FALSE(form->sendLine->lineEndBox()->accessibleName().isEmpty());
}

TEST_F(Sending, UpAndDownWalkTheLastHundredLinesSent) {
    for (const char* line : {"one", "two", "two", "three"}) {
        ui().edCOMout->setText(u(line));
        form->btOutCOMClick(ui().btOutCOM); // the port is closed: sent or not, the line is kept
    }
    ui().edCOMout->setFocus();
    ui().edCOMout->setText(u("draft"));
    struct Step {
        Qt::Key key;
        const char* shown;
    };
    const Step walk[] = {{Qt::Key_Up, "three"},   {Qt::Key_Up, "two"},    {Qt::Key_Up, "one"},
                         {Qt::Key_Up, "one"},     {Qt::Key_Down, "two"},  {Qt::Key_Down, "three"},
                         {Qt::Key_Down, "draft"}, {Qt::Key_Down, "draft"}};
    for (const Step& s : walk) {
        QTest::keyClick(ui().edCOMout, s.key);
        EXPECT_EQ(ui().edCOMout->text(), u(s.shown));
    }
    SendHistory& history = form->sendLine->history();
    for (int i = 0; i < 150; ++i)
        history.add(QString::number(i));
    history.add(QString(5000, u'x')); // sent, but too long to keep
    ASSERT_EQ(history.entries().size(), SendHistory::kLimit);
    EXPECT_EQ(history.entries().front(), u("50"));
    EXPECT_EQ(history.entries().back(), u("149"));
}

TEST_F(Sending, AFileGoesWholeWithItsProgressAndANoteInTheLog) {
    connectPort();
    EXPECT_TRUE(form->fileSend->btSendFile->isVisible());
    // The log's menu offers it too, beside saving and recording.
    std::unique_ptr<QMenu> menu(ui().mmCOMin->createStandardContextMenu());
    EXPECT_TRUE(menu->actions().contains(form->fileSend->acSendFile));

    QByteArray data(300 * 1024, '\0');
    QRandomGenerator(7).fillRange(reinterpret_cast<quint32*>(data.data()), data.size() / 4);
    const QString path = writeFile("data.bin", data);
    sendFile(path);
    ASSERT_TRUE(sender().running());
    EXPECT_TRUE(form->fileSend->plFileSend->isVisible());
    EXPECT_FALSE(form->fileSend->acSendFile->isEnabled()); // one file at a time
    EXPECT_EQ(form->WorkMode, mdExchange);
    ASSERT_TRUE(waitEnd());
    EXPECT_EQ(comm.output(), bytesOf(data));
    EXPECT_FALSE(form->fileSend->plFileSend->isVisible());
    EXPECT_TRUE(form->fileSend->acSendFile->isEnabled());
    EXPECT_EQ(logLines(), QStringList({u("> Передача файла \"data.bin\", 307200 байт < "),
                                       u("> Файл \"data.bin\" передан: 307200 байт < ")}));
    EXPECT_TRUE(boxes.boxes().empty());
}

TEST_F(Sending, AHundredMegabyteFileIsStreamedNotLoaded) {
    connectPort();
    comm.setOutputCapacity(4096);
    QFile big(dir.filePath(QStringLiteral("big.bin")));
    ASSERT_TRUE(big.open(QIODevice::WriteOnly) && big.resize(100 * 1024 * 1024)); // sparse: no disk used
    big.close();
    sendFile(big.fileName());
    qint64 most = 0;
    for (int i = 0; i < 20; ++i) {
        comm.transmit(100000);
        QTest::qWait(FileSender::kTickMs);
        most = std::max(most, sender().buffered());
    }
    EXPECT_GT(sender().handed(), 20000);
    EXPECT_LE(most, 128 * 1024);
    EXPECT_EQ(sender().size(), 100 * 1024 * 1024);
    form->fileSend->btFileSendCancel->click();
}

TEST_F(Sending, AFlowControlHoldIsWaitedOutAndShown) {
    connectPort();
    comm.setOutputCapacity(4096); // nothing leaves until the test transmits
    const QByteArray data(10000, 'z');
    sendFile(writeFile("held.txt", data));
    ASSERT_TRUE(QTest::qWaitFor([&] { return sender().held(); }, 10000));
    EXPECT_TRUE(sender().running());
    EXPECT_TRUE(form->fileSend->lbFileSend->text().startsWith(u("ожидание: управление потоком")))
        << form->fileSend->lbFileSend->text().toStdString();
    EXPECT_LT(comm.output().size(), data.size());
    // The line runs again: it all goes.
    while (sender().running()) {
        comm.transmit(1000);
        QTest::qWait(FileSender::kTickMs);
    }
    EXPECT_EQ(comm.output(), bytesOf(data));
    EXPECT_EQ(logLines().last(), u("> Файл \"held.txt\" передан: 10000 байт < "));
}

TEST_F(Sending, ASendEndsCleanlyByCancelPortOrWindow) {
    struct Case {
        const char* name;
        std::function<void(TForm1&)> end;
        const char* logged; // in the log's last line
    };
    const Case cases[] = {
        {"cancel", [](TForm1& f) { f.fileSend->btFileSendCancel->click(); },
         "отменена: передано 0 из 10000 байт < "},
        {"port closed", [](TForm1& f) { f.btCOMoffClick(f.ui->btCOMoff); },
         "прервана: порт закрыт, передано 2048 из 10000 байт < "},
        {"window closed", [](TForm1& f) { f.close(); }, "отменена: передано 0 из 10000 байт < "},
        // The stub empties the queues as it starts: what was queued is gone either way.
        {"a test takes the line", [](TForm1& f) { f.btZagClick(f.ui->btZag); }, "отменена: передано "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        form = std::make_unique<TForm1>();
        form->show();
        connectPort();
        comm.setOutputCapacity(4096);
        sendFile(writeFile("cut.bin", QByteArray(10000, 'c')));
        ASSERT_TRUE(QTest::qWaitFor([&] { return comm.outputQueued() == 2048; }, 10000));
        c.end(*form);
        EXPECT_FALSE(sender().running());
        EXPECT_FALSE(form->fileSend->plFileSend->isVisible());
        EXPECT_TRUE(logLines().last().contains(u(c.logged))) << logLines().last().toStdString();
        // What waited in the queue does not go out when the hold lifts.
        if (QLatin1String(c.name) != QLatin1String("port closed")) {
            EXPECT_EQ(comm.outputQueued(), 0u);
        }
        QTest::qWait(3 * FileSender::kTickMs);
        EXPECT_EQ(comm.output().size(), 2048u);
        if (form->CPDrv->IsOpen())
            form->btCOMoffClick(ui().btCOMoff);
        comm.setOutputCapacity(std::nullopt);
    }
    EXPECT_TRUE(boxes.boxes().empty());
}

TEST_F(Sending, APauseFollowsEachLineOrByteOnceItLeft) {
    connectPort();
    struct Case {
        int pacing; // the index of the button's menu
        std::vector<DWORD> writes;
    };
    const QByteArray data("ab\ncd\r\nef\rg");
    const Case cases[] = {
        {0, {11}},
        {1, {3, 4, 3, 1}},                      // after each line, whatever its end
        {4, {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}}, // after each byte
    };
    const QString path = writeFile("lines.txt", data);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pacing);
        form->fileSend->pacingActions[c.pacing]->trigger();
        EXPECT_EQ(form->fileSend->pacingIndex(), c.pacing);
        comm.clearCalls();
        comm.clearOutput();
        sendFile(path);
        ASSERT_TRUE(waitEnd());
        EXPECT_EQ(comm.output(), bytesOf(data));
        EXPECT_EQ(writeSizes(), c.writes);
    }
}

TEST_F(Sending, AFileThatCannotBeReadSaysWhy) {
    connectPort();
    struct Case {
        const char* name;
        QString path;
    } cases[] = {{"missing", dir.filePath("none.bin")},
                 {"a folder", dir.path()},
                 {"a device, which might never end", QStringLiteral("/dev/zero")}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        boxes.clear();
        sendFile(c.path);
        EXPECT_FALSE(sender().running());
        ASSERT_EQ(boxes.boxes().size(), 1u);
        EXPECT_EQ(boxes.boxes()[0].caption, u("Ошибка чтения"));
        EXPECT_TRUE(boxes.boxes()[0].text.contains(c.path));
    }
    EXPECT_TRUE(comm.output().empty());
}

TEST_F(Sending, BreakHoldsTheLineWithoutHoldingTheWindow) {
    QPushButton* button = form->lineBreak->btBreak;
    ui().tnMain->setCurrentIndex(2);
    EXPECT_TRUE(button->isVisible());
    EXPECT_FALSE(button->isEnabled()); // closed
    connectPort();
    ASSERT_TRUE(button->isEnabled());
    const auto escapes = [&] {
        std::vector<DWORD> out;
        for (const auto& c : comm.callsOf(FakeOp::EscapeCommFunction))
            out.push_back(c.func);
        return out;
    };
    button->click();
    EXPECT_EQ(escapes(), std::vector<DWORD>{SETBREAK});
    EXPECT_FALSE(button->isEnabled()); // until the break ends
    ASSERT_TRUE(QTest::qWaitFor([&] { return button->isEnabled(); }, 10000));
    EXPECT_EQ(escapes(), (std::vector<DWORD>{SETBREAK, CLRBREAK}));

    // A device that refuses it says so.
    comm.setFailure(FakeOp::EscapeCommFunction);
    button->click();
    ASSERT_EQ(boxes.boxes().size(), 1u);
    EXPECT_TRUE(button->isEnabled());
}

} // namespace
