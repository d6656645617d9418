// SPDX-License-Identifier: GPL-3.0-or-later
// comlab-shots OUTDIR: renders the window, each notebook page in turn, to PNG files, so the window can
// be looked at without a display, then the exchange page in daily use: a modem's replies with time
// stamps, the find bar on "OK". The window speaks the session's language, as comlab does; English
// pages get files of their own (comlab-en-1-exchange.png, ...).
#include "ExchangeLog.h"
#include "Language.h"
#include "LogFindBar.h"
#include "TimeStamps.h"
#include "Unit1.h"
#include "ui_Unit1.h"

#include <QAction>
#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QLineEdit>
#include <QTabWidget>

#include <cstdio>

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: comlab-shots OUTDIR\n");
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));
    if (!QDir().mkpath(out.path())) {
        std::fprintf(stderr, "comlab-shots: cannot make the folder %s\n", argv[1]);
        return 1;
    }

    const Translations translations(SystemLanguage());
    const QString prefix = translations.language() == UiLanguage::English ? QStringLiteral("comlab-en-")
                                                                          : QStringLiteral("comlab-");
    TForm1 form;
    form.show();
    const auto shoot = [&](const QString& name) {
        for (int i = 0; i < 20; ++i)
            QApplication::processEvents();
        const QString file = out.filePath(prefix + name + QStringLiteral(".png"));
        if (!form.grab().save(file)) {
            std::fprintf(stderr, "comlab-shots: cannot write %s\n", qPrintable(file));
            return false;
        }
        std::printf("%s\n", qPrintable(file));
        return true;
    };
    const char* const names[] = {"exchange", "tests", "lines"};
    for (int i = 0; i < form.ui->tnMain->count() && i < 3; ++i) {
        form.ui->tnMain->setCurrentIndex(i);
        if (!shoot(QStringLiteral("%1-%2").arg(i + 1).arg(QLatin1String(names[i]))))
            return 1;
    }

    form.ui->tnMain->setCurrentIndex(0);
    form.timeStamps->action()->setChecked(true);
    const qint64 start = QDateTime(QDate(2026, 12, 9), QTime(14, 3, 7, 125)).toMSecsSinceEpoch();
    const struct {
        int ms;
        const char* text;
    } replies[] = {
        {0, "AT\r\nOK\r\n"},
        {1520, "ATI\r\nLTE module\r\nRevision: 06A06M4G\r\n\r\nOK\r\n"},
        {4218, "AT+CSQ\r\n+CSQ: 23,99\r\n\r\nOK\r\n"},
        {9034, "AT+CREG?\r\n+CREG: 0,1\r\n\r\nOK\r\n"},
    };
    for (const auto& r : replies)
        form.ui->mmCOMin->appendReceived(QByteArray(r.text), false, false, start + r.ms);
    form.fbCOMin->open();
    form.fbCOMin->queryEdit()->setText(QStringLiteral("OK"));
    form.fbCOMin->findNext();
    form.fbCOMin->findNext();
    return shoot(QStringLiteral("5-find-and-time")) ? 0 : 1;
}
