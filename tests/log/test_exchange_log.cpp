// SPDX-License-Identifier: GPL-3.0-or-later
#include "Cp1251.h"
#include "ExchangeLog.h"
#include "ExchangeText.h"

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QMenu>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

constexpr qsizetype kChunk = LogText::ChunkChars;

// A text that tells positions apart, so a lost or doubled piece shows.
QString pattern(qsizetype n) {
    QString s;
    s.reserve(n);
    for (qsizetype i = 0; i < n; ++i)
        s += QChar(char16_t(u'a' + i % 23));
    return s;
}

// Appends through either door: text, or eight-bit text whose bytes stand for the characters
// VisibleChar gives them (for the characters of the code page).
void append(ExchangeLog& log, QStringView s, bool eightBit) {
    if (!eightBit) {
        log.appendText(s);
        return;
    }
    const QByteArray bytes = StringToCp1251(s);
    log.appendShown8(bytes.constData(), bytes.size());
}

// The line index of the log agrees with the text it holds.
void expectLinesMatch(const ExchangeLog& log, const QString& expected, const char* name) {
    const LogText& t = log.content();
    ASSERT_EQ(log.text(), expected) << name;
    const QStringList lines = expected.split(u'\n');
    ASSERT_EQ(t.lineCount(), lines.size()) << name;
    qint64 start = 0, longest = 0;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(t.lineStart(i), start) << name << " line " << i;
        EXPECT_EQ(t.lineLength(i), lines[i].size()) << name << " line " << i;
        EXPECT_EQ(t.lineOf(start), i) << name << " line " << i;
        EXPECT_EQ(t.lineOf(start + lines[i].size()), i) << name << " end of line " << i;
        longest = std::max<qint64>(longest, lines[i].size());
        start += lines[i].size() + 1;
    }
    EXPECT_EQ(t.maxLineLength(), longest) << name;
}

TEST(ExchangeLog, AddLinePutsTheBreakWhereTheLastLineNeedsIt) {
    struct Case {
        const char* name;
        QString before;
        QString line;
        QString expected;
    };
    const QString longLine = pattern(3 * kChunk + 5);
    const std::vector<Case> cases = {
        {"empty log", "", "> 41 < ", "> 41 < \n"},
        {"ends with a line break", "x\n", "> 41 < ", "x\n> 41 < \n"},
        {"open last line", "x", "> 41 < ", "x\n> 41 < "},
        {"only a line break", "\n", "L", "\nL\n"},
        {"long open line", longLine, "L", longLine + "\nL"},
        {"long line ending in a break", longLine + "\n", "L", longLine + "\nL\n"},
        {"empty line added", "x", "", "x\n"},
        {"line ending in CR", "", "x\r", "x\n\n"},
    };
    for (const auto& c : cases) {
        ExchangeLog log;
        log.setText(c.before);
        log.addLine(c.line);
        EXPECT_EQ(log.text(), c.expected) << c.name;
        // Received data continues whatever line the rule left open.
        log.appendText(u"rx");
        expectLinesMatch(log, c.expected + "rx", c.name);
    }
}

TEST(ExchangeLog, AppendsOfAnySizeGiveTheirConcatenationOnOneLine) {
    struct Case {
        const char* name;
        std::vector<qsizetype> sizes;
    };
    const std::vector<Case> cases = {
        {"one append of 100 000", {100000}},
        {"exactly a chunk", {kChunk, kChunk, kChunk}},
        {"around a chunk", {kChunk - 1, 1, 1, kChunk + 1, kChunk - 2, 2 * kChunk + 3}},
        {"small appends", std::vector<qsizetype>(3000, 7)},
        {"empty appends", {0, 5, 0, kChunk, 0}},
    };
    for (const auto& c : cases) {
        for (bool eightBit : {false, true}) {
            ExchangeLog log;
            qsizetype total = 0;
            for (qsizetype n : c.sizes)
                total += n;
            const QString source = pattern(total);
            qsizetype offset = 0;
            for (qsizetype n : c.sizes) {
                append(log, QStringView(source).sliced(offset, n), eightBit);
                offset += n;
            }
            // Nothing inserted: the run is one line.
            expectLinesMatch(log, source, c.name);
        }
    }
}

