// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The exchange log and the memos of the test page: an editable text view over a LogText.
//
// A serial device may send megabytes without a line break, and a text edit lays a paragraph out whole,
// so every append to one endless line would cost more than the last. This view lays out nothing: it
// draws every character in a cell of the same width (a fixed-pitch font; a character of another width
// is drawn into its cell), so a position maps to a row and a column by arithmetic, and only the rows on
// screen are painted, each cut to the columns that show. Lines are not wrapped: a received line of
// megabytes stays one row, scrolled sideways.
//
// A log may wrap instead, as a memo does (setLineWrap): a line takes as many screen rows as its cells
// need at the viewport's width, each row showing the next run of its cells, and there is no sideways
// scrolling. A line's first row is kept in a running count (ExchangeLogWrap.cpp), extended as lines
// come at the end and counted again when the width, the font or an edit changes it.
//
// Whatever reads the text (text(), copy, save, assistive technology, the user's edits) sees everything
// appended so far; the view itself (scroll bars, following the end, painting) catches up once per turn
// of the event loop, however many appends came in between. Received blocks are turned into text a
// slice per turn, and at once for a reader.
//
// Control codes (C0, DEL, C1, and the Control Pictures a received byte 0 is kept as) show as marks of
// their own drawn small in the accent colour: Tab an arrow, the others their two hex digits stacked.
// This is painting only: the text keeps the characters. Tab moves the focus on, as in a
// log it types nothing useful; there is no undo: megabytes of received data in a history would be a
// leak.
//
// Line breaks: a CR LF pair, a lone CR, a lone LF and U+2029 each make one line break, also when the
// CR and the LF arrive in separate appends; text() returns every line break as "\n".
//
// Time stamps are marks too (LogMarks::Style::Time), drawn in a gutter left of the text while it is on,
// so that the text's columns stay as they are: each row shows the first stamp of its line.
#include "LogMarks.h"
#include "LogSearch.h"
#include "LogText.h"

#include <QAbstractScrollArea>
#include <QBasicTimer>
#include <QElapsedTimer>
#include <QFont>
#include <QHash>
#include <QImage>
#include <QList>
#include <QPointer>
#include <QRawFont>

#include <algorithm>
#include <array>
#include <climits>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class QAccessibleEvent;
class QAction;
class QIODevice;
class QMenu;

class ExchangeLog : public QAbstractScrollArea {
    Q_OBJECT
    Q_PROPERTY(bool lineWrap READ lineWrap WRITE setLineWrap)

public:
    explicit ExchangeLog(QWidget* parent = nullptr);
    ~ExchangeLog() override;

    // Qt's scroll bars and accessibility take positions as int: larger ones are clamped.
    static int toInt(qint64 v) { return int(std::clamp<qint64>(v, 0, INT_MAX)); }

    // The whole text, line breaks as "\n".
    QString text() const { return shown().text(); }
    QString toPlainText() const { return text(); }
    // The text between two positions (what a copy of that selection gives).
    QString textBetween(qint64 from, qint64 to) const { return shown().text(from, to); }
    const LogText& content() const { return shown(); }
    qint64 characterCount() const { return shown().size(); }
    qint64 lineCount() const { return shown().lineCount(); }
    int blockCount() const { return int(std::min<qint64>(shown().lineCount(), INT_MAX)); }
    bool isReadOnly() const { return false; }

