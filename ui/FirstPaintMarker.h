// SPDX-License-Identifier: GPL-3.0-or-later
// With COMLAB_BENCH_MARKERS set, the program prints "first-paint <steady clock ns>" once the first whole
// frame of its window has been painted, so bench/app can time the start-up from outside; bench/app's bare
// baseline window gives the same signal through the same filter.
#pragma once

#include <QCoreApplication>
#include <QEvent>
#include <QMetaObject>
#include <QObject>

#include <chrono>
#include <cstdio>

class FirstPaintMarker : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        // Installed on the application: the first widget to paint starts the first pass over the window,
        // and the report is queued behind that pass.
        if (event->type() == QEvent::Paint && !m_seen) {
            m_seen = true;
            QMetaObject::invokeMethod(
                this,
                [this] {
                    QCoreApplication::instance()->removeEventFilter(this);
                    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count();
                    std::printf("first-paint %lld\n", static_cast<long long>(ns));
                    std::fflush(stdout);
                },
                Qt::QueuedConnection);
        }
        return QObject::eventFilter(watched, event);
    }

private:
    bool m_seen = false;
};