TEST(ExchangeLog, CarriageReturnsAndLineFeedsMakeOneBreakEach) {
    struct Case {
        const char* name;
        std::vector<QString> appends;
        QString expected;
    };
    const std::vector<Case> cases = {
        {"CR LF", {"a\r\nb"}, "a\nb"},
        {"lone LF", {"a\nb"}, "a\nb"},
        {"lone CR", {"a\rb"}, "a\nb"},
        {"LF CR is two", {"a\n\rb"}, "a\n\nb"},
        {"CR CR LF", {"a\r\r\nb"}, "a\n\nb"},
        {"CR LF split between appends", {"a\r", "\nb"}, "a\nb"},
        {"CR then CR LF across appends", {"a\r", "\r\nb"}, "a\n\nb"},
        {"CR at the end stays a break", {"a\r"}, "a\n"},
        {"CR then something else", {"a\r", "b\n"}, "a\nb\n"},
        {"many breaks", {"\r\n\r\n\n\r"}, "\n\n\n\n"},
        {"paragraph separator", {QString("a") + QChar(0x2029) + "b"}, "a\nb"},
        {"CR LF across a chunk's end", {pattern(kChunk - 1) + "\r", "\nb"}, pattern(kChunk - 1) + "\nb"},
        {"CR LF split by a chunk's end", {pattern(kChunk - 1) + "\r\nb"}, pattern(kChunk - 1) + "\nb"},
        {"breaks over chunks",
         {QString("x\r\n").repeated(kChunk / 2 + 7)},
         QString("x\n").repeated(kChunk / 2 + 7)},
    };
    for (const auto& c : cases) {
        for (bool eightBit : {false, true}) {
            if (eightBit && c.appends.front().contains(QChar(0x2029)))
                continue; // not a character of the code page
            ExchangeLog log;
            for (const auto& a : c.appends)
                append(log, a, eightBit);
            expectLinesMatch(log, c.expected, c.name);
        }
    }

    // A CR LF split by an echo line is not one pair: the LF after the echo is a line of its own.
    ExchangeLog log;
    log.appendText(u"a\r");
    log.addLine("> 0A < ");
    log.appendText(u"\n");
    EXPECT_EQ(log.text(), "a\n> 0A < \n\n");
}

TEST(ExchangeLog, EveryCharacterOtherThanLineBreaksRoundTrips) {
    // Every character of the code page, the symbol of a received 0, and characters the page lacks (which
    // switch a chunk to its wide form), U+0000 and a pair of surrogates among them.
    QString page;
    for (char16_t u = 1; u <= 0xFF; ++u)
        if (u != u'\n' && u != u'\r')
            page += QChar(u);
    page += QChar(0x0401) + QString(QChar(0x2400)) + QChar(0x2028);
    QString foreign = QString(QChar(0x4E2D)) + QChar(0) + QChar(0xFDD0) + QString::fromUcs4(U"\U0001F600");
    QString longMixed;
    while (longMixed.size() < 3 * kChunk)
        longMixed += page + (longMixed.size() % 2 ? foreign : QString());

    struct Case {
        const char* name;
        QString text;
    };
    const std::vector<Case> cases = {
        {"the page", page}, {"outside the page", page + foreign}, {"mixed over chunks", longMixed}};
    for (const auto& c : cases) {
        ExchangeLog appended;
        for (qsizetype i = 0; i < c.text.size(); i += 100)
            appended.appendText(QStringView(c.text).mid(i, 100));
        EXPECT_EQ(appended.text(), c.text) << c.name;
        // Eight-bit appends after text that made the last chunk wide.
        QByteArray bytes;
        for (int b = 0; b < 256; ++b)
            if (b != '\n' && b != '\r')
                bytes += char(b);
        appended.appendShown8(bytes.constData(), bytes.size());
        QString shown;
        for (char b : bytes)
            shown += VisibleChar(std::uint8_t(b));
        expectLinesMatch(appended, c.text + shown, c.name);
        ExchangeLog set;
        set.setText(c.text);
        EXPECT_EQ(set.text(), c.text) << c.name;
        set.addLine(c.text);
        expectLinesMatch(set, c.text + "\n" + c.text, c.name);
    }
}

