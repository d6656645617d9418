// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The Windows-1251 code page: bytes shown in and typed into the window's text controls.
// One table serves both directions, so every byte survives a round trip through text.

#include <QByteArray>
#include <QChar>
#include <QString>
#include <QStringView>

#include <cstddef>
#include <cstdint>

// The character of a byte. 0x00..0x7F are ASCII (0 gives U+0000); the one unassigned code, 0x98,
// maps to U+0098 so that it round-trips like every other byte.
QChar Cp1251ToChar(std::uint8_t b);

// The byte of a character; '?' (0x3F) for a character the page does not hold.
std::uint8_t CharToCp1251(QChar c);

QString Cp1251ToString(const std::uint8_t* data, std::size_t n);

// One byte per UTF-16 code unit; a surrogate pair is one character and gives one '?'.
QByteArray StringToCp1251(QStringView s);
