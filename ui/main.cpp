// SPDX-License-Identifier: GPL-3.0-or-later
// comlab: a terminal and line tester for one serial port.
#include "FirstPaintMarker.h"
#include "Language.h"
#include "SettingsStore.h"
#include "Unit1.h"

#include <QApplication>
#include <QCommandLineParser>

#include <cstdio>

#include <csignal>

int main(int argc, char** argv) {
    // A file size limit ends a recording with its reason ("File too large"), not the program.
    std::signal(SIGXFSZ, SIG_IGN);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("comlab"));
    QApplication::setApplicationDisplayName(QStringLiteral("comlab"));
    // Wayland matches the window to its desktop entry by this name.
    QGuiApplication::setDesktopFileName(QStringLiteral(COMLAB_APP_ID));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("comlab: a terminal and line tester for one serial port."));
    parser.addHelpOption();
    const QCommandLineOption reset(
        QStringLiteral("reset-settings"),
        QStringLiteral("Start with the designed settings: forget the saved ones (%1).")
            .arg(SettingsStore::defaultPath()));
    parser.addOption(reset);
    parser.process(app);
    if (parser.isSet(reset) && !SettingsStore::reset())
        std::fprintf(stderr, "comlab: cannot remove %s\n", qPrintable(SettingsStore::defaultPath()));

    // Before the window: its texts are translated as it is built.
    const Translations translations(SystemLanguage());
    TForm1 form;
    form.settings->load();
    form.settings->setAutoSave(true);
    if (qEnvironmentVariableIsSet("COMLAB_BENCH_MARKERS"))
        app.installEventFilter(new FirstPaintMarker(&form));
    form.show();
    return QApplication::exec();
}