TEST(ExchangeLog, SetTextAndClearReplaceEverything) {
    const QString longLine = pattern(40000);
    const std::vector<QString> texts = {
        "", "\n", "\n\n", "a", longLine, "a\n" + longLine + "\nb", longLine + "\n", "\n" + longLine,
    };
    for (const auto& t : texts) {
        ExchangeLog log;
        log.appendText(QString("old text that must go\n" + pattern(5000)));
        log.setText(t);
        expectLinesMatch(log, t, "set");
        log.clearLog();
        EXPECT_EQ(log.text(), "");
        EXPECT_EQ(log.lineCount(), 1);
        log.addLine("L");
        EXPECT_EQ(log.text(), "L\n");
    }
}

TEST(ExchangeLog, UserEditsKeepTheTextRight) {
    struct Edit {
        qint64 from;
        qint64 to;      // [from, to) is removed first
        QString insert; // then this is typed at from
    };
    struct Case {
        const char* name;
        std::vector<Edit> edits;
    };
    // One line of 3 chunks and 50, a wide character in its second chunk, then "\nnext".
    const qint64 c1 = kChunk, c2 = 2 * kChunk, brk = 3 * kChunk + 50;
    const std::vector<Case> cases = {
        {"delete at a chunk's end", {{c1 - 1, c1, ""}}},
        {"delete across a chunk's end", {{c1 - 5, c1 + 6, ""}}},
        {"delete across two chunks", {{c1 - 5, c2 + 6, ""}}},
        {"type at a chunk's end", {{c1, c1, "TYPED"}}},
        {"type a chunk's worth", {{c1 + 3, c1 + 3, pattern(kChunk + 7)}}},
        {"line break inside the long line", {{c1 + 10, c1 + 10, "\n"}}},
        {"CR LF typed is one break", {{c1 + 10, c1 + 10, "x\r\ny"}}},
        {"delete the line break", {{brk, brk + 1, ""}}},
        {"delete from a chunk to the line break", {{c2 + 1, brk + 1, ""}}},
        {"replace across a chunk by lines", {{c1 - 2, c1 + 3, "A\nB"}}},
        {"delete everything but the ends", {{1, brk + 4, ""}}},
        {"a character outside the page", {{5, 5, QString(QChar(0x4E2D))}}},
        {"several edits", {{c1, c1 + 1, ""}, {c1 + 3, c1 + 3, "\n"}, {c1 - 1, c1 + 2, "Q"}, {0, 3, "\n\n"}}},
    };
    for (const auto& c : cases) {
        ExchangeLog log;
        QString model = pattern(3 * kChunk + 50) + "\nnext";
        model[c1 + 100] = QChar(0x263A);
        log.appendText(model);
        for (const auto& e : c.edits) {
            log.removeText(e.from, e.to);
            log.setCursorPosition(e.from);
            log.insertText(e.insert);
            QString typed = e.insert;
            typed.replace("\r\n", "\n");
            model.remove(e.from, e.to - e.from);
            model.insert(e.from, typed);
            EXPECT_EQ(log.cursorPosition(), e.from + typed.size()) << c.name;
        }
        expectLinesMatch(log, model, c.name);
        // Data received after the edit still lands at the end.
        log.appendText(u"rx");
        expectLinesMatch(log, model + "rx", c.name);
    }

    // A CR received last pairs with the LF received next, whatever the user edits meanwhile away from
    // the end; typing at the end ends the pair.
    for (const qint64 at : {qint64(0), qint64(3)}) {
        ExchangeLog log;
        log.appendText(u"hello\r");
        log.setCursorPosition(at);
        log.insertText(u"X");
        log.removeText(at + 1, at + 2);
        log.appendText(u"\nworld");
        QString model = "hello\nworld";
        model[at] = u'X';
        EXPECT_EQ(log.text(), model) << "edit at " << at;
    }
    {
        ExchangeLog log;
        log.appendText(u"hello\r");
        log.setCursorPosition(log.characterCount());
        log.insertText(u"!");
        log.appendText(u"\nworld");
        EXPECT_EQ(log.text(), "hello\n!\nworld");
    }

    // Typing into the middle of full pieces costs about what it types, not a piece per key.
    ExchangeLog log;
    const QString text = pattern(4 * kChunk);
    log.appendText(text);
    const std::size_t before = log.content().storageBytes();
    QString model = text;
    for (int i = 0; i < 1000; ++i) {
        log.setCursorPosition(100 + i);
        log.insertText(u"k");
        model.insert(100 + i, u'k');
    }
    expectLinesMatch(log, model, "a thousand keys typed");
    EXPECT_LT(log.content().storageBytes(), before + 2 * kChunk * sizeof(char16_t));
}

