// SPDX-License-Identifier: GPL-3.0-or-later
#include "ExchangeLog.h"

#include "ExchangeLogAccessible.h"
#include "ExchangeText.h"

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QFontDatabase>
#include <QGlyphRun>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMimeData>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStyleHints>

#include <cmath>
#include <cstring>

namespace {

// What a character that is not drawn in a run is drawn as, when it is no control code (those get a
// mark of their own, see controlCode).
QString shownAlone(char16_t u) {
    if (QChar::isSurrogate(u))
        return QString(QChar(char16_t(0xFFFD)));
    if (u == 0xAD) // the soft hyphen would be invisible
        return QStringLiteral("-");
    return QString(QChar(u));
}

// The control code a character shows, or -1: C0, DEL and C1, and the Control Pictures that stand for
// them (a received byte 0 is stored as U+2400). No installed face may have the pictures, so the view
// draws every one as a mark of its own instead of as the face's glyph or a box.
int controlCode(char16_t u) {
    if (u < 0x20 || (u >= 0x7F && u < 0xA0))
        return u;
    if (u >= 0x2400 && u < 0x2420)
        return u - 0x2400;
    if (u == 0x2421)
        return 0x7F;
    return -1;
}

// A key that types text, by the rule of Qt's own text widgets: Ctrl and Ctrl+Shift are commands,
// Alt and AltGr may type.
bool acceptableInput(const QKeyEvent* e) {
    const QString text = e->text();
    if (text.isEmpty())
        return false;
    const QChar c = text.front();
    if (c.category() == QChar::Other_Format)
        return true;
    const Qt::KeyboardModifiers mods = e->modifiers() & ~Qt::KeypadModifier;
    if (mods == Qt::ControlModifier || mods == (Qt::ShiftModifier | Qt::ControlModifier))
        return false;
    return c.isPrint() || c.category() == QChar::Other_PrivateUse ||
           (c.isHighSurrogate() && text.size() > 1 && text.at(1).isLowSurrogate());
}

// The accessibility framework learns of changes only when someone listens.
ExchangeLog::AccessibilityTap g_tap = nullptr;

bool listening() {
    return g_tap || QAccessible::isActive();
}

template <typename Event> void tellAccessibility(Event&& event) {
    if (g_tap)
        g_tap(&event);
    if (QAccessible::isActive())
        QAccessible::updateAccessibility(&event);
}

} // namespace

ExchangeLog::ExchangeLog(QWidget* parent) : QAbstractScrollArea(parent) {
    installExchangeLogAccessibility();
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_InputMethodEnabled);
    viewport()->setCursor(Qt::IBeamCursor);
    viewport()->setBackgroundRole(QPalette::Base);
    // The view paints its own background, in bands: Qt's raster engine hands fills of 96 rows or more
    // to a thread pool, whose wake-ups cost more than the fill. And the log is opaque, so that what
    // changes inside it never makes the page behind it paint again.
    viewport()->setAttribute(Qt::WA_OpaquePaintEvent);
    setAutoFillBackground(true);
    // A scroll bar covers its container: a bar that moves repaints itself alone, not the log's frame.
    for (QScrollBar* bar : {verticalScrollBar(), horizontalScrollBar()})
        bar->parentWidget()->setAttribute(Qt::WA_OpaquePaintEvent);
    updateFonts();
    connect(verticalScrollBar(), &QScrollBar::valueChanged, this, [this] { noteUserScroll(); });
    connect(horizontalScrollBar(), &QScrollBar::valueChanged, this, [this] { noteUserScroll(); });
    updateScrollBars();
}

ExchangeLog::~ExchangeLog() = default;

// ---- text ----

void ExchangeLog::appended(qint64 before) {
    if (m_text.size() == before)
        return;
    // The last line counted in rows may have grown, and lines may have come after it.
    rowsChangedFrom(std::max<qint64>(0, qint64(m_rows.size()) - 2));
    // A cursor at the end stays at the end, as typing there continues the received text. Whoever
    // watches the cursor hears of it once the view catches up (sync).
    const qint64 oldCursor = m_cursor, oldAnchor = m_anchor;
    if (m_cursor == before)
        m_cursor = m_text.size();
    if (m_anchor == before)
        m_anchor = m_text.size();
    m_appendMovedCursor |= m_cursor != oldCursor;
    m_appendMovedSelection |=
        (oldCursor != oldAnchor || m_cursor != m_anchor) && (m_cursor != oldCursor || m_anchor != oldAnchor);
    if (m_changedFrom < 0)
        m_changedFrom = before;
    scheduleSync();
}

void ExchangeLog::setAccessibilityTap(AccessibilityTap tap) {
    g_tap = tap;
}

void ExchangeLog::appendReceived(const QByteArray& block, bool hexForm, bool decorated, qint64 arrivalMs) {
    if (block.isEmpty())
        return;
    Received r;
    r.bytes = block;
    r.hexForm = hexForm;
    r.decorated = decorated;
    r.time = arrivalMs;
    m_pending.push_back(std::move(r));
    scheduleSync();
}

void ExchangeLog::layDownReceived(qsizetype budget) {
    qsizetype done = 0;
    while (!m_pending.empty() && (budget < 0 || done < budget)) {
        const Received r = std::move(m_pending.front());
        m_pending.pop_front();
        if (r.isMark) {
            if (r.style == LogMarks::Style::Time)
                addStamp(m_text.size(), r.time);
            else
                m_marks.add(m_text.size(), r.style, r.markText);
            continue;
        }
        const auto* data = reinterpret_cast<const std::uint8_t*>(r.bytes.constData());
        const auto n = std::size_t(r.bytes.size());
        const qint64 before = m_text.size();
        if (!r.hexForm && !r.decorated) {
            m_text.appendShown8(r.bytes.constData(), r.bytes.size()); // the block is its own form
        } else {
            m_shownBytes.clear();
            if (r.hexForm)
                AppendHexForm8(m_shownBytes, data, n, r.decorated);
            else
                AppendCharForm8(m_shownBytes, data, n, true);
            m_text.appendShown8(m_shownBytes.data(), qsizetype(m_shownBytes.size()));
        }
        if (r.time >= 0)
            stampLineStarts(before, r.time);
        appended(before);
        done += qsizetype(n);
    }
}

void ExchangeLog::appendText(QStringView s) {
    shown();
    const qint64 before = m_text.size();
    m_text.append(s);
    appended(before);
}

void ExchangeLog::appendShown8(const char* data, qsizetype n) {
    shown();
    const qint64 before = m_text.size();
    m_text.appendShown8(data, n);
    appended(before);
}

void ExchangeLog::addLine(const QString& line) {
    shown();
    const qint64 before = m_text.size();
    m_text.addLine(line);
    appended(before);
}

