// SPDX-License-Identifier: GPL-3.0-or-later
// Every test program runs inside one QApplication on the offscreen platform, so tests of the
// window, the hidden timer window and the event loop can share a main.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cstdlib>
#include <utility>

// The sanitizer runtimes ask for these before main; an environment variable of the same name still wins.
// Any report stops the test with a failure; leaks inside the libraries under Qt are suppressed by the
// commented list in scripts/lsan.supp.
extern "C" const char* __asan_default_options() {
    return "detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1";
}
extern "C" const char* __ubsan_default_options() {
    return "print_stacktrace=1:halt_on_error=1";
}
extern "C" const char* __lsan_default_options() {
    return "print_suppressions=0:suppressions=" COMLAB_TEST_LSAN_SUPPRESSIONS;
}

int main(int argc, char** argv) {
    // No test may reach this machine's own serial ports: COM names resolve through an empty folder
    // unless a test maps its own.
    for (auto [name, value] : {std::pair{"COMLAB_PORTS_DIR", COMLAB_TEST_PORTS_DIR},
                               std::pair{"COMLAB_BIN_DIR", COMLAB_TEST_BIN_DIR}}) {
        const char* was = std::getenv(name);
        if (!was || !*was)
            setenv(name, value, 1);
    }
    // Nor the user's settings: each test process has a configuration folder of its own, removed at exit.
    // (Set always: the variable a developer's session sets is exactly the one to keep away from.)
    const QTemporaryDir config(QDir::tempPath() + QStringLiteral("/comlab-test-config-XXXXXX"));
    if (!config.isValid())
        return 2;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? QByteArray("offscreen") : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
