// SPDX-License-Identifier: GPL-3.0-or-later
#include "HexKit.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>

namespace {

struct FilterCase {
    char key;
    bool allowSpace;
    char hex;   // HexKeyFilter result
    char digit; // DigitKeyFilter result
};

TEST(HexKit, KeyFiltersKeepOnlyTheirCharacters) {
    const FilterCase cases[] = {
        {'a', false, 'A', 0},
        {'f', false, 'F', 0},
        {'f', true, 'F', 0},
        {'g', false, 0, 0},
        {'G', false, 0, 0},
        {'A', false, 'A', 0},
        {'F', true, 'F', 0},
        {'0', false, '0', '0'},
        {'5', true, '5', '5'},
        {'9', false, '9', '9'},
        {8, false, 8, 8},
        {8, true, 8, 8},
        {' ', false, 0, 0},
        {' ', true, ' ', ' '},
        {13, false, 0, 0},
        {13, true, 0, 0},
        {27, false, 0, 0},
        {'-', false, 0, 0},
        {'.', true, 0, 0},
        {',', false, 0, 0},
        {'z', false, 0, 0},
        {'@', false, 0, 0},
        {'`', false, 0, 0},
        {0, false, 0, 0},
        // Windows-1251 letters are negative as a char: Cyrillic 'а' (0xE0) and 'Б' (0xC1), 0xFF.
        {char(0xE0), false, 0, 0},
        {char(0xC1), true, 0, 0},
        {char(0xFF), false, 0, 0},
        // 'a' - 32 lands on 'A'; the bytes 32 above 'A'..'F' must not fold onto digits or letters.
        {char(0x81), false, 0, 0},
        {char(0xC6), false, 0, 0},
    };
    const THexKit kit;
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "key " << int(static_cast<unsigned char>(c.key)) << " allow " << c.allowSpace);
        EXPECT_EQ(kit.HexKeyFilter(c.key, c.allowSpace), c.hex);
        EXPECT_EQ(kit.DigitKeyFilter(c.key, c.allowSpace), c.digit);
    }
}

TEST(HexKit, KeyFiltersOverEveryByte) {
    const THexKit kit;
    for (int k = 0; k < 256; ++k) {
        const char key = static_cast<char>(k);
        const bool hex = (k >= '0' && k <= '9') || (k >= 'A' && k <= 'F') || (k >= 'a' && k <= 'f') || k == 8;
        const bool digit = (k >= '0' && k <= '9') || k == 8;
        for (bool allow : {false, true}) {
            const bool blank = allow && k == ' ';
            char expectHex = hex || blank ? key : 0;
            if (k >= 'a' && k <= 'f') {
                expectHex = static_cast<char>(k - 32);
            }
            EXPECT_EQ(kit.HexKeyFilter(key, allow), expectHex) << k << ' ' << allow;
            EXPECT_EQ(kit.DigitKeyFilter(key, allow), digit || blank ? key : 0) << k << ' ' << allow;
        }
    }
}

TEST(HexKit, OwnedByItsParent) {
    QObject owner;
    auto* kit = new THexKit(&owner);
    EXPECT_EQ(kit->parent(), &owner);
}

TEST(HexKit, PowerOf16) {
    const struct {
        std::int32_t i;
        std::int64_t expect;
    } cases[] = {
        {0, 1},         {1, 16},           {2, 256},
        {7, 268435456}, {8, 4294967296LL}, {15, std::int64_t{1} << 60},
        {-1, 0},        {-2, 0},           {INT32_MIN, 0},
        {16, 0}, // 2^64 modulo 2^64
        {17, 0},        {INT32_MAX, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(PowerOf16(c.i), c.expect) << c.i;
    }
}

TEST(HexKit, HexDigitValue) {
    const struct {
        const char16_t* text;
        int expect;
    } cases[] =
        {
            {u"0", 0},  {u"9", 9},  {u"A", 10}, {u"a", 10}, {u"B", 11},     {u"c", 12},
            {u"D", 13}, {u"e", 14}, {u"F", 15}, {u"f", 15}, {u"G", 0},      {u"g", 0},
            {u"", 0},   {u"12", 0}, {u"A ", 0}, {u" ", 0},  {u"/", 0},      {u":", 0},
            {u"@", 0},  {u"`", 0},  {u"\t", 0}, {u"Ё", 0},  {u"\uFF21", 0}, // full-width A
        };
    for (const auto& c : cases) {
        EXPECT_EQ(HexDigitValue(QStringView(c.text)), c.expect) << QString::fromUtf16(c.text).toStdString();
    }
}

TEST(HexKit, HexDigitChar) {
    const char16_t* digits = u"0123456789ABCDEF";
    for (std::uint32_t v = 0; v < 16; ++v) {
        EXPECT_EQ(HexDigitChar(v), QString(QChar(digits[v])));
    }
    for (std::uint32_t v : {16U, 17U, 255U, 0xFFFFFFFFU, 0x80000000U}) {
        EXPECT_TRUE(HexDigitChar(v).isEmpty()) << v;
    }
    EXPECT_TRUE(HexDigitChar(static_cast<std::uint32_t>(-1)).isEmpty());
}

TEST(HexKit, HexToInt) {
    const struct {
        QString text;
        std::int32_t expect;
    } cases[] = {
        {"", 0},
        {"0", 0},
        {"a", 10},
        {"0A", 10},
        {"FF", 255},
        {"ff", 255},
        {"fF", 255},
        {"100", 256},
        {"7FFFFFFF", INT32_MAX},
        {"80000000", INT32_MIN},
        {"FFFFFFFF", -1},
        {"100000000", 0},
        {"123456789", 0x23456789},
        {"FFFFFFFFFFFFFFFFFFFF", -1}, // beyond 16 digits
        {"DEADBEEF00000001", 1},
        {"G1", 1}, // a non-digit counts as 0 in its place
        {"1G", 16},
        {"1 2", 0x102},
        {"Ё7", 7},
        {QString(100000, u'F') + "12", std::int32_t(0xFFFFFF12U - 0x100000000LL)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(HexToInt(c.text), c.expect) << c.text.left(40).toStdString();
    }
}

TEST(HexKit, IntToHexPadded) {
    const struct {
        std::int32_t value;
        std::int32_t width;
        const char* expect;
    } cases[] = {
        {0, 2, "00"},
        {0, 0, "0"},
        {10, 2, "0A"},
        {15, 1, "F"},
        {16, 1, "10"},
        {255, 2, "FF"},
        {256, 2, "100"},
        {5, 0, "5"},
        {5, -3, "5"},
        {4660, 2, "1234"},
        {0xABCDEF, 8, "00ABCDEF"},
        {INT32_MAX, 0, "7FFFFFFF"},
        {INT32_MAX, 10, "007FFFFFFF"},
        {-1, 2, "00"},
        {-1, 0, ""},
        {-1, -5, ""},
        {INT32_MIN, 3, "000"},
        {INT32_MIN, 0, ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(IntToHexPadded(c.value, c.width), QString::fromLatin1(c.expect))
            << c.value << ',' << c.width;
    }
}

TEST(HexKit, PaddedHexReadsBack) {
    for (std::int32_t v : {0, 1, 15, 16, 255, 256, 0x12345678, INT32_MAX}) {
        for (std::int32_t w : {0, 2, 8, 12}) {
            EXPECT_EQ(HexToInt(IntToHexPadded(v, w)), v) << v << ',' << w;
        }
    }
}

} // namespace