void ExchangeLog::appendPlainText(const QString& line) {
    shown();
    const qint64 before = m_text.size();
    if (!m_text.isEmpty())
        m_text.insert(before, u"\n");
    m_text.insert(m_text.size(), line);
    appended(before);
}

void ExchangeLog::setText(const QString& s) {
    clearLog();
    appendText(s);
}

void ExchangeLog::clearLog() {
    m_pending.clear();
    flushAccessibleAppend();
    if (!m_text.isEmpty() && listening()) {
        QAccessibleTextRemoveEvent event(this, 0, accessibleText(0, m_text.size()));
        tellAccessibility(event);
    }
    std::string().swap(m_shownBytes); // a large block's form may have grown it to megabytes
    m_text.clear();
    m_marks.clear();
    rowsChangedFrom(0);
    const bool selected = hasSelection();
    m_cursor = m_anchor = 0;
    m_wantedColumn = -1;
    m_followRows = m_followColumns = true;
    if (selected)
        emit selectionChanged();
    emit cursorPositionChanged();
    scheduleSync();
}

QString ExchangeLog::accessibleText(qint64 from, qint64 to) const {
    QString s = m_text.text(from, std::min(to, from + AccessibleWindow));
    if (to - from > AccessibleWindow && !s.isEmpty() && s.back().isHighSurrogate())
        s.chop(1);
    return s;
}

void ExchangeLog::flushAccessibleAppend() {
    if (m_changedFrom < 0)
        return;
    if (listening()) {
        QAccessibleTextInsertEvent event(this, toInt(m_changedFrom),
                                         accessibleText(m_changedFrom, m_text.size()));
        tellAccessibility(event);
    }
    m_changedFrom = -1;
}

void ExchangeLog::insertText(QStringView s) {
    shown();
    flushAccessibleAppend();
    const qint64 oldCursor = m_cursor, oldAnchor = m_anchor;
    const qint64 at = selectionStart();
    // The texts of the events are made only for a listener: a selection may be the whole log.
    const bool listening = ::listening();
    if (hasSelection()) {
        QAccessibleTextRemoveEvent event(this, toInt(at),
                                         listening ? accessibleText(at, selectionEnd()) : QString());
        m_marks.removed(at, selectionEnd());
        m_text.remove(at, selectionEnd());
        tellAccessibility(event);
    }
    const qint64 n = m_text.insert(at, s);
    m_marks.inserted(at, n);
    if (n > 0) {
        QAccessibleTextInsertEvent event(this, toInt(at), listening ? accessibleText(at, at + n) : QString());
        tellAccessibility(event);
    }
    rowsChangedFrom(m_text.lineOf(at));
    m_cursor = m_anchor = at + n;
    m_wantedColumn = -1;
    m_showCursor = true;
    cursorMoved(oldCursor, oldAnchor);
    scheduleSync();
}

void ExchangeLog::removeText(qint64 from, qint64 to) {
    shown();
    // Never half of a surrogate pair: the range grows to whole characters.
    from = charBoundary(from);
    to = std::clamp<qint64>(to, from, m_text.size());
    if (charBoundary(to) != to)
        ++to;
    if (from == to)
        return;
    flushAccessibleAppend();
    const qint64 oldCursor = m_cursor, oldAnchor = m_anchor;
    QAccessibleTextRemoveEvent event(this, toInt(from), listening() ? accessibleText(from, to) : QString());
    m_text.remove(from, to);
    m_marks.removed(from, to);
    rowsChangedFrom(m_text.lineOf(from));
    tellAccessibility(event);
    m_cursor = m_anchor = from;
    m_wantedColumn = -1;
    m_showCursor = true;
    cursorMoved(oldCursor, oldAnchor);
    scheduleSync();
}

// ---- the view catching up ----

void ExchangeLog::scheduleSync() {
    if (m_syncPending)
        return;
    m_syncPending = true;
    QMetaObject::invokeMethod(
        this, [this] { sync(); }, Qt::QueuedConnection);
}

void ExchangeLog::sync() {
    m_syncPending = false;
    // A slice of what was received per turn; the rest on the next turns.
    constexpr qsizetype kSlice = 256 * 1024;
    layDownReceived(kSlice);
    if (!m_pending.empty())
        scheduleSync();
    updateScrollBars();
    followEnd();
    if (m_showCursor) {
        m_showCursor = false;
        scrollTo(cursorSpot());
    }
    flushAccessibleAppend();
    if (m_appendMovedCursor || m_appendMovedSelection) {
        const bool cursor = m_appendMovedCursor, selection = m_appendMovedSelection;
        m_appendMovedCursor = m_appendMovedSelection = false;
        announceCursor();
        if (cursor)
            emit cursorPositionChanged();
        if (selection)
            emit selectionChanged();
    }
    viewport()->update();
}

void ExchangeLog::announceCursor() {
    if (!listening())
        return;
    // A stream moves the cursor on every turn: a screen reader hears of it a few times a second, and
    // of where it came to rest.
    constexpr qint64 kInterval = 250; // ms
    const qint64 since = m_announced.isValid() ? m_announced.elapsed() : kInterval;
    if (since >= kInterval) {
        m_announceLater.stop();
        m_announced.start();
        QAccessibleTextCursorEvent event(this, toInt(m_cursor));
        tellAccessibility(event);
        if (hasSelection()) {
            QAccessibleTextSelectionEvent sel(this, toInt(selectionStart()), toInt(selectionEnd()));
            sel.setCursorPosition(toInt(m_cursor));
            tellAccessibility(sel);
        }
    } else if (!m_announceLater.isActive()) {
        m_announceLater.start(int(kInterval - since), this);
    }
}

// ---- geometry ----

void ExchangeLog::updateFonts() {
    // Every character gets a cell of the same width: a fixed-pitch face at the size of the widget's.
    QFont f = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    f.setFamilies({f.family(), QStringLiteral("DejaVu Sans Mono"), QStringLiteral("monospace")});
    f.setStyleHint(QFont::TypeWriter);
    f.setFixedPitch(true);
    f.setKerning(false);
    f.setStyleStrategy(QFont::PreferNoShaping);
    const QFont& own = font();
    if (own.pixelSize() > 0)
        f.setPixelSize(own.pixelSize());
    else
        f.setPointSizeF(own.pointSizeF());
    m_font = f;
    m_raw = QRawFont::fromFont(m_font);
    const QFontMetricsF fm(m_font);
    m_advance = std::max<qreal>(1.0, fm.horizontalAdvance(QString(16, QLatin1Char('M'))) / 16);
    m_cellWidth = std::ceil(m_advance - 0.05);
    m_rowHeight = std::max(1, int(std::ceil(fm.lineSpacing())));
    m_ascent = int(std::round(fm.ascent()));
    for (auto& page : m_charInfo)
        page.reset();
    m_cells.clear();
    m_markCells.clear();
    m_markWidths = {};
    rowsChangedFrom(0); // marks take other widths
}

