// SPDX-License-Identifier: GPL-3.0-or-later
#include "Cp1251.h"

#include <algorithm>
#include <array>

namespace {

// Characters of the bytes 0x80..0xFF; the lower half is ASCII. 0x98 is unassigned in the page and
// stands for itself, U+0098, so that no byte is lost.
constexpr std::array<char16_t, 128> kUpperHalf = {
    // 0x80
    u'\u0402', u'\u0403', u'\u201A', u'\u0453', u'\u201E', u'\u2026', u'\u2020', u'\u2021', //
    u'\u20AC', u'\u2030', u'\u0409', u'\u2039', u'\u040A', u'\u040C', u'\u040B', u'\u040F', //
    // 0x90
    u'\u0452', u'\u2018', u'\u2019', u'\u201C', u'\u201D', u'\u2022', u'\u2013', u'\u2014', //
    u'\u0098', u'\u2122', u'\u0459', u'\u203A', u'\u045A', u'\u045C', u'\u045B', u'\u045F', //
    // 0xA0
    u'\u00A0', u'\u040E', u'\u045E', u'\u0408', u'\u00A4', u'\u0490', u'\u00A6', u'\u00A7', //
    u'\u0401', u'\u00A9', u'\u0404', u'\u00AB', u'\u00AC', u'\u00AD', u'\u00AE', u'\u0407', //
    // 0xB0
    u'\u00B0', u'\u00B1', u'\u0406', u'\u0456', u'\u0491', u'\u00B5', u'\u00B6', u'\u00B7', //
    u'\u0451', u'\u2116', u'\u0454', u'\u00BB', u'\u0458', u'\u0405', u'\u0455', u'\u0457', //
    // 0xC0..0xFF: А..я in order
    u'\u0410', u'\u0411', u'\u0412', u'\u0413', u'\u0414', u'\u0415', u'\u0416', u'\u0417', //
    u'\u0418', u'\u0419', u'\u041A', u'\u041B', u'\u041C', u'\u041D', u'\u041E', u'\u041F', //
    u'\u0420', u'\u0421', u'\u0422', u'\u0423', u'\u0424', u'\u0425', u'\u0426', u'\u0427', //
    u'\u0428', u'\u0429', u'\u042A', u'\u042B', u'\u042C', u'\u042D', u'\u042E', u'\u042F', //
    u'\u0430', u'\u0431', u'\u0432', u'\u0433', u'\u0434', u'\u0435', u'\u0436', u'\u0437', //
    u'\u0438', u'\u0439', u'\u043A', u'\u043B', u'\u043C', u'\u043D', u'\u043E', u'\u043F', //
    u'\u0440', u'\u0441', u'\u0442', u'\u0443', u'\u0444', u'\u0445', u'\u0446', u'\u0447', //
    u'\u0448', u'\u0449', u'\u044A', u'\u044B', u'\u044C', u'\u044D', u'\u044E', u'\u044F', //
};

struct Reverse {
    char16_t ch;
    std::uint8_t byte;
};

// The upper half sorted by character, built from the table above at compile time.
constexpr std::array<Reverse, 128> kReverse = [] {
    std::array<Reverse, 128> r{};
    for (std::size_t i = 0; i < r.size(); ++i) {
        r[i] = {kUpperHalf[i], static_cast<std::uint8_t>(0x80 + i)};
    }
    std::sort(r.begin(), r.end(), [](const Reverse& a, const Reverse& b) { return a.ch < b.ch; });
    return r;
}();

constexpr bool allDistinct() {
    for (std::size_t i = 1; i < kReverse.size(); ++i) {
        if (kReverse[i - 1].ch == kReverse[i].ch || kReverse[i].ch < 0x80) {
            return false;
        }
    }
    return kReverse[0].ch >= 0x80;
}
static_assert(allDistinct(), "the upper half must map one to one onto characters outside ASCII");

constexpr std::uint8_t kUnknown = '?';

} // namespace

QChar Cp1251ToChar(std::uint8_t b) {
    return b < 0x80 ? QChar(char16_t(b)) : QChar(kUpperHalf[b - 0x80]);
}

std::uint8_t CharToCp1251(QChar c) {
    const char16_t u = c.unicode();
    if (u < 0x80) {
        return static_cast<std::uint8_t>(u);
    }
    const auto it = std::lower_bound(kReverse.begin(), kReverse.end(), u,
                                     [](const Reverse& r, char16_t v) { return r.ch < v; });
    return it != kReverse.end() && it->ch == u ? it->byte : kUnknown;
}

QString Cp1251ToString(const std::uint8_t* data, std::size_t n) {
    QString out(static_cast<qsizetype>(n), Qt::Uninitialized);
    QChar* dst = out.data();
    for (std::size_t i = 0; i < n; ++i) {
        dst[i] = Cp1251ToChar(data[i]);
    }
    return out;
}

QByteArray StringToCp1251(QStringView s) {
    QByteArray out;
    out.reserve(s.size());
    for (qsizetype i = 0; i < s.size(); ++i) {
        const QChar c = s[i];
        if (c.isHighSurrogate() && i + 1 < s.size() && s[i + 1].isLowSurrogate()) {
            // A character beyond the 16-bit range is one character the page lacks.
            out.append(char(kUnknown));
            ++i;
            continue;
        }
        out.append(static_cast<char>(CharToCp1251(c)));
    }
    return out;
}
