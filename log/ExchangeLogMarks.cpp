// SPDX-License-Identifier: GPL-3.0-or-later
// The exchange log's marks: how they are added behind the received data, where they stand on screen,
// how they are drawn, and how they are read and saved.
#include "ExchangeLog.h"

#include <QDateTime>
#include <QIODevice>
#include <QPainter>

#include <cmath>

void ExchangeLog::appendMark(LogMarks::Style style, const QString& text) {
    if (!m_pending.empty()) {
        Received r;
        r.isMark = true;
        r.style = style;
        r.markText = text;
        m_pending.push_back(std::move(r));
    } else {
        m_marks.add(m_text.size(), style, text);
    }
    scheduleSync();
}

void ExchangeLog::appendTimeStamp(qint64 ms) {
    if (!m_pending.empty()) {
        Received r;
        r.isMark = true;
        r.style = LogMarks::Style::Time;
        r.time = ms;
        m_pending.push_back(std::move(r));
    } else {
        addStamp(m_text.size(), ms);
    }
    scheduleSync();
}

QString ExchangeLog::stampText(qint64 ms) {
    return QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("HH:mm:ss.zzz"));
}

void ExchangeLog::setTimeGutter(bool on) {
    if (m_timeGutter == on)
        return;
    m_timeGutter = on;
    scheduleSync();
}

qreal ExchangeLog::gutterWidth() const {
    // HH:MM:SS.mmm and a cell of room before the text.
    return m_timeGutter ? 13 * m_cellWidth : 0;
}

const LogMarks::Mark* ExchangeLog::lineStamp(qint64 line) const {
    if (m_marks.isEmpty())
        return nullptr;
    const qint64 start = m_text.lineStart(line);
    const auto [m0, m1] = m_marks.within(start, start + m_text.lineLength(line));
    for (std::size_t i = m0; i < m1; ++i)
        if (m_marks[i].style == LogMarks::Style::Time)
            return &m_marks[i];
    return nullptr;
}

void ExchangeLog::addStamp(qint64 pos, qint64 ms) {
    // A row shows one stamp: a line that has one keeps it.
    if (!lineStamp(m_text.lineOf(pos)))
        m_marks.add(pos, LogMarks::Style::Time, QString(), ms);
}

void ExchangeLog::stampLineStarts(qint64 from, qint64 ms) {
    const qint64 size = m_text.size();
    const qint64 lines = m_text.lineCount();
    for (qint64 line = m_text.lineOf(from); line < lines; ++line) {
        const qint64 start = m_text.lineStart(line);
        if (start < from)
            continue;
        // An empty last line is stamped when its first character comes.
        if (start >= size)
            break;
        // Lines after the first are new: only the first may hold a stamp already.
        if (start == from)
            addStamp(start, ms);
        else
            m_marks.add(start, LogMarks::Style::Time, QString(), ms);
    }
}

void ExchangeLog::paintGutter(QPainter& p, qint64 firstRow, int rows) {
    const qreal width = textLeft() - 1;
    p.fillRect(QRectF(0, 0, width, viewport()->height()), palette().brush(QPalette::Base));
    p.save();
    p.setPen(palette().color(QPalette::PlaceholderText));
    eachRow(firstRow, rows, [&](int r, qint64 line, qint64 k) {
        const LogMarks::Mark* m = k == 0 ? lineStamp(line) : nullptr;
        if (m)
            p.drawText(QRectF(kMargin, kTopMargin + r * m_rowHeight, width - kMargin, m_rowHeight),
                       Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, stampText(m->time));
    });
    p.restore();
}

template <typename F>
bool ExchangeLog::eachMarkRead(std::size_t m0, std::size_t m1, qint64 from, F put) const {
    qint64 looked = -1;
    for (std::size_t i = m0; i < m1; ++i) {
        const LogMarks::Mark& m = m_marks[i];
        if (m_timeGutter) {
            // Each line's stamp once, at its start, as the gutter shows it.
            const qint64 line = m_text.lineOf(m.pos);
            if (line != looked) {
                looked = line;
                const qint64 start = m_text.lineStart(line);
                const LogMarks::Mark* stamp = start >= from ? lineStamp(line) : nullptr;
                if (stamp && !put(start, stampText(stamp->time) + QLatin1Char(' ')))
                    return false;
            }
        }
        if (m.style != LogMarks::Style::Time && !put(m.pos, m.text))
            return false;
    }
    return true;
}

qint64 ExchangeLog::markCells(const LogMarks::Mark& mark) const {
    if (mark.style == LogMarks::Style::Time)
        return 0; // in the gutter
    const auto it = m_markCells.constFind(mark.text);
    if (it != m_markCells.constEnd())
        return *it;
    // The text with half a cell of room on each side, in whole cells.
    const qreal width = QFontMetricsF(m_font).horizontalAdvance(mark.text) + m_cellWidth;
    const auto cells = qint64(std::ceil(width / m_cellWidth - 0.01));
    return *m_markCells.insert(mark.text, std::max<qint64>(cells, 1));
}

