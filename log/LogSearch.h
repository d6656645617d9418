// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Looks for a text in a log: plain text, with or without regard to case, or bytes in the log's
// hexadecimal form ("0D 0A" finds "0D 0A " and "0D(.) 0A(.) ", never half of a code).
//
// A log may hold many megabytes, and data keeps arriving while a search runs: a search reads the text
// a slice per turn of the event loop, so the window stays live, and reports once with found() or
// notFound(). The text may change between slices; a match is reported as the text stood when it was
// found. Matches never cross a line break.
#include <QObject>
#include <QString>

#include <utility>
#include <vector>

class LogText;

class LogSearch : public QObject {
    Q_OBJECT

public:
    static constexpr qint64 SliceChars = qint64(4) << 20; // read per turn of the event loop

    explicit LogSearch(QObject* parent = nullptr);

    // What to look for. A hex query is codes separated by blanks, one or two hex digits each; false
    // when it is not (and then nothing matches).
    bool setQuery(const QString& query, bool matchCase, bool hex);
    bool hasQuery() const { return m_length > 0; }

    // Matches that overlap [from, to), in order (to highlight what shows).
    std::vector<std::pair<qint64, qint64>> matchesIn(const LogText& text, qint64 from, qint64 to) const;

    // Starts looking in `text` from `from`, forward for the first match that starts at or after it, or
    // backward for the last one that starts before it, going round the end once. A search already
    // running is dropped. `text` must outlive the search, or cancel() it.
    void find(const LogText* text, qint64 from, bool forward);
    void cancel();
    bool running() const { return m_running; }
    // Runs the search started last to its end now (benchmarks).
    void finish();

signals:
    void found(qint64 from, qint64 to);
    void notFound();

private:
    // The next slice, on the next turn of the event loop.
    void schedule();
    // One slice; true when the search ended.
    bool step();
    // The end of a match starting at i of s, or -1.
    qsizetype matchAt(QStringView s, qsizetype i) const;
    // The first match starting in [from, to) of s, or the last one for !forward; {-1, -1} if none.
    std::pair<qsizetype, qsizetype> scan(QStringView s, qsizetype from, qsizetype to, bool forward) const;

    QString m_query;        // plain text, or the hex digits of the bytes, two each, upper case
    qsizetype m_length = 0; // most characters a match spans
    bool m_matchCase = false;
    bool m_hex = false;

    const LogText* m_text = nullptr;
    bool m_running = false;
    quint64 m_generation = 0; // a slice scheduled for an earlier search does nothing
    bool m_forward = true;
    bool m_wrapped = false;
    qint64 m_origin = 0; // where the search began
    qint64 m_pos = 0;    // forward: the next start to try; backward: starts below it are left
};