    // Replaces the whole text.
    void setText(const QString& s);
    void setPlainText(const QString& s) { setText(s); }
    // Adds a line: line + "\n" when the last line is empty (empty log or text ending in a line break),
    // otherwise "\n" + line, leaving the line open so that data received next continues it.
    void addLine(const QString& line);
    // Appends at the end of the text, continuing the last line.
    void appendText(QStringView s);
    // The same for eight-bit text, each byte standing for the character VisibleChar gives it.
    void appendShown8(const char* data, qsizetype n);
    // A received block in hexadecimal or character form, decorated or not (AppendHexForm8,
    // AppendCharForm8). Taken in at once; turned into text a slice per turn of the event loop, and all
    // of it as soon as anything reads the text: a poll tick may bring megabytes, and the window stays
    // responsive while they are laid down.
    // With `arrivalMs` (milliseconds since 1970) every line whose first character the block brings
    // gets a time stamp of that time.
    void appendReceived(const QByteArray& block, bool hexForm, bool decorated, qint64 arrivalMs = -1);
    // A time stamp at the end of the text, after every received block handed over so far; none when the
    // line there has one already.
    void appendTimeStamp(qint64 ms);
    // Whether the gutter with the time stamps shows; the text moves right by its width. Off by default.
    // Reads and saves give the stamps only while it shows, each before its line as on screen.
    void setTimeGutter(bool on);
    bool timeGutter() const { return m_timeGutter; }
    // Whether long lines wrap at the viewport's width, as a plain text edit's do, instead of scrolling
    // sideways. Off by default.
    void setLineWrap(bool on);
    bool lineWrap() const { return m_wrap; }
    // The screen row a position is on, as [start, end) positions: its logical line when lines do not
    // wrap.
    std::pair<qint64, qint64> screenRowRange(qint64 pos) const;
    // How a time stamp reads: HH:MM:SS.mmm, local time.
    static QString stampText(qint64 ms);
    // A memo's append: the text as a line of its own after what is there.
    void appendPlainText(const QString& line);
    // Adds a mark (see LogMarks) at the end of the text, after every received block handed over so far.
    void appendMark(LogMarks::Style style, const QString& text);
    const LogMarks& marks() const { return shown(), m_marks; }
    // The text between two positions with the text of each mark at its place, as the screen reads.
    QString textWithMarks(qint64 from, qint64 to) const;
    // Writes the whole text as UTF-8 with '\n' breaks and each mark at its place, as the screen reads;
    // false when a write fails.
    bool writeUtf8(QIODevice& out) const;
    // Removes the whole text.
    void clearLog();
    void clear() { clearLog(); }

    // Cursor and selection, as positions of text(). The selection runs from the anchor to the cursor.
    qint64 cursorPosition() const { return shown(), m_cursor; }
    qint64 anchorPosition() const { return shown(), m_anchor; }
    void setCursorPosition(qint64 pos, bool keepAnchor = false);
    void setSelection(qint64 anchor, qint64 cursor);
    bool hasSelection() const { return shown(), m_cursor != m_anchor; }
    qint64 selectionStart() const { return shown(), std::min(m_cursor, m_anchor); }
    qint64 selectionEnd() const { return shown(), std::max(m_cursor, m_anchor); }
    QString selectedText() const { return shown().text(selectionStart(), selectionEnd()); }
    // Types text at the cursor, replacing the selection, as the keyboard would.
    void insertText(QStringView s);
    // Removes the text in [from, to) as an edit of the user's.
    void removeText(qint64 from, qint64 to);

    // Geometry, in viewport coordinates.
    QRect characterRect(qint64 pos) const;
    qint64 positionAt(QPoint viewportPos) const;
    // Scrolls so that a position shows.
    void ensureVisible(qint64 pos);

    // The context menu: the standard editing actions (texts as Qt's own text widgets give them), then
    // the actions the owner added.
    QMenu* createStandardContextMenu(QWidget* parent = nullptr);
    void setExtraContextActions(const QList<QAction*>& actions);
    // One more of the owner's actions, at `index` among them.
    void insertExtraContextAction(qsizetype index, QAction* action) {
        m_extraActions.insert(std::clamp<qsizetype>(index, 0, m_extraActions.size()), action);
    }

    // Runs the pending view update now (tests and benchmarks; the event loop does it otherwise).
    void flushView() { sync(); }
    // The search whose matches are highlighted where they show; nullptr for none.
    void setSearch(LogSearch* search) { m_search = search; }

