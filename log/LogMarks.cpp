// SPDX-License-Identifier: GPL-3.0-or-later
#include "LogMarks.h"

#include <algorithm>

namespace {
bool before(const LogMarks::Mark& m, qint64 pos) {
    return m.pos < pos;
}
bool notAfter(qint64 pos, const LogMarks::Mark& m) {
    return pos < m.pos;
}
} // namespace

void LogMarks::add(qint64 pos, Style style, QString text, qint64 time) {
    ++m_generation;
    if (m_marks.empty() || m_marks.back().pos <= pos) {
        m_marks.push_back({pos, style, std::move(text), time});
        return;
    }
    ++m_edits;
    const auto at = std::upper_bound(m_marks.begin(), m_marks.end(), pos, notAfter);
    m_marks.insert(at, {pos, style, std::move(text), time});
}

void LogMarks::clear() {
    ++m_generation;
    ++m_edits;
    m_marks.clear();
    m_marks.shrink_to_fit();
}

std::pair<std::size_t, std::size_t> LogMarks::within(qint64 from, qint64 to) const {
    const auto a = std::lower_bound(m_marks.begin(), m_marks.end(), from, before);
    const auto b = std::upper_bound(a, m_marks.end(), to, notAfter);
    return {std::size_t(a - m_marks.begin()), std::size_t(b - m_marks.begin())};
}

void LogMarks::inserted(qint64 at, qint64 n) {
    if (n <= 0)
        return;
    auto it = std::upper_bound(m_marks.begin(), m_marks.end(), at, notAfter);
    if (it == m_marks.end())
        return;
    ++m_generation;
    ++m_edits;
    for (; it != m_marks.end(); ++it)
        it->pos += n;
}

void LogMarks::removed(qint64 from, qint64 to) {
    if (to <= from)
        return;
    // Marks strictly inside the removed text go; one at `from` stays where it was.
    const auto first = std::upper_bound(m_marks.begin(), m_marks.end(), from, notAfter);
    const auto last = std::lower_bound(first, m_marks.end(), to, before);
    if (first == m_marks.end())
        return;
    ++m_generation;
    ++m_edits;
    auto rest = m_marks.erase(first, last);
    for (; rest != m_marks.end(); ++rest)
        rest->pos -= to - from;
}
