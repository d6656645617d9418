// SPDX-License-Identifier: GPL-3.0-or-later
// A port on another machine through the window: COM1 is mapped to ser2net's rfc2217:// URL with a
// pseudo-terminal behind it. A server that goes away mid-stream is lost as a pulled cable is, and the
// port opens again by itself when the server is back. A name that leads nowhere says why.
#include "MessageBox.h"
#include "Unit1.h"
#include "com1_window.h"
#include "event_wait.h"
#include "peer_process.h"
#include "platform/net.h"
#include "pty_pair.h"
#include "ser2net.h"
#include "ui_Unit1.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

namespace {

using comlab::test::pump;

class NetPort : public Com1WindowTest {
protected:
    void SetUp() override {
        // No test waits on this machine's resolver.
        platform::setNetResolver([](const std::string&) { return std::vector<std::string>{}; });
        Com1WindowTest::SetUp();
    }
    void TearDown() override {
        Com1WindowTest::TearDown();
        platform::setNetResolver(nullptr);
    }
};

TEST_F(NetPort, AServerThatGoesAwayIsLostThenReconnectedWhenItIsBack) {
    if (comlab::test::ser2netBinary().empty())
        GTEST_SKIP() << "ser2net is not installed (scripts/test.sh installs it)";
    comlab::test::PtyPair pty;
    ASSERT_TRUE(pty.ok());
    comlab::test::Ser2net server(pty.slave());
    ASSERT_TRUE(server.start());
    mapCom1(server.url());
    auto& ui = *form->ui;
    ui.cbCOM->showPopup(); // the list's tooltips are read as it opens
    pump(50);
    ui.cbCOM->hidePopup();
    EXPECT_TRUE(
        ui.cbCOM->itemData(0, Qt::ToolTipRole).toString().contains(QString::fromStdString(server.url())));

    form->btCOMonClick(ui.btCOMon);
    ASSERT_TRUE(form->CPDrv->IsOpen())
        << (boxes.boxes().empty() ? std::string() : boxes.boxes().front().detailedText.toStdString());
    ui.rbCOMinSym->setChecked(true);
    ui.edCOMout->setText(QStringLiteral("AT"));
    form->btOutCOMClick(ui.btOutCOM);
    EXPECT_EQ(comlab::test::readFor(pty.master(), 2, 5000), "AT");

    comlab::test::writeAll(pty.master(), "OK\r\n");
    waitForLogEnding(QStringLiteral("OK\n"));
    server.stop();
    expectLostWithLogEnding(QStringLiteral("OK\n"));

    ASSERT_TRUE(server.start());
    for (int i = 0; i < 400 && !form->CPDrv->IsOpen(); ++i)
        pump(20);
    ASSERT_TRUE(form->CPDrv->IsOpen());
    EXPECT_EQ(ui.lbCOM->text(), QStringLiteral("Соединение с портом \"\\\\.\\COM1\" восстановлено"));
    // What the device sends before ser2net has opened it again is the device's to lose: the far side
    // answers once a byte from us has come through.
    form->SendCode('Z');
    EXPECT_EQ(comlab::test::readFor(pty.master(), 1, 5000), "Z");
    comlab::test::writeAll(pty.master(), "hello");
    waitForLogEnding(QStringLiteral("hello"));
    EXPECT_TRUE(ui.mmCOMin->text().endsWith(QStringLiteral("OK\nhello"))) << ui.mmCOMin->text().toStdString();
}

TEST_F(NetPort, TheConnectBoxSaysWhyANetworkPortCannotBeHad) {
    // A name server that takes its time: the window goes on meanwhile, says where it connects to, and
    // takes no second click.
    static std::atomic<bool> answer{false};
    answer = false;
    platform::setNetResolver([](const std::string&) {
        while (!answer)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return std::vector<std::string>{};
    });
    mapCom1("rfc2217://lab-pi:3001");
    auto& ui = *form->ui;
    QString statusMeanwhile;
    bool buttonMeanwhile = true;
    QTimer::singleShot(100, [&] {
        statusMeanwhile = ui.lbCOM->text();
        buttonMeanwhile = ui.btCOMon->isEnabled();
        form->btCOMonClick(ui.btCOMon); // returns at once
        answer = true;
    });
    form->btCOMonClick(ui.btCOMon);
    EXPECT_TRUE(answer) << "the window waited without running its events";
    EXPECT_EQ(statusMeanwhile, QStringLiteral("Соединение с rfc2217://lab-pi:3001…"));
    EXPECT_FALSE(buttonMeanwhile);
    EXPECT_TRUE(ui.btCOMon->isEnabled());
    EXPECT_FALSE(form->CPDrv->IsOpen());
    ASSERT_EQ(boxes.boxes().size(), 1u);
    const QString details = boxes.boxes().front().detailedText;
    EXPECT_TRUE(details.contains(QStringLiteral("rfc2217://lab-pi:3001"))) << details.toStdString();
    EXPECT_TRUE(details.contains(QStringLiteral("Имя узла не найдено."))) << details.toStdString();
}

#ifdef COMLAB_PEER_BIN
// The line tests through ser2net: comlab-peer is the device behind it, in its own map folder.
TEST_F(NetPort, TheLoopbackTestAndAnArrayRunThroughSer2net) {
    if (comlab::test::ser2netBinary().empty())
        GTEST_SKIP() << "ser2net is not installed (scripts/test.sh installs it)";
    QTemporaryDir peerDir;
    const auto through = [&](std::vector<std::string> args, auto&& run) {
        comlab::test::MappedPeer peer(COMLAB_PEER_BIN, peerDir.path().toStdString(), std::move(args));
        ASSERT_TRUE(peer.ok());
        ASSERT_FALSE(peer.process().path().empty());
        comlab::test::Ser2net server(peer.process().path());
        ASSERT_TRUE(server.start());
        mapCom1(server.url());
        form->btCOMonClick(nullptr);
        ASSERT_TRUE(form->CPDrv->IsOpen());
        run(peer);
        form->btCOMoffClick(nullptr);
    };
    through({"echo"}, [&](comlab::test::MappedPeer&) {
        form->btTestClick(nullptr);
        ASSERT_TRUE(QTest::qWaitFor([&] { return form->TestCode >= 40; }, 60000));
        form->btStopClick(nullptr);
        EXPECT_EQ(form->TestErrors, 0);
    });
    through({"sink", "--expect", "counter"}, [&](comlab::test::MappedPeer& peer) {
        form->ui->edMass->setText("258");
        form->btMassStartClick(nullptr);
        const auto stats = [&] {
            return peer.stats([](const auto& ready) { return QTest::qWaitFor(ready, 5000); });
        };
        ASSERT_TRUE(
            QTest::qWaitFor([&] { return comlab::test::statNumber(stats(), "bytes_in") == 258; }, 20000));
        EXPECT_EQ(stats()["mismatches"], "0");
    });
    EXPECT_TRUE(boxes.boxes().empty());
}
#endif

} // namespace
