// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Time stamps in the exchange log: "Метки времени" in the log's menu turns them on for data received
// from then on. A line gets the time of the block that brings its first character; a block that comes
// after a pause gets its own stamp. The time is the reader's (an Arrival event, noted when the bytes
// were read after a pause); a block with none before it takes the time it is shown.
#include "platform/comm.h"

#include <QObject>

class ExchangeLog;
class QAction;

class TimeStamps : public QObject {
    Q_OBJECT
public:
    TimeStamps(ExchangeLog* log, QObject* parent);

    QAction* action() const { return m_action; }
    bool isOn() const;

    // Bytes came after a pause: the block that follows starts at this time.
    void arrival(const platform::ReceiveEvent& event);
    // The time for the lines of the block about to be shown, -1 while stamps are off.
    qint64 blockTime();

private:
    ExchangeLog* m_log;
    QAction* m_action;
    qint64 m_arrival = -1; // an Arrival not yet taken by a block
};
