// SPDX-License-Identifier: GPL-3.0-or-later
#include "HexKit.h"

namespace {

constexpr char kBackspace = 8;
constexpr char kBlank = 32;

constexpr char16_t kHexDigits[] = u"0123456789ABCDEF";

} // namespace

THexKit::THexKit(QObject* owner) : QObject(owner) {}

char THexKit::HexKeyFilter(char Key, bool AllowSpace) const {
    if (AllowSpace && Key == kBlank) {
        return kBlank;
    }
    if (Key >= 'a' && Key <= 'f') {
        Key = static_cast<char>(Key - 32);
    }
    if ((Key >= '0' && Key <= '9') || Key == kBackspace || (Key >= 'A' && Key <= 'F')) {
        return Key;
    }
    return 0;
}

char THexKit::DigitKeyFilter(char Key, bool AllowSpace) const {
    if (AllowSpace && Key == kBlank) {
        return kBlank;
    }
    if ((Key >= '0' && Key <= '9') || Key == kBackspace) {
        return Key;
    }
    return 0;
}

std::int64_t PowerOf16(std::int32_t i) {
    // Exact integer powers: the result for 0..15 fits; negative powers are fractions below 1 and
    // truncate to 0; from 16 on the power is a multiple of 2^64, so 0 is its value modulo 2^64.
    if (i < 0 || i > 15) {
        return 0;
    }
    return std::int64_t{1} << (4 * i);
}

int HexDigitValue(QStringView text) {
    if (text.size() != 1) {
        return 0;
    }
    const char16_t c = text.front().unicode();
    if (c >= u'0' && c <= u'9') {
        return c - u'0';
    }
    if (c >= u'A' && c <= u'F') {
        return c - u'A' + 10;
    }
    if (c >= u'a' && c <= u'f') {
        return c - u'a' + 10;
    }
    return 0;
}

QString HexDigitChar(std::uint32_t value) {
    if (value > 15) {
        return {};
    }
    return QString(QChar(kHexDigits[value]));
}

std::int32_t HexToInt(QStringView text) {
    // 16^8 is a multiple of 2^32, so digits left of the rightmost eight add nothing: skip them
    // rather than walk a long text.
    const qsizetype len = text.size();
    const qsizetype first = len > 8 ? len - 8 : 0;
    std::uint32_t result = 0;
    for (qsizetype pos = first; pos < len; ++pos) {
        const auto digit = static_cast<std::uint32_t>(HexDigitValue(text.sliced(pos, 1)));
        const auto power = static_cast<std::uint32_t>(PowerOf16(static_cast<std::int32_t>(len - 1 - pos)));
        result += digit * power;
    }
    return static_cast<std::int32_t>(result);
}

QString IntToHexPadded(std::int32_t value, std::int32_t width) {
    // A negative value is no digit at all: only the padding remains.
    char16_t digits[8];
    int count = 0;
    if (value >= 0) {
        auto v = static_cast<std::uint32_t>(value);
        do {
            digits[count++] = kHexDigits[v % 16];
            v /= 16;
        } while (v != 0);
    }
    const qsizetype pad = width > count ? width - count : 0;
    QString out;
    out.reserve(pad + count);
    out.fill(u'0', pad);
    while (count > 0) {
        out.append(QChar(digits[--count]));
    }
    return out;
}
