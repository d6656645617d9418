// SPDX-License-Identifier: GPL-3.0-or-later
#include "ExchangeLogAccessible.h"

#include "ExchangeLog.h"

#include <QAccessibleWidget>

#include <algorithm>

namespace {

class ExchangeLogAccessible : public QAccessibleWidget,
                              public QAccessibleTextInterface,
                              public QAccessibleEditableTextInterface {
public:
    explicit ExchangeLogAccessible(ExchangeLog* log) : QAccessibleWidget(log, QAccessible::EditableText) {}

    void* interface_cast(QAccessible::InterfaceType t) override {
        if (t == QAccessible::TextInterface)
            return static_cast<QAccessibleTextInterface*>(this);
        if (t == QAccessible::EditableTextInterface)
            return static_cast<QAccessibleEditableTextInterface*>(this);
        return QAccessibleWidget::interface_cast(t);
    }

    QAccessible::State state() const override {
        QAccessible::State s = QAccessibleWidget::state();
        s.editable = true;
        s.multiLine = true;
        s.selectableText = true;
        return s;
    }

    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Value) {
            const auto [a, b] = unitAt(log()->cursorPosition(), QAccessible::LineBoundary);
            return log()->textBetween(a, b);
        }
        return QAccessibleWidget::text(t);
    }

    // ---- text ----

    void selection(int index, int* start, int* end) const override {
        *start = *end = 0;
        if (index == 0 && log()->hasSelection()) {
            *start = ExchangeLog::toInt(log()->selectionStart());
            *end = ExchangeLog::toInt(log()->selectionEnd());
        }
    }
    int selectionCount() const override { return log()->hasSelection() ? 1 : 0; }
    void addSelection(int start, int end) override { setSelection(0, start, end); }
    void removeSelection(int index) override {
        if (index == 0)
            log()->setCursorPosition(log()->cursorPosition());
    }
    void setSelection(int index, int start, int end) override {
        if (index == 0)
            log()->setSelection(start, end);
    }
    int cursorPosition() const override { return ExchangeLog::toInt(log()->cursorPosition()); }
    void setCursorPosition(int position) override { log()->setCursorPosition(position); }
    QString text(int start, int end) const override { return log()->textBetween(start, end); }
    int characterCount() const override { return ExchangeLog::toInt(log()->characterCount()); }

    QRect characterRect(int offset) const override {
        const QRect r = log()->characterRect(offset);
        return QRect(log()->viewport()->mapToGlobal(r.topLeft()), r.size());
    }
    int offsetAtPoint(const QPoint& point) const override {
        const QPoint p = log()->viewport()->mapFromGlobal(point);
        if (!log()->viewport()->rect().contains(p))
            return -1;
        return ExchangeLog::toInt(log()->positionAt(p));
    }
    void scrollToSubstring(int start, int end) override {
        log()->ensureVisible(end);
        log()->ensureVisible(start);
    }
    QString attributes(int offset, int* start, int* end) const override {
        // One font and colour throughout.
        *start = 0;
        *end = characterCount();
        Q_UNUSED(offset);
        return QString();
    }

    QString textAtOffset(int offset, QAccessible::TextBoundaryType type, int* start,
                         int* end) const override {
        const auto [a, b] = unitAt(std::clamp<qint64>(offset, 0, log()->characterCount()), type);
        return result(a, b, start, end, type);
    }
    QString textBeforeOffset(int offset, QAccessible::TextBoundaryType type, int* start,
                             int* end) const override {
        const auto [a, b] = unitAt(std::clamp<qint64>(offset, 0, log()->characterCount()), type);
        if (a == 0)
            return result(0, 0, start, end);
        const auto [pa, pb] = unitAt(a - 1, type);
        return result(pa, pb, start, end, type);
    }
    QString textAfterOffset(int offset, QAccessible::TextBoundaryType type, int* start,
                            int* end) const override {
        const auto [a, b] = unitAt(std::clamp<qint64>(offset, 0, log()->characterCount()), type);
        if (b >= log()->characterCount() || b == a)
            return result(log()->characterCount(), log()->characterCount(), start, end);
        const auto [na, nb] = unitAt(b, type);
        return result(na, nb, start, end, type);
    }

    // ---- editable text ----

    void deleteText(int start, int end) override { log()->removeText(start, end); }
    void insertText(int offset, const QString& text) override {
        log()->setCursorPosition(offset);
        log()->insertText(text);
    }
    void replaceText(int start, int end, const QString& text) override {
        log()->setSelection(start, end);
        log()->insertText(text);
    }

