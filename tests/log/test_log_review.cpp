// SPDX-License-Identifier: GPL-3.0-or-later
// What a user or a screen reader trips over in a log: control codes that look alike, a cursor that
// splits a character, readers handed megabytes, appends nobody hears of, memory an edit or a clear
// keeps.
#include "ExchangeLog.h"

#include <QAccessible>
#include <QApplication>
#include <QFile>
#include <QImage>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

#include <functional>
#include <unistd.h>
#include <vector>

namespace {

QImage cellImage(ExchangeLog& log, qint64 pos) {
    const QImage all = log.viewport()->grab().toImage();
    return all.copy(log.characterRect(pos));
}

TEST(LogReview, ControlCodesShowDistinctMarksAndKeepTheirCharacters) {
    // A received byte 0 is kept as U+2400; the other codes as themselves.
    const QString codes[] = {QString(QChar(0x2400)), "\x1b", "\x07", "\t", "\x7f",
                             QString(QChar(0x85)),   "\x01", "\x10"};
    QString text;
    for (const QString& c : codes)
        text += c + " ";
    text += QChar(0); // a real NUL shows as the received one does
    for (bool cache : {true, false}) {
        ExchangeLog log;
        log.resize(500, 120);
        log.show();
        log.setCellCache(cache);
        log.setText(text);
        QApplication::processEvents();
        const QImage blank = cellImage(log, 1);
        std::vector<QImage> marks;
        for (qsizetype i = 0; i < qsizetype(std::size(codes)); ++i) {
            marks.push_back(cellImage(log, 2 * i));
            EXPECT_NE(marks.back(), blank) << "code " << i << (cache ? " cached" : " plain");
            for (qsizetype j = 0; j < i; ++j)
                EXPECT_NE(marks[std::size_t(i)], marks[std::size_t(j)])
                    << "codes " << i << " and " << j << (cache ? " cached" : " plain");
        }
        EXPECT_EQ(cellImage(log, text.size() - 1), marks[0]) << (cache ? "cached" : "plain");
        // Selected, a mark still differs from a selected blank.
        log.setSelection(0, text.size());
        QApplication::processEvents();
        EXPECT_NE(cellImage(log, 2), cellImage(log, 1));
        EXPECT_EQ(log.text(), text) << "painting only";
    }
}

bool wholeCharacters(const QString& s) {
    for (qsizetype i = 0; i < s.size(); ++i) {
        if (s[i].isHighSurrogate() && !(i + 1 < s.size() && s[i + 1].isLowSurrogate()))
            return false;
        if (s[i].isLowSurrogate() && !(i > 0 && s[i - 1].isHighSurrogate()))
            return false;
    }
    return true;
}

TEST(LogReview, CursorNeverSplitsACharacter) {
    const QString face = QString::fromUtf8("\xF0\x9F\x98\x80"); // two UTF-16 units
    // Line 0: a, pair (1-2), pair (3-4); line 1: "bcdef" from 6; line 2: b, pair (13-14), c.
    const QString text = "a" + face + face + "\nbcdef\nb" + face + "c";
    struct Case {
        const char* name;
        qint64 cursor;
        std::function<void(ExchangeLog&)> act;
        qint64 expected;
    };
    auto key = [](Qt::Key k) { return [k](ExchangeLog& log) { QTest::keyClick(&log, k); }; };
    const std::vector<Case> cases = {
        {"up into the first pair", 8, key(Qt::Key_Up), 1},
        {"up into the second pair", 10, key(Qt::Key_Up), 3},
        {"page up", 8, key(Qt::Key_PageUp), 1},
        {"down into a pair", 8, key(Qt::Key_Down), 13},
        {"page down", 8, key(Qt::Key_PageDown), 13},
        {"set inside a pair", 0, [](ExchangeLog& log) { log.setCursorPosition(4); }, 3},
        {"click on a pair's right half", 0,
         [](ExchangeLog& log) {
             const QRect r = log.characterRect(3);
             QTest::mouseClick(log.viewport(), Qt::LeftButton, {},
                               QPoint(r.left() + r.width() * 3 / 2, r.center().y()));
         },
         -1},
    };
    for (const Case& c : cases) {
        ExchangeLog log;
        log.resize(400, 150);
        log.show();
        log.setText(text);
        log.setCursorPosition(c.cursor);
        QApplication::processEvents();
        c.act(log);
        if (c.expected >= 0) {
            EXPECT_EQ(log.cursorPosition(), c.expected) << c.name;
        }
        EXPECT_FALSE(log.content().at(log.cursorPosition()).isLowSurrogate()) << c.name;
        // Typing and Backspace there keep every character whole.
        QTest::keyClicks(&log, "x");
        EXPECT_TRUE(wholeCharacters(log.text())) << c.name;
        QTest::keyClick(&log, Qt::Key_Backspace);
        QTest::keyClick(&log, Qt::Key_Backspace);
        EXPECT_TRUE(wholeCharacters(log.text())) << c.name;
    }
    // An edit asked for inside a pair takes the whole pair.
    ExchangeLog log;
    log.setText(text);
    log.removeText(2, 3);
    EXPECT_EQ(log.text(), "a" + face + "\nbcdef\nb" + face + "c");
}

struct Heard {
    QAccessible::Event type;
    qsizetype textSize;
    int position;
};
std::vector<Heard>* g_heard = nullptr;

void hear(QAccessibleEvent* e) {
    if (!g_heard)
        return;
    Heard h{e->type(), 0, -1};
    if (e->type() == QAccessible::TextInserted)
        h.textSize = static_cast<QAccessibleTextInsertEvent*>(e)->textInserted().size();
    if (e->type() == QAccessible::TextRemoved)
        h.textSize = static_cast<QAccessibleTextRemoveEvent*>(e)->textRemoved().size();
    if (e->type() == QAccessible::TextCaretMoved)
        h.position = static_cast<QAccessibleTextCursorEvent*>(e)->cursorPosition();
    g_heard->push_back(h);
}

// Listens as a screen reader would, for one test.
struct Listener {
    std::vector<Heard> heard;
    Listener() {
        g_heard = &heard;
        ExchangeLog::setAccessibilityTap(hear);
    }
    ~Listener() {
        ExchangeLog::setAccessibilityTap(nullptr);
        g_heard = nullptr;
    }
    qsizetype largestText() const {
        qsizetype n = 0;
        for (const Heard& h : heard)
            n = std::max(n, h.textSize);
        return n;
    }
    int count(QAccessible::Event type) const {
        return int(
            std::count_if(heard.begin(), heard.end(), [type](const Heard& h) { return h.type == type; }));
    }
};

TEST(LogReview, ScreenReadersGetBoundedWindowsOfALongRun) {
    const QString run(300000, u'r');
    ExchangeLog log;
    log.show();
    Listener listener;
    log.setText("> x < \n" + run);
    QApplication::processEvents();
    QAccessibleInterface* acc = QAccessible::queryAccessibleInterface(&log);
    QAccessibleTextInterface* text = acc->textInterface();
    for (auto type : {QAccessible::LineBoundary, QAccessible::NoBoundary, QAccessible::WordBoundary,
                      QAccessible::ParagraphBoundary}) {
        for (int at : {7, 150000, 300007}) {
            int start = -1, end = -1;
            const QString s = text->textAtOffset(at, type, &start, &end);
            EXPECT_LE(s.size(), 2 * 4096) << type << " at " << at;
            EXPECT_TRUE(start <= at && at <= end) << type << " at " << at;
            EXPECT_EQ(s, log.textBetween(start, end));
        }
    }
    log.setCursorPosition(100000);
    EXPECT_LE(acc->text(QAccessible::Value).size(), 4096);
    // Events: the append above, an edit replacing most of the run, a removal and the clear.
    log.setSelection(10, 290000);
    log.insertText(u"new");
    log.removeText(5, 9000);
    log.clearLog();
    EXPECT_GE(listener.count(QAccessible::TextInserted), 2);
    EXPECT_GE(listener.count(QAccessible::TextRemoved), 3);
    EXPECT_LE(listener.largestText(), 4096);
}

TEST(LogReview, AppendsThatMoveTheCursorAreHeardAtAModestRate) {
    struct Case {
        const char* name;
        qint64 anchor, cursor; // in "abc"
        bool cursorMoves, selectionMoves;
    };
    const std::vector<Case> cases = {
        {"cursor at the end", 3, 3, true, false},
        {"selection up to the end", 1, 3, true, true},
        {"cursor inside", 1, 1, false, false},
    };
    for (const Case& c : cases) {
        ExchangeLog log;
        log.show();
        log.setText("abc");
        log.setSelection(c.anchor, c.cursor);
        QApplication::processEvents();
        Listener listener;
        QSignalSpy cursor(&log, &ExchangeLog::cursorPositionChanged);
        QSignalSpy selection(&log, &ExchangeLog::selectionChanged);
        log.appendReceived("more", false, false);
        QApplication::processEvents();
        EXPECT_EQ(cursor.count() > 0, c.cursorMoves) << c.name;
        EXPECT_EQ(selection.count() > 0, c.selectionMoves) << c.name;
        EXPECT_EQ(listener.count(QAccessible::TextCaretMoved) > 0, c.cursorMoves) << c.name;
        if (!c.cursorMoves)
            continue;
        // A stream: one append per turn, each moving the cursor; the reader hears a few of them, and
        // at last where the cursor came to rest.
        for (int i = 0; i < 100; ++i) {
            log.appendText(u"0123456789");
            QApplication::processEvents();
        }
        EXPECT_LE(listener.count(QAccessible::TextCaretMoved), 3) << c.name;
        const int end = int(log.characterCount());
        const auto restedAtTheEnd = [&] {
            for (auto h = listener.heard.rbegin(); h != listener.heard.rend(); ++h)
                if (h->type == QAccessible::TextCaretMoved)
                    return h->position == end;
            return false;
        };
        EXPECT_TRUE(QTest::qWaitFor(restedAtTheEnd, 3000)) << c.name;
    }
}

long residentBytes() {
    QFile f("/proc/self/statm");
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = f.readAll().split(' ');
    return fields.size() > 1 ? fields[1].toLong() * sysconf(_SC_PAGESIZE) : 0;
}

TEST(LogReview, EditsPinNoMemoryAndAClearGivesItBack) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer keeps freed memory resident (its quarantine)";
#endif
    constexpr qsizetype kSize = qsizetype(12) << 20;
    LogText text;
    const long start = residentBytes();
    const QByteArray piece(65536, 'd');
    for (qsizetype n = 0; n < kSize; n += piece.size())
        text.appendShown8(piece.constData(), piece.size());
    const long full = residentBytes();
    // One key typed into every chunk of the log.
    for (qint64 at = 100; at < text.size(); at += LogText::ChunkChars)
        text.insert(at, u"k");
    const long edited = residentBytes();
    EXPECT_LT(edited - full, 2L << 20)
        << "edits of " << kSize / LogText::ChunkChars << " chunks: " << edited - full;
    text.clear();
    const long cleared = residentBytes();
    EXPECT_LT(cleared - start, 4L << 20) << "start " << start << ", full " << full;
}

} // namespace
