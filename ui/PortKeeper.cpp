// SPDX-License-Identifier: GPL-3.0-or-later
#include "PortKeeper.h"

#include "CPDrv.h"
#include "platform/net.h"

#include <QDateTime>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <thread>

namespace {

// udev's permissions and ModemManager's probe may hold a new device for a moment.
constexpr qint64 kBusyGraceMs = 5000;
constexpr qint64 kNetRetryPauseMs = 10000;

bool exists(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0;
}

// Pseudo-terminal slaves have the majors 136 to 143.
bool pseudoTerminal(const std::string& device) {
    struct stat st {};
    return ::stat(device.c_str(), &st) == 0 && S_ISCHR(st.st_mode) && major(st.st_rdev) >= 136 &&
           major(st.st_rdev) <= 143;
}

// The map entry a COM name goes through, as its inode and change time; nothing without one.
std::optional<std::pair<quint64, qint64>> mapEntryOf(const std::string& portName) {
    const auto n = platform::comPortNumber(portName);
    const std::string dir = platform::systemPortRoots().mapDir;
    if (!n || dir.empty())
        return std::nullopt;
    struct stat st {};
    const std::string entry = dir + "/COM" + std::to_string(*n);
    if (::lstat(entry.c_str(), &st) != 0)
        return std::nullopt;
    return std::pair<quint64, qint64>(quint64(st.st_ino),
                                      qint64(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec);
}

} // namespace

PortKeeper::PortKeeper(TCommPortDriver* driver, QObject* parent) : QObject(parent), m_driver(driver) {
    m_soon.setSingleShot(true);
    m_soon.setInterval(50);
    connect(&m_soon, &QTimer::timeout, this, [this] {
        emit devicesChanged();
        if (m_lost)
            look();
    });
    m_slow.setInterval(1000);
    connect(&m_slow, &QTimer::timeout, this, [this] { look(); });
    connect(&m_watcher, &QFileSystemWatcher::directoryChanged, this, [this] {
        watch(); // a map folder made meanwhile is watched from now on
        m_soon.start();
    });
    watch();
}

void PortKeeper::watch() {
    const platform::PortRoots roots = platform::systemPortRoots();
    QStringList dirs;
    for (const std::string& d : {roots.devDir, roots.mapDir})
        if (!d.empty() && QFileInfo(QString::fromStdString(d)).isDir())
            dirs << QString::fromStdString(d);
    const QStringList have = m_watcher.directories();
    for (const QString& d : dirs)
        if (!have.contains(d))
            m_watcher.addPath(d);
}

void PortKeeper::setReconnecting(bool on) {
    m_reconnecting = on;
    if (m_lost && on)
        look();
}

void PortKeeper::connected() {
    m_lost = false;
    m_slow.stop();
    m_portName = m_driver->PortName();
    m_device = platform::DeviceBehind(platform::ResolvePortName(m_portName));
    m_usb = platform::UsbIdentityOf(m_device);
    m_pseudo = !m_usb && pseudoTerminal(m_device);
    m_mapEntry = mapEntryOf(m_portName);
    m_busySince = -1;
}

void PortKeeper::lost() {
    if (m_lost)
        return;
    m_lost = true;
    m_busySince = -1;
    // Closed at once: a descriptor held on a device that is gone keeps its name taken, and the adapter
    // would come back under another one.
    m_driver->ClosePort();
    m_slow.start();
}

void PortKeeper::forget() {
    m_lost = false;
    m_slow.stop();
}

QString PortKeeper::identity() const {
    return m_usb ? QString::fromStdString(m_usb->describe()) : QString::fromStdString(m_portName);
}

std::optional<std::string> PortKeeper::candidate() {
    if (m_usb) {
        const std::vector<std::string> same = platform::DevicesWithIdentity(*m_usb);
        if (same.size() > 1) {
            QStringList names;
            for (const std::string& d : same)
                names << QString::fromStdString(d);
            emit lostNote(
                tr("%1 подходят оба (%2): не открываю ни одного").arg(identity(), names.join(u", ")));
            return std::nullopt;
        }
        if (same.empty())
            return std::nullopt;
        // The name the user chose, when it leads there again (a by-id link, a COM number); else the device.
        const std::string byName = platform::DeviceBehind(platform::ResolvePortName(m_portName));
        return byName == platform::DeviceBehind(same.front()) ? m_portName : same.front();
    }
    const std::string path = platform::ResolvePortName(m_portName);
    // A port on another machine: its server, asked off this thread; the answer is taken at a later look.
    if (const auto url = platform::NetworkUrlOf(path)) {
        if (QDateTime::currentMSecsSinceEpoch() < m_netRetryAt)
            return std::nullopt;
        if (m_probe) {
            const int answer = m_probe->load();
            if (answer == 0)
                return std::nullopt;
            m_probe.reset();
            if (answer > 0)
                return m_portName;
        }
        auto probe = std::make_shared<std::atomic<int>>(0);
        try {
            // Connected and negotiated there: the open that follows takes the outcome at once.
            std::thread([probe, name = m_portName, settings = m_driver->BuildDCB()] {
                *probe = platform::PrepareOpen(name.c_str(), &settings) == platform::PrepareOutcome::Reached
                             ? 1
                             : -1;
            }).detach();
            m_probe = probe;
        } catch (const std::system_error&) {
        }
        QTimer::singleShot(100, this, [this] { look(); });
        return std::nullopt;
    }
    // No USB identity: the same port name, leading to a device again.
    if (!exists(path))
        return std::nullopt;
    // A USB adapter now behind a name that led to something else is another device.
    if (platform::UsbIdentityOf(path))
        return std::nullopt;
    if (m_pseudo) {
        const auto entry = mapEntryOf(m_portName);
        if (!entry || entry == m_mapEntry)
            return std::nullopt;
    }
    return m_portName;
}

void PortKeeper::look() {
    if (!m_lost || !m_reconnecting || m_driver->IsOpen())
        return;
    const std::optional<std::string> name = candidate();
    if (!name)
        return;
    m_driver->setPortName(*name);
    if (m_driver->OpenPort()) {
        m_lost = false;
        m_slow.stop();
        m_device = platform::DeviceBehind(platform::ResolvePortName(*name));
        emit reconnected(QString::fromStdString(m_device));
        return;
    }
    // Permissions or another program may hold a device that just came: try again for a few seconds,
    // then say why while waiting on.
    const int err = platform::LastFailureDetail().systemError;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (platform::NetworkUrlOf(platform::ResolvePortName(*name)))
        m_netRetryAt = now + kNetRetryPauseMs;
    if (err == EACCES || err == EBUSY || err == EPERM) {
        if (m_busySince < 0)
            m_busySince = now;
        if (now - m_busySince < kBusyGraceMs) {
            QTimer::singleShot(200, this, [this] { look(); });
            return;
        }
    }
    emit lostNote(tr("%1 вернулось, но не открывается: %2")
                      .arg(QString::fromStdString(platform::DeviceBehind(platform::ResolvePortName(*name))),
                           QString::fromLocal8Bit(std::strerror(err))));
}
