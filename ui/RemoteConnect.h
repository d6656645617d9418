// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Opening a port on another machine takes a name look-up, a TCP connect and a telnet negotiation, each
// of which may wait seconds on a far host. This does that part on a thread of its own while the window
// goes on; the open that follows on the GUI thread then takes the connection (or the reason there is
// none) at once. Meanwhile the port's settings panel is off, so that nothing the open uses changes, and
// the status label says where it connects to.
#include "platform/comm.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <string>

class QLabel;
class QWidget;

class RemoteConnect : public QObject {
    Q_OBJECT
public:
    RemoteConnect(QWidget* settingsPanel, QLabel* status, QObject* parent);

    // For a port name that leads to a URL, prepares its open with these line settings and returns when
    // that is done, the event loop running meanwhile; returns at once for any other name. False when the
    // caller should not go on: a preparation is under way already (a second click), or the wait ended
    // before it (the program quits) or with this object gone.
    bool prepare(const std::string& portName, const DCB& settings);
    bool busy() const { return m_busy; }

private:
    QPointer<QWidget> m_panel;
    QPointer<QLabel> m_status;
    bool m_busy = false;
};