TEST(ExchangeLog, KeysEditAndSelectAsInATextEditor) {
    struct Key {
        int key;
        Qt::KeyboardModifiers mods = Qt::NoModifier;
        QString text = {};
    };
    struct Case {
        const char* name;
        QString before;
        qint64 cursor;
        std::vector<Key> keys;
        QString expected;
        qint64 cursorAfter;
    };
    const QString ab = "abc\ndef";
    const std::vector<Case> cases = {
        {"typing", ab, 1, {{Qt::Key_X, {}, "x"}, {Qt::Key_Y, {}, "y"}}, "axybc\ndef", 3},
        {"backspace", ab, 2, {{Qt::Key_Backspace}}, "ac\ndef", 1},
        {"backspace joins lines", ab, 4, {{Qt::Key_Backspace}}, "abcdef", 3},
        {"delete", ab, 0, {{Qt::Key_Delete}}, "bc\ndef", 0},
        {"delete at the end does nothing", ab, 7, {{Qt::Key_Delete}}, ab, 7},
        {"return", ab, 1, {{Qt::Key_Return}}, "a\nbc\ndef", 2},
        {"shift+right selects, typing replaces",
         ab,
         0,
         {{Qt::Key_Right, Qt::ShiftModifier}, {Qt::Key_Right, Qt::ShiftModifier}, {Qt::Key_Z, {}, "Z"}},
         "Zc\ndef",
         1},
        {"down keeps the column", ab, 2, {{Qt::Key_Down}, {Qt::Key_X, {}, "x"}}, "abc\ndexf", 7},
        {"home and end",
         ab,
         5,
         {{Qt::Key_Home}, {Qt::Key_X, {}, "x"}, {Qt::Key_End}, {Qt::Key_Y, {}, "y"}},
         "abc\nxdefy",
         9},
        {"select all and delete", ab, 2, {{Qt::Key_A, Qt::ControlModifier}, {Qt::Key_Delete}}, "", 0},
        {"select all, copy, paste at the end",
         ab,
         0,
         {{Qt::Key_A, Qt::ControlModifier},
          {Qt::Key_C, Qt::ControlModifier},
          {Qt::Key_End, Qt::ControlModifier},
          {Qt::Key_V, Qt::ControlModifier}},
         ab + ab,
         14},
        {"cut and paste",
         ab,
         0,
         {{Qt::Key_Right, Qt::ShiftModifier},
          {Qt::Key_X, Qt::ControlModifier},
          {Qt::Key_End},
          {Qt::Key_V, Qt::ControlModifier}},
         "bca\ndef",
         3},
        {"ctrl+right moves by words",
         "one two\nx",
         0,
         {{Qt::Key_Right, Qt::ControlModifier}, {Qt::Key_Q, {}, "Q"}},
         "one Qtwo\nx",
         5},
        {"undo does nothing",
         ab,
         1,
         {{Qt::Key_X, {}, "x"}, {Qt::Key_Z, Qt::ControlModifier}},
         "axbc\ndef",
         2},
    };
    for (const auto& c : cases) {
        ExchangeLog log;
        log.show();
        log.setText(c.before);
        log.setCursorPosition(c.cursor);
        for (const Key& k : c.keys) {
            if (k.text.isEmpty())
                QTest::keyClick(&log, Qt::Key(k.key), k.mods);
            else
                QTest::keyClicks(&log, k.text);
        }
        EXPECT_EQ(log.text(), c.expected) << c.name;
        EXPECT_EQ(log.cursorPosition(), c.cursorAfter) << c.name;
    }
}