qint64 ExchangeLog::markCellsUpTo(qint64 lineStart, qint64 pos) const {
    if (m_marks.isEmpty())
        return 0;
    const auto [m0, m1] = m_marks.within(lineStart, pos);
    qint64 cells = 0;
    for (std::size_t i = m0; i < m1; ++i)
        cells += markCells(m_marks[i]);
    return cells;
}

qint64 ExchangeLog::screenColumn(qint64 pos) const {
    const qint64 start = m_text.lineStart(m_text.lineOf(pos));
    return pos - start + markCellsUpTo(start, pos);
}

qint64 ExchangeLog::screenLineLength(qint64 line) const {
    const qint64 start = m_text.lineStart(line);
    const qint64 end = start + m_text.lineLength(line);
    return end - start + markCellsUpTo(start, end);
}

qint64 ExchangeLog::widestMarks() const {
    MarkWidths& w = m_markWidths;
    if (w.edits != m_marks.edits() || w.counted > m_marks.size())
        w = MarkWidths{m_marks.edits()};
    // Marks come in position order: a run of them on one line adds up until the line changes.
    for (; w.counted < m_marks.size(); ++w.counted) {
        const LogMarks::Mark& m = m_marks[w.counted];
        const qint64 line = m_text.lineOf(m.pos);
        if (line != w.line) {
            w.line = line;
            w.lineCells = 0;
        }
        w.lineCells += markCells(m);
        w.widest = std::max(w.widest, w.lineCells);
    }
    return w.widest;
}

void ExchangeLog::paintRow(QPainter& p, qint64 line, int y, qint64 selFrom, qint64 selTo, qint64 h0) {
    const qint64 len = m_text.lineLength(line);
    if (m_marks.isEmpty()) {
        paintCells(p, line, y, selFrom, selTo, 0, len, 0, h0);
        return;
    }
    const qint64 start = m_text.lineStart(line);
    const auto [m0, m1] = m_marks.within(start, start + len);
    qint64 from = 0;
    qint64 shift = 0;
    for (std::size_t i = m0; i < m1; ++i) {
        const LogMarks::Mark& m = m_marks[i];
        if (m.style == LogMarks::Style::Time)
            continue;
        const qint64 col = m.pos - start;
        paintCells(p, line, y, selFrom, selTo, from, col, shift, h0);
        const qint64 cells = markCells(m);
        paintMark(p, m, col + shift, cells, y, h0);
        shift += cells;
        from = col;
    }
    paintCells(p, line, y, selFrom, selTo, from, len, shift, h0);
}

void ExchangeLog::paintMark(QPainter& p, const LogMarks::Mark& mark, qint64 column, qint64 cells, int y,
                            qint64 h) {
    if (column + cells < h || column > h + visibleColumns() + 1)
        return;
    const QRectF cell(textLeft() + qreal(column - h) * m_cellWidth, y, qreal(cells) * m_cellWidth,
                      m_rowHeight);
    // A chip that no received character looks like: tinted, framed, its text in the frame's colour.
    const bool problem = mark.style == LogMarks::Style::Problem;
    const QColor ink = problem ? QColor(0xA0, 0x10, 0x10) : QColor(0x20, 0x50, 0x90);
    const QColor tint = problem ? QColor(0xFF, 0xE4, 0xE0) : QColor(0xE2, 0xEC, 0xF8);
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(ink, 1));
    p.setBrush(tint);
    p.drawRoundedRect(cell.adjusted(1.5, 1.5, -1.5, -1.5), 3, 3);
    p.setPen(ink);
    p.drawText(cell, Qt::AlignCenter | Qt::TextSingleLine, mark.text);
    p.restore();
}

QString ExchangeLog::textWithMarks(qint64 from, qint64 to) const {
    const LogText& t = shown();
    from = std::clamp<qint64>(from, 0, t.size());
    to = std::clamp<qint64>(to, from, t.size());
    if (m_marks.isEmpty())
        return t.text(from, to);
    // A mark at the end of the range stands in front of what follows it, so it belongs to the range
    // only at the end of the text.
    const auto [m0, m1] = m_marks.within(from, to);
    QString out;
    qint64 at = from;
    eachMarkRead(m0, m1, from, [&](qint64 pos, const QString& text) {
        if (pos == to && to < t.size())
            return false;
        out += t.text(at, pos);
        out += text;
        at = pos;
        return true;
    });
    out += t.text(at, to);
    return out;
}

bool ExchangeLog::writeUtf8(QIODevice& out) const {
    const LogText& t = shown();
    if (m_marks.isEmpty())
        return t.writeUtf8(out);
    // The text between marks in pieces of bounded size, a surrogate pair never cut between two.
    constexpr qint64 kPiece = 1 << 20;
    qint64 at = 0;
    const auto writeText = [&](qint64 to) {
        while (at < to) {
            qint64 end = std::min(to, at + kPiece);
            if (end < to && t.at(end - 1).isHighSurrogate())
                ++end;
            if (!LogText::writeAll(out, t.text(at, end).toUtf8()))
                return false;
            at = end;
        }
        return true;
    };
    if (!eachMarkRead(0, m_marks.size(), 0, [&](qint64 pos, const QString& text) {
            return writeText(pos) && LogText::writeAll(out, text.toUtf8());
        }))
        return false;
    return writeText(t.size());
}
