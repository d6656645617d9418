// SPDX-License-Identifier: GPL-3.0-or-later
// comlab-shots OUTDIR: renders the window, each notebook page in turn, to PNG files, so the window can
// be looked at without a display. The window speaks the session's language, as comlab does; English
// pages get files of their own (comlab-en-1-exchange.png, ...).
#include "Language.h"
#include "Unit1.h"
#include "ui_Unit1.h"

#include <QApplication>
#include <QDir>
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
    const char* const names[] = {"exchange", "tests", "lines"};
    for (int i = 0; i < form.ui->tnMain->count() && i < 3; ++i) {
        form.ui->tnMain->setCurrentIndex(i);
        QApplication::processEvents();
        const QString file =
            out.filePath(prefix + QStringLiteral("%1-%2.png").arg(i + 1).arg(QLatin1String(names[i])));
        if (!form.grab().save(file)) {
            std::fprintf(stderr, "comlab-shots: cannot write %s\n", qPrintable(file));
            return 1;
        }
        std::printf("%s\n", qPrintable(file));
    }
    return 0;
}
