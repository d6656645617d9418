// SPDX-License-Identifier: GPL-3.0-or-later
// Time stamps in the exchange log: off by default; when on, the time data came shows in a gutter
// beside each row where a line starts or where data came after a pause, the text's columns stay as
// they were, and a save writes each stamp before its line.
#include "ExchangeLog.h"
#include "FileDialog.h"
#include "MessageBox.h"
#include "SettingsStore.h"
#include "TimeStamps.h"
#include "Unit1.h"
#include "exchange_window.h"
#include "platform/fake_comm.h"
#include "platform/window.h"
#include "ui_Unit1.h"

#include <QAction>
#include <QDateTime>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>
#include <utility>
#include <vector>

namespace {

using Kind = platform::ReceiveEventKind;

class TimeStampsTest : public ExchangeWindowTest {
protected:
    QAction* action() { return form->timeStamps->action(); }
    std::vector<std::pair<qint64, qint64>> stamps() {
        std::vector<std::pair<qint64, qint64>> out;
        for (std::size_t i = 0; i < log()->marks().size(); ++i)
            if (log()->marks()[i].style == LogMarks::Style::Time)
                out.emplace_back(log()->marks()[i].pos, log()->marks()[i].time);
        return out;
    }
    QString saved() {
        const QString path = dir.filePath(QStringLiteral("log.txt"));
        filedlg::FileDialogStub dialog({path});
        form->acSaveLog->trigger();
        return QString::fromUtf8(file(path));
    }
    static QString at(qint64 ms) { return ExchangeLog::stampText(ms) + QLatin1Char(' '); }
};

TEST_F(TimeStampsTest, StampsShowBesideLineStartsAndPausesWithoutMovingColumns) {
    // Off by default, offered in the log's menu; while off, nothing is stamped.
    std::unique_ptr<QMenu> menu(log()->createStandardContextMenu());
    ASSERT_TRUE(menu->actions().contains(action()));
    EXPECT_EQ(action()->text(), QStringLiteral("Метки времени"));
    EXPECT_TRUE(action()->isCheckable());
    EXPECT_FALSE(action()->isChecked());
    const QString recording = dir.filePath(QStringLiteral("rx.bin"));
    {
        filedlg::FileDialogStub dialog({recording});
        form->acRecord->trigger();
        ASSERT_TRUE(form->Recording());
    }
    const qint64 t0 = 1'700'000'000'000;
    comm.pushEvent(Kind::Arrival, 0, t0);
    comm.pushInput("xy");
    tick();
    EXPECT_TRUE(stamps().empty());
    const QRect off = log()->characterRect(1);

    // On: the text moves right by the gutter, every column alike.
    action()->trigger();
    log()->flushView();
    const QRect on = log()->characterRect(1);
    const int cell = on.x() - log()->characterRect(0).x();
    EXPECT_EQ(on.x() - off.x(), 13 * cell);
    EXPECT_EQ(on.y(), off.y());
    EXPECT_EQ(log()->positionAt(on.center()), 1);

    const qint64 t1 = t0 + 1234, t2 = t1 + 5000, t3 = t2 + 700;
    comm.pushEvent(Kind::Arrival, 0, t1); // a pause on a row with no stamp yet, then a new line
    comm.pushInput("z\r\nw");
    tick();
    comm.pushInput("v\r\n"); // a steady stream: the next line is stamped when its first character comes
    tick();
    comm.pushEvent(Kind::Arrival, 0, t2);
    comm.pushInput("q");
    tick();
    const qint64 before = QDateTime::currentMSecsSinceEpoch();
    comm.pushInput("\r\nk"); // no pause before: the time it is shown
    tick();
    const qint64 after = QDateTime::currentMSecsSinceEpoch();
    comm.pushEvent(Kind::Arrival, 0, t3); // a pause within a stamped row keeps its stamp
    comm.pushInput("m");
    tick();

    EXPECT_EQ(log()->text(), QStringLiteral("xyz\nwv\nq\nkm"));
    const auto got = stamps();
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0], std::make_pair(qint64(2), t1));
    EXPECT_EQ(got[1], std::make_pair(qint64(4), t1));
    EXPECT_EQ(got[2], std::make_pair(qint64(7), t2));
    EXPECT_EQ(got[3].first, 9);
    EXPECT_GE(got[3].second, before);
    EXPECT_LE(got[3].second, after);

    // Read and saved as the screen shows them: each before its line.
    EXPECT_EQ(log()->textWithMarks(4, 6), at(t1) + QStringLiteral("wv"));
    EXPECT_EQ(saved(), at(t1) + QStringLiteral("xyz\n") + at(t1) + QStringLiteral("wv\n") + at(t2) +
                           QStringLiteral("q\n") + at(got[3].second) + QStringLiteral("km"));
    // No error to count, no gap in the recording.
    EXPECT_FALSE(form->findChild<QLabel*>(QStringLiteral("lbErrors"))->isVisible());
    form->StopRecording();
    EXPECT_FALSE(QFile::exists(recording + QStringLiteral(".gaps")));

    // Off again: the columns come back, reads and saves give the text alone, new data gets no stamp.
    action()->trigger();
    log()->flushView();
    EXPECT_EQ(log()->characterRect(1), off);
    EXPECT_EQ(saved(), QStringLiteral("xyz\nwv\nq\nkm"));
    comm.pushEvent(Kind::Arrival, 0, t3 + 1000);
    comm.pushInput("\r\nn");
    tick();
    EXPECT_EQ(stamps().size(), 4u);
    EXPECT_TRUE(boxes.boxes().empty());
}

// The choice is kept between runs.
TEST_F(TimeStampsTest, TheChoiceIsKeptInTheSettings) {
    const QString path = dir.filePath(QStringLiteral("comlab.conf"));
    action()->setChecked(true);
    ASSERT_TRUE(SettingsStore(form.get(), path).save());
    TForm1 next;
    EXPECT_FALSE(next.timeStamps->action()->isChecked());
    SettingsStore(&next, path).load();
    EXPECT_TRUE(next.timeStamps->action()->isChecked());
    EXPECT_TRUE(next.ui->mmCOMin->timeGutter());
}

} // namespace
