// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Screen readers read the exchange log through Qt's accessibility interfaces: the text interface (the
// text by offsets, by character, word and line, the cursor and the selection) and the editable-text
// one, as they read a text editor. Offsets are positions of ExchangeLog::text().

// Registers the interface of ExchangeLog with Qt's accessibility (once; later calls do nothing).
void installExchangeLogAccessibility();
