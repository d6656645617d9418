// SPDX-License-Identifier: GPL-3.0-or-later
// A log that wraps its lines at the viewport's width: rows, places, keys, following the end, a new width.
#include "ExchangeLog.h"

#include <QAccessible>
#include <QApplication>
#include <QScrollBar>
#include <QTest>
#include <gtest/gtest.h>

namespace {

struct Place {
    qint64 row, col;
    bool operator==(const Place&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Place& p) {
    return os << "(" << p.row << ", " << p.col << ")";
}

class LogWrap : public ::testing::Test {
protected:
    ExchangeLog log;
    int cell = 0, left = 0, top = 0, rowHeight = 0;

    void SetUp() override {
        log.setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        log.resize(300, 100);
        log.show();
        log.setText("x");
        log.flushView();
        const QRect r = log.characterRect(0);
        cell = r.width();
        left = r.left();
        top = r.top();
        rowHeight = r.height();
    }
    // Room for exactly `cols` cells in a row, and `rows` rows.
    void setSize(int cols, int rows) {
        const QSize extra = log.size() - log.viewport()->size();
        log.resize(extra + QSize(left + cols * cell + 1, top + rows * rowHeight));
        QApplication::processEvents();
        log.flushView();
    }
    qint64 rowCount() const {
        return log.verticalScrollBar()->maximum() + log.verticalScrollBar()->pageStep();
    }
    Place placeOf(QRect r) const {
        return {log.verticalScrollBar()->value() + (r.top() - top) / rowHeight, (r.left() - left) / cell};
    }
    Place placeOf(qint64 pos) const { return placeOf(log.characterRect(pos)); }
    Place cursorPlace() {
        return placeOf(static_cast<QWidget&>(log).inputMethodQuery(Qt::ImCursorRectangle).toRect());
    }
    QPoint pointAt(Place p) const {
        return {left + int(p.col) * cell + 1,
                top + int(p.row - log.verticalScrollBar()->value()) * rowHeight + rowHeight / 2};
    }
};

const QString kFace = QString::fromUtf8("\xF0\x9F\x98\x80"); // two UTF-16 units
// Line 0: 25 characters (0-24, end 25); line 1 "short" (26-30); line 2 exactly ten (32-41, end 42);
// line 3: nine, then a pair at 52-53 that a row boundary cuts, then z (54).
const QString kText = "abcdefghijklmnopqrstuvwxy\nshort\n0123456789\n123456789" + kFace + "z";

TEST_F(LogWrap, LongLinesTakeRowsAtTheWidth) {
    log.setLineWrap(true);
    log.setText(kText);
    setSize(10, 3);
    EXPECT_EQ(log.horizontalScrollBar()->maximum(), 0);
    EXPECT_EQ(rowCount(), 3 + 1 + 1 + 2);
    log.verticalScrollBar()->setValue(0);
    struct Case {
        qint64 pos;
        Place place;
    };
    const Case cases[] = {{0, {0, 0}},   {9, {0, 9}},  {10, {1, 0}}, {24, {2, 4}},
                          {25, {2, 5}},  {26, {3, 0}}, {32, {4, 0}}, {41, {4, 9}},
                          {42, {4, 10}}, {51, {5, 8}}, {52, {5, 9}}, {54, {6, 1}}};
    for (const Case& c : cases) {
        EXPECT_EQ(placeOf(c.pos), c.place) << "position " << c.pos;
        log.ensureVisible(c.pos);
        if (c.pos != 42) { // the end of a full row is where the next row would start
            EXPECT_EQ(log.positionAt(pointAt(c.place)), c.pos) << "position " << c.pos;
        }
    }
    // The second half of a pair is no place for the cursor.
    EXPECT_EQ(log.positionAt(pointAt({6, 0})), 52);
    // A screen reader's line is the row on screen, the last one with its line break.
    QAccessibleTextInterface* text = QAccessible::queryAccessibleInterface(&log)->textInterface();
    int from = 0, to = 0;
    EXPECT_EQ(text->textAtOffset(13, QAccessible::LineBoundary, &from, &to), "klmnopqrst");
    EXPECT_EQ(text->textAtOffset(21, QAccessible::LineBoundary, &from, &to), "uvwxy\n");

    // Keys move by rows on screen and keep the column.
    struct Key {
        qint64 from;
        Qt::Key key;
        qint64 to;
        Place shown;
    };
    const Key keys[] = {{3, Qt::Key_Down, 13, {1, 3}},  {13, Qt::Key_Down, 23, {2, 3}},
                        {23, Qt::Key_Down, 29, {3, 3}}, {23, Qt::Key_Up, 13, {1, 3}},
                        {13, Qt::Key_Home, 10, {1, 0}}, {13, Qt::Key_End, 20, {1, 10}},
                        {24, Qt::Key_End, 25, {2, 5}},  {41, Qt::Key_Down, 52, {5, 9}},
                        {43, Qt::Key_Down, 52, {5, 9}}, {5, Qt::Key_PageDown, 31, {3, 5}}};
    for (const Key& k : keys) {
        log.setCursorPosition(k.from);
        QTest::keyClick(&log, k.key);
        EXPECT_EQ(log.cursorPosition(), k.to) << "from " << k.from << " key " << k.key;
        EXPECT_EQ(cursorPlace(), k.shown) << "from " << k.from << " key " << k.key;
    }
    // From the end of a row, Down goes to the end of the next.
    log.setCursorPosition(3);
    QTest::keyClick(&log, Qt::Key_End);
    QTest::keyClick(&log, Qt::Key_Down);
    EXPECT_EQ(log.cursorPosition(), 20);
    EXPECT_EQ(cursorPlace(), (Place{1, 10}));

    // A narrower log wraps again; without wrapping a line is a row and scrolls sideways.
    setSize(5, 3);
    EXPECT_EQ(rowCount(), 5 + 1 + 2 + 3);
    EXPECT_EQ(placeOf(24), (Place{4, 4}));
    log.setLineWrap(false);
    log.flushView();
    EXPECT_EQ(rowCount(), 4);
    EXPECT_GT(log.horizontalScrollBar()->maximum(), 0);
}

TEST_F(LogWrap, FollowingTheEndShowsTheLastRow) {
    log.setLineWrap(true);
    log.clear();
    setSize(10, 3);
    for (int i = 0; i < 8; ++i) {
        log.appendText(QString(7, QChar(u'a' + i)));
        if (i % 3 == 2)
            log.appendText(u"\n");
        log.flushView();
        const QRect end = log.characterRect(log.characterCount());
        EXPECT_TRUE(log.viewport()->rect().contains(end.topLeft())) << "append " << i;
    }
    // 21 characters, 21, then 14: rows 3 + 3 + 2.
    EXPECT_EQ(rowCount(), 8);
    EXPECT_EQ(log.verticalScrollBar()->value(), 8 - 3);
}

} // namespace