TEST(ExchangeLog, MouseClicksAndDragsSelect) {
    ExchangeLog log;
    log.resize(400, 200);
    log.show();
    log.setText("alpha beta\ngamma");
    QApplication::processEvents();
    const QRect b = log.characterRect(6); // 'b' of beta
    const QRect g = log.characterRect(13);
    QTest::mouseClick(log.viewport(), Qt::LeftButton, {}, b.topLeft() + QPoint(1, 2));
    EXPECT_EQ(log.cursorPosition(), 6);
    QTest::mousePress(log.viewport(), Qt::LeftButton, {}, b.topLeft() + QPoint(1, 2));
    QMouseEvent move(QEvent::MouseMove, QPointF(g.topLeft() + QPoint(1, 2)),
                     log.viewport()->mapToGlobal(QPointF(g.topLeft())), Qt::NoButton, Qt::LeftButton,
                     Qt::NoModifier);
    QApplication::sendEvent(log.viewport(), &move);
    QTest::mouseRelease(log.viewport(), Qt::LeftButton, {}, g.topLeft() + QPoint(1, 2));
    EXPECT_EQ(log.selectedText(), "beta\nga");
    QTest::mouseDClick(log.viewport(), Qt::LeftButton, {}, b.topLeft() + QPoint(1, 2));
    EXPECT_EQ(log.selectedText(), "beta");
}

TEST(ExchangeLog, ContextMenuHasTheStandardActionsThenTheOwners) {
    ExchangeLog log;
    QAction extra("Extra");
    log.setExtraContextActions({&extra});
    log.setText("some text");
    log.setSelection(0, 4);
    std::unique_ptr<QMenu> menu(log.createStandardContextMenu());
    QStringList texts;
    for (QAction* a : menu->actions())
        if (!a->isSeparator())
            texts << a->text().section(u'\t', 0, 0);
    auto qt = [](const char* s) { return QCoreApplication::translate("QWidgetTextControl", s); };
    EXPECT_EQ(texts, QStringList({qt("&Undo"), qt("&Redo"), qt("Cu&t"), qt("&Copy"), qt("&Paste"),
                                  qt("Delete"), qt("Select All"), "Extra"}));
    // Copy works on the selection; there is no history to undo.
    QAction* copy = menu->findChild<QAction*>("edit-copy");
    ASSERT_NE(copy, nullptr);
    EXPECT_TRUE(copy->isEnabled());
    EXPECT_FALSE(menu->findChild<QAction*>("edit-undo")->isEnabled());
    copy->trigger();
    EXPECT_EQ(QApplication::clipboard()->text(), "some");
}

