// Every test program runs inside one QApplication on the offscreen platform, so tests of the
// window, the hidden timer window and the event loop can share a main.
#include <QApplication>
#include <gtest/gtest.h>

#include <cstdlib>
#include <utility>

int main(int argc, char** argv) {
    // No test may reach this machine's own serial ports: COM names resolve through an empty folder
    // unless a test maps its own.
    for (auto [name, value] : {std::pair{"COMLAB_PORTS_DIR", COMLAB_TEST_PORTS_DIR},
                               std::pair{"COMLAB_BIN_DIR", COMLAB_TEST_BIN_DIR}}) {
        const char* was = std::getenv(name);
        if (!was || !*was)
            setenv(name, value, 1);
    }
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? QByteArray("offscreen") : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
