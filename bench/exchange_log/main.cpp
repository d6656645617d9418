// Appends received data in hexadecimal form, 15 KB at a time and without a line break, to a shown log
// until it holds 64 MB, timing each append together with the paint that follows it. A plain text edit
// fed the same way shows what the log is built to avoid. The log wraps lines as the window's log does;
// --wrap or --nowrap overrides that.
#include "ExchangeLog.h"
#include "ui_Unit1.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextCursor>

#include <cstdio>
#include <memory>
#include <numeric>
#include <unistd.h>
#include <vector>

namespace {

constexpr qsizetype kTarget = qsizetype(64) << 20; // characters held at the end
constexpr qsizetype kBaselineLimit = qsizetype(1) << 20;
constexpr double kBaselineSlow = 1000.0; // ms; one append this slow ends the baseline
constexpr int kAveraged = 20;            // appends averaged at each end
constexpr int kWarmUp = 5;               // first appends load fonts and lay out the empty view

double mb(qsizetype chars) {
    return double(chars) / double(1 << 20);
}

long rssBytes() {
    QFile f("/proc/self/statm");
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = f.readAll().split(' ');
    return fields.size() > 1 ? fields[1].toLong() * sysconf(_SC_PAGESIZE) : 0;
}

// 5120 received bytes in hexadecimal form: "41 42 0D ..." with a blank after every byte.
QString hexBlock(int seed) {
    static const char digits[] = "0123456789ABCDEF";
    QString s;
    s.reserve(5120 * 3);
    for (int i = 0; i < 5120; ++i) {
        const int b = (i * 7 + seed) & 0xFF;
        s += QChar(digits[b >> 4]);
        s += QChar(digits[b & 15]);
        s += QChar(u' ');
    }
    return s;
}

double mean(const std::vector<double>& v, size_t from, size_t n) {
    if (from >= v.size())
        return 0;
    n = std::min(n, v.size() - from);
    return std::accumulate(v.begin() + qsizetype(from), v.begin() + qsizetype(from + n), 0.0) / double(n);
}

// Lets the widget repaint what the append changed; returns the milliseconds that took.
double paint(QWidget& w) {
    QElapsedTimer t;
    t.start();
    QApplication::processEvents();
    w.repaint(); // a no-op when the events above already painted
    return double(t.nsecsElapsed()) / 1e6;
}

QString baseline(const std::vector<QString>& blocks) {
    QPlainTextEdit edit;
    edit.setUndoRedoEnabled(false);
    edit.resize(696, 300);
    edit.show();
    QApplication::processEvents();
    std::vector<double> total;
    qsizetype held = 0;
    double last = 0;
    while (held < kBaselineLimit && last < kBaselineSlow) {
        const QString& b = blocks[total.size() % blocks.size()];
        QElapsedTimer t;
        t.start();
        QTextCursor c(edit.document());
        c.movePosition(QTextCursor::End);
        c.insertText(b);
        edit.verticalScrollBar()->setValue(edit.verticalScrollBar()->maximum());
        const double append = double(t.nsecsElapsed()) / 1e6;
        last = append + paint(*edit.viewport());
        total.push_back(last);
        held += b.size();
    }
    return QString::asprintf(
        "baseline (one paragraph): append at 0 MB %.1f ms, at %.2f MB %.1f ms (%zu appends)",
        mean(total, kWarmUp, kAveraged), mb(held), last, total.size());
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    std::vector<QString> blocks;
    for (int i = 0; i < 8; ++i)
        blocks.push_back(hexBlock(i * 31));

    // The log runs first, so that memory freed by the baseline cannot hide part of its growth.
    auto log = std::make_unique<ExchangeLog>();
    QPlainTextEdit::LineWrapMode wrap = QPlainTextEdit::WidgetWidth;
    {
        QWidget window;
        Ui::Form1 form;
        form.setupUi(&window);
        wrap = form.mmCOMin->lineWrapMode();
    }
    if (app.arguments().contains("--nowrap"))
        wrap = QPlainTextEdit::NoWrap;
    else if (app.arguments().contains("--wrap"))
        wrap = QPlainTextEdit::WidgetWidth;
    log->setLineWrapMode(wrap);
    std::printf("log: block cap %d characters, %s\n", ExchangeLog::BlockCap,
                wrap == QPlainTextEdit::NoWrap ? "no line wrap" : "lines wrapped at the widget width");
    log->resize(696, 300);
    log->show();
    QApplication::processEvents();
    const long rss0 = rssBytes();

    std::vector<double> appendMs, paintMs, total;
    qsizetype held = 0;
    qsizetype nextReport = qsizetype(8) << 20;
    while (held < kTarget) {
        const QString& b = blocks[total.size() % blocks.size()];
        QElapsedTimer t;
        t.start();
        log->appendText(b);
        const double a = double(t.nsecsElapsed()) / 1e6;
        const double p = paint(*log->viewport());
        appendMs.push_back(a);
        paintMs.push_back(p);
        total.push_back(a + p);
        held += b.size();
        if (held >= nextReport) {
            const size_t from = total.size() - kAveraged;
            std::printf("log at %5.1f MB: append %.2f ms + paint %.2f ms, RSS growth %.2f bytes/char\n",
                        mb(held), mean(appendMs, from, kAveraged), mean(paintMs, from, kAveraged),
                        double(rssBytes() - rss0) / double(held));
            std::fflush(stdout);
            nextReport += qsizetype(8) << 20;
        }
    }
    const double perChar = double(rssBytes() - rss0) / double(held);
    const double start = mean(total, kWarmUp, kAveraged);
    const double end = mean(total, total.size() - kAveraged, kAveraged);

    QElapsedTimer t;
    t.start();
    const qsizetype read = log->text().size();
    std::printf("text() of %.1f MB: %lld ms, %s; view at the end: %s\n", mb(held),
                static_cast<long long>(t.elapsed()), read == held ? "length right" : "LENGTH WRONG",
                log->verticalScrollBar()->value() == log->verticalScrollBar()->maximum() ? "yes" : "NO");
    log.reset();
    QApplication::processEvents();
    std::printf("%s\n", qPrintable(baseline(blocks)));
    std::printf("log: append at 0 MB %.2f ms, at %.0f MB %.2f ms, ratio %.2f, memory %.2f bytes per char\n",
                start, mb(held), end, end / start, perChar);
    return 0;
}
