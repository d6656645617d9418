// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Screen readers read the exchange log through Qt's accessibility interfaces: the text interface (the
// text by offsets, by character, word and line, the cursor and the selection) and the editable-text
// one, as they read a text editor. Offsets are positions of ExchangeLog::text().
//
// A run without a line break may be megabytes long, and a reader asks for the line at the caret on
// every move: a line, a word, the Value and the texts of change events are windows of at most
// AccessibleWindow characters around their offset (whole characters), never the whole of a long line.

#include <QtGlobal>

inline constexpr qint64 AccessibleWindow = 4096;

// Registers the interface of ExchangeLog with Qt's accessibility (once; later calls do nothing).
void installExchangeLogAccessibility();
