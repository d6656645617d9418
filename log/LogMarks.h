// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What the log shows that was never received: notes at positions of its text (data lost, a line error,
// the device gone). They are not characters of the text, so copy and every position stay those of the
// received data; the view draws each one in front of the character at its position, and a save writes
// it there.
//
// Marks are kept in position order. Received data adds them at the end of the text, which costs a
// push at the back; an edit moves or drops those after it.

#include <QString>

#include <cstddef>
#include <utility>
#include <vector>

class LogMarks {
public:
    enum class Style : unsigned char {
        Problem, // something went wrong with the data here
        Note,    // something a user may want to know happened here
        Time,    // when the data here arrived (`time`, no text): shown beside its row, not in it
    };
    struct Mark {
        qint64 pos = 0;
        Style style = Style::Note;
        QString text;
        qint64 time = 0; // milliseconds since 1970 (UTC), for a Time mark
    };

    bool isEmpty() const { return m_marks.empty(); }
    std::size_t size() const { return m_marks.size(); }
    const Mark& operator[](std::size_t i) const { return m_marks[i]; }
    // Bumped by every change, so that a view can tell when what it worked out from the marks is stale.
    quint64 generation() const { return m_generation; }
    // Bumped by every change but an add at the end.
    quint64 edits() const { return m_edits; }

    // Adds a mark after any others at the same position.
    void add(qint64 pos, Style style, QString text, qint64 time = 0);
    void clear();
    // The index range [first, last) of the marks whose position lies in [from, to].
    std::pair<std::size_t, std::size_t> within(qint64 from, qint64 to) const;

    // Text was inserted: marks after `at` move on by `n`; a mark at `at` stays in front of what came.
    void inserted(qint64 at, qint64 n);
    // Text in [from, to) was removed: marks inside go with it; those at or after `to` move back.
    void removed(qint64 from, qint64 to);

private:
    std::vector<Mark> m_marks;
    quint64 m_generation = 0;
    quint64 m_edits = 0;
};
