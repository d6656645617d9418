// SPDX-License-Identifier: GPL-3.0-or-later
// Grows a shown exchange log to 64 MB and times each append together with the view update and paint
// that follow it (CPU time of the thread, median of 200 appends at each end), in two forms of received data:
//   run    hexadecimal form without a line break, 15 KB per append: one line of 64 MB;
//   lines  character form, 64 characters and CR LF per line, 31 lines (2046 received bytes) per append.
// Memory is the growth of the process's resident set per shown character. Beside each,
// a plain text edit fed the same way (up to 1 MB, or until one append takes a second) shows what the log
// is built to avoid. Each measurement runs in a process of its own, so freed memory cannot hide growth.
//
// After the growth, in the same process: a search through the 64 MB for a text that is not there
// (all of it read, a slice per turn of the event loop: total and longest turn, CPU time of the
// thread), one key typed into every chunk of the log, then a clear; the resident set at the start,
// at 64 MB, after the edits and after the clear.
//
// Last line: exchange_log: run <ms> -> <ms> (ratio <r>), <B>/char; lines <ms> -> <ms> (ratio <r>),
// <B>/char = 1.5 + <B>/line; baseline run <ms> -> <ms> at <MB> MB, <B>/char; baseline lines ...
#include "ExchangeLog.h"
#include "ExchangeText.h"
#include "LogSearch.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextCursor>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr qint64 kTarget = qint64(64) << 20; // shown characters at the end
constexpr qint64 kBaselineLimit = qint64(1) << 20;
constexpr double kBaselineSlow = 1000.0; // ms; one append this slow ends the baseline
constexpr int kAveraged = 200;           // appends measured at each end (median)
constexpr int kWarmUp = 50;              // first appends load fonts and fill the glyph cache
constexpr int kLine = 64;

// CPU time of this thread: on a shared machine, time given to other processes does not count.
qint64 threadNs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

double mb(qint64 chars) {
    return double(chars) / double(1 << 20);
}

long rssBytes() {
    QFile f("/proc/self/statm");
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = f.readAll().split(' ');
    return fields.size() > 1 ? fields[1].toLong() * sysconf(_SC_PAGESIZE) : 0;
}

// The appends of one form, as the exchange page makes them from received blocks.
std::vector<QString> makeBlocks(bool lines) {
    std::vector<QString> blocks;
    for (int k = 0; k < 8; ++k) {
        std::vector<std::uint8_t> bytes;
        if (lines) {
            // 31 lines of 64 text characters and CR LF: 2046 received bytes.
            const std::string text = "The quick brown fox jumps over the lazy dog 0123456789. ";
            for (int i = 0; bytes.size() < 31 * (kLine + 2); ++i) {
                const int at = i % (kLine + 2);
                bytes.push_back(at == kLine       ? '\r'
                                : at == kLine + 1 ? '\n'
                                                  : std::uint8_t(text[(k + i) % text.size()]));
            }
        } else {
            for (int i = 0; i < 5120; ++i)
                bytes.push_back(std::uint8_t((i * 7 + k * 31) & 0xFF));
        }
        QString s;
        if (lines)
            AppendCharForm(s, bytes.data(), bytes.size(), false);
        else
            AppendHexForm(s, bytes.data(), bytes.size(), false);
        blocks.push_back(s);
    }
    return blocks;
}

// Characters a block adds to the shown text (a CR LF pair is one line break).
qint64 shownChars(const QString& s) {
    return s.size() - s.count(QStringLiteral("\r\n"));
}

double median(std::vector<double> v) {
    if (v.empty())
        return 0;
    std::nth_element(v.begin(), v.begin() + qsizetype(v.size() / 2), v.end());
    return v[v.size() / 2];
}

// Lets the widget catch up with the append and repaint; returns the milliseconds that took.
double paint(QWidget& viewport) {
    const qint64 t0 = threadNs();
    QApplication::processEvents();
    viewport.repaint(); // a no-op when the events above already painted
    return double(threadNs() - t0) / 1e6;
}

struct Result {
    double first = 0, last = 0; // median ms of an append with its update, at the start and at the end
    double rssPerChar = 0;
    qint64 chars = 0, lines = 0;
    double searchMs = 0, searchTurnMs = 0; // a search through all of it; its longest turn
    double rssStart = 0, rssFull = 0, rssEdited = 0, rssCleared = 0; // MB
    bool ok = true;
};

double rssMb() {
    return double(rssBytes()) / double(1 << 20);
}

