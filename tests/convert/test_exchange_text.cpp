// SPDX-License-Identifier: GPL-3.0-or-later
#include "Cp1251.h"
#include "ExchangeText.h"
#include "HexKit.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

struct LineCase {
    QString line;
    Bytes expect;
};

TEST(ExchangeText, ParseHexLine) {
    const LineCase cases[] = {
        {"1 2 3", {0x01, 0x02, 0x03}},
        {"  12   AB ", {0x12, 0xAB}},
        {"123", {0x23}},
        {"ABCDEF", {0xEF}},
        {"ff", {0xFF}},
        {"0 00 000", {0, 0, 0}},
        {"", {}},
        {"     ", {}},
        {"\t1", {0x01}}, // a tab belongs to the token and counts as 0
        {"1\t", {0x10}},
        {"1,2", {0x02}}, // ",2"
        {"12,", {0x20}}, // "2,"
        {"1\t2 3", {0x02, 0x03}},
        {"GG zz 1G", {0, 0, 0x10}}, // letters beyond F are 0 digits
        {u"ЁA"_qs, {0x0A}},
        {QString::fromUtf8("A\xF0\x9F\x98\x80"), {0xA0}}, // one character beyond 16 bits is one non-digit
        {QString::fromUtf8("\xF0\x9F\x98\x80"
                           "1"),
         {0x01}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ParseHexLine(c.line), c.expect) << '"' << c.line.toStdString() << '"';
    }
}

TEST(ExchangeText, ParseSymbolLine) {
    const LineCase cases[] = {
        {"AB", {0x41, 0x42}},
        {"A\\0D\\0A", {0x41, 0x0D, 0x0A}},
        {"\\\\", {0x5C}},
        {"x\\", {0x78}},
        {"x\\4", {0x78}},
        {"\\\\41", {0x5C, 0x34, 0x31}},
        {"\\ff", {0xFF}},
        {"\\FF", {0xFF}},
        {"\\", {}},
        {"", {}},
        {"\\00\\1F", {0x00, 0x1F}},
        {"\\4\\", {0x40}},  // a backslash as the second digit counts as 0
        {"\\\\\\", {0x5C}}, // then an unfinished escape
        {"\\zz", {0x00}},
        {"\\123", {0x12, 0x33}},
        {u"Ёё я"_qs, {0xA8, 0xB8, 0x20, 0xFF}},
        {u"€\u0098"_qs, {0x88, 0x98}},
        {u"日本"_qs, {'?', '?'}},
        {QString::fromUtf8("a\xF0\x9F\x98\x80z"), {'a', '?', 'z'}},
        {QString::fromUtf8("\\A\xF0\x9F\x98\x80z"), {0xA0, 'z'}},
        {QString(QChar(0)) + "A", {0x00, 0x41}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ParseSymbolLine(c.line), c.expect) << '"' << c.line.toStdString() << '"';
    }
}

TEST(ExchangeText, LongLinesDecodeWhole) {
    QString symbols;
    Bytes expectSymbols;
    for (int i = 0; i < 100000; ++i) {
        symbols.append(QChar(u'A' + i % 26));
        expectSymbols.push_back(static_cast<std::uint8_t>('A' + i % 26));
    }
    EXPECT_EQ(ParseSymbolLine(symbols), expectSymbols);

    // 100 000 characters of three-character tokens: 25 000 bytes, none dropped past 255.
    QString hex;
    Bytes expectHex;
    for (int i = 0; i < 25000; ++i) {
        hex.append(IntToHexPadded(i & 0xFF, 3));
        hex.append(u' ');
        expectHex.push_back(static_cast<std::uint8_t>(i & 0xFF));
    }
    ASSERT_EQ(hex.size(), 100000);
    EXPECT_EQ(ParseHexLine(hex), expectHex);

    // Escapes across the old 255-character limit keep their pairing.
    QString escapes;
    for (int i = 0; i < 1000; ++i) {
        escapes.append(u"\\7E");
    }
    EXPECT_EQ(ParseSymbolLine(escapes), Bytes(1000, 0x7E));
}

