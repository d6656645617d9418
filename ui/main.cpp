// comlab: a terminal and line tester for one serial port.
#include "Unit1.h"

#include <QApplication>
#include <QEvent>
#include <QMetaObject>

#include <chrono>
#include <cstdio>

namespace {

// With COMLAB_BENCH_MARKERS set, prints "first-paint <steady clock ns>" once the first whole frame of
// the window has been painted, so bench/app can time the start-up from outside.
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

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("comlab"));
    QApplication::setApplicationDisplayName(QStringLiteral("comlab"));
    TForm1 form;
    if (qEnvironmentVariableIsSet("COMLAB_BENCH_MARKERS"))
        app.installEventFilter(new FirstPaintMarker(&form));
    form.show();
    return QApplication::exec();
}