TEST(ExchangeLog, ALongRunIsOneLineForEveryReader) {
    // 1 MiB received in the driver's pieces, without a line break, after an echo line.
    const qsizetype n = 1 << 20;
    const QString run = pattern(n);
    ExchangeLog log;
    log.resize(600, 200);
    log.show();
    log.addLine("> x < ");
    for (qsizetype i = 0; i < n; i += 2048)
        log.appendText(QStringView(run).sliced(i, 2048));
    const QString all = "> x < \n" + run;
    const qint64 runStart = all.size() - n;

    // On screen: two rows, the horizontal bar reaching its end, the view showing that end.
    QApplication::processEvents();
    QScrollBar* hb = log.horizontalScrollBar();
    EXPECT_GE(hb->maximum() + hb->pageStep(), n);
    EXPECT_EQ(hb->value(), hb->maximum());
    EXPECT_EQ(log.verticalScrollBar()->maximum(), 0) << "both rows fit";

    // text() and copy.
    EXPECT_EQ(log.text(), all);
    EXPECT_EQ(log.lineCount(), 2);
    log.selectAll();
    log.copy();
    EXPECT_EQ(QApplication::clipboard()->text(), all);

    // Assistive technology: the line at any offset of the run is a window of the run around the
    // offset, never the megabyte.
    QAccessibleInterface* acc = QAccessible::queryAccessibleInterface(&log);
    ASSERT_NE(acc, nullptr);
    EXPECT_EQ(acc->role(), QAccessible::EditableText);
    QAccessibleTextInterface* text = acc->textInterface();
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(text->characterCount(), all.size());
    for (qint64 at : {runStart, runStart + n / 2, qint64(all.size())}) {
        int start = -1, end = -1;
        const QString line = text->textAtOffset(int(at), QAccessible::LineBoundary, &start, &end);
        EXPECT_TRUE(start >= runStart && start <= at && end >= at && end <= all.size()) << at;
        EXPECT_LE(end - start, 4096) << at;
        EXPECT_EQ(line, all.mid(start, end - start)) << at;
    }
    EXPECT_LE(acc->text(QAccessible::Value).size(), 4096);
    int start = -1, end = -1;
    EXPECT_EQ(text->textBeforeOffset(int(runStart + 10), QAccessible::LineBoundary, &start, &end),
              "> x < \n");
    EXPECT_EQ(text->text(int(runStart), int(runStart + 5)), run.first(5));
    text->setSelection(0, int(runStart), int(runStart + 3));
    EXPECT_EQ(log.selectedText(), run.first(3));
    acc->editableTextInterface()->insertText(0, "Q");
    EXPECT_EQ(log.text(), "Q" + all);
}

TEST(ExchangeLog, AppendsReachTheViewOncePerTurnOfTheEventLoop) {
    ExchangeLog log;
    log.resize(600, 200);
    log.show();
    QApplication::processEvents();
    QSignalSpy ranges(log.verticalScrollBar(), &QScrollBar::rangeChanged);
    QString expected;
    // What one poll tick may deliver: hundreds of pieces, each ending a line.
    for (int i = 0; i < 300; ++i) {
        const QString piece = pattern(2047) + "\n";
        log.appendText(piece);
        expected += piece;
        // Every reader sees every piece at once.
        ASSERT_EQ(log.characterCount(), expected.size());
    }
    EXPECT_EQ(log.text(), expected);
    EXPECT_EQ(ranges.count(), 0) << "the view waits for the event loop";
    QApplication::processEvents();
    EXPECT_EQ(ranges.count(), 1);
    EXPECT_EQ(log.verticalScrollBar()->maximum(), 301 - log.verticalScrollBar()->pageStep());

    // Received blocks, 2 MiB in one tick: the view takes them a slice per turn, so the event loop keeps
    // going meanwhile, and a reader gets all of them at once.
    const QByteArray line = QByteArray(2046, 'r') + "\r\n";
    log.clearLog();
    QApplication::processEvents();
    for (int i = 0; i < 1024; ++i)
        log.appendReceived(line, false, false);
    QApplication::processEvents();
    QScrollBar* vb = log.verticalScrollBar();
    EXPECT_LT(vb->maximum() + vb->pageStep(), 1024) << "one turn, one slice";
    for (int i = 0; i < 100 && vb->maximum() + vb->pageStep() < 1025; ++i)
        QApplication::processEvents();
    EXPECT_EQ(vb->maximum() + vb->pageStep(), 1025);
    for (int i = 0; i < 3; ++i)
        log.appendReceived("41 0D", i == 1, i == 2);
    const QString tail = "41 0D" + QString("34 31 20 30 44 ") + "4(34)1(31) (20)0(30)D(44)";
    const QString all = log.text();
    EXPECT_EQ(all.size(), 1024 * 2047 + tail.size());
    EXPECT_TRUE(all.endsWith(QString(2046, u'r') + "\n" + tail));

    // Select all (from the context menu, in the middle of a stream) takes the waiting blocks too.
    log.clearLog();
    log.appendText(u"abc");
    log.appendReceived("DEFG", false, false);
    log.selectAll();
    EXPECT_EQ(log.selectedText(), "abcDEFG");
}

