// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Hexadecimal text conversions and the key filters of the window's entry fields.
// Everything here is stateless and safe to call from any thread.

#include <QObject>
#include <QString>
#include <QStringView>

#include <cstdint>

// The key-filter component the window carries. Keys are 8-bit Windows-1251 character codes; a result
// of 0 means the key press is swallowed.
class THexKit : public QObject {
    Q_OBJECT
public:
    explicit THexKit(QObject* owner = nullptr);

    // Hex digits, with "a".."f" folded to upper case, and backspace (8); a blank too when AllowSpace.
    char HexKeyFilter(char Key, bool AllowSpace) const;
    // Decimal digits and backspace (8); a blank too when AllowSpace.
    char DigitKeyFilter(char Key, bool AllowSpace) const;
};

// 16 to the power i. Exact for 0..15; 0 for any negative i (the fraction truncates away); 0 for
// i >= 16 as well, since 16^16 = 2^64 and every higher power is that much modulo 2^64.
std::int64_t PowerOf16(std::int32_t i);

// Value of a text that is exactly one hex digit ("0".."9", "A".."F", "a".."f"); 0 for anything else
// (the empty text, several characters, any other character).
int HexDigitValue(QStringView text);

// "0".."9", "A".."F" for 0..15; the empty text for any other value.
QString HexDigitChar(std::uint32_t value);

// Hex digits to a 32-bit integer with two's complement wrap: only the rightmost eight characters
// count, 'FFFFFFFF' is -1. A character that is no hex digit counts as the digit 0.
std::int32_t HexToInt(QStringView text);

// Upper-case hex digits of value with "0"s in front up to width characters; never cut. A negative
// value has no digits: the result is width "0"s (empty when width <= 0).
QString IntToHexPadded(std::int32_t value, std::int32_t width);