ExchangeLog::CharInfo& ExchangeLog::charInfo(char16_t u) const {
    auto& page = m_charInfo[u >> 8];
    if (!page)
        page = std::make_unique<std::array<CharInfo, 256>>();
    return (*page)[u & 0xFF];
}

bool ExchangeLog::regularChar(char16_t u) const {
    CharInfo& info = charInfo(u);
    if (!info.known) {
        info.known = true;
        bool regular = controlCode(u) < 0 && u != 0xAD && !QChar::isSurrogate(u);
        if (regular) {
            const QChar c(u);
            const auto dir = c.direction();
            regular = !c.isMark() && c.category() != QChar::Other_Format && dir != QChar::DirR &&
                      dir != QChar::DirAL && dir != QChar::DirRLE && dir != QChar::DirRLO &&
                      dir != QChar::DirRLI;
        }
        if (regular) {
            // The face's own glyph, as wide as a cell; anything else is drawn alone (by a fallback face).
            const QFontMetricsF fm(m_font);
            const QList<quint32> glyphs =
                m_raw.isValid() ? m_raw.glyphIndexesForString(QString(QChar(u))) : QList<quint32>();
            if (glyphs.size() == 1 && glyphs[0] != 0 && m_raw.supportsCharacter(QChar(u)) &&
                std::abs(fm.horizontalAdvance(QChar(u)) - m_advance) < 0.01)
                info.glyph = glyphs[0];
        }
    }
    return info.glyph != 0;
}

// ---- painting ----

void ExchangeLog::paintCells(QPainter& p, qint64 line, int y, qint64 selFrom, qint64 selTo, qint64 segFrom,
                             qint64 segTo, qint64 shift, qint64 h0) {
    const qint64 start = m_text.lineStart(line);
    const qint64 len = m_text.lineLength(line);
    // The columns of this segment's characters that show.
    const qint64 h = h0 - shift;
    const qint64 cols = visibleColumns() + 2;
    const QPalette& pal = palette();
    const qreal left = textLeft();
    auto xOf = [&](qint64 col) { return left + qreal(col - h) * m_cellWidth; };

    // The selection, its line break drawn as one selected cell (in the last segment).
    const qint64 a = std::max(selFrom, start) - start;
    const qint64 b = std::min(selTo, start + len + 1) - start;
    const qint64 sa = std::max({a, h, segFrom}), sb = std::min({b, h + cols, segTo == len ? len + 1 : segTo});
    if (sb > sa)
        p.fillRect(QRectF(xOf(sa), y, qreal(sb - sa) * m_cellWidth, m_rowHeight),
                   pal.brush(QPalette::Highlight));

    const qint64 c0 = std::clamp(h, segFrom, segTo);
    const qint64 c1 = std::clamp(h + cols, segFrom, segTo);
    if (c1 <= c0)
        return;
    // One more on each side, so that a pair of surrogates cut by the edge still draws whole.
    const qint64 from = std::max<qint64>(0, c0 - 1), to = std::min(len, c1 + 1);
    const QString s = m_text.text(start + from, start + to);
    const qreal baseline = y + m_ascent;
    auto penFor = [&](qint64 col) {
        return pal.color(col >= a && col < b ? QPalette::HighlightedText : QPalette::Text);
    };
    auto drawAlone = [&](const QString& shown, qint64 col, int cells) {
        drawAloneAt(p, shown, QRectF(xOf(col), y, cells * m_cellWidth, m_rowHeight), col >= a && col < b);
    };

    qsizetype i = c0 - from;
    const qsizetype end = c1 - from;
    const bool cells = cellsUsable();
    if (cells) {
        // The row's cells copied into one image and drawn at once; the characters drawn alone go on top.
        const QImage& blank = cell(u' ', false);
        const int cw = blank.width(), ch = blank.height();
        const auto n = int(end - i);
        if (m_rowImage.width() < n * cw || m_rowImage.height() != ch)
            m_rowImage = QImage(std::max(n, int(cols)) * cw, ch, QImage::Format_RGB32);
        const qsizetype bpl = m_rowImage.bytesPerLine();
        uchar* bits = m_rowImage.bits();
        for (int k = 0; k < n; ++k) {
            const char16_t u = s[i + k].unicode();
            const bool selected = from + i + k >= a && from + i + k < b;
            const QImage& c = cell(regularChar(u) ? u : u' ', selected);
            for (int row = 0; row < ch; ++row)
                std::memcpy(bits + row * bpl + qsizetype(k) * cw * 4, c.constScanLine(row),
                            std::size_t(cw) * 4);
        }
        p.drawImage(QRectF(xOf(c0), y, qreal(n) * m_cellWidth, m_rowHeight), m_rowImage,
                    QRectF(0, 0, n * cw, ch));
    }
    while (i < end) {
        const qint64 col = from + i;
        const char16_t u = s[i].unicode();
        if (regularChar(u) && cells) {
            ++i;
            continue;
        }
        if (regularChar(u)) {
            // A run of regular characters in one colour, drawn in one call.
            const bool selected = col >= a && col < b;
            qsizetype j = i + 1;
            while (j < end && regularChar(s[j].unicode()) && ((from + j >= a && from + j < b) == selected))
                ++j;
            p.setPen(penFor(col));
            QList<quint32> glyphs(j - i);
            QList<QPointF> positions(j - i);
            for (qsizetype k = i; k < j; ++k) {
                glyphs[k - i] = glyphOf(s[k].unicode());
                positions[k - i] = QPointF(qreal(k - i) * m_cellWidth, 0);
            }
            QGlyphRun run;
            run.setRawFont(m_raw);
            run.setGlyphIndexes(glyphs);
            run.setPositions(positions);
            p.drawGlyphRun(QPointF(xOf(col), baseline), run);
            i = j;
            continue;
        }
        p.setPen(penFor(col));
        if (QChar::isHighSurrogate(u) && i + 1 < s.size() && s[i + 1].isLowSurrogate()) {
            drawAlone(s.mid(i, 2), col, 2);
            i += 2;
            continue;
        }
        if (QChar::isLowSurrogate(u) && i > 0 && s[i - 1].isHighSurrogate()) {
            // The second half of a pair whose first half lies left of the view.
            drawAlone(s.mid(i - 1, 2), col - 1, 2);
            ++i;
            continue;
        }
        drawAlone(QString(QChar(u)), col, 1);
        ++i;
    }
}

