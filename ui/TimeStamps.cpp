// SPDX-License-Identifier: GPL-3.0-or-later
#include "TimeStamps.h"

#include "ExchangeLog.h"

#include <QAction>
#include <QDateTime>

TimeStamps::TimeStamps(ExchangeLog* log, QObject* parent)
    : QObject(parent), m_log(log), m_action(new QAction(tr("Метки времени"), this)) {
    m_action->setObjectName(QStringLiteral("acTimeStamps"));
    m_action->setCheckable(true);
    connect(m_action, &QAction::toggled, m_log, &ExchangeLog::setTimeGutter);
}

bool TimeStamps::isOn() const {
    return m_action->isChecked();
}

void TimeStamps::arrival(const platform::ReceiveEvent& event) {
    m_arrival = event.timeMs;
    if (isOn())
        m_log->appendTimeStamp(event.timeMs);
}

qint64 TimeStamps::blockTime() {
    const qint64 arrival = m_arrival;
    m_arrival = -1;
    if (!isOn())
        return -1;
    // The reader's time when the block starts a read after a pause; otherwise it came in a steady
    // stream, read within the last tick.
    return arrival >= 0 ? arrival : QDateTime::currentMSecsSinceEpoch();
}
