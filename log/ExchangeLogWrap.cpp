// SPDX-License-Identifier: GPL-3.0-or-later
// The exchange log's screen rows: a line per row, or, wrapping, as many rows as a line's cells need at
// the viewport's width. Where a position shows, what shows at a place, and the scrolling that brings a
// place into view.
//
// Wrapping keeps the first row of every line in m_rows (a running count), so a row's line is a binary
// search and a line's first row a look-up. Lines appended at the end are counted as they come: an append
// touches the last line counted and adds new ones. An edit counts again from its line on; a new width or
// font counts everything again.
#include "ExchangeLog.h"

#include <QScrollBar>

#include <cmath>

void ExchangeLog::setLineWrap(bool on) {
    if (m_wrap == on)
        return;
    shown();
    // The line at the top stays at the top.
    const qint64 topLine = rowLine(verticalScrollBar()->value()).first;
    m_wrap = on;
    std::vector<qint64>().swap(m_rows);
    m_rowsValid = 0;
    m_rowsCols = -1;
    m_wantedColumn = -1;
    m_rowEnd = false;
    m_scrolling = true;
    horizontalScrollBar()->setValue(0);
    updateScrollBars();
    verticalScrollBar()->setValue(toInt(firstRowOf(topLine)));
    m_scrolling = false;
    followEnd();
    viewport()->update();
}

qint64 ExchangeLog::wrapColumns() const {
    // The whole cells in the text's width, less a pixel for the cursor after a full row's last cell.
    return std::max<qint64>(1, qint64((viewport()->width() - textLeft() - 1) / m_cellWidth));
}

void ExchangeLog::updateRows() const {
    const qint64 cols = wrapColumns();
    if (cols != m_rowsCols) {
        m_rowsCols = cols;
        m_rowsValid = 0;
    }
    if (m_marks.generation() != m_rowsMarks) {
        // A mark is added at the end of the text, on the last line counted or after it; an edit that
        // moves marks has said where it was.
        m_rowsMarks = m_marks.generation();
        m_rowsValid = std::min(m_rowsValid, std::max<qint64>(0, qint64(m_rows.size()) - 2));
    }
    const qint64 lines = m_text.lineCount();
    if (m_rowsValid == lines && qint64(m_rows.size()) == lines + 1)
        return;
    m_rowsValid = std::clamp<qint64>(std::min(m_rowsValid, qint64(m_rows.size()) - 1), 0, lines);
    m_rows.resize(std::size_t(m_rowsValid + 1)); // m_rows[0] is 0
    for (qint64 line = m_rowsValid; line < lines; ++line)
        m_rows.push_back(m_rows.back() + std::max<qint64>(1, (screenLineLength(line) + cols - 1) / cols));
    m_rowsValid = lines;
}

qint64 ExchangeLog::rowCount() const {
    if (!m_wrap)
        return m_text.lineCount();
    updateRows();
    return m_rows.back();
}

qint64 ExchangeLog::firstRowOf(qint64 line) const {
    if (!m_wrap)
        return line;
    updateRows();
    return m_rows[std::size_t(std::clamp<qint64>(line, 0, m_text.lineCount()))];
}

std::pair<qint64, qint64> ExchangeLog::rowLine(qint64 row) const {
    if (!m_wrap)
        return {std::clamp<qint64>(row, 0, m_text.lineCount() - 1), 0};
    updateRows();
    row = std::clamp<qint64>(row, 0, m_rows.back() - 1);
    const auto line = qint64(std::upper_bound(m_rows.begin(), m_rows.end(), row) - m_rows.begin()) - 1;
    return {line, row - m_rows[std::size_t(line)]};
}

void ExchangeLog::eachRow(qint64 firstRow, int count,
                          const std::function<void(int, qint64, qint64)>& f) const {
    if (firstRow < 0 || firstRow >= rowCount())
        return;
    auto [line, k] = rowLine(firstRow);
    const qint64 lines = m_text.lineCount();
    for (int r = 0; r < count && line < lines; ++r) {
        f(r, line, k);
        if (m_wrap && k + 1 < m_rows[std::size_t(line + 1)] - m_rows[std::size_t(line)]) {
            ++k;
        } else {
            k = 0;
            ++line;
        }
    }
}

ExchangeLog::Spot ExchangeLog::spotOf(qint64 pos) const {
    pos = std::clamp<qint64>(pos, 0, m_text.size());
    const qint64 line = m_text.lineOf(pos);
    const qint64 start = m_text.lineStart(line);
    const qint64 col = pos - start + markCellsUpTo(start, pos);
    if (!m_wrap)
        return {line, col - horizontalScrollBar()->value()};
    updateRows();
    const qint64 cols = m_rowsCols;
    const auto l = std::size_t(line);
    // The end of a line that fills its last row shows after that row's last cell.
    const qint64 k = std::min(col / cols, m_rows[l + 1] - m_rows[l] - 1);
    return {m_rows[l] + k, col - k * cols};
}

ExchangeLog::Spot ExchangeLog::cursorSpot() const {
    const Spot s = spotOf(m_cursor);
    if (m_wrap && m_rowEnd && s.col == 0 && rowLine(s.row).second > 0)
        return {s.row - 1, m_rowsCols};
    return s;
}

QRect ExchangeLog::spotRect(Spot s) const {
    const qreal x = textLeft() + qreal(s.col) * m_cellWidth;
    const qint64 y = kTopMargin + (s.row - verticalScrollBar()->value()) * m_rowHeight;
    return QRect(int(std::clamp<qreal>(x, -1e9, 1e9)), int(std::clamp<qint64>(y, -1000000000, 1000000000)),
                 int(std::ceil(m_cellWidth)), m_rowHeight);
}