void ExchangeLog::drawAloneAt(QPainter& p, const QString& s, const QRectF& r, bool selected) const {
    if (s.size() == 1) {
        if (const int code = controlCode(s[0].unicode()); code >= 0) {
            if (cellsUsable())
                p.drawImage(r.topLeft(), codeCell(code, selected));
            else
                paintCode(p, r, code, selected);
            return;
        }
    }
    const QString shown = s.size() == 1 ? shownAlone(s[0].unicode()) : s;
    const QFontMetricsF fm(m_font);
    const qreal baseline = r.y() + m_ascent;
    const qreal advance = fm.horizontalAdvance(shown);
    if (advance <= r.width() + 0.01) {
        p.drawText(QPointF(r.x() + (r.width() - advance) / 2, baseline), shown);
        return;
    }
    p.save();
    p.translate(r.x(), baseline);
    p.scale(r.width() / advance, 1.0);
    p.drawText(QPointF(0, 0), shown);
    p.restore();
}

// A control code's mark: an arrow for Tab, otherwise its two hex digits stacked, small, in the accent
// colour on a tinted cell, so that no code looks like another or like text.
void ExchangeLog::paintCode(QPainter& p, const QRectF& r, int code, bool selected) const {
    const QPalette& pal = palette();
    auto mix = [](const QColor& x, const QColor& y, qreal t) {
        return QColor::fromRgbF(float(x.redF() * (1 - t) + y.redF() * t),
                                float(x.greenF() * (1 - t) + y.greenF() * t),
                                float(x.blueF() * (1 - t) + y.blueF() * t));
    };
    const QColor back = pal.color(selected ? QPalette::Highlight : QPalette::Base);
    const QColor accent = pal.color(selected ? QPalette::HighlightedText : QPalette::Highlight);
    const QColor ink = selected ? accent : mix(accent, pal.color(QPalette::Text), 0.5);
    p.save();
    p.fillRect(r, back);
    p.fillRect(r.adjusted(0.5, 1, -0.5, -1), mix(back, accent, 0.15));
    p.setPen(QPen(ink, 1));
    if (code == 0x09) {
        const qreal yMid = std::round(r.center().y()) + 0.5;
        const qreal x0 = r.left() + 1, x1 = r.right() - 1;
        const qreal head = std::max<qreal>(2, std::min(r.width(), r.height()) / 3);
        p.drawLine(QPointF(x0, yMid), QPointF(x1, yMid));
        p.drawLine(QPointF(x1, yMid), QPointF(x1 - head, yMid - head));
        p.drawLine(QPointF(x1, yMid), QPointF(x1 - head, yMid + head));
    } else {
        QFont f = m_font;
        f.setPixelSize(std::max(5, int(std::lround(r.height() / 2))));
        p.setFont(f);
        const QString digits = QStringLiteral("%1").arg(code, 2, 16, QLatin1Char('0')).toUpper();
        const qreal half = r.height() / 2;
        p.drawText(QRectF(r.x(), r.y(), r.width(), half), Qt::AlignCenter, digits.left(1));
        p.drawText(QRectF(r.x(), r.y() + half, r.width(), half), Qt::AlignCenter, digits.right(1));
    }
    p.restore();
}

QImage ExchangeLog::newCellImage() const {
    QImage img(int(std::round(m_cellWidth * m_cellRatio)), int(std::round(m_rowHeight * m_cellRatio)),
               QImage::Format_RGB32);
    img.setDevicePixelRatio(m_cellRatio);
    return img;
}

const QImage& ExchangeLog::codeCell(int code, bool selected) const {
    const quint32 key = 0x20000u | quint32(code) | (selected ? 0x10000u : 0u);
    const auto it = m_cells.constFind(key);
    if (it != m_cells.constEnd())
        return *it;
    QImage img = newCellImage();
    QPainter tp(&img);
    paintCode(tp, QRectF(0, 0, m_cellWidth, m_rowHeight), code, selected);
    tp.end();
    return *m_cells.insert(key, img);
}

bool ExchangeLog::cellsUsable() const {
    const qreal ratio = viewport()->devicePixelRatioF();
    const auto whole = [](qreal v) { return std::abs(v - std::round(v)) < 1e-6; };
    if (!m_cellCache || !m_raw.isValid() || !whole(m_cellWidth * ratio) || !whole(m_rowHeight * ratio))
        return false;
    const QPalette& pal = palette();
    const QRgb colours[4] = {pal.color(QPalette::Base).rgb(), pal.color(QPalette::Text).rgb(),
                             pal.color(QPalette::Highlight).rgb(),
                             pal.color(QPalette::HighlightedText).rgb()};
    if (ratio != m_cellRatio ||
        !std::equal(std::begin(colours), std::end(colours), std::begin(m_cellColours))) {
        m_cells.clear();
        m_cellRatio = ratio;
        std::copy(std::begin(colours), std::end(colours), std::begin(m_cellColours));
    }
    return true;
}

const QImage& ExchangeLog::cell(char16_t u, bool selected) const {
    const quint32 key = u | (selected ? 0x10000u : 0u);
    const auto it = m_cells.constFind(key);
    if (it != m_cells.constEnd())
        return *it;
    QImage img = newCellImage();
    img.fill(QColor::fromRgb(m_cellColours[selected ? 2 : 0]));
    if (glyphOf(u) != 0) {
        QPainter tp(&img);
        tp.setPen(QColor::fromRgb(m_cellColours[selected ? 3 : 1]));
        QGlyphRun run;
        run.setRawFont(m_raw);
        run.setGlyphIndexes({glyphOf(u)});
        run.setPositions({QPointF(0, 0)});
        tp.drawGlyphRun(QPointF(0, m_ascent), run);
    }
    return *m_cells.insert(key, img);
}

void ExchangeLog::paintEvent(QPaintEvent* e) {
    QPainter p(viewport());
    const QRect r = e->rect();
    constexpr int kBand = 64;
    for (int y = r.top(); y <= r.bottom(); y += kBand)
        p.fillRect(QRect(r.left(), y, r.width(), std::min(kBand, r.bottom() + 1 - y)),
                   palette().brush(QPalette::Base));
    p.setFont(m_font);
    const qint64 first = verticalScrollBar()->value();
    const int rows = viewport()->height() / m_rowHeight + 1;
    // What is laid down so far: painting does not wait for the rest.
    const qint64 selFrom = std::min(m_cursor, m_anchor), selTo = std::max(m_cursor, m_anchor);
    if (m_wrap) {
        // Row k of a line is the line scrolled k rows' width to the left, cut at the row's end.
        const qint64 cols = wrapColumns();
        eachRow(first, rows, [&](int r, qint64 line, qint64 k) {
            const int y = kTopMargin + r * m_rowHeight;
            p.save();
            p.setClipRect(QRectF(textLeft(), y, qreal(cols) * m_cellWidth, m_rowHeight));
            paintRow(p, line, y, selFrom, selTo, k * cols);
            p.restore();
        });
    } else {
        const qint64 h = horizontalScrollBar()->value();
        for (int r = 0; r < rows && first + r < m_text.lineCount(); ++r)
            paintRow(p, first + r, kTopMargin + r * m_rowHeight, selFrom, selTo, h);
    }
    paintMatches(p, first, rows);
    if (m_timeGutter)
        paintGutter(p, first, rows);
    if (hasFocus() && m_caretOn) {
        const QRect c = spotRect(cursorSpot());
        if (viewport()->rect().intersects(c))
            p.fillRect(QRect(c.x(), c.y(), 1, c.height()), palette().brush(QPalette::Text));
    }
}