TEST(ExchangeLog, ViewFollowsTheEndOnlyWhileTheUserIsThere) {
    ExchangeLog log;
    log.resize(696, 300);
    log.show();
    QApplication::processEvents();
    QScrollBar* vb = log.verticalScrollBar();
    for (int i = 0; i < 40; ++i) {
        log.appendText(pattern(3000));
        log.addLine("> echo < ");
        QApplication::processEvents();
    }
    ASSERT_GT(vb->maximum(), 0);
    EXPECT_EQ(vb->value(), vb->maximum());

    vb->setValue(0);
    for (int i = 0; i < 5; ++i) {
        log.appendText(pattern(3000) + "\n");
        QApplication::processEvents();
    }
    EXPECT_EQ(vb->value(), 0);

    vb->setValue(vb->maximum());
    log.appendText(pattern(20000) + "\nx\ny");
    QApplication::processEvents();
    EXPECT_EQ(vb->value(), vb->maximum());
    EXPECT_EQ(log.horizontalScrollBar()->value(), 0) << "the end of the last line shows";
}

TEST(ExchangeLog, MemoAppendsAreLinesOfTheirOwn) {
    ExchangeLog memo;
    for (const char* line : {"41", "00", "FF"})
        memo.appendPlainText(line);
    EXPECT_EQ(memo.text(), "41\n00\nFF");
    EXPECT_EQ(memo.blockCount(), 3);
    memo.clear();
    memo.appendPlainText("0D");
    EXPECT_EQ(memo.text(), "0D");
}

} // namespace

namespace {

// Marks take whole cells in front of the character at their place, never characters of the text: a
// mark laid down behind pending received blocks lands after them, the characters after it move right
// on screen, a click on it is the position in front of it, and the longest line on screen counts it.
TEST(ExchangeLog, MarksTakeCellsButNoPlaceInTheText) {
    ExchangeLog log;
    log.resize(400, 200);
    log.show();
    log.appendReceived("abc", false, false);
    log.appendMark(LogMarks::Style::Problem, QStringLiteral("<lost>"));
    log.appendReceived("def", false, false);
    EXPECT_EQ(log.text(), QStringLiteral("abcdef"));
    ASSERT_EQ(log.marks().size(), 1u);
    EXPECT_EQ(log.marks()[0].pos, 3);
    log.flushView();

    const int cell = log.characterRect(1).x() - log.characterRect(0).x();
    ASSERT_GT(cell, 0);
    const int markWidth = log.characterRect(3).x() - log.characterRect(2).x() - cell;
    EXPECT_GE(markWidth, 6 * cell); // its text and some room
    EXPECT_EQ(log.characterRect(4).x() - log.characterRect(3).x(), cell);
    const QPoint onMark(log.characterRect(2).x() + cell + markWidth / 2, log.characterRect(2).center().y());
    EXPECT_EQ(log.positionAt(onMark), 3);
    EXPECT_EQ(log.positionAt(log.characterRect(4).center() - QPoint(cell / 4, 0)), 4);
    EXPECT_EQ(log.textWithMarks(0, 6), QStringLiteral("abc<lost>def"));
    EXPECT_EQ(log.textWithMarks(0, 3), QStringLiteral("abc")); // the mark stands in front of "d"

    // Narrow enough that the line with its mark no longer fits: the bar reaches the mark's cells too.
    log.resize(log.characterRect(6).x() - markWidth / 2, 200);
    log.flushView();
    EXPECT_GT(log.horizontalScrollBar()->maximum(), 0);
    log.clearLog();
    EXPECT_TRUE(log.marks().isEmpty());
}

} // namespace
