// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The lines sent from the send line, oldest first, for Up and Down to walk as a shell's history does:
// Up from the line being typed keeps it as a draft, Down past the newest line gives it back.
#include <QString>
#include <QStringList>

#include <optional>

class SendHistory {
public:
    static constexpr int kLimit = 100;
    // A pasted line of megabytes is sent, but not kept: it would bloat the settings file.
    static constexpr int kLongestKept = 4096;

    // Replaces the lines (from the settings): empty and over-long ones and repeats in a row dropped,
    // the newest kLimit kept.
    void setEntries(const QStringList& lines);
    const QStringList& entries() const { return m_entries; }

    // A line was sent: kept unless empty, over-long or the same as the newest. Ends a walk.
    void add(const QString& line);

    // The line one older or one newer than the one shown, or nothing at either end. `current` is the
    // text of the line now; the first step up keeps it as the draft.
    std::optional<QString> older(const QString& current);
    std::optional<QString> newer();

private:
    QStringList m_entries;
    qsizetype m_pos = -1; // the entry shown, or -1 while the draft is
    QString m_draft;
};
