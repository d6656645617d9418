// SPDX-License-Identifier: GPL-3.0-or-later
#include "ExchangeText.h"

#include "Cp1251.h"
#include "HexKit.h"

namespace {

constexpr char16_t kBlank = u' ';
constexpr char16_t kBackslash = u'\\';
constexpr char16_t kNulSymbol = u'\u2400';
constexpr char16_t kHexDigits[] = u"0123456789ABCDEF";

// Lines are read character by character, and a character outside the 16-bit range is a surrogate
// pair: one character, so one '?' in a plain run and a non-digit in a code.
qsizetype charLenAt(QStringView s, qsizetype i) {
    return s[i].isHighSurrogate() && i + 1 < s.size() && s[i + 1].isLowSurrogate() ? 2 : 1;
}

qsizetype charLenBefore(QStringView s, qsizetype end, qsizetype start) {
    return end - 2 >= start && s[end - 1].isLowSurrogate() && s[end - 2].isHighSurrogate() ? 2 : 1;
}

// Low 8 bits of the two-digit code first·second, the same as HexToInt of the pair.
std::uint8_t codeOf(QStringView first, QStringView second) {
    return static_cast<std::uint8_t>((HexDigitValue(first) * 16 + HexDigitValue(second)) & 0xFF);
}

std::uint8_t plainByte(QStringView ch) {
    return ch.size() == 1 ? CharToCp1251(ch.front()) : std::uint8_t{'?'};
}

QChar* putHex(QChar* p, std::uint8_t b) {
    *p++ = QChar(kHexDigits[b >> 4]);
    *p++ = QChar(kHexDigits[b & 0x0F]);
    return p;
}

QChar* putHexForm(QChar* p, std::uint8_t b, bool decorated) {
    p = putHex(p, b);
    if (decorated) {
        *p++ = QChar(u'(');
        *p++ = b <= 32 ? QChar(u'.') : VisibleChar(b);
        *p++ = QChar(u')');
    }
    *p++ = QChar(kBlank);
    return p;
}

QChar* putCharForm(QChar* p, std::uint8_t b, bool decorated) {
    *p++ = VisibleChar(b);
    if (decorated) {
        *p++ = QChar(u'(');
        p = putHex(p, b);
        *p++ = QChar(u')');
    }
    return p;
}

constexpr qsizetype hexFormLen(bool decorated) {
    return decorated ? 6 : 3;
}
constexpr qsizetype charFormLen(bool decorated) {
    return decorated ? 5 : 1;
}

} // namespace

std::vector<std::uint8_t> ParseHexLine(QStringView line) {
    std::vector<std::uint8_t> out;
    const qsizetype len = line.size();
    qsizetype pos = 0;
    while (pos < len) {
        if (line[pos] == kBlank) {
            ++pos;
            continue;
        }
        const qsizetype start = pos;
        while (pos < len && line[pos] != kBlank) {
            ++pos;
        }
        // Only the last two characters of the token count.
        const qsizetype lastLen = charLenBefore(line, pos, start);
        const QStringView last = line.sliced(pos - lastLen, lastLen);
        const qsizetype before = pos - lastLen;
        if (before == start) {
            out.push_back(static_cast<std::uint8_t>(HexDigitValue(last)));
        } else {
            const qsizetype prevLen = charLenBefore(line, before, start);
            out.push_back(codeOf(line.sliced(before - prevLen, prevLen), last));
        }
    }
    return out;
}

std::vector<std::uint8_t> ParseSymbolLine(QStringView line) {
    enum class State { Plain, Escape1, Escape2 };
    std::vector<std::uint8_t> out;
    out.reserve(static_cast<std::size_t>(line.size()));
    State state = State::Plain;
    QStringView first;
    for (qsizetype pos = 0; pos < line.size();) {
        const qsizetype n = charLenAt(line, pos);
        const QStringView ch = line.sliced(pos, n);
        pos += n;
        switch (state) {
        case State::Plain:
            if (ch.size() == 1 && ch.front() == kBackslash) {
                state = State::Escape1;
            } else {
                out.push_back(plainByte(ch));
            }
            break;
        case State::Escape1:
            if (ch.size() == 1 && ch.front() == kBackslash) {
                out.push_back(0x5C);
                state = State::Plain;
            } else {
                first = ch;
                state = State::Escape2;
            }
            break;
        case State::Escape2:
            out.push_back(codeOf(first, ch));
            state = State::Plain;
            break;
        }
    }
    return out;
}

QChar VisibleChar(std::uint8_t b) {
    return b == 0 ? QChar(kNulSymbol) : Cp1251ToChar(b);
}

QString ByteHexForm(std::uint8_t b, bool decorated) {
    QString out;
    AppendHexForm(out, &b, 1, decorated);
    return out;
}

QString ByteCharForm(std::uint8_t b, bool decorated) {
    QString out;
    AppendCharForm(out, &b, 1, decorated);
    return out;
}

void AppendHexForm(QString& out, const std::uint8_t* data, std::size_t n, bool decorated) {
    const qsizetype old = out.size();
    out.resize(old + static_cast<qsizetype>(n) * hexFormLen(decorated));
    QChar* p = out.data() + old;
    for (std::size_t i = 0; i < n; ++i) {
        p = putHexForm(p, data[i], decorated);
    }
}

void AppendCharForm(QString& out, const std::uint8_t* data, std::size_t n, bool decorated) {
    const qsizetype old = out.size();
    out.resize(old + static_cast<qsizetype>(n) * charFormLen(decorated));
    QChar* p = out.data() + old;
    for (std::size_t i = 0; i < n; ++i) {
        p = putCharForm(p, data[i], decorated);
    }
}

namespace {

char* putHex8(char* p, std::uint8_t b) {
    *p++ = char(kHexDigits[b >> 4]);
    *p++ = char(kHexDigits[b & 0x0F]);
    return p;
}

} // namespace

void AppendHexForm8(std::string& out, const std::uint8_t* data, std::size_t n, bool decorated) {
    const std::size_t old = out.size();
    out.resize(old + n * std::size_t(hexFormLen(decorated)));
    char* p = out.data() + old;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t b = data[i];
        p = putHex8(p, b);
        if (decorated) {
            *p++ = '(';
            *p++ = b <= 32 ? '.' : char(b); // the byte stands for its own character
            *p++ = ')';
        }
        *p++ = ' ';
    }
}

void AppendCharForm8(std::string& out, const std::uint8_t* data, std::size_t n, bool decorated) {
    if (!decorated) {
        out.append(reinterpret_cast<const char*>(data), n);
        return;
    }
    const std::size_t old = out.size();
    out.resize(old + n * std::size_t(charFormLen(decorated)));
    char* p = out.data() + old;
    for (std::size_t i = 0; i < n; ++i) {
        *p++ = char(data[i]);
        *p++ = '(';
        p = putHex8(p, data[i]);
        *p++ = ')';
    }
}