TEST(ExchangeText, ByteForms) {
    const struct {
        std::uint8_t b;
        QString hex;
        QString hexDecorated;
        QString ch;
        QString chDecorated;
    } cases[] = {
        {0x41, "41 ", "41(A) ", "A", "A(41)"},
        {0x00, "00 ", "00(.) ", u"\u2400"_qs, u"\u2400(00)"_qs},
        {0x0D, "0D ", "0D(.) ", "\r", "\r(0D)"},
        {0x20, "20 ", "20(.) ", " ", " (20)"},
        {0x21, "21 ", "21(!) ", "!", "!(21)"},
        {0x5C, "5C ", "5C(\\) ", "\\", "\\(5C)"},
        {0x7F, "7F ", u"7F(\u007F) "_qs, u"\u007F"_qs, u"\u007F(7F)"_qs},
        {0xA8, "A8 ", u"A8(Ё) "_qs, u"Ё"_qs, u"Ё(A8)"_qs},
        {0xFF, "FF ", u"FF(я) "_qs, u"я"_qs, u"я(FF)"_qs},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(int(c.b));
        EXPECT_EQ(ByteHexForm(c.b, false), c.hex);
        EXPECT_EQ(ByteHexForm(c.b, true), c.hexDecorated);
        EXPECT_EQ(ByteCharForm(c.b, false), c.ch);
        EXPECT_EQ(ByteCharForm(c.b, true), c.chDecorated);
    }
}

TEST(ExchangeText, FormsOfEveryByte) {
    Bytes all(256);
    QString perByte[2][2];
    for (int b = 0; b < 256; ++b) {
        const auto byte = static_cast<std::uint8_t>(b);
        all[b] = byte;
        const QChar shown = b == 0 ? QChar(u'\u2400') : Cp1251ToChar(byte);
        EXPECT_EQ(VisibleChar(byte), shown);
        for (bool decorated : {false, true}) {
            const QString hex = ByteHexForm(byte, decorated);
            const QString ch = ByteCharForm(byte, decorated);
            EXPECT_EQ(hex.left(2), IntToHexPadded(b, 2));
            EXPECT_EQ(hex.size(), decorated ? 6 : 3);
            EXPECT_TRUE(hex.endsWith(u' '));
            EXPECT_EQ(ch.front(), shown);
            EXPECT_FALSE(hex.contains(QChar(0)) || ch.contains(QChar(0))) << b;
            if (decorated) {
                EXPECT_EQ(hex.mid(2, 3), b <= 32 ? QString("(.)") : QString(u'(') + shown + u')');
                EXPECT_EQ(ch.mid(1), u'(' + IntToHexPadded(b, 2) + u')');
            }
            perByte[0][decorated] += hex;
            perByte[1][decorated] += ch;
        }
    }
    for (bool decorated : {false, true}) {
        // Bulk appends continue whatever the text holds.
        QString hex = "log:";
        QString ch = "log:";
        AppendHexForm(hex, all.data(), 100, decorated);
        AppendHexForm(hex, all.data() + 100, 156, decorated);
        AppendCharForm(ch, all.data(), all.size(), decorated);
        EXPECT_EQ(hex, "log:" + perByte[0][decorated]);
        EXPECT_EQ(ch, "log:" + perByte[1][decorated]);
    }
    // The eight-bit forms are the same text, one byte per character.
    for (bool decorated : {false, true}) {
        std::string hex8 = "log:", ch8 = "log:";
        AppendHexForm8(hex8, all.data(), 100, decorated);
        AppendHexForm8(hex8, all.data() + 100, 156, decorated);
        AppendCharForm8(ch8, all.data(), all.size(), decorated);
        auto shown = [](const std::string& s) {
            QString t = "log:";
            for (std::size_t i = 4; i < s.size(); ++i)
                t += VisibleChar(std::uint8_t(s[i]));
            return t;
        };
        EXPECT_EQ(shown(hex8), "log:" + perByte[0][decorated]);
        EXPECT_EQ(shown(ch8), "log:" + perByte[1][decorated]);
    }
    QString untouched = "x";
    AppendHexForm(untouched, nullptr, 0, true);
    AppendCharForm(untouched, nullptr, 0, false);
    EXPECT_EQ(untouched, "x");
}

} // namespace