ExchangeLog::Spot ExchangeLog::spotAt(QPoint p) const {
    return {verticalScrollBar()->value() + qint64(std::floor(qreal(p.y() - kTopMargin) / m_rowHeight)),
            qint64(std::floor((p.x() - textLeft()) / m_cellWidth + 0.5))};
}

qint64 ExchangeLog::positionOnRow(qint64 row, qint64 col, bool* rowEnd) const {
    row = std::clamp<qint64>(row, 0, rowCount() - 1);
    const auto [line, k] = rowLine(row);
    const qint64 start = m_text.lineStart(line);
    const qint64 len = m_text.lineLength(line);
    col = m_wrap ? k * m_rowsCols + std::clamp<qint64>(col, 0, m_rowsCols)
                 : col + horizontalScrollBar()->value();
    // Columns taken by marks are not the line's: a point on a mark is the position in front of it.
    if (!m_marks.isEmpty()) {
        const auto [m0, m1] = m_marks.within(start, start + len);
        for (std::size_t i = m0; i < m1; ++i) {
            const qint64 at = m_marks[i].pos - start;
            if (col <= at)
                break;
            col = std::max(at, col - markCells(m_marks[i]));
        }
    }
    qint64 pos = start + std::clamp<qint64>(col, 0, len);
    if (pos > start && m_text.at(pos).isLowSurrogate() && m_text.at(pos - 1).isHighSurrogate())
        --pos;
    if (rowEnd)
        *rowEnd = m_wrap && spotOf(pos).row > row;
    return pos;
}

qint64 ExchangeLog::positionAt(QPoint p) const {
    shown();
    const Spot s = spotAt(p);
    return positionOnRow(s.row, s.col);
}

QRect ExchangeLog::characterRect(qint64 pos) const {
    shown();
    return cellRect(pos);
}

QRect ExchangeLog::cellRect(qint64 pos) const {
    return spotRect(spotOf(pos));
}

std::pair<qint64, qint64> ExchangeLog::screenRowRange(qint64 pos) const {
    shown();
    pos = std::clamp<qint64>(pos, 0, m_text.size());
    const qint64 line = m_text.lineOf(pos);
    const qint64 start = m_text.lineStart(line);
    const qint64 end = start + m_text.lineLength(line);
    if (!m_wrap)
        return {start, end};
    const qint64 row = spotOf(pos).row;
    const bool last = row + 1 == firstRowOf(line + 1);
    return {positionOnRow(row, 0), last ? end : positionOnRow(row + 1, 0)};
}

int ExchangeLog::visibleRows() const {
    return std::max(1, (viewport()->height() - kTopMargin) / m_rowHeight);
}

int ExchangeLog::visibleColumns() const {
    return std::max(1, int((viewport()->width() - textLeft()) / m_cellWidth));
}

void ExchangeLog::updateScrollBars() {
    const bool scrolling = m_scrolling;
    m_scrolling = true;
    // A bar repaints on every change of its steps, even to the same values: set only what differs.
    auto set = [](QScrollBar* bar, qint64 max, int page, int single) {
        bar->setRange(0, toInt(max));
        if (bar->pageStep() != page)
            bar->setPageStep(page);
        if (bar->singleStep() != single)
            bar->setSingleStep(single);
    };
    const int rows = visibleRows();
    set(verticalScrollBar(), rowCount() - rows, rows, 1);
    // One column more than the longest line: the cursor after its last character.
    const int cols = visibleColumns();
    set(horizontalScrollBar(), m_wrap ? 0 : m_text.maxLineLength() + widestMarks() + 1 - cols, cols, 3);
    m_scrolling = scrolling;
}

// The column range that shows the end of the last line, given the bar's value.
qint64 ExchangeLog::lineEndVisible() const {
    const qint64 end = screenLineLength(m_text.lineCount() - 1);
    const int h = horizontalScrollBar()->value();
    return end >= h && end < h + visibleColumns();
}

void ExchangeLog::followEnd() {
    if (!m_followRows)
        return;
    m_scrolling = true;
    QScrollBar* vb = verticalScrollBar();
    vb->setValue(vb->maximum());
    if (!m_wrap && m_followColumns && !lineEndVisible()) {
        const qint64 end = screenLineLength(m_text.lineCount() - 1);
        horizontalScrollBar()->setValue(toInt(end - visibleColumns() + 1));
    }
    m_scrolling = false;
}

void ExchangeLog::noteUserScroll() {
    if (m_scrolling)
        return;
    QScrollBar* vb = verticalScrollBar();
    QScrollBar* hb = horizontalScrollBar();
    m_followRows = vb->value() >= vb->maximum();
    m_followColumns = lineEndVisible() || hb->value() >= hb->maximum();
}

void ExchangeLog::ensureVisible(qint64 pos) {
    shown();
    scrollTo(spotOf(pos));
}

void ExchangeLog::scrollTo(Spot s) {
    QScrollBar* vb = verticalScrollBar();
    QScrollBar* hb = horizontalScrollBar();
    const int rows = visibleRows(), cols = visibleColumns();
    if (s.row < vb->value())
        vb->setValue(toInt(s.row));
    else if (s.row >= vb->value() + rows)
        vb->setValue(toInt(s.row - rows + 1));
    if (!m_wrap) {
        const qint64 col = s.col + hb->value();
        if (s.col < 0)
            hb->setValue(toInt(col - cols / 4));
        else if (s.col >= cols)
            hb->setValue(toInt(col - cols + 1 + cols / 4));
    }
    noteUserScroll();
}
