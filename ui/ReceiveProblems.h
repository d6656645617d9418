// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What went wrong with received data since the port was connected: bytes dropped because the input
// queue was full, overruns, framing and parity errors, breaks. The window hands it every receive event;
// it counts them on a label of the status strip (shown only once there is something to count), with
// the kinds broken down in the label's tooltip, and says in words what a mark in the log reads.
#include "platform/comm.h"

#include <QObject>
#include <QString>

#include <array>
#include <cstdint>

class QLabel;

class ReceiveProblems : public QObject {
    Q_OBJECT
public:
    ReceiveProblems(QLabel* label, QObject* parent);

    // Forgets the counts of an earlier connection.
    void reset();
    void note(const platform::ReceiveEvent& event);

    // Line errors and losses; a hang-up is no error of the data.
    std::uint64_t errors() const;
    std::uint64_t bytesLost() const { return m_bytesLost; }
    std::uint64_t count(platform::ReceiveEventKind kind) const { return m_counts[std::size_t(kind)]; }

    // The words of the log's mark for an event, e.g. "⟨1 234 567 байт потеряно: входная очередь полна⟩".
    static QString markText(const platform::ReceiveEvent& event);
    // Whether the event is a problem with the data (drawn as such), or only news.
    static bool isProblem(platform::ReceiveEventKind kind);
    // A fixed word for a data file such as a recording's list of gaps.
    static const char* keyword(platform::ReceiveEventKind kind);

private:
    void show();

    QLabel* m_label;
    std::array<std::uint64_t, 6> m_counts{};
    std::uint64_t m_bytesLost = 0;
};