// Searches the whole log for a text it does not hold, as the find bar does: a slice per turn.
void timeSearch(ExchangeLog& log, Result& r) {
    LogSearch search;
    search.setQuery(QStringLiteral("no such text"), false, false);
    bool done = false;
    QObject::connect(&search, &LogSearch::found, [&] { done = true; });
    QObject::connect(&search, &LogSearch::notFound, [&] { done = true; });
    const qint64 t0 = threadNs();
    search.find(&log.content(), 0, true);
    while (!done) {
        const qint64 t = threadNs();
        QApplication::processEvents();
        r.searchTurnMs = std::max(r.searchTurnMs, double(threadNs() - t) / 1e6);
    }
    r.searchMs = double(threadNs() - t0) / 1e6;
}

// One key typed into every chunk, then the log cleared.
void editAndClear(ExchangeLog& log, Result& r) {
    const qint64 size = log.characterCount();
    for (qint64 at = 100, k = 0; at < size; at += LogText::ChunkChars, ++k) {
        log.setCursorPosition(at + k);
        log.insertText(u"k");
    }
    QApplication::processEvents();
    r.rssEdited = rssMb();
    log.clearLog();
    QApplication::processEvents();
    r.rssCleared = rssMb();
}

Result runLog(bool lines) {
    const std::vector<QString> blocks = makeBlocks(lines);
    ExchangeLog log;
    log.resize(696, 300);
    log.show();
    QApplication::processEvents();
    const long rss0 = rssBytes();
    std::vector<double> total;
    qint64 held = 0, next = qint64(8) << 20;
    const double rssStart = rssMb();
    while (held < kTarget) {
        const QString& b = blocks[total.size() % blocks.size()];
        const qint64 t0 = threadNs();
        log.appendText(b);
        const double a = double(threadNs() - t0) / 1e6;
        total.push_back(a + paint(*log.viewport()));
        held += shownChars(b);
        if (held >= next) {
            std::printf("  %s at %5.1f MB: %.3f ms per append and update, RSS %.2f B/char\n",
                        lines ? "lines" : "run", mb(held), median({total.end() - kAveraged, total.end()}),
                        double(rssBytes() - rss0) / double(held));
            std::fflush(stdout);
            next += qint64(8) << 20;
        }
    }
    Result r;
    r.chars = log.characterCount();
    r.lines = log.lineCount();
    r.rssPerChar = double(rssBytes() - rss0) / double(r.chars);
    r.first = median({total.begin() + kWarmUp, total.begin() + kWarmUp + kAveraged});
    r.last = median({total.end() - kAveraged, total.end()});

    QElapsedTimer t;
    t.start();
    const qint64 read = log.text().size();
    QScrollBar* vb = log.verticalScrollBar();
    QScrollBar* hb = log.horizontalScrollBar();
    r.ok = read == held && vb->value() == vb->maximum() && (lines || hb->value() == hb->maximum());
    std::printf("  %s: text() of %.1f MB in %lld ms, %s; %lld lines; view at the end: %s\n",
                lines ? "lines" : "run", mb(read), static_cast<long long>(t.elapsed()),
                read == held ? "length right" : "LENGTH WRONG", static_cast<long long>(r.lines),
                r.ok ? "yes" : "NO");
    r.rssStart = rssStart;
    r.rssFull = rssMb();
    timeSearch(log, r);
    editAndClear(log, r);
    std::printf(
        "  %s: search through %.1f MB %.0f ms, longest turn %.1f ms; RSS start %.1f MB, full %.1f MB, "
        "a key in every chunk %.1f MB, cleared %.1f MB\n",
        lines ? "lines" : "run", mb(read), r.searchMs, r.searchTurnMs, r.rssStart, r.rssFull, r.rssEdited,
        r.rssCleared);
    return r;
}

