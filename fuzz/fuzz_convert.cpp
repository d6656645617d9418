// SPDX-License-Identifier: GPL-3.0-or-later
// libFuzzer target for the conversion layer: arbitrary text through the hex readers, the codec and
// the line decoders, arbitrary integers through the writers, with the invariants that tie them.
#include "Cp1251.h"
#include "ExchangeText.h"
#include "HexKit.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

void check(bool ok) {
    if (!ok) {
        std::abort();
    }
}

std::int32_t readInt(const std::uint8_t* data, std::size_t size) {
    std::uint32_t v = 0;
    std::memcpy(&v, data, size < 4 ? size : 4);
    return static_cast<std::int32_t>(v);
}

// The decoders must agree with what a character at a time says about them.
void checkHexLine(QStringView line) {
    const std::vector<std::uint8_t> bytes = ParseHexLine(line);
    std::size_t tokens = 0;
    bool inToken = false;
    for (QChar c : line) {
        const bool blank = c == u' ';
        tokens += !blank && !inToken;
        inToken = !blank;
    }
    check(bytes.size() == tokens);
}

void checkSymbolLine(QStringView line) {
    const std::vector<std::uint8_t> bytes = ParseSymbolLine(line);
    check(bytes.size() <= static_cast<std::size_t>(line.size()));
    if (!line.contains(u'\\')) {
        // Without escapes the line goes through the codec as it stands.
        const QByteArray direct = StringToCp1251(line);
        check(direct.size() == static_cast<qsizetype>(bytes.size()));
        check(bytes.empty() || std::memcmp(direct.constData(), bytes.data(), bytes.size()) == 0);
    }
    // Any bytes, shown as characters with backslashes doubled, decode back to themselves.
    QString text = Cp1251ToString(bytes.data(), bytes.size());
    text.replace(u"\\"_qs, u"\\\\"_qs);
    check(ParseSymbolLine(text) == bytes);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Codec: bytes -> text -> bytes is the identity.
    const QString text = Cp1251ToString(data, size);
    const QByteArray back = StringToCp1251(text);
    check(back.size() == static_cast<qsizetype>(size));
    check(size == 0 || std::memcmp(back.constData(), data, size) == 0);

    // The input read as UTF-16 reaches characters the page lacks, surrogates among them.
    QString wide(static_cast<qsizetype>(size / 2), Qt::Uninitialized);
    std::memcpy(wide.data(), data, size / 2 * 2);
    for (const QString& s : {text, wide}) {
        const std::int32_t whole = HexToInt(s);
        check(whole == HexToInt(QStringView(s).right(8)));
        const int digit = HexDigitValue(s);
        check(digit >= 0 && digit <= 15);
        if (s.size() != 1) {
            check(digit == 0);
        }
        checkHexLine(s);
        checkSymbolLine(s);
        for (QChar c : s) {
            check(CharToCp1251(c) == '?' || Cp1251ToChar(CharToCp1251(c)) == c);
        }
    }

    // Integers: padded hex reads back, and keeps its width.
    const std::int32_t value = readInt(data, size);
    const std::int32_t width = size > 4 ? static_cast<std::int8_t>(data[4]) : 2;
    const QString hex = IntToHexPadded(value, width);
    if (value >= 0) {
        check(HexToInt(hex) == value);
        check(hex.size() >= width && hex.size() >= 1);
    } else {
        check(hex == QString(width > 0 ? width : 0, u'0'));
    }
    const std::int64_t power = PowerOf16(value);
    check(value >= 0 && value <= 15 ? power == (std::int64_t{1} << (4 * value)) : power == 0);
    const QString digitChar = HexDigitChar(static_cast<std::uint32_t>(value));
    check(static_cast<std::uint32_t>(value) <= 15 ? digitChar.size() == 1 : digitChar.isEmpty());

    // Display forms: bulk equals per byte, and no byte shows as a NUL.
    const std::size_t shown = size < 64 ? size : 64;
    for (bool decorated : {false, true}) {
        QString bulkHex;
        QString bulkChar;
        AppendHexForm(bulkHex, data, shown, decorated);
        AppendCharForm(bulkChar, data, shown, decorated);
        QString oneHex;
        QString oneChar;
        for (std::size_t i = 0; i < shown; ++i) {
            oneHex += ByteHexForm(data[i], decorated);
            oneChar += ByteCharForm(data[i], decorated);
        }
        check(bulkHex == oneHex && bulkChar == oneChar);
        check(!bulkHex.contains(QChar(0)) && !bulkChar.contains(QChar(0)));
    }
    return 0;
}
