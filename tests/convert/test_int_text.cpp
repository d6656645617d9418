// SPDX-License-Identifier: GPL-3.0-or-later
#include "IntText.h"

#include <QString>
#include <gtest/gtest.h>

#include <optional>

TEST(IntText, ReadsSigned32BitDecimalsAndNothingElse) {
    struct Case {
        const char16_t* text;
        std::optional<std::int32_t> value;
    };
    const Case cases[] = {
        {u"0", 0},
        {u"000", 0},
        {u"9600", 9600},
        {u"256001", 256001},
        {u"+7", 7},
        {u"-5", -5},
        {u"2147483647", 2147483647},
        {u"-2147483648", -2147483647 - 1},
        {u"2147483648", std::nullopt},
        {u"99999999999", std::nullopt},
        {u"99999999999999999999999999", std::nullopt},
        {u"", std::nullopt},
        {u"-", std::nullopt},
        {u"abc", std::nullopt},
        {u"12a", std::nullopt},
        {u" 12", std::nullopt},
        {u"12 ", std::nullopt},
        {u"١٢", std::nullopt}, // digits of another script are no decimal digits here
    };
    for (const auto& c : cases)
        EXPECT_EQ(StrToInt(QStringView(c.text)), c.value) << QString::fromUtf16(c.text).toStdString();
}