void ExchangeLog::paintMatches(QPainter& p, qint64 firstRow, int rows) const {
    if (!m_search || !m_search->hasQuery())
        return;
    // Translucent, so that the text shows through; the current match is the selection.
    const QColor mark(255, 190, 0, 110);
    const qint64 selFrom = std::min(m_cursor, m_anchor), selTo = std::max(m_cursor, m_anchor);
    const qint64 wrapCols = m_wrap ? wrapColumns() : 0;
    // The cells from one place to another, row by row where the span wraps.
    auto fill = [&](Spot a, Spot b) {
        for (qint64 row = std::max(a.row, firstRow); row <= std::min(b.row, firstRow + rows); ++row) {
            const QRect ra = spotRect({row, row == a.row ? a.col : 0});
            const QRect rb = spotRect({row, row == b.row ? b.col : wrapCols});
            if (rb.left() > ra.left())
                p.fillRect(QRect(ra.topLeft(), QPoint(rb.left() - 1, ra.bottom())), mark);
        }
    };
    qint64 lastLine = -1;
    eachRow(firstRow, rows, [&](int r, qint64 line, qint64 k) {
        if (line == lastLine)
            return; // a line's matches are found once for all its rows shown
        lastLine = line;
        // The screen columns that show, and the characters that may stand in them: marks in front of a
        // character only push it right.
        const qint64 c0 = m_wrap ? k * wrapCols : horizontalScrollBar()->value();
        const qint64 c1 = c0 + (m_wrap ? (rows - r) * wrapCols : visibleColumns() + 2);
        const qint64 start = m_text.lineStart(line);
        const qint64 len = m_text.lineLength(line);
        const qint64 marks = markCellsUpTo(start, start + len);
        const qint64 from = start + std::clamp<qint64>(c0 - marks, 0, len);
        const qint64 to = start + std::clamp<qint64>(c1, 0, len);
        for (const auto& [a, b] : m_search->matchesIn(m_text, from, to)) {
            if (a == selFrom && b == selTo)
                continue;
            fill(spotOf(a), spotOf(b));
        }
    });
}

// ---- cursor ----

void ExchangeLog::cursorMoved(qint64 oldCursor, qint64 oldAnchor) {
    m_rowEnd = false; // set again by the moves that go to a row's end
    restartBlink();
    viewport()->update();
    const bool hadSelection = oldCursor != oldAnchor;
    const bool selectionMoved =
        (hadSelection || hasSelection()) && (oldCursor != m_cursor || oldAnchor != m_anchor);
    if (oldCursor != m_cursor) {
        QAccessibleTextCursorEvent event(this, toInt(m_cursor));
        tellAccessibility(event);
        emit cursorPositionChanged();
    }
    if (selectionMoved) {
        QAccessibleTextSelectionEvent event(this, toInt(selectionStart()), toInt(selectionEnd()));
        event.setCursorPosition(toInt(m_cursor));
        tellAccessibility(event);
        emit selectionChanged();
    }
}

void ExchangeLog::moveCursor(qint64 pos, bool keepAnchor) {
    shown();
    const qint64 oldCursor = m_cursor, oldAnchor = m_anchor;
    m_cursor = charBoundary(pos);
    if (!keepAnchor)
        m_anchor = m_cursor;
    m_showCursor = true;
    cursorMoved(oldCursor, oldAnchor);
    scheduleSync();
}

void ExchangeLog::setCursorPosition(qint64 pos, bool keepAnchor) {
    m_wantedColumn = -1;
    moveCursor(pos, keepAnchor);
}

void ExchangeLog::setSelection(qint64 anchor, qint64 cursor) {
    shown();
    const qint64 oldCursor = m_cursor, oldAnchor = m_anchor;
    m_anchor = charBoundary(anchor);
    m_cursor = charBoundary(cursor);
    m_wantedColumn = -1;
    m_showCursor = true;
    cursorMoved(oldCursor, oldAnchor);
    scheduleSync();
}

void ExchangeLog::restartBlink() {
    m_caretOn = true;
    const int flash = QApplication::cursorFlashTime();
    if (hasFocus() && flash > 0)
        m_blink.start(flash / 2, this);
    else
        m_blink.stop();
}

qint64 ExchangeLog::nextCharPos(qint64 pos) const {
    if (pos >= m_text.size())
        return m_text.size();
    if (m_text.at(pos).isHighSurrogate() && m_text.at(pos + 1).isLowSurrogate())
        return pos + 2;
    return pos + 1;
}

qint64 ExchangeLog::prevCharPos(qint64 pos) const {
    if (pos <= 0)
        return 0;
    if (pos >= 2 && m_text.at(pos - 1).isLowSurrogate() && m_text.at(pos - 2).isHighSurrogate())
        return pos - 2;
    return pos - 1;
}

// Start of the word at or after pos, as Ctrl+Right moves: past the rest of this word, then past what
// separates it from the next. A line break is a stop of its own.
qint64 ExchangeLog::wordEnd(qint64 pos) const {
    const QString s = m_text.text(pos, pos + LogText::WordScan);
    qsizetype i = 0;
    if (i < s.size() && s[i] == u'\n')
        return pos + 1;
    while (i < s.size() && LogText::isWordChar(s[i]))
        ++i;
    while (i < s.size() && !LogText::isWordChar(s[i]) && s[i] != u'\n')
        ++i;
    return pos + i;
}

qint64 ExchangeLog::wordStart(qint64 pos) const {
    const qint64 from = std::max<qint64>(0, pos - LogText::WordScan);
    const QString s = m_text.text(from, pos);
    qsizetype i = s.size();
    if (i > 0 && s[i - 1] == u'\n')
        return pos - 1;
    while (i > 0 && !LogText::isWordChar(s[i - 1]) && s[i - 1] != u'\n')
        --i;
    while (i > 0 && LogText::isWordChar(s[i - 1]))
        --i;
    return from + i;
}