Result runBaseline(bool lines) {
    const std::vector<QString> blocks = makeBlocks(lines);
    QPlainTextEdit edit;
    edit.setUndoRedoEnabled(false);
    edit.setLineWrapMode(QPlainTextEdit::NoWrap);
    edit.resize(696, 300);
    edit.show();
    QApplication::processEvents();
    const long rss0 = rssBytes();
    std::vector<double> total;
    qint64 held = 0;
    double last = 0;
    while (held < kBaselineLimit && last < kBaselineSlow) {
        const QString& b = blocks[total.size() % blocks.size()];
        const qint64 t0 = threadNs();
        QTextCursor c(edit.document());
        c.movePosition(QTextCursor::End);
        c.insertText(b);
        edit.verticalScrollBar()->setValue(edit.verticalScrollBar()->maximum());
        const double append = double(threadNs() - t0) / 1e6;
        last = append + paint(*edit.viewport());
        total.push_back(last);
        held += shownChars(b);
    }
    Result r;
    r.chars = held;
    r.lines = edit.blockCount();
    r.rssPerChar = double(rssBytes() - rss0) / double(held);
    // The baseline slows down fast: few appends, a short warm-up.
    const std::size_t warm = std::min<std::size_t>(5, total.size());
    const std::size_t n = std::min<std::size_t>(20, total.size() - warm);
    r.first = median({total.begin() + qsizetype(warm), total.begin() + qsizetype(warm + n)});
    r.last = total.empty()
                 ? 0
                 : median({total.end() - qsizetype(std::min<std::size_t>(5, total.size())), total.end()});
    return r;
}

// Runs one measurement in a child process and returns its result through a pipe.
Result inChild(int argc, char** argv, Result (*measure)(bool), bool lines) {
    int fds[2];
    if (pipe(fds) != 0) {
        Result failed;
        failed.ok = false;
        return failed;
    }
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        ::close(fds[0]);
        qputenv("QT_QPA_PLATFORM",
                qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
        int result;
        {
            QApplication app(argc, argv);
            const Result r = measure(lines);
            result = ::write(fds[1], &r, sizeof r) == ssize_t(sizeof r) ? 0 : 1;
        }
        std::fflush(stdout);
        _exit(result);
    }
    ::close(fds[1]);
    Result r;
    r.ok = ::read(fds[0], &r, sizeof r) == ssize_t(sizeof r);
    ::close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return r;
}

} // namespace

int main(int argc, char** argv) {
    // No Qt in this process: every measurement starts from a fresh one.
    const Result run = inChild(argc, argv, runLog, false);
    const Result lines = inChild(argc, argv, runLog, true);
    const Result baseRun = inChild(argc, argv, runBaseline, false);
    const Result baseLines = inChild(argc, argv, runBaseline, true);
    auto show = [](const char* name, const Result& r) {
        std::printf("%-14s append and update %.3f ms at 0, %.3f ms at %.1f MB (ratio %.2f); memory RSS %.2f "
                    "bytes per "
                    "char; %lld lines%s\n",
                    name, r.first, r.last, mb(r.chars), r.first > 0 ? r.last / r.first : 0.0, r.rssPerChar,
                    static_cast<long long>(r.lines), r.ok ? "" : " (FAILED)");
    };
    show("log run", run);
    show("log lines", lines);
    show("baseline run", baseRun);
    show("baseline lines", baseLines);
    // The bound for lines, 1.5 bytes a character and 16 a line, as bytes a character.
    const double linesBound = lines.chars > 0 ? 1.5 + 16.0 * double(lines.lines) / double(lines.chars) : 0;
    std::printf(
        "exchange_log: run %.3f -> %.3f ms (ratio %.2f), %.2f B/char; lines %.3f -> %.3f ms (ratio %.2f), "
        "%.2f B/char (bound %.2f); baseline run %.2f -> %.2f ms at %.1f MB, %.2f B/char; baseline "
        "lines %.2f -> %.2f ms at %.1f MB, %.2f B/char; search 64 MB run %.0f ms (turn <= %.1f ms), lines "
        "%.0f "
        "ms (turn <= %.1f ms); RSS MB start/full/edited/cleared run %.1f/%.1f/%.1f/%.1f, lines "
        "%.1f/%.1f/%.1f/%.1f%s\n",
        run.first, run.last, run.first > 0 ? run.last / run.first : 0.0, run.rssPerChar, lines.first,
        lines.last, lines.first > 0 ? lines.last / lines.first : 0.0, lines.rssPerChar, linesBound,
        baseRun.first, baseRun.last, mb(baseRun.chars), baseRun.rssPerChar, baseLines.first, baseLines.last,
        mb(baseLines.chars), baseLines.rssPerChar, run.searchMs, run.searchTurnMs, lines.searchMs,
        lines.searchTurnMs, run.rssStart, run.rssFull, run.rssEdited, run.rssCleared, lines.rssStart,
        lines.rssFull, lines.rssEdited, lines.rssCleared, run.ok && lines.ok ? "" : ", FAILED");
    return run.ok && lines.ok ? 0 : 1;
}
