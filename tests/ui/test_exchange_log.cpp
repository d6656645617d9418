#include "ExchangeLog.h"

#include <QApplication>
#include <QClipboard>
#include <QScrollBar>
#include <QTest>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

QString run(QChar c, int n) {
    return QString(n, c);
}

// A text that tells positions apart, so a lost or doubled piece shows.
QString pattern(int n) {
    QString s;
    s.reserve(n);
    for (int i = 0; i < n; ++i)
        s += QChar(u'a' + i % 23);
    return s;
}

// No paragraph of the log may grow past the cap through our own appends.
void expectBlocksCapped(const ExchangeLog& log) {
    for (QTextBlock b = log.document()->begin(); b.isValid(); b = b.next())
        ASSERT_LE(b.length() - 1, ExchangeLog::BlockCap) << "block " << b.blockNumber();
}

// The document as a string in which a hidden split is kSoft and a line break is '\n'; a user edit at
// document positions applied to this string predicts the text the log must then return.
constexpr QChar kSoft(0xE000);

QString docModel(const ExchangeLog& log) {
    QString s;
    for (QTextBlock b = log.document()->begin(); b.isValid(); b = b.next()) {
        if (b != log.document()->begin())
            s += b.userState() == ExchangeLog::ContinuesPrevious ? kSoft : QChar(u'\n');
        s += b.text();
    }
    return s;
}

QString logical(QString model) {
    return model.remove(kSoft);
}

TEST(ExchangeLog, AddLinePutsTheBreakWhereTheLastLineNeedsIt) {
    struct Case {
        const char* name;
        QString before;
        QString line;
        QString expected;
    };
    const QString longLine = pattern(3 * ExchangeLog::BlockCap + 5);
    const std::vector<Case> cases = {
        {"empty log", "", "> 41 < ", "> 41 < \n"},
        {"ends with a line break", "x\n", "> 41 < ", "x\n> 41 < \n"},
        {"open last line", "x", "> 41 < ", "x\n> 41 < "},
        {"only a line break", "\n", "L", "\nL\n"},
        {"long open line", longLine, "L", longLine + "\nL"},
        {"long line ending in a break", longLine + "\n", "L", longLine + "\nL\n"},
        {"empty line added", "x", "", "x\n"},
    };
    for (const auto& c : cases) {
        ExchangeLog log;
        log.setText(c.before);
        log.addLine(c.line);
        EXPECT_EQ(log.text(), c.expected) << c.name;
        // Received data continues whatever line the rule left open.
        log.appendText("rx");
        EXPECT_EQ(log.text(), c.expected + "rx") << c.name;
    }
}

TEST(ExchangeLog, AppendsOfAnySizeGiveTheirConcatenation) {
    struct Case {
        const char* name;
        std::vector<int> sizes;
    };
    const int cap = ExchangeLog::BlockCap;
    const std::vector<Case> cases = {
        {"one append of 100 000", {100000}},
        {"exactly the cap", {cap, cap, cap}},
        {"around the cap", {cap - 1, 1, 1, cap + 1, cap - 2, 2 * cap + 3}},
        {"small appends", std::vector<int>(3000, 7)},
        {"empty appends", {0, 5, 0, cap, 0}},
    };
    for (const auto& c : cases) {
        ExchangeLog log;
        int total = 0;
        for (int n : c.sizes)
            total += n;
        const QString source = pattern(total);
        QString expected;
        int offset = 0;
        for (int n : c.sizes) {
            const QString piece = source.sliced(offset, n);
            offset += n;
            log.appendText(piece);
            expected += piece;
        }
        EXPECT_EQ(log.text(), expected) << c.name;
        expectBlocksCapped(log);
        EXPECT_EQ(log.document()->blockCount(), std::max(1, (offset + cap - 1) / cap)) << c.name;
    }
}

