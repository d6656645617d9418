// SPDX-License-Identifier: GPL-3.0-or-later
#include "FileSender.h"

#include "CPDrv.h"

#include <QFileInfo>
#include <QTimer>

#include <algorithm>

namespace {
constexpr qint64 kChunk = 64 * 1024; // read from the file at a time
constexpr qint64 kBudgetMs = 4;      // of each tick, at most, spent handing bytes over
constexpr qint64 kRateWindowMs = 3000;
} // namespace

FileSender::FileSender(TCommPortDriver* driver, QObject* parent)
    : QObject(parent), m_driver(driver), m_timer(new QTimer(this)) {
    m_timer->setObjectName(QStringLiteral("trFileSend"));
    connect(m_timer, &QTimer::timeout, this, &FileSender::tick);
}

FileSender::~FileSender() = default;

bool FileSender::start(const QString& path, Pace pace, QString* error) {
    if (m_running)
        return false;
    // A pipe or a device would block the window's thread in open or read, or never end.
    const QFileInfo info(path);
    if (info.exists() && !info.isFile() && !info.isDir()) {
        if (error)
            *error = tr("это не обычный файл");
        return false;
    }
    m_file.setFileName(path);
    if (!m_file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = m_file.errorString();
        return false;
    }
    m_size = m_file.size();
    m_buffer.clear();
    m_offset = m_handed = m_unitLeft = 0;
    m_unitPaced = m_pausing = m_held = false;
    m_pace = pace;
    m_readError.clear();
    m_samples.clear();
    m_lastQueued = queued();
    m_running = true;
    m_clock.start();
    m_sinceProgress.start();
    m_pauseClock.invalidate();
    // A pause per byte of a few milliseconds needs ticks that often.
    const int interval = pace.kind == Pacing::AfterByte ? std::clamp(pace.ms, 1, kTickMs) : kTickMs;
    m_timer->setTimerType(interval < kTickMs ? Qt::PreciseTimer : Qt::CoarseTimer);
    m_timer->start(interval);
    return true;
}

void FileSender::cancel() {
    if (!m_running)
        return;
    finish(End::Cancelled);
}

void FileSender::portClosing() {
    if (m_running)
        finish(End::PortClosed);
}

double FileSender::rate() const {
    if (m_samples.size() < 2)
        return 0;
    const auto& [t0, b0] = m_samples.front();
    const auto& [t1, b1] = m_samples.back();
    return t1 > t0 ? double(b1 - b0) * 1000.0 / double(t1 - t0) : 0;
}

qint64 FileSender::queued() const {
    if (!m_driver->IsOpen())
        return 0;
    return std::max<qint64>(0, qint64(m_driver->OutBufSize()) - m_driver->OutQueueFree());
}

bool FileSender::fill() {
    if (available() >= kChunk / 4 || m_file.atEnd())
        return true;
    const QByteArray more = m_file.read(kChunk);
    if (more.isEmpty() && m_file.error() != QFileDevice::NoError) {
        m_readError = m_file.errorString();
        return false;
    }
    m_buffer = m_buffer.mid(m_offset) + more;
    m_offset = 0;
    return true;
}

qint64 FileSender::nextUnit(bool* paced) {
    const qint64 n = available();
    *paced = false;
    switch (m_pace.kind) {
    case Pacing::None:
        return n;
    case Pacing::AfterByte:
        *paced = true;
        return 1;
    case Pacing::AfterLine:
        break;
    }
    // A line ends after LF, after CR LF, or after a CR alone.
    const char* p = m_buffer.constData() + m_offset;
    for (qint64 i = 0; i < n; ++i) {
        if (p[i] == '\n') {
            *paced = true;
            return i + 1;
        }
        if (p[i] == '\r') {
            if (i + 1 < n) {
                *paced = true;
                return p[i + 1] == '\n' ? i + 2 : i + 1;
            }
            // The CR is the last byte read yet: whether an LF follows is decided once more is read.
            if (i > 0 && !m_file.atEnd())
                return i;
            *paced = m_file.atEnd();
            return i + 1;
        }
    }
    return n; // a line longer than what is read yet goes on without a pause
}

void FileSender::tick() {
    if (!m_running)
        return;
    if (!m_driver->IsOpen()) {
        finish(End::PortClosed);
        return;
    }
    const qint64 nowQueued = queued();
    bool moved = nowQueued < m_lastQueued;

    // The deliberate pause runs once the unit before it has left the port.
    const bool pauseRuns = m_pausing && nowQueued == 0;
    if (m_pausing) {
        if (nowQueued == 0) {
            if (!m_pauseClock.isValid())
                m_pauseClock.start();
            if (m_pauseClock.elapsed() >= m_pace.ms) {
                m_pausing = false;
                m_pauseClock.invalidate();
            }
        }
    }

    QElapsedTimer budget;
    budget.start();
    while (!m_pausing && budget.elapsed() < kBudgetMs) {
        if (m_unitLeft == 0) {
            if (!fill()) {
                finish(End::ReadFailed);
                return;
            }
            if (available() == 0)
                break;
            m_unitLeft = nextUnit(&m_unitPaced);
        }
        const qint64 room = m_driver->OutQueueFree();
        if (room <= 0)
            break;
        const qint64 n = std::min(room, m_unitLeft);
        const DWORD went = m_driver->WriteDataTimed(m_buffer.constData() + m_offset, DWORD(n), 0);
        if (went == 0)
            break;
        m_offset += went;
        m_handed += went;
        m_unitLeft -= went;
        moved = true;
        if (m_unitLeft == 0 && m_unitPaced && m_pace.ms > 0) {
            m_pausing = true;
            m_pauseClock.invalidate();
        }
    }
    m_lastQueued = queued();

    if (moved)
        m_sinceProgress.restart();
    const bool held = !moved && !pauseRuns && m_sinceProgress.elapsed() >= kHoldMs;
    const bool changed = moved || held != m_held;
    m_held = held;

    const qint64 now = m_clock.elapsed();
    m_samples.emplace_back(now, m_handed);
    while (m_samples.size() > 2 && now - m_samples.front().first > kRateWindowMs)
        m_samples.pop_front();

    // Done once every byte has left the port, so that "sent" is true of the line, not of the queue.
    if (available() == 0 && m_unitLeft == 0 && m_file.atEnd() && m_lastQueued == 0) {
        finish(End::Done);
        return;
    }
    if (changed)
        emit progressed();
}

void FileSender::finish(End how) {
    m_running = false;
    m_timer->stop();
    qint64 sent = m_handed;
    if (m_driver->IsOpen()) {
        const qint64 waiting = queued();
        sent -= std::min(waiting, sent);
        // Cancelled: what still waits in the queue must not go out later, when the hold lifts.
        if (how != End::Done && waiting > 0)
            m_driver->FlushQueues(false, true);
    }
    m_file.close();
    m_buffer.clear();
    m_offset = 0;
    m_samples.clear();
    m_held = false;
    if (how == End::Done && m_size == 0)
        m_size = m_handed;
    emit finished(how, sent, m_size);
}
