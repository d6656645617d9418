// SPDX-License-Identifier: GPL-3.0-or-later
#include "LogSearch.h"

#include "LogText.h"

#include <algorithm>

namespace {

bool isHexDigit(QChar c) {
    const char16_t u = c.unicode();
    return (u >= u'0' && u <= u'9') || (u >= u'A' && u <= u'F') || (u >= u'a' && u <= u'f');
}

bool sameDigit(QChar a, QChar b) {
    return a.toUpper() == b;
}

} // namespace

LogSearch::LogSearch(QObject* parent) : QObject(parent) {}

bool LogSearch::setQuery(const QString& query, bool matchCase, bool hex) {
    cancel();
    m_matchCase = matchCase;
    m_hex = hex;
    m_query.clear();
    m_length = 0;
    if (query.contains(u'\n') || query.contains(u'\r'))
        return false; // a match never crosses a line break
    if (!hex) {
        m_query = query;
        m_length = query.size();
        return true;
    }
    const QStringList codes = query.split(u' ', Qt::SkipEmptyParts);
    for (const QString& code : codes) {
        if (code.size() > 2 || !std::all_of(code.begin(), code.end(), isHexDigit)) {
            m_query.clear();
            return false;
        }
        m_query += (code.size() == 1 ? QStringLiteral("0") + code : code).toUpper();
    }
    const qsizetype n = codes.size();
    // Two digits a code, and between codes a blank, perhaps after a decoration such as "(A)".
    m_length = n > 0 ? 2 * n + 4 * (n - 1) : 0;
    return true;
}

qsizetype LogSearch::matchAt(QStringView s, qsizetype i) const {
    if (!m_hex) {
        if (i + m_query.size() > s.size())
            return -1;
        const Qt::CaseSensitivity cs = m_matchCase ? Qt::CaseSensitive : Qt::CaseInsensitive;
        return s.sliced(i, m_query.size()).compare(m_query, cs) == 0 ? i + m_query.size() : -1;
    }
    // Only whole codes: a digit before or after belongs to another one.
    if (i > 0 && isHexDigit(s[i - 1]))
        return -1;
    const qsizetype n = m_query.size() / 2;
    qsizetype p = i;
    for (qsizetype k = 0; k < n; ++k) {
        if (p + 2 > s.size() || !sameDigit(s[p], m_query[2 * k]) || !sameDigit(s[p + 1], m_query[2 * k + 1]))
            return -1;
        p += 2;
        if (k == n - 1)
            return p < s.size() && isHexDigit(s[p]) ? -1 : p;
        if (p + 2 < s.size() && s[p] == u'(' && s[p + 2] == u')')
            p += 3;
        if (p >= s.size() || s[p] != u' ')
            return -1;
        ++p;
    }
    return -1;
}

std::pair<qsizetype, qsizetype> LogSearch::scan(QStringView s, qsizetype from, qsizetype to,
                                                bool forward) const {
    if (m_length == 0 || from >= to)
        return {-1, -1};
    // Candidates: where the text, or the first code's digits, stand; each checked whole.
    const QString head = m_hex ? m_query.first(2) : m_query;
    const Qt::CaseSensitivity cs = m_hex || !m_matchCase ? Qt::CaseInsensitive : Qt::CaseSensitive;
    if (forward) {
        for (qsizetype i = from; i < to; ++i) {
            i = s.indexOf(head, i, cs);
            if (i < 0 || i >= to)
                break;
            if (const qsizetype end = matchAt(s, i); end >= 0)
                return {i, end};
        }
        return {-1, -1};
    }
    for (qsizetype i = to - 1; i >= from; --i) {
        i = s.lastIndexOf(head, i, cs);
        if (i < from)
            break;
        if (const qsizetype end = matchAt(s, i); end >= 0)
            return {i, end};
    }
    return {-1, -1};
}

std::vector<std::pair<qint64, qint64>> LogSearch::matchesIn(const LogText& text, qint64 from,
                                                            qint64 to) const {
    std::vector<std::pair<qint64, qint64>> out;
    if (m_length == 0 || from >= to)
        return out;
    const qint64 readFrom = std::max<qint64>(0, from - m_length);
    const QString s = text.text(readFrom, to + m_length);
    const auto first = qsizetype(from - readFrom);
    for (qsizetype i = 0; i < s.size();) {
        const auto [a, b] = scan(s, i, s.size(), true);
        if (a < 0 || readFrom + a >= to)
            break;
        if (b > first)
            out.emplace_back(readFrom + a, readFrom + b);
        i = std::max(b, a + 1);
    }
    return out;
}

void LogSearch::find(const LogText* text, qint64 from, bool forward) {
    cancel();
    m_text = text;
    m_forward = forward;
    m_wrapped = false;
    m_origin = m_pos = std::clamp<qint64>(from, 0, text ? text->size() : 0);
    m_running = true;
    schedule();
}

void LogSearch::schedule() {
    // A posted call, not a timer: posted during a turn, it waits for the next, so input and arriving
    // data are served between slices.
    QMetaObject::invokeMethod(
        this,
        [this, generation = m_generation] {
            if (generation == m_generation && m_running && !step())
                schedule();
        },
        Qt::QueuedConnection);
}

void LogSearch::cancel() {
    m_running = false;
    ++m_generation;
}

void LogSearch::finish() {
    while (m_running && !step()) {
    }
}

bool LogSearch::step() {
    const qint64 size = m_text && m_length > 0 ? m_text->size() : 0;
    auto end = [this](qint64 a, qint64 b) {
        // Ended first: a listener may start the next search at once.
        cancel();
        if (a >= 0)
            emit found(a, b);
        else
            emit notFound();
        return true;
    };
    if (size == 0)
        return end(-1, -1);
    m_origin = std::min(m_origin, size);
    if (m_forward) {
        const qint64 limit = m_wrapped ? m_origin : size; // starts below it
        if (m_pos >= limit) {
            if (m_wrapped || m_origin == 0)
                return end(-1, -1);
            m_wrapped = true;
            m_pos = 0;
            return false;
        }
        const qint64 sliceEnd = std::min(limit, m_pos + SliceChars);
        const qint64 readFrom = std::max<qint64>(0, m_pos - 1);
        const QString s = m_text->text(readFrom, sliceEnd + m_length + 1);
        const auto [a, b] = scan(s, qsizetype(m_pos - readFrom), qsizetype(sliceEnd - readFrom), true);
        if (a >= 0)
            return end(readFrom + a, readFrom + b);
        m_pos = sliceEnd;
        return false;
    }
    m_pos = std::min(m_pos, size);
    const qint64 low = m_wrapped ? m_origin : 0; // starts at or above it
    if (m_pos <= low) {
        if (m_wrapped || m_origin >= size)
            return end(-1, -1);
        m_wrapped = true;
        m_pos = size;
        return false;
    }
    const qint64 sliceStart = std::max(low, m_pos - SliceChars);
    const qint64 readFrom = std::max<qint64>(0, sliceStart - 1);
    const QString s = m_text->text(readFrom, m_pos + m_length + 1);
    const auto [a, b] = scan(s, qsizetype(sliceStart - readFrom), qsizetype(m_pos - readFrom), false);
    if (a >= 0)
        return end(readFrom + a, readFrom + b);
    m_pos = sliceStart;
    return false;
}