TEST(ExchangeLog, CopyOfASelectionHidesTheSplits) {
    const int cap = ExchangeLog::BlockCap;
    ExchangeLog log;
    // Two long lines, each split several times, then a short one.
    const QString first = pattern(2 * cap + 100);
    const QString second = run(u'x', cap + 10);
    log.setText(first + "\n" + second + "\nend");
    const QString model = docModel(log);
    struct Case {
        const char* name;
        int from;
        int to;
    };
    const int sep1 = cap;                   // the first hidden split
    const int hard = int(first.size()) + 2; // the real line break, after two splits
    const std::vector<Case> cases = {
        {"across one split", sep1 - 3, sep1 + 4},
        {"split at the selection end", sep1 - 3, sep1 + 1},
        {"starts right after a split", sep1 + 1, sep1 + 6},
        {"across splits and a line break", 10, hard + 20},
        {"everything", 0, int(model.size())},
    };
    for (const auto& c : cases) {
        QTextCursor cur(log.document());
        cur.setPosition(c.from);
        cur.setPosition(c.to, QTextCursor::KeepAnchor);
        log.setTextCursor(cur);
        QApplication::clipboard()->clear();
        log.copy();
        EXPECT_EQ(QApplication::clipboard()->text(), logical(model.mid(c.from, c.to - c.from))) << c.name;
    }
}

TEST(ExchangeLog, UserEditsKeepTheTextRight) {
    const int cap = ExchangeLog::BlockCap;
    struct Edit {
        int from;
        int to;         // [from, to) is removed first
        QString insert; // then this is typed at from
    };
    struct Case {
        const char* name;
        std::vector<Edit> edits;
    };
    // Positions in a log of one line of 3*cap+50 characters, split after cap and 2*cap (+1 each for the
    // paragraph separators), followed by "\nnext".
    const int s1 = cap, s2 = 2 * cap + 1;
    const std::vector<Case> cases = {
        {"delete a split separator", {{s1, s1 + 1, ""}}},
        {"delete across a split", {{s1 - 5, s1 + 6, ""}}},
        {"delete across two splits", {{s1 - 5, s2 + 6, ""}}},
        {"type at the end of a split block", {{s1, s1, "TYPED"}}},
        {"type at the start of a continuation", {{s1 + 1, s1 + 1, "TYPED"}}},
        {"line break at the start of a continuation", {{s1 + 1, s1 + 1, "\n"}}},
        {"line break at the end of a split block", {{s1, s1, "\n"}}},
        {"line break inside a continuation", {{s1 + 10, s1 + 10, "\n"}}},
        {"delete a real line break after splits", {{3 * cap + 52, 3 * cap + 53, ""}}},
        {"delete from a split to the line break", {{s2 + 1, 3 * cap + 53, ""}}},
        {"replace across a split by lines", {{s1 - 2, s1 + 3, "A\nB"}}},
        {"several edits", {{s1, s1 + 1, ""}, {s1 + 3, s1 + 3, "\n"}, {s1 - 1, s1 + 2, "Q"}}},
    };
    for (const auto& c : cases) {
        ExchangeLog log;
        log.appendText(pattern(3 * cap + 50) + "\nnext");
        QString model = docModel(log);
        for (const auto& e : c.edits) {
            QTextCursor cur(log.document());
            cur.setPosition(e.from);
            cur.setPosition(e.to, QTextCursor::KeepAnchor);
            cur.removeSelectedText();
            cur.insertText(e.insert);
            model.remove(e.from, e.to - e.from);
            model.insert(e.from, e.insert);
        }
        EXPECT_EQ(log.text(), logical(model)) << c.name;
        // Data received after the edit still lands at the end.
        log.appendText("rx");
        EXPECT_EQ(log.text(), logical(model) + "rx") << c.name;
    }
}

