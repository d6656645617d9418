// SPDX-License-Identifier: GPL-3.0-or-later
// Search in a log: plain and hex queries, both directions, going round the end, never a freeze.
#include "ExchangeLog.h"
#include "LogSearch.h"

#include <QApplication>
#include <QSignalSpy>
#include <gtest/gtest.h>

#include <optional>
#include <utility>
#include <vector>

namespace {

using Match = std::optional<std::pair<qint64, qint64>>;

Match runSearch(LogSearch& search, const LogText& text, qint64 from, bool forward) {
    Match result;
    bool done = false;
    const auto a = QObject::connect(&search, &LogSearch::found, [&](qint64 f, qint64 t) {
        result = std::make_pair(f, t);
        done = true;
    });
    const auto b = QObject::connect(&search, &LogSearch::notFound, [&] { done = true; });
    search.find(&text, from, forward);
    search.finish();
    QObject::disconnect(a);
    QObject::disconnect(b);
    EXPECT_TRUE(done);
    return result;
}

TEST(LogSearch, FindsTextAndHexCodesBothWaysAndRoundTheEnd) {
    struct Case {
        const char* name;
        QString text, query;
        bool matchCase, hex;
        qint64 from;
        bool forward;
        Match expected;
    };
    const QString words = "abc xyz ABC\nabc";
    const std::vector<Case> cases = {
        {"forward", words, "abc", false, false, 1, true, std::make_pair(8, 11)},
        {"forward, case matched", words, "abc", true, false, 1, true, std::make_pair(12, 15)},
        {"round the end", words, "xyz", false, false, 6, true, std::make_pair(4, 7)},
        {"backward", words, "abc", true, false, 12, false, std::make_pair(0, 3)},
        {"backward round the start", words, "ABC", true, false, 3, false, std::make_pair(8, 11)},
        {"absent", words, "abd", false, false, 0, true, std::nullopt},
        {"hex codes", "> 41 < \n41 0D 0A 42 ", "0d a", false, true, 0, true, std::make_pair(11, 16)},
        {"hex codes decorated", "41(A) 0D(.) 0A(.) ", "0D 0A", false, true, 0, true, std::make_pair(6, 14)},
        {"hex decoration of a bracket", "28(() 29()) ", "28 29", false, true, 0, true, std::make_pair(0, 8)},
        {"hex never half a code", "10DA 0D0A\n", "0D", false, true, 0, true, std::nullopt},
        {"hex backward", "0D 0A 0D 0A ", "0D", false, true, 6, false, std::make_pair(0, 2)},
    };
    for (const Case& c : cases) {
        LogText text;
        text.append(c.text);
        LogSearch search;
        ASSERT_TRUE(search.setQuery(c.query, c.matchCase, c.hex)) << c.name;
        EXPECT_EQ(runSearch(search, text, c.from, c.forward), c.expected) << c.name;
    }
    LogSearch search;
    for (const char* bad : {"0x41", "123", "4G"})
        EXPECT_FALSE(search.setQuery(bad, false, true)) << bad;
    EXPECT_FALSE(search.setQuery("C\na", false, false)) << "a match never crosses a line break";
}

TEST(LogSearch, ALargeLogIsSearchedASliceATurnAndMatchesAreMarkedWhereTheyShow) {
    // A match across the edge of a slice, and one past several slices.
    const qint64 size = 2 * LogSearch::SliceChars + 1000;
    LogText text;
    const QByteArray piece(1 << 16, 'x');
    while (text.size() < size)
        text.appendShown8(piece.constData(), piece.size());
    const qint64 edge = LogSearch::SliceChars - 2;
    text.remove(edge, edge + 6);
    text.insert(edge, u"needle");
    text.append(u"needle");
    LogSearch search;
    ASSERT_TRUE(search.setQuery("NEEDLE", false, false));
    EXPECT_EQ(runSearch(search, text, 0, true), std::make_pair(edge, edge + 6)) << "across a slice's end";
    QSignalSpy found(&search, &LogSearch::found);
    search.find(&text, edge + 1, true);
    QApplication::processEvents();
    EXPECT_TRUE(found.isEmpty()) << "one slice per turn";
    EXPECT_TRUE(search.running());
    for (int i = 0; i < 10 && found.isEmpty(); ++i)
        QApplication::processEvents();
    ASSERT_EQ(found.size(), 1);
    EXPECT_EQ(found[0][0].toLongLong(), text.size() - 6);

    // What shows on a row of a log: every match in it, the one cut by the left edge too.
    ExchangeLog log;
    log.setText("ab needle cd needle needle");
    const auto marks = search.matchesIn(log.content(), 5, 22);
    EXPECT_EQ(marks, (std::vector<std::pair<qint64, qint64>>{{3, 9}, {13, 19}, {20, 26}}));
}

} // namespace
