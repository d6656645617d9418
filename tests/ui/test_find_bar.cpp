// SPDX-License-Identifier: GPL-3.0-or-later
// Search in the exchange log through the window: Ctrl+F opens the find bar under the log; next,
// previous, match case and hex codes select the match; the other matches are highlighted.
#include "ExchangeLog.h"
#include "LogFindBar.h"
#include "Unit1.h"
#include "platform/fake_comm.h"
#include "ui_Unit1.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <utility>
#include <vector>

namespace {

TEST(FindBar, CtrlFFindsTextAndHexCodesInTheLog) {
    platform::FakeComm comm;
    platform::ScopedCommDevice device{comm};
    TForm1 form;
    Ui::Form1& ui = *form.ui;
    form.show();
    ExchangeLog* log = ui.mmCOMin;
    LogFindBar* bar = form.fbCOMin;
    ASSERT_NE(bar, nullptr);
    EXPECT_FALSE(bar->isVisible());
    log->setText("one two one\nTWO");
    log->setFocus();
    QApplication::processEvents();

    // The log's menu offers it too.
    std::unique_ptr<QMenu> menu(log->createStandardContextMenu());
    const QList<QAction*> items = menu->actions();
    EXPECT_TRUE(std::any_of(items.begin(), items.end(),
                            [](const QAction* a) { return a->objectName() == "acFind"; }));
    QTest::keyClick(log, Qt::Key_F, Qt::ControlModifier);
    ASSERT_TRUE(bar->isVisible());
    EXPECT_TRUE(bar->queryEdit()->hasFocus());

    auto selection = [&] { return std::make_pair(log->selectionStart(), log->selectionEnd()); };
    auto awaitSelection = [&](qint64 from, qint64 to) {
        return QTest::qWaitFor([&] { return selection() == std::make_pair(from, to); }, 5000);
    };
    struct Step {
        const char* name;
        std::vector<std::pair<Qt::Key, Qt::KeyboardModifiers>> keys;
        QString typed;
        qint64 from, to;
    };
    const std::vector<Step> steps = {
        {"typed", {}, "two", 4, 7},
        {"enter: the next, any case", {{Qt::Key_Return, {}}}, "", 12, 15},
        {"shift+enter: the previous", {{Qt::Key_Return, Qt::ShiftModifier}}, "", 4, 7},
        {"enter again, round the end", {{Qt::Key_Return, {}}, {Qt::Key_Return, {}}}, "", 4, 7},
    };
    for (const Step& s : steps) {
        QTest::keyClicks(bar->queryEdit(), s.typed);
        for (const auto& [key, mods] : s.keys) {
            QTest::keyClick(bar->queryEdit(), key, mods);
            QApplication::processEvents();
        }
        EXPECT_TRUE(awaitSelection(s.from, s.to)) << s.name;
    }
    bar->matchCaseBox()->setChecked(true);
    bar->findNext();
    EXPECT_TRUE(awaitSelection(4, 7)) << "with case matched, TWO is no match";

    // The other match of "one" is highlighted while the bar is open.
    bar->queryEdit()->setText("one");
    EXPECT_TRUE(awaitSelection(8, 11)) << "from where the last match stood";
    QApplication::processEvents();
    const QRect other = log->characterRect(0);
    const QImage marked = log->viewport()->grab().toImage().copy(other);
    QTest::keyClick(bar->queryEdit(), Qt::Key_Escape);
    EXPECT_FALSE(bar->isVisible());
    EXPECT_TRUE(log->hasFocus());
    QApplication::processEvents();
    EXPECT_NE(log->viewport()->grab().toImage().copy(other), marked);

    // Hex: the window tells the bar when the log shows hex.
    EXPECT_FALSE(bar->hexBox()->isEnabled());
    ui.rbCOMinHex->setChecked(true);
    EXPECT_TRUE(bar->hexBox()->isEnabled() && bar->hexBox()->isChecked());
    log->setText("> 0D < \n41 0D 0A 42 ");
    log->setCursorPosition(0);
    QTest::keyClick(log, Qt::Key_F, Qt::ControlModifier);
    bar->queryEdit()->setText("0d a");
    EXPECT_TRUE(awaitSelection(11, 16));
    bar->queryEdit()->setText("0x0D");
    EXPECT_FALSE(bar->statusLabel()->text().isEmpty()) << "a query that is no hex codes says so";
}

} // namespace