qint64 ExchangeLog::verticalMove(qint64 pos, qint64 rows, bool* rowEnd) {
    *rowEnd = false;
    if (m_wrap) {
        // By screen rows, keeping the column on the row.
        const Spot s = pos == m_cursor ? cursorSpot() : spotOf(pos);
        if (m_wantedColumn < 0)
            m_wantedColumn = s.col;
        const qint64 target = std::clamp<qint64>(s.row + rows, 0, rowCount() - 1);
        if (target == s.row)
            return rows < 0 ? 0 : m_text.size();
        return charBoundary(positionOnRow(target, m_wantedColumn, rowEnd));
    }
    const qint64 line = m_text.lineOf(pos);
    if (m_wantedColumn < 0)
        m_wantedColumn = pos - m_text.lineStart(line);
    const qint64 target = std::clamp<qint64>(line + rows, 0, m_text.lineCount() - 1);
    if (target == line)
        return rows < 0 ? 0 : m_text.size();
    return charBoundary(m_text.lineStart(target) + std::min(m_wantedColumn, m_text.lineLength(target)));
}

qint64 ExchangeLog::charBoundary(qint64 pos) const {
    pos = std::clamp<qint64>(pos, 0, m_text.size());
    if (pos > 0 && m_text.at(pos).isLowSurrogate() && m_text.at(pos - 1).isHighSurrogate())
        return pos - 1;
    return pos;
}

// ---- keyboard ----

bool ExchangeLog::handleKey(QKeyEvent* e) {
    if (e == QKeySequence::SelectAll) {
        selectAll();
        return true;
    }
    if (e == QKeySequence::Copy) {
        copy();
        return true;
    }
    if (e == QKeySequence::Cut) {
        cut();
        return true;
    }
    if (e == QKeySequence::Paste) {
        paste();
        return true;
    }
    if (e == QKeySequence::Undo || e == QKeySequence::Redo)
        return true; // the log keeps no history: megabytes of received data would be a leak

    enum Motion {
        NextChar,
        PrevChar,
        NextWord,
        PrevWord,
        LineStart,
        LineEnd,
        BlockStart,
        BlockEnd,
        Down,
        Up,
        PageDown,
        PageUp,
        Start,
        End
    };
    struct Move {
        QKeySequence::StandardKey move, select;
        Motion motion;
    };
    static const Move moves[] = {
        {QKeySequence::MoveToNextChar, QKeySequence::SelectNextChar, NextChar},
        {QKeySequence::MoveToPreviousChar, QKeySequence::SelectPreviousChar, PrevChar},
        {QKeySequence::MoveToNextWord, QKeySequence::SelectNextWord, NextWord},
        {QKeySequence::MoveToPreviousWord, QKeySequence::SelectPreviousWord, PrevWord},
        {QKeySequence::MoveToStartOfLine, QKeySequence::SelectStartOfLine, LineStart},
        {QKeySequence::MoveToEndOfLine, QKeySequence::SelectEndOfLine, LineEnd},
        {QKeySequence::MoveToStartOfBlock, QKeySequence::SelectStartOfBlock, BlockStart},
        {QKeySequence::MoveToEndOfBlock, QKeySequence::SelectEndOfBlock, BlockEnd},
        {QKeySequence::MoveToNextLine, QKeySequence::SelectNextLine, Down},
        {QKeySequence::MoveToPreviousLine, QKeySequence::SelectPreviousLine, Up},
        {QKeySequence::MoveToNextPage, QKeySequence::SelectNextPage, PageDown},
        {QKeySequence::MoveToPreviousPage, QKeySequence::SelectPreviousPage, PageUp},
        {QKeySequence::MoveToStartOfDocument, QKeySequence::SelectStartOfDocument, Start},
        {QKeySequence::MoveToEndOfDocument, QKeySequence::SelectEndOfDocument, End},
    };
    for (const Move& m : moves) {
        const bool select = e == m.select;
        if (!select && e != m.move)
            continue;
        const bool vertical =
            m.motion == Down || m.motion == Up || m.motion == PageDown || m.motion == PageUp;
        if (!vertical)
            m_wantedColumn = -1;
        const qint64 line = m_text.lineOf(m_cursor);
        qint64 to = m_cursor;
        bool rowEnd = false; // wrapping: the cursor goes to the end of a row, not the next one's start
        switch (m.motion) {
        case NextChar:
            to = !select && hasSelection() ? selectionEnd() : nextCharPos(m_cursor);
            break;
        case PrevChar:
            to = !select && hasSelection() ? selectionStart() : prevCharPos(m_cursor);
            break;
        case NextWord:
            to = wordEnd(m_cursor);
            break;
        case PrevWord:
            to = wordStart(m_cursor);
            break;
        case LineStart:
            // Wrapping, Home and End go to the ends of the row on screen, as in a text edit.
            if (m_wrap) {
                to = positionOnRow(cursorSpot().row, 0);
                break;
            }
            [[fallthrough]];
        case BlockStart:
            to = m_text.lineStart(line);
            break;
        case LineEnd:
            if (m_wrap) {
                to = positionOnRow(cursorSpot().row, wrapColumns(), &rowEnd);
                break;
            }
            [[fallthrough]];
        case BlockEnd:
            to = m_text.lineStart(line) + m_text.lineLength(line);
            break;
        case Down:
            to = verticalMove(m_cursor, 1, &rowEnd);
            break;
        case Up:
            to = verticalMove(m_cursor, -1, &rowEnd);
            break;
        case PageDown:
        case PageUp: {
            const int rows = visibleRows();
            const int step = m.motion == PageDown ? rows : -rows;
            to = verticalMove(m_cursor, step, &rowEnd);
            verticalScrollBar()->setValue(verticalScrollBar()->value() + step);
            break;
        }
        case Start:
            to = 0;
            break;
        case End:
            to = m_text.size();
            break;
        }
        const qint64 wanted = m_wantedColumn;
        moveCursor(to, select);
        m_rowEnd = rowEnd;
        if (vertical)
            m_wantedColumn = wanted;
        return true;
    }

    if (e == QKeySequence::DeleteEndOfWord) {
        if (hasSelection())
            deleteSelection();
        else
            removeText(m_cursor, wordEnd(m_cursor));
        return true;
    }
    if (e == QKeySequence::DeleteStartOfWord) {
        if (hasSelection())
            deleteSelection();
        else
            removeText(wordStart(m_cursor), m_cursor);
        return true;
    }
    const Qt::KeyboardModifiers mods = e->modifiers() & ~(Qt::KeypadModifier | Qt::ShiftModifier);
    if (e == QKeySequence::Delete || (e->key() == Qt::Key_Delete && mods == Qt::NoModifier)) {
        if (hasSelection())
            deleteSelection();
        else
            removeText(m_cursor, nextCharPos(m_cursor));
        return true;
    }
    if (e->key() == Qt::Key_Backspace && mods == Qt::NoModifier) {
        if (hasSelection())
            deleteSelection();
        else
            removeText(prevCharPos(m_cursor), m_cursor);
        return true;
    }
    if (e == QKeySequence::InsertParagraphSeparator || e == QKeySequence::InsertLineSeparator) {
        insertText(u"\n");
        return true;
    }
    if (acceptableInput(e)) {
        insertText(e->text());
        return true;
    }
    return false;
}

