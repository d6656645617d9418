// SPDX-License-Identifier: GPL-3.0-or-later
#include "SendHistory.h"

void SendHistory::setEntries(const QStringList& lines) {
    m_entries.clear();
    m_pos = -1;
    for (const QString& line : lines)
        add(line);
}

void SendHistory::add(const QString& line) {
    m_pos = -1;
    m_draft.clear();
    if (line.isEmpty() || line.size() > kLongestKept || (!m_entries.isEmpty() && m_entries.last() == line))
        return;
    m_entries.append(line);
    if (m_entries.size() > kLimit)
        m_entries.remove(0, m_entries.size() - kLimit);
}

std::optional<QString> SendHistory::older(const QString& current) {
    if (m_entries.isEmpty() || m_pos == 0)
        return std::nullopt;
    if (m_pos < 0) {
        m_draft = current;
        m_pos = m_entries.size();
    }
    return m_entries.at(--m_pos);
}

std::optional<QString> SendHistory::newer() {
    if (m_pos < 0)
        return std::nullopt;
    if (++m_pos < m_entries.size())
        return m_entries.at(m_pos);
    m_pos = -1;
    return m_draft;
}