private:
    ExchangeLog* log() const { return static_cast<ExchangeLog*>(widget()); }

    // A line is read with the log's marks in it, so that a loss or a line error is heard where it is
    // seen; offsets stay those of the text.
    QString result(qint64 a, qint64 b, int* start, int* end,
                   QAccessible::TextBoundaryType type = QAccessible::CharBoundary) const {
        *start = ExchangeLog::toInt(a);
        *end = ExchangeLog::toInt(b);
        const bool line = type == QAccessible::LineBoundary || type == QAccessible::ParagraphBoundary ||
                          type == QAccessible::SentenceBoundary;
        return line ? log()->textWithMarks(a, b) : log()->textBetween(a, b);
    }

    // [a, b) cut to at most AccessibleWindow characters around the offset, without splitting a pair.
    static std::pair<qint64, qint64> window(const LogText& t, qint64 offset, qint64 a, qint64 b) {
        if (b - a <= AccessibleWindow)
            return {a, b};
        qint64 from = std::max(a, std::min(offset, b) - AccessibleWindow / 2);
        const qint64 to = std::min(b, from + AccessibleWindow);
        from = std::max(a, to - AccessibleWindow);
        const bool cutStart = t.at(from).isLowSurrogate() && t.at(from - 1).isHighSurrogate();
        const bool cutEnd = t.at(to).isLowSurrogate() && t.at(to - 1).isHighSurrogate();
        return {from + (cutStart ? 1 : 0), to - (cutEnd ? 1 : 0)};
    }

    // The unit of text that holds an offset: [start, end).
    std::pair<qint64, qint64> unitAt(qint64 offset, QAccessible::TextBoundaryType type) const {
        const LogText& t = log()->content();
        const qint64 size = t.size();
        switch (type) {
        case QAccessible::CharBoundary: {
            if (offset >= size)
                return {size, size};
            const bool pair = t.at(offset).isHighSurrogate() && t.at(offset + 1).isLowSurrogate();
            return {offset, offset + (pair ? 2 : 1)};
        }
        case QAccessible::WordBoundary: {
            // A word, or the run of other characters between two words, within its line.
            if (offset >= size)
                return {size, size};
            const QChar c = t.at(offset);
            if (c == u'\n')
                return {offset, offset + 1};
            const bool word = LogText::isWordChar(c);
            return {t.runStart(offset, word), t.runEnd(offset, word)};
        }
        case QAccessible::NoBoundary:
            return window(t, offset, 0, size);
        case QAccessible::SentenceBoundary:
        case QAccessible::ParagraphBoundary:
        case QAccessible::LineBoundary:
        default: {
            // A line as the screen shows it: a logical line with its line break, or, where lines wrap, a
            // row of one (its last row with the break).
            const qint64 line = t.lineOf(offset);
            const qint64 end = t.lineStart(line) + t.lineLength(line);
            if (type == QAccessible::LineBoundary) {
                const auto [a, b] = log()->screenRowRange(offset);
                return window(t, offset, a, b == end ? std::min(size, b + 1) : b);
            }
            return window(t, offset, t.lineStart(line), std::min(size, end + 1));
        }
        }
    }
};

QAccessibleInterface* exchangeLogFactory(const QString& className, QObject* object) {
    if (className == QLatin1String("ExchangeLog") && object && object->isWidgetType())
        // Owned by Qt's accessibility cache, which deletes it with the widget.
        return new ExchangeLogAccessible(static_cast<ExchangeLog*>(object));
    return nullptr;
}

} // namespace

void installExchangeLogAccessibility() {
    static const bool installed = [] {
        QAccessible::installFactory(exchangeLogFactory);
        return true;
    }();
    Q_UNUSED(installed);
}
