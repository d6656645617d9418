// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Text of the exchange page: decoding a typed line into bytes, and the forms a byte is shown in.

#include <QChar>
#include <QString>
#include <QStringView>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Hex codes separated by blanks (code 32 only; tabs, commas and the like belong to a token). Of a
// token longer than two characters only the last two count; each token gives one byte.
std::vector<std::uint8_t> ParseHexLine(QStringView line);

// Characters in the Windows-1251 page, with escapes: a backslash before a backslash gives 0x5C; a
// backslash before two characters gives the byte with those hex digits ('\ff' is 0xFF). An escape
// left open at the end of the line gives nothing. Lines of any length are decoded whole.
std::vector<std::uint8_t> ParseSymbolLine(QStringView line);

// The character a byte is shown as. Byte 0 would end the text in a text control, so it is shown as
// the symbol U+2400 instead.
QChar VisibleChar(std::uint8_t b);

// Two hex digits; decorated adds "(.)" for codes up to 32, else "(" + the character + ")"; then one
// blank.
QString ByteHexForm(std::uint8_t b, bool decorated);

// The character; decorated adds "(" + two hex digits + ")".
QString ByteCharForm(std::uint8_t b, bool decorated);

// The forms of a whole block appended to out in one go: the same text as joining the forms of the
// bytes one by one, without allocating per byte.
void AppendHexForm(QString& out, const std::uint8_t* data, std::size_t n, bool decorated);
void AppendCharForm(QString& out, const std::uint8_t* data, std::size_t n, bool decorated);

// The same forms in eight bits: one byte per character, each byte standing for the character that
// VisibleChar gives it (a byte 0 for U+2400, every other byte for its character in the code page).
// Half the size of the text, and made without a table lookup per byte. The character form without
// decoration is the block itself.
void AppendHexForm8(std::string& out, const std::uint8_t* data, std::size_t n, bool decorated);
void AppendCharForm8(std::string& out, const std::uint8_t* data, std::size_t n, bool decorated);
