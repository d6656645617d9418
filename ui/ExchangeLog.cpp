#include "ExchangeLog.h"

#include <QMimeData>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

#include <algorithm>
#include <memory>

namespace {

// Characters that end a line. The two frame marks would make a paragraph inside the document anyway;
// treating them as line breaks keeps the paragraph bookkeeping in our hands.
bool isBreak(QChar ch) {
    const char16_t u = ch.unicode();
    return u == u'\n' || u == u'\r' || u == 0x2029 || u == 0xFDD0 || u == 0xFDD1;
}

bool continuesPrevious(const QTextBlock& b) {
    return b.userState() == ExchangeLog::ContinuesPrevious;
}

} // namespace

ExchangeLog::ExchangeLog(QWidget* parent) : QPlainTextEdit(parent) {
    // Megabytes of received data in the undo history would be a leak that grows with the log.
    setUndoRedoEnabled(false);
    // Any change that is not one of our appends (the user typing, a clear) ends a pending CR.
    connect(document(), &QTextDocument::contentsChange, this, [this](int, int, int) {
        if (!m_ownEdit)
            m_crPending = false;
    });
    // Follow the end while the user is there. Paragraphs are laid out lazily, so the range of the bar
    // grows after an append as well as during it; hence the range signal rather than a check per append.
    QScrollBar* vb = verticalScrollBar();
    connect(vb, &QScrollBar::valueChanged, this, [this, vb](int value) {
        if (!m_scrolling)
            m_following = value >= vb->maximum();
    });
    // Queued: the range changes in the middle of the edit's own scroll bar update, which would undo a
    // move made right there.
    connect(
        vb, &QScrollBar::rangeChanged, this, [this] { followEnd(); }, Qt::QueuedConnection);
}

void ExchangeLog::followEnd() {
    QScrollBar* vb = verticalScrollBar();
    if (m_following && vb->value() != vb->maximum()) {
        m_scrolling = true;
        vb->setValue(vb->maximum());
        m_scrolling = false;
    }
}

QString ExchangeLog::text() const {
    return textBetween(0, document()->characterCount() - 1);
}

QString ExchangeLog::textBetween(int from, int to) const {
    QString out;
    if (to <= from)
        return out;
    out.reserve(to - from);
    for (QTextBlock b = document()->findBlock(from); b.isValid() && b.position() <= to; b = b.next()) {
        const int start = b.position();
        const int sep = start + b.length() - 1; // position of the paragraph separator
        // The break before this block lies at start - 1, inside the range when start > from.
        if (start > from && !continuesPrevious(b))
            out += u'\n';
        const int a = std::max(from, start);
        const int e = std::min(to, sep);
        if (e > a)
            out += QStringView(b.text()).sliced(a - start, e - a);
    }
    return out;
}

template <typename F> void ExchangeLog::editAtEnd(F&& f) {
    m_ownEdit = true;
    QTextCursor c(document());
    c.movePosition(QTextCursor::End);
    c.beginEditBlock();
    f(c);
    c.endEditBlock();
    m_ownEdit = false;
    followEnd();
}

void ExchangeLog::splitAt(QTextCursor& c, int state) {
    // Which half of a split paragraph keeps the old block data is Qt's business; set both explicitly.
    const int before = c.block().userState();
    c.insertBlock();
    c.block().previous().setUserState(before);
    c.block().setUserState(state);
}

void ExchangeLog::insertRun(QTextCursor& c, QStringView run) {
    while (!run.isEmpty()) {
        qsizetype room = BlockCap - (c.block().length() - 1);
        if (room <= 0) {
            splitAt(c, ContinuesPrevious);
            room = BlockCap;
        }
        const qsizetype n = std::min(room, run.size());
        c.insertText(run.first(n).toString());
        run = run.sliced(n);
    }
}

void ExchangeLog::insertAt(QTextCursor& c, QStringView s) {
    qsizetype i = 0;
    while (i < s.size()) {
        qsizetype j = i;
        while (j < s.size() && !isBreak(s[j]))
            ++j;
        insertRun(c, s.sliced(i, j - i));
        if (j == s.size())
            break;
        if (s[j] == u'\r' && j + 1 < s.size() && s[j + 1] == u'\n')
            ++j;
        splitAt(c, -1);
        i = j + 1;
    }
}

void ExchangeLog::appendText(const QString& s) {
    if (s.isEmpty())
        return;
    QStringView v(s);
    if (m_crPending && v.front() == u'\n')
        v = v.sliced(1); // the LF of a CR LF pair split between two blocks
    editAtEnd([&](QTextCursor& c) { insertAt(c, v); });
    m_crPending = s.back() == u'\r';
}

bool ExchangeLog::lastLineEmpty() const {
    for (QTextBlock b = document()->lastBlock(); b.isValid(); b = b.previous()) {
        if (b.length() > 1)
            return false;
        if (!continuesPrevious(b))
            return true;
    }
    return true;
}

void ExchangeLog::addLine(const QString& line) {
    const bool empty = lastLineEmpty();
    editAtEnd([&](QTextCursor& c) {
        if (!empty)
            splitAt(c, -1);
        insertAt(c, line);
        if (empty)
            splitAt(c, -1);
    });
    m_crPending = false;
}

void ExchangeLog::setText(const QString& s) {
    clearLog();
    editAtEnd([&](QTextCursor& c) { insertAt(c, s); });
}

void ExchangeLog::clearLog() {
    clear();
    m_crPending = false;
}

QMimeData* ExchangeLog::createMimeDataFromSelection() const {
    const QTextCursor c = textCursor();
    auto data = std::make_unique<QMimeData>();
    data->setText(textBetween(c.selectionStart(), c.selectionEnd()));
    return data.release(); // the caller owns it
}

void ExchangeLog::insertFromMimeData(const QMimeData* source) {
    if (!source || !source->hasText())
        return;
    // A pasted text goes through the same splitting as received data, so a paste of a long line does not
    // bring back the cost the splitting avoids.
    QTextCursor c = textCursor();
    c.beginEditBlock();
    c.removeSelectedText();
    insertAt(c, source->text());
    c.endEditBlock();
    setTextCursor(c);
    ensureCursorVisible();
}