void ExchangeLog::keyPressEvent(QKeyEvent* e) {
    shown();
    if (handleKey(e))
        e->accept();
    else
        QAbstractScrollArea::keyPressEvent(e);
}

bool ExchangeLog::event(QEvent* e) {
    if (e->type() == QEvent::ShortcutOverride) {
        // Editing keys belong to the log while it has the focus, whatever shortcuts the window has.
        auto* k = static_cast<QKeyEvent*>(e);
        const QKeySequence::StandardKey mine[] = {
            QKeySequence::Copy,
            QKeySequence::Cut,
            QKeySequence::Paste,
            QKeySequence::SelectAll,
            QKeySequence::Delete,
            QKeySequence::DeleteEndOfWord,
            QKeySequence::DeleteStartOfWord,
            QKeySequence::MoveToNextWord,
            QKeySequence::MoveToPreviousWord,
            QKeySequence::MoveToStartOfDocument,
            QKeySequence::MoveToEndOfDocument,
            QKeySequence::SelectNextWord,
            QKeySequence::SelectPreviousWord,
            QKeySequence::SelectStartOfDocument,
            QKeySequence::SelectEndOfDocument,
            QKeySequence::Undo,
            QKeySequence::Redo,
        };
        // As Qt's text widgets: keys that type or move without a modifier beyond Shift.
        const Qt::KeyboardModifiers mods = k->modifiers();
        bool plain = mods == Qt::NoModifier || mods == Qt::ShiftModifier || mods == Qt::KeypadModifier;
        if (plain && k->key() >= Qt::Key_Escape) {
            const int editing[] = {Qt::Key_Return, Qt::Key_Enter,     Qt::Key_Delete, Qt::Key_Home,
                                   Qt::Key_End,    Qt::Key_Backspace, Qt::Key_Left,   Qt::Key_Right,
                                   Qt::Key_Up,     Qt::Key_Down,      Qt::Key_PageUp, Qt::Key_PageDown};
            plain = std::find(std::begin(editing), std::end(editing), k->key()) != std::end(editing);
        }
        if (plain || std::any_of(std::begin(mine), std::end(mine), [k](auto key) { return k == key; })) {
            e->accept();
            return true;
        }
    }
    return QAbstractScrollArea::event(e);
}

void ExchangeLog::inputMethodEvent(QInputMethodEvent* e) {
    shown();
    if (e->replacementLength() > 0) {
        const qint64 from = std::clamp<qint64>(m_cursor + e->replacementStart(), 0, m_text.size());
        setSelection(from, from + e->replacementLength());
    }
    if (!e->commitString().isEmpty() || e->replacementLength() > 0)
        insertText(e->commitString());
    e->accept();
}

QVariant ExchangeLog::inputMethodQuery(Qt::InputMethodQuery query) const {
    shown();
    // Input methods see the cursor's line around the cursor, not the whole of a long one.
    constexpr qint64 kAround = 256;
    const qint64 line = m_text.lineOf(m_cursor);
    const qint64 start = std::max(m_text.lineStart(line), m_cursor - kAround);
    const qint64 end = std::min(m_text.lineStart(line) + m_text.lineLength(line), m_cursor + kAround);
    switch (query) {
    case Qt::ImEnabled:
        return true;
    case Qt::ImCursorRectangle:
        return spotRect(cursorSpot());
    case Qt::ImFont:
        return m_font;
    case Qt::ImCursorPosition:
        return int(m_cursor - start);
    case Qt::ImAnchorPosition:
        return int(std::clamp(m_anchor, start, end) - start);
    case Qt::ImSurroundingText:
        return m_text.text(start, end);
    case Qt::ImCurrentSelection:
        return m_text.text(std::max(selectionStart(), start), std::min(selectionEnd(), end));
    case Qt::ImHints:
        return int(Qt::ImhMultiLine);
    default:
        return QAbstractScrollArea::inputMethodQuery(query);
    }
}

// ---- mouse ----

void ExchangeLog::mousePressEvent(QMouseEvent* e) {
    shown();
    const Spot at = spotAt(e->position().toPoint());
    bool rowEnd = false;
    const qint64 pos = positionOnRow(at.row, at.col, &rowEnd);
    if (e->button() == Qt::LeftButton) {
        m_wordAnchorFrom = m_wordAnchorTo = -1;
        m_wantedColumn = -1;
        moveCursor(pos, e->modifiers() & Qt::ShiftModifier);
        m_rowEnd = rowEnd;
        m_dragging = true;
        e->accept();
        return;
    }
    if (e->button() == Qt::MiddleButton && QApplication::clipboard()->supportsSelection()) {
        const QString s = QApplication::clipboard()->text(QClipboard::Selection);
        if (!s.isEmpty()) {
            setCursorPosition(pos);
            insertText(s);
        }
        e->accept();
        return;
    }
    QAbstractScrollArea::mousePressEvent(e);
}

void ExchangeLog::dragTo(QPoint p) {
    const Spot at = spotAt(p);
    bool rowEnd = false;
    const qint64 pos = positionOnRow(at.row, at.col, &rowEnd);
    if (m_wordAnchorFrom >= 0) {
        // Selecting by words after a double click: the far end snaps to the word it is in.
        if (pos < m_wordAnchorFrom)
            setSelection(m_wordAnchorTo, m_text.runStart(pos, true));
        else if (pos > m_wordAnchorTo)
            setSelection(m_wordAnchorFrom, m_text.runEnd(pos, true));
        else
            setSelection(m_wordAnchorFrom, m_wordAnchorTo);
        return;
    }
    m_wantedColumn = -1;
    moveCursor(pos, true);
    m_rowEnd = rowEnd;
}

void ExchangeLog::mouseMoveEvent(QMouseEvent* e) {
    shown();
    if (!m_dragging || !(e->buttons() & Qt::LeftButton)) {
        QAbstractScrollArea::mouseMoveEvent(e);
        return;
    }
    m_dragPoint = e->position().toPoint();
    dragTo(m_dragPoint);
    if (viewport()->rect().contains(m_dragPoint))
        m_dragScroll.stop();
    else if (!m_dragScroll.isActive())
        m_dragScroll.start(50, this);
    e->accept();
}

void ExchangeLog::mouseReleaseEvent(QMouseEvent* e) {
    if (e->button() == Qt::LeftButton && m_dragging) {
        m_dragging = false;
        m_dragScroll.stop();
        if (hasSelection() && QApplication::clipboard()->supportsSelection())
            QApplication::clipboard()->setText(selectedText(), QClipboard::Selection);
        e->accept();
        return;
    }
    QAbstractScrollArea::mouseReleaseEvent(e);
}

