// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Keeps a connection through an unplug: when the device hangs up (a cable pulled, a board reset), the
// port is closed and the keeper watches for the same device to come back, then opens it again with the
// same settings. "The same" is the USB adapter's serial number where it has one, otherwise its vendor,
// product and the USB port it sits in; a device with no USB identity (a UART, a pseudo-terminal, a name
// in the port map) is the same when its port name leads to a device again. Two devices that both match
// are neither: the keeper says so and waits. It never takes another device.
//
// A port on another machine (a URL in the port map) is the same when its server answers again; it is
// connected to off the GUI thread (platform::PrepareOpen), so a server that is switched off never holds
// the window, and the open that follows takes that connection.
//
// It watches /dev and the port map folder (inotify), with a slow look every second besides, since no
// udev may be running. While nothing is lost it only tells when devices come and go.
#include "platform/ports.h"

#include <QFileSystemWatcher>
#include <QObject>
#include <QString>
#include <QTimer>

#include <atomic>
#include <memory>
#include <optional>
#include <string>

class TCommPortDriver;

class PortKeeper : public QObject {
    Q_OBJECT
public:
    PortKeeper(TCommPortDriver* driver, QObject* parent);

    // Reopening is on unless turned off; turning it off while lost leaves the port lost.
    bool reconnecting() const { return m_reconnecting; }
    void setReconnecting(bool on);

    // The port was opened by the user: who its device is.
    void connected();
    // The device hung up: closes the port and starts looking for it.
    void lost();
    // The user disconnected: nothing to look for any more.
    void forget();
    bool isLost() const { return m_lost; }

    // The port name the user connected to and the device it led to then.
    const std::string& portName() const { return m_portName; }
    const std::string& device() const { return m_device; }
    // How the device is known again: "0403:6001 serial A50285BI", or the port name.
    QString identity() const;

signals:
    // The device is back and open again, as `device`.
    void reconnected(const QString& device);
    // Something to say while lost: two devices match, or the device is back but cannot be opened.
    void lostNote(const QString& text);
    // Serial devices came or went.
    void devicesChanged();

private:
    void watch();
    void look();
    // The device to reopen, when exactly one is the same as the lost one.
    std::optional<std::string> candidate();

    TCommPortDriver* m_driver;
    QFileSystemWatcher m_watcher;
    QTimer m_soon; // coalesces a burst of changes into one look
    QTimer m_slow; // looks every second while lost, whatever the watcher says
    bool m_reconnecting = true;
    bool m_lost = false;
    std::string m_portName;
    std::string m_device;
    std::optional<platform::UsbIdentity> m_usb;
    // A pseudo-terminal's number is handed to the next one opened anywhere on the machine: one is the
    // same only when its name leads to it anew (a map entry made again), never by the number alone.
    bool m_pseudo = false;
    std::optional<std::pair<quint64, qint64>> m_mapEntry; // the map entry's inode and change time
    qint64 m_busySince = -1; // the device is back but busy or not ours to open yet, since (ms)
    // A server being asked whether it answers: 0 asking, 1 yes, -1 no. Shared with the asking thread,
    // which may outlive the keeper.
    std::shared_ptr<std::atomic<int>> m_probe;
    // A server that answered but would not open (no COM-PORT-OPTION, say) is asked again only after a
    // pause: it will not change its mind every second, and each refusal would be said again.
    qint64 m_netRetryAt = 0;
};
