// SPDX-License-Identifier: GPL-3.0-or-later
// Decimal text to a number, as typed values are read.
#pragma once

#include <QStringView>

#include <cstdint>
#include <optional>

// A signed 32-bit decimal integer: an optional sign and at least one digit, nothing else (no blanks).
// Anything else, or a value outside the 32-bit range, gives nothing.
std::optional<std::int32_t> StrToInt(QStringView text);