void ExchangeLog::mouseDoubleClickEvent(QMouseEvent* e) {
    shown();
    if (e->button() != Qt::LeftButton) {
        QAbstractScrollArea::mouseDoubleClickEvent(e);
        return;
    }
    const qint64 pos = positionAt(e->position().toPoint());
    qint64 from = pos, to = pos;
    if (LogText::isWordChar(m_text.at(pos)) || (pos > 0 && LogText::isWordChar(m_text.at(pos - 1)))) {
        from = m_text.runStart(pos, true);
        to = m_text.runEnd(pos, true);
    } else if (pos < m_text.size() && m_text.at(pos) != u'\n') {
        to = pos + 1;
    }
    m_wordAnchorFrom = from;
    m_wordAnchorTo = to;
    setSelection(from, to);
    m_dragging = true;
    e->accept();
}

void ExchangeLog::timerEvent(QTimerEvent* e) {
    if (e->timerId() == m_announceLater.timerId()) {
        m_announceLater.stop();
        m_announced.invalidate();
        announceCursor();
        return;
    }
    if (e->timerId() == m_blink.timerId()) {
        m_caretOn = !m_caretOn;
        viewport()->update(spotRect(cursorSpot()));
        return;
    }
    if (e->timerId() == m_dragScroll.timerId()) {
        const QRect r = viewport()->rect();
        QScrollBar* vb = verticalScrollBar();
        QScrollBar* hb = horizontalScrollBar();
        if (m_dragPoint.y() < r.top())
            vb->setValue(vb->value() - 1);
        else if (m_dragPoint.y() > r.bottom())
            vb->setValue(vb->value() + 1);
        if (m_dragPoint.x() < r.left())
            hb->setValue(hb->value() - 3);
        else if (m_dragPoint.x() > r.right())
            hb->setValue(hb->value() + 3);
        dragTo(m_dragPoint);
        return;
    }
    QAbstractScrollArea::timerEvent(e);
}

// ---- menu and clipboard ----

void ExchangeLog::setExtraContextActions(const QList<QAction*>& actions) {
    m_extraActions.clear();
    for (QAction* a : actions)
        m_extraActions.append(a);
}

QMenu* ExchangeLog::createStandardContextMenu(QWidget* parent) {
    shown();
    auto* menu = new QMenu(parent ? parent : this);
    // The texts Qt's own text widgets use, so Qt's translations apply to them.
    auto add = [&](const char* text, QKeySequence::StandardKey key, const char* name, bool enabled,
                   auto slot) {
        QString label = QCoreApplication::translate("QWidgetTextControl", text);
        const QKeySequence seq(key);
        if (!seq.isEmpty() && !QCoreApplication::testAttribute(Qt::AA_DontShowShortcutsInContextMenus))
            label += QLatin1Char('\t') + seq.toString(QKeySequence::NativeText);
        QAction* a = menu->addAction(label, this, slot);
        a->setObjectName(QLatin1String(name));
        a->setEnabled(enabled);
    };
    const bool selected = hasSelection();
    const QMimeData* clip = QApplication::clipboard()->mimeData();
    add("&Undo", QKeySequence::Undo, "edit-undo", false, [] {});
    add("&Redo", QKeySequence::Redo, "edit-redo", false, [] {});
    menu->addSeparator();
    add("Cu&t", QKeySequence::Cut, "edit-cut", selected, [this] { cut(); });
    add("&Copy", QKeySequence::Copy, "edit-copy", selected, [this] { copy(); });
    add("&Paste", QKeySequence::Paste, "edit-paste", clip && clip->hasText(), [this] { paste(); });
    add("Delete", QKeySequence::UnknownKey, "edit-delete", selected, [this] { deleteSelection(); });
    menu->addSeparator();
    add("Select All", QKeySequence::SelectAll, "select-all", !m_text.isEmpty(), [this] { selectAll(); });
    bool first = true;
    for (const QPointer<QAction>& a : m_extraActions) {
        if (!a)
            continue;
        if (first)
            menu->addSeparator();
        first = false;
        menu->addAction(a);
    }
    return menu;
}

void ExchangeLog::contextMenuEvent(QContextMenuEvent* e) {
    QMenu* menu = createStandardContextMenu();
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(e->globalPos());
    e->accept();
}

void ExchangeLog::copy() {
    if (hasSelection())
        QApplication::clipboard()->setText(selectedText());
}

void ExchangeLog::cut() {
    copy();
    deleteSelection();
}

void ExchangeLog::paste() {
    const QString s = QApplication::clipboard()->text();
    if (!s.isEmpty())
        insertText(s);
}

void ExchangeLog::selectAll() {
    shown(); // the end is where the waiting blocks end
    setSelection(0, m_text.size());
}

void ExchangeLog::deleteSelection() {
    if (hasSelection())
        removeText(selectionStart(), selectionEnd());
}

// ---- the rest of the widget's life ----

void ExchangeLog::resizeEvent(QResizeEvent* e) {
    QAbstractScrollArea::resizeEvent(e);
    // Wrapping, another width moves lines to other rows: the place at the top stays at the top. The
    // rows are still those of the old width here.
    qint64 topLine = -1, topCol = 0;
    const qint64 lines = m_text.lineCount();
    if (m_wrap && !m_followRows && qint64(m_rows.size()) == lines + 1 && m_rowsValid == lines) {
        const qint64 row = verticalScrollBar()->value();
        topLine = qint64(std::upper_bound(m_rows.begin(), m_rows.end(), row) - m_rows.begin()) - 1;
        topLine = std::clamp<qint64>(topLine, 0, lines - 1);
        topCol = (row - m_rows[std::size_t(topLine)]) * m_rowsCols;
    }
    updateScrollBars();
    if (topLine >= 0) {
        m_scrolling = true;
        verticalScrollBar()->setValue(toInt(firstRowOf(topLine) + topCol / wrapColumns()));
        m_scrolling = false;
    }
    followEnd();
}

void ExchangeLog::changeEvent(QEvent* e) {
    QAbstractScrollArea::changeEvent(e);
    if (e->type() == QEvent::FontChange || e->type() == QEvent::PaletteChange) {
        updateFonts();
        updateScrollBars();
        viewport()->update();
    }
}

void ExchangeLog::scrollContentsBy(int, int) {
    viewport()->update();
}

void ExchangeLog::focusInEvent(QFocusEvent* e) {
    QAbstractScrollArea::focusInEvent(e);
    restartBlink();
    viewport()->update();
}

void ExchangeLog::focusOutEvent(QFocusEvent* e) {
    QAbstractScrollArea::focusOutEvent(e);
    m_blink.stop();
    viewport()->update();
}
