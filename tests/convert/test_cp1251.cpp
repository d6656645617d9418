// SPDX-License-Identifier: GPL-3.0-or-later
#include "Cp1251.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <vector>

namespace {

TEST(Cp1251, EveryByteRoundTrips) {
    std::set<char16_t> seen;
    std::vector<std::uint8_t> all(256);
    for (int b = 0; b < 256; ++b) {
        all[b] = static_cast<std::uint8_t>(b);
        const QChar c = Cp1251ToChar(static_cast<std::uint8_t>(b));
        EXPECT_EQ(CharToCp1251(c), b) << b;
        EXPECT_TRUE(seen.insert(c.unicode()).second) << "two bytes share U+" << std::hex << int(c.unicode());
    }
    const QString text = Cp1251ToString(all.data(), all.size());
    ASSERT_EQ(text.size(), 256);
    const QByteArray back = StringToCp1251(text);
    ASSERT_EQ(back.size(), 256);
    for (int b = 0; b < 256; ++b) {
        EXPECT_EQ(static_cast<std::uint8_t>(back[b]), b);
        EXPECT_EQ(text[b], Cp1251ToChar(static_cast<std::uint8_t>(b)));
    }
}

TEST(Cp1251, KnownCharacters) {
    const struct {
        std::uint8_t byte;
        char16_t ch;
    } cases[] = {
        {0x00, u'\0'}, {0x0A, u'\n'},     {0x41, u'A'}, {0x5C, u'\\'},     {0x7F, u'\u007F'}, {0x80, u'Ђ'},
        {0x88, u'€'},  {0x98, u'\u0098'}, {0x99, u'™'}, {0xA0, u'\u00A0'}, {0xA8, u'Ё'},      {0xB8, u'ё'},
        {0xB9, u'№'},  {0xC0, u'А'},      {0xCF, u'П'}, {0xDF, u'Я'},      {0xE0, u'а'},      {0xFF, u'я'},
        {0xA5, u'Ґ'},  {0xB4, u'ґ'},      {0x96, u'–'}, {0x97, u'—'},      {0xAB, u'«'},      {0xBB, u'»'},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Cp1251ToChar(c.byte), QChar(c.ch)) << int(c.byte);
        EXPECT_EQ(CharToCp1251(QChar(c.ch)), c.byte) << int(c.byte);
    }
    // А..я run without a gap from 0xC0 to 0xFF.
    for (int b = 0xC0; b <= 0xFF; ++b) {
        EXPECT_EQ(Cp1251ToChar(static_cast<std::uint8_t>(b)).unicode(), 0x0410 + (b - 0xC0)) << b;
    }
}

TEST(Cp1251, CharactersOutsideThePageBecomeQuestionMarks) {
    for (char16_t c : {u'\u0080', u'\u00FF', u'\u00E9', u'\u0400', u'\u0450', u'\u0460', u'\u20AD', u'\u2400',
                       u'\uFFFD', u'\uFFFF', u'\u4E2D', char16_t(0xD800), char16_t(0xDC00)}) {
        EXPECT_EQ(CharToCp1251(QChar(c)), '?') << std::hex << int(c);
    }
    EXPECT_EQ(StringToCp1251(u"Привет, мир!"), QByteArray("\xCF\xF0\xE8\xE2\xE5\xF2, \xEC\xE8\xF0!"));
    // A character beyond 16 bits is one character, one '?'; a lone surrogate is one '?' too.
    EXPECT_EQ(StringToCp1251(QString::fromUtf8("a\xF0\x9F\x98\x80z")), QByteArray("a?z"));
    EXPECT_EQ(StringToCp1251(QStringView(u"a\xD800z")), QByteArray("a?z"));
    EXPECT_EQ(StringToCp1251(QStringView()), QByteArray());
    EXPECT_TRUE(Cp1251ToString(nullptr, 0).isEmpty());
}

} // namespace
