// SPDX-License-Identifier: GPL-3.0-or-later
#include "RemoteConnect.h"

#include "platform/ports.h"

#include <QEventLoop>
#include <QLabel>
#include <QWidget>

#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

namespace {

// Between the waiting loop and the thread, which may outlive the loop: the thread wakes the loop only
// while it still exists.
struct Waiting {
    std::mutex m;
    QEventLoop* loop = nullptr;
    bool done = false;
};

} // namespace

RemoteConnect::RemoteConnect(QWidget* settingsPanel, QLabel* status, QObject* parent)
    : QObject(parent), m_panel(settingsPanel), m_status(status) {}

bool RemoteConnect::prepare(const std::string& portName, const DCB& settings) {
    if (m_busy)
        return false;
    const auto url = platform::NetworkUrlOf(platform::ResolvePortName(portName));
    if (!url)
        return true;

    QEventLoop loop;
    auto waiting = std::make_shared<Waiting>();
    waiting->loop = &loop;
    try {
        std::thread([waiting, portName, settings] {
            platform::PrepareOpen(portName.c_str(), &settings);
            std::lock_guard lock(waiting->m);
            waiting->done = true;
            if (waiting->loop)
                QMetaObject::invokeMethod(waiting->loop, &QEventLoop::quit, Qt::QueuedConnection);
        }).detach();
    } catch (const std::system_error&) {
        return true; // no thread to be had: the open connects by itself
    }

    QPointer<RemoteConnect> self(this);
    m_busy = true;
    if (m_panel)
        m_panel->setEnabled(false);
    if (m_status)
        m_status->setText(tr("Соединение с %1…").arg(QString::fromStdString(*url)));
    {
        std::unique_lock lock(waiting->m);
        if (!waiting->done) {
            lock.unlock();
            loop.exec();
        }
    }
    bool done = false;
    {
        std::lock_guard lock(waiting->m);
        waiting->loop = nullptr;
        done = waiting->done;
    }
    if (!self)
        return false;
    m_busy = false;
    if (m_panel)
        m_panel->setEnabled(true);
    return done;
}