TEST(ExchangeLog, KeysPressedAtASplitKeepTheTextRight) {
    const int cap = ExchangeLog::BlockCap;
    struct Case {
        const char* name;
        int position;
        Qt::Key key;
        QString expectedAt; // what replaces position cap..cap in the logical text
        int removedBefore;  // logical characters removed before the split
        int removedAfter;   // and after it
    };
    const std::vector<Case> cases = {
        {"Delete at the end of a split block", cap, Qt::Key_Delete, "", 0, 0},
        {"Backspace at the start of a continuation", cap + 1, Qt::Key_Backspace, "", 0, 0},
        {"Return at the end of a split block", cap, Qt::Key_Return, "\n", 0, 0},
        {"Return at the start of a continuation", cap + 1, Qt::Key_Return, "\n", 0, 0},
        {"Backspace before a split", cap, Qt::Key_Backspace, "", 1, 0},
        {"Delete after a split", cap + 1, Qt::Key_Delete, "", 0, 1},
    };
    for (const auto& c : cases) {
        ExchangeLog log;
        const QString line = pattern(2 * cap);
        log.appendText(line);
        QTextCursor cur(log.document());
        cur.setPosition(c.position);
        log.setTextCursor(cur);
        QTest::keyClick(&log, c.key);
        const QString expected =
            line.first(cap - c.removedBefore) + c.expectedAt + line.sliced(cap + c.removedAfter);
        EXPECT_EQ(log.text(), expected) << c.name;
    }
}

TEST(ExchangeLog, SetTextAndClearReplaceEverything) {
    const QString longLine = pattern(10000);
    const std::vector<QString> texts = {
        "", "\n", "\n\n", "a", longLine, "a\n" + longLine + "\nb", longLine + "\n", "\n" + longLine,
    };
    for (const auto& t : texts) {
        ExchangeLog log;
        log.appendText("old text that must go\n" + pattern(5000));
        log.setText(t);
        EXPECT_EQ(log.text(), t) << t.size();
        expectBlocksCapped(log);
        log.clearLog();
        EXPECT_EQ(log.text(), "");
        EXPECT_EQ(log.document()->blockCount(), 1);
        log.addLine("L");
        EXPECT_EQ(log.text(), "L\n");
    }
}

TEST(ExchangeLog, EveryCharacterOtherThanLineBreaksRoundTrips) {
    QString all;
    for (char16_t u = 1; u <= 0xFF; ++u)
        if (u != u'\n' && u != u'\r')
            all += QChar(u);
    all += QChar(0x2400); // the visible NUL symbol
    all += QChar(0x2028); // a line separator is a character, not one of our breaks
    QString longAll;
    while (longAll.size() < 3 * ExchangeLog::BlockCap)
        longAll += all;

    struct Case {
        const char* name;
        QString text;
    };
    const std::vector<Case> cases = {{"once", all}, {"across splits", longAll}};
    for (const auto& c : cases) {
        ExchangeLog appended;
        for (qsizetype i = 0; i < c.text.size(); i += 100)
            appended.appendText(c.text.mid(i, 100));
        EXPECT_EQ(appended.text(), c.text) << c.name;
        ExchangeLog set;
        set.setText(c.text);
        EXPECT_EQ(set.text(), c.text) << c.name;
        set.addLine(c.text);
        EXPECT_EQ(set.text(), c.text + "\n" + c.text) << c.name;
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
    };
    for (const auto& c : cases) {
        ExchangeLog log;
        for (const auto& a : c.appends)
            log.appendText(a);
        EXPECT_EQ(log.text(), c.expected) << c.name;
    }

    // A CR LF split by an echo line is not one pair: the LF after the echo is a line of its own.
    ExchangeLog log;
    log.appendText("a\r");
    log.addLine("> 0A < ");
    log.appendText("\n");
    EXPECT_EQ(log.text(), "a\n> 0A < \n\n");
}

TEST(ExchangeLog, PasteOfALongTextIsSplitAndReadsBack) {
    const QString pasted = pattern(3 * ExchangeLog::BlockCap) + "\r\n" + "tail";
    ExchangeLog log;
    log.appendText("head");
    QTextCursor cur(log.document());
    cur.setPosition(2);
    log.setTextCursor(cur);
    QApplication::clipboard()->setText(pasted);
    log.paste();
    EXPECT_EQ(log.text(), "he" + pattern(3 * ExchangeLog::BlockCap) + "\ntail" + "ad");
    expectBlocksCapped(log);
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
        log.appendText(pattern(3000));
        QApplication::processEvents();
    }
    EXPECT_EQ(vb->value(), 0);

    vb->setValue(vb->maximum());
    log.appendText(pattern(20000));
    QApplication::processEvents();
    EXPECT_EQ(vb->value(), vb->maximum());
}

} // namespace
