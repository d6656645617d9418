#pragma once

#include <QPlainTextEdit>
#include <QString>
#include <QStringView>

class QMimeData;
class QTextCursor;

// The exchange log: echoed transmissions and received data, kept whole for as long as the user wants.
//
// A device may send megabytes without a line break, and a text edit lays a paragraph out whole, so one
// endless line would make every append slower than the last. The log therefore stores a long line as a
// chain of paragraphs of at most BlockCap characters; every paragraph but the first of a chain carries
// the block user state ContinuesPrevious. text() and every copy or drag join such paragraphs without a
// line break, so the splits are invisible to whoever reads the text.
//
// Line breaks: a CR LF pair, a lone CR, a lone LF (and U+2029) each make one line break, also when the CR
// and the LF arrive in separate appends; text() returns every line break as "\n". All other characters
// are kept as they are.
//
// Read the text through text(), not toPlainText(): the latter shows the splits as line breaks.
class ExchangeLog : public QPlainTextEdit {
    Q_OBJECT

public:
    // Longest paragraph the log builds; longer runs continue in the next paragraph. Without line wrap a
    // visible paragraph is painted whole however little of it shows, so a short cap keeps paints cheap.
    static constexpr int BlockCap = 1024;
    // Block user state of a paragraph that continues the previous one without a line break.
    static constexpr int ContinuesPrevious = 1;

    explicit ExchangeLog(QWidget* parent = nullptr);

    // The whole text, line breaks as "\n", internal splits hidden.
    QString text() const;
    // Replaces the whole text.
    void setText(const QString& s);
    // Adds a line: line + "\n" when the last line is empty (empty log or text ending in a line break),
    // otherwise "\n" + line, leaving the line open so that data received next continues it.
    void addLine(const QString& line);
    // Appends at the end of the text, continuing the last line.
    void appendText(const QString& s);
    // Removes the whole text.
    void clearLog();

    // The text between two document positions, splits hidden (what a copy of that selection gives).
    QString textBetween(int from, int to) const;

protected:
    QMimeData* createMimeDataFromSelection() const override;
    void insertFromMimeData(const QMimeData* source) override;

private:
    void insertAt(QTextCursor& c, QStringView s);
    void splitAt(QTextCursor& c, int state);
    void insertRun(QTextCursor& c, QStringView run);
    bool lastLineEmpty() const;
    void followEnd();
    // Runs an edit of ours at the end of the log as one step.
    template <typename F> void editAtEnd(F&& f);

    bool m_ownEdit = false;
    bool m_following = true;  // the view shows the end and keeps showing it as the log grows
    bool m_scrolling = false; // we are moving the bar ourselves
    bool m_crPending = false; // the last character appended was a CR; an LF right after it adds nothing
};
