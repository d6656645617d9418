// SPDX-License-Identifier: GPL-3.0-or-later
// Lost data and line errors, shown where the data is: a mark in the exchange log at the gap, a line in
// the recording's list of gaps, a count on the status strip with the kinds in its tooltip.
#include "ExchangeLog.h"
#include "FileDialog.h"
#include "MessageBox.h"
#include "Unit1.h"
#include "exchange_window.h"
#include "platform/fake_comm.h"
#include "platform/window.h"
#include "ui_Unit1.h"

#include <QAction>
#include <QFile>
#include <QLabel>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

namespace {

using Kind = platform::ReceiveEventKind;

QString u(const char* s) {
    return QString::fromUtf8(s);
}

class ReceiveProblemsTest : public ExchangeWindowTest {
protected:
    QLabel* strip() { return form->findChild<QLabel*>(QStringLiteral("lbErrors")); }
};

// A full input queue drops 1 234 567 bytes between "abc" and "def": the log reads "abc", a mark, "def"
// (the mark is no received text: copy gives the data alone, a save writes what the screen shows); the
// recording keeps the bytes raw and lists the gap at its offset; the strip counts it until the next
// connect.
TEST_F(ReceiveProblemsTest, ALossIsShownAtTheGapInTheLogTheRecordingAndTheStrip) {
    const QString recording = dir.filePath("rx.bin");
    {
        filedlg::FileDialogStub dialog({recording});
        form->acRecord->trigger();
        ASSERT_TRUE(form->Recording());
    }
    EXPECT_FALSE(strip()->isVisible());
    comm.pushInput("abc");
    comm.pushEvent(Kind::QueueOverflow, 1234567);
    comm.pushInput("def");
    tick();

    const QString mark = u("⟨1 234 567 байт потеряно: входная очередь полна⟩");
    EXPECT_EQ(log()->text(), u("abcdef"));
    ASSERT_EQ(log()->marks().size(), 1u);
    EXPECT_EQ(log()->marks()[0].pos, 3);
    EXPECT_EQ(log()->marks()[0].style, LogMarks::Style::Problem);
    EXPECT_EQ(log()->textWithMarks(0, 6), u("abc") + mark + u("def"));
    log()->selectAll();
    EXPECT_EQ(log()->selectedText(), u("abcdef"));

    EXPECT_EQ(file(recording), QByteArray("abcdef"));
    EXPECT_EQ(file(recording + u(".gaps")).split('\n').mid(1),
              QList<QByteArray>({"3\t1234567\tinput-queue-full", ""}));

    EXPECT_TRUE(strip()->isVisible());
    EXPECT_EQ(strip()->text(), u("Ошибок приёма: 1"));
    EXPECT_TRUE(strip()->toolTip().contains(u("потеряно 1 234 567 байт")))
        << strip()->toolTip().toStdString();

    const QString saved = dir.filePath("log.txt");
    {
        filedlg::FileDialogStub dialog({saved});
        form->acSaveLog->trigger();
    }
    EXPECT_EQ(QString::fromUtf8(file(saved)), u("abc") + mark + u("def"));

    // An edit before the mark moves it with the text; one across it takes it away.
    log()->setCursorPosition(0);
    log()->insertText(u(">>"));
    EXPECT_EQ(log()->marks()[0].pos, 5);
    log()->removeText(4, 6);
    EXPECT_TRUE(log()->marks().isEmpty());

    form->btCOMoffClick(form->ui->btCOMoff);
    form->btCOMonClick(form->ui->btCOMon);
    EXPECT_FALSE(strip()->isVisible());
    EXPECT_TRUE(boxes.boxes().empty());
}

// Every kind of line error the device reports: its own mark where the data is, counted by kind on the
// strip. Outside exchange mode the log shows no data, so no mark; the strip counts all the same. A
// hang-up is marked last, and is no error of the data: the port is lost.
TEST_F(ReceiveProblemsTest, EveryKindOfLineErrorIsMarkedAndCounted) {
    struct Case {
        Kind kind;
        std::uint64_t count;
        const char* mark;
        const char* tip; // the strip's tooltip line
    };
    const Case cases[] = {
        {Kind::Framing, 1, "⟨ошибка кадра⟩", "ошибки кадра: 1"},
        {Kind::Parity, 3, "⟨ошибка чётности ×3⟩", "ошибки чётности: 3"},
        {Kind::Break, 1, "⟨разрыв линии (break)⟩", "разрывы линии (break): 1"},
        {Kind::Overrun, 2, "⟨переполнение приёмника: байты потеряны ×2⟩", "переполнение приёмника: 2"},
    };
    std::uint64_t errors = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mark);
        log()->clearLog();
        comm.pushInput("1");
        comm.pushEvent(c.kind, c.count);
        comm.pushInput("2");
        tick();
        ASSERT_EQ(log()->marks().size(), 1u);
        EXPECT_EQ(log()->textWithMarks(0, 2), u("1") + u(c.mark) + u("2"));
        EXPECT_EQ(log()->marks()[0].style, LogMarks::Style::Problem);
        errors += c.count;
        EXPECT_TRUE(strip()->toolTip().contains(u(c.tip))) << strip()->toolTip().toStdString();
        EXPECT_EQ(strip()->text(), u("Ошибок приёма: %1").arg(errors));
    }

    form->btZagClick(form->ui->btZag); // the echo stub: the data goes back, not into the log
    log()->clearLog();
    comm.pushInput("3");
    comm.pushEvent(Kind::Framing, 1);
    comm.pushInput("4");
    tick();
    EXPECT_TRUE(log()->marks().isEmpty());
    EXPECT_EQ(strip()->text(), u("Ошибок приёма: %1").arg(errors + 1));

    form->btOutCOMClick(form->ui->btOutCOM); // back to the exchange
    log()->clearLog();
    comm.pushInput("5");
    comm.pushEvent(Kind::HangUp, EIO);
    tick();
    EXPECT_EQ(log()->textWithMarks(0, 1),
              u("5⟨устройство отключилось: %1⟩").arg(QString::fromLocal8Bit(std::strerror(EIO))));
    EXPECT_EQ(log()->marks()[0].style, LogMarks::Style::Note);
    EXPECT_EQ(strip()->text(), u("Ошибок приёма: %1").arg(errors + 1));
    EXPECT_FALSE(form->CPDrv->IsOpen());
}

} // namespace