    // Hands every accessibility event a log raises to `tap` too, whether a screen reader listens or
    // not (tests; nullptr ends it).
    using AccessibilityTap = void (*)(QAccessibleEvent*);
    static void setAccessibilityTap(AccessibilityTap tap);
    // Whether cells of characters are drawn once and copied (on by default where cells are whole
    // device pixels); tests and benchmarks compare both ways of drawing.
    void setCellCache(bool on) {
        m_cellCache = on;
        viewport()->update();
    }

public slots:
    void copy();
    void cut();
    void paste();
    void selectAll();
    void deleteSelection();

signals:
    void cursorPositionChanged();
    void selectionChanged();

protected:
    bool event(QEvent* e) override;
    void paintEvent(QPaintEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;
    void changeEvent(QEvent* e) override;
    void scrollContentsBy(int dx, int dy) override;
    void keyPressEvent(QKeyEvent* e) override;
    void inputMethodEvent(QInputMethodEvent* e) override;
    QVariant inputMethodQuery(Qt::InputMethodQuery query) const override;
    void mousePressEvent(QMouseEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;
    void mouseDoubleClickEvent(QMouseEvent* e) override;
    void contextMenuEvent(QContextMenuEvent* e) override;
    void focusInEvent(QFocusEvent* e) override;
    void focusOutEvent(QFocusEvent* e) override;
    void timerEvent(QTimerEvent* e) override;

private:
    // The text with every received block in it. Received blocks are appended lazily, so readers
    // lay down what waits first: logically the text already holds it.
    const LogText& shown() const {
        if (!m_pending.empty())
            const_cast<ExchangeLog*>(this)->layDownReceived(-1);
        return m_text;
    }
    // Turns waiting received blocks into text, up to `budget` received bytes (all for -1).
    void layDownReceived(qsizetype budget);
    // Bookkeeping after text was added at the end by an append.
    void appended(qint64 before);
    void flushAccessibleAppend();
    // Tells assistive technology where an append moved the cursor, at most a few times a second.
    void announceCursor();
    // The text a change event carries: [from, to), or its first AccessibleWindow characters.
    QString accessibleText(qint64 from, qint64 to) const;
    void scheduleSync();
    // characterRect and ensureVisible for what is laid down so far.
    QRect cellRect(qint64 pos) const;
    void sync();
    void updateFonts();
    void updateScrollBars();
    void followEnd();
    void noteUserScroll();
    int visibleRows() const;
    int visibleColumns() const;
    qint64 lineEndVisible() const;
    void moveCursor(qint64 pos, bool keepAnchor);
    void cursorMoved(qint64 oldCursor, qint64 oldAnchor);
    void restartBlink();
    qint64 wordStart(qint64 pos) const;
    qint64 wordEnd(qint64 pos) const;
    qint64 nextCharPos(qint64 pos) const;
    qint64 prevCharPos(qint64 pos) const;
    qint64 verticalMove(qint64 pos, qint64 rows, bool* rowEnd);
    // The position itself, or the start of the surrogate pair it would split.
    qint64 charBoundary(qint64 pos) const;
    bool handleKey(QKeyEvent* e);
    void dragTo(QPoint p);
    // How a character is drawn: in the font's run at its cell (the common case), or alone.
    bool regularChar(char16_t u) const;
    // A screen row: a line drawn from its screen column `h0` on (the sideways scroll, or where a
    // wrapped row starts).
    void paintRow(QPainter& p, qint64 line, int y, qint64 selFrom, qint64 selTo, qint64 h0);
    // The characters [segFrom, segTo) of a line, drawn `shift` cells to the right (the marks before).
    void paintCells(QPainter& p, qint64 line, int y, qint64 selFrom, qint64 selTo, qint64 segFrom,
                    qint64 segTo, qint64 shift, qint64 h0);
    void paintMark(QPainter& p, const LogMarks::Mark& mark, qint64 column, qint64 cells, int y, qint64 h);
    // The gutter of the rows shown, with the first time stamp of each line on its first row.
    void paintGutter(QPainter& p, qint64 firstRow, int rows);
    // Where the text's first column starts, in pixels: after the margin and the gutter.
    qreal textLeft() const { return kMargin + gutterWidth(); }
    qreal gutterWidth() const;
    // The first time stamp on a line, or null.
    const LogMarks::Mark* lineStamp(qint64 line) const;
    // A time stamp at `pos`, unless its line has one.
    void addStamp(qint64 pos, qint64 ms);
    // Stamps the lines that start in [from, to) of the text just appended.
    void stampLineStarts(qint64 from, qint64 ms);
    // Every mark in [m0, m1) as a read or a save gives it, in order: the text to put in at a position.
    // A time stamp goes to the start of its line (when `from` <= it), or nowhere while the gutter is off.
    template <typename F> bool eachMarkRead(std::size_t m0, std::size_t m1, qint64 from, F put) const;
    // Marks take whole cells in front of the character at their position, so a position's column on
    // screen is its column in the line plus the cells of the marks up to it.
    qint64 markCells(const LogMarks::Mark& mark) const;
    qint64 markCellsUpTo(qint64 lineStart, qint64 pos) const;
    qint64 screenColumn(qint64 pos) const;
    qint64 screenLineLength(qint64 line) const;
    // The most cells the marks of one line take, for the width of the longest line on screen.
    qint64 widestMarks() const;
    // Marks the search's matches in the rows shown, over the text.
    void paintMatches(QPainter& p, qint64 firstRow, int rows) const;

    // Screen rows (ExchangeLogWrap.cpp). Without wrapping a row is a line; with it, line `l` takes the
    // rows [m_rows[l], m_rows[l + 1]), and its row k shows its screen columns from k * wrapColumns() on.
    // A place on screen: the row, and the column in it counted from the row's left edge (after the
    // sideways scroll).
    struct Spot {
        qint64 row = 0;
        qint64 col = 0;
    };
    qint64 wrapColumns() const;
    // Brings m_rows up to date with the text, the marks and the width.
    void updateRows() const;
    qint64 rowCount() const;
    qint64 firstRowOf(qint64 line) const;
    // The line a row shows and which of its rows it is.
    std::pair<qint64, qint64> rowLine(qint64 row) const;
    // Calls f(r, line, k) for the rows [firstRow, firstRow + count) that exist, r counted from 0.
    void eachRow(qint64 firstRow, int count, const std::function<void(int, qint64, qint64)>& f) const;
    // Where a position shows; the cursor's spot is at the end of the row before when it was put at a
    // row's end (End, a click right of a row), which is the same position as the next row's start.
    Spot spotOf(qint64 pos) const;
    Spot cursorSpot() const;
    QRect spotRect(Spot s) const;
    // The position shown at a column of a row; with `rowEnd`, whether that is the row's end shown as
    // the next row's start.
    qint64 positionOnRow(qint64 row, qint64 col, bool* rowEnd = nullptr) const;
    // The row and column under a point of the viewport, the column rounded to the nearer cell edge.
    Spot spotAt(QPoint p) const;
    void scrollTo(Spot s);
    // Lines from this one on need their rows counted again.
    void rowsChangedFrom(qint64 line) { m_rowsValid = std::min(m_rowsValid, line); }
    // A character (or a surrogate pair) that is not drawn in a run, in its cells at r.
    void drawAloneAt(QPainter& p, const QString& s, const QRectF& r, bool selected) const;
    void paintCode(QPainter& p, const QRectF& r, int code, bool selected) const;
    const QImage& codeCell(int code, bool selected) const;

    LogText m_text;
    LogMarks m_marks;
    mutable QHash<QString, qint64> m_markCells; // by text, for the current font
    // widestMarks() works through marks added at the end as they come; an edit starts it over.
    struct MarkWidths {
        quint64 edits = ~quint64(0);
        std::size_t counted = 0;
        qint64 line = -1;
        qint64 lineCells = 0;
        qint64 widest = 0;
    };
    mutable MarkWidths m_markWidths;
    struct Received {
        QByteArray bytes;
        bool hexForm = false;
        bool decorated = false;
        // Or a mark, placed after the blocks before it.
        bool isMark = false;
        LogMarks::Style style = LogMarks::Style::Note;
        QString markText;
        qint64 time = -1; // a time stamp's, or the arrival of a block whose lines get stamps
    };
    std::deque<Received> m_pending;
    std::string m_shownBytes; // a block in its shown form, kept to spare an allocation per block
    qint64 m_cursor = 0;
    qint64 m_anchor = 0;
    qint64 m_wantedColumn = -1; // the column up/down moves keep, -1 for the cursor's own

    QFont m_font;
    qreal m_cellWidth = 7;
    int m_rowHeight = 14;
    int m_ascent = 11;
    static constexpr int kMargin = 4; // left, in pixels
    bool m_timeGutter = false;
    static constexpr int kTopMargin = 2;
    // Regular characters are drawn as glyph runs placed cell by cell, which skips Qt's text layout:
    // the face's glyph of each UTF-16 unit, 0 for one drawn alone, looked up once.
    QRawFont m_raw;
    // Per UTF-16 unit, in pages of 256 made as characters of that page show up: its glyph, 0 for a
    // character drawn alone, and whether that is known yet.
    struct CharInfo {
        quint32 glyph = 0;
        bool known = false;
    };
    mutable std::array<std::unique_ptr<std::array<CharInfo, 256>>, 256> m_charInfo;
    CharInfo& charInfo(char16_t u) const;
    quint32 glyphOf(char16_t u) const { return charInfo(u).glyph; }
    qreal m_advance = 7; // the face's own advance; cells are as wide, rounded up to whole pixels

    // Cells of regular characters, drawn once for each character and colour and copied from then on:
    // copying a cell costs a fraction of drawing its glyph. Used where cells are whole device pixels.
    const QImage& cell(char16_t u, bool selected) const;
    // An empty cell's image at the cache's pixel ratio.
    QImage newCellImage() const;
    bool cellsUsable() const;
    mutable QHash<quint32, QImage> m_cells;
    mutable QRgb m_cellColours[4] = {};
    mutable qreal m_cellRatio = 0;
    mutable QImage m_rowImage;
    bool m_cellCache = true;

    bool m_syncPending = false;
    bool m_followRows = true;            // the view shows the last line and keeps showing it
    bool m_followColumns = true;         // ... and the end of that line
    bool m_scrolling = false;            // we move the bars ourselves
    bool m_showCursor = false;           // after a user's edit or move, the next update brings the cursor in
    qint64 m_changedFrom = -1;           // first position appended since the last update, for accessibility
    bool m_appendMovedCursor = false;    // an append moved the cursor (or the selection) since the
    bool m_appendMovedSelection = false; // last update
    QElapsedTimer m_announced;           // the last cursor event that an append caused
    QBasicTimer m_announceLater;

    QBasicTimer m_blink;
    bool m_caretOn = true;
    QBasicTimer m_dragScroll;
    QPoint m_dragPoint;
    bool m_dragging = false;
    qint64 m_wordAnchorFrom = -1, m_wordAnchorTo = -1; // a double click selects by words while dragging

    bool m_wrap = false;
    mutable std::vector<qint64> m_rows; // wrapping: the first row of each line, and the row count
    mutable qint64 m_rowsValid = 0;     // lines whose rows are counted
    mutable qint64 m_rowsCols = -1;     // the width they were counted at
    mutable quint64 m_rowsMarks = ~quint64(0);
    bool m_rowEnd = false; // the cursor shows at the end of the row before (see cursorSpot)

    QPointer<LogSearch> m_search;
    QList<QPointer<QAction>> m_extraActions; // the owner's; they may go before the log does
};
