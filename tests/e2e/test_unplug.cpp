// SPDX-License-Identifier: GPL-3.0-or-later
// An adapter pulled out while the window is connected, then plugged back in, and one whose far side
// stops reading. The adapter is a pseudo-terminal mapped as COM1: closing its far side is the unplug,
// a new pair behind the same name is the adapter coming back.
#include "MessageBox.h"
#include "Unit1.h"
#include "com1_window.h"
#include "event_wait.h"
#include "pty_pair.h"
#include "ui_Unit1.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <string>
#include <unistd.h>

namespace {

using comlab::test::cpuSeconds;
using comlab::test::pump;
// The master is the far end, held by the test; hanging it up is the unplug.
using Pty = comlab::test::PtyPair;

// Reads what the far end has received within a generous bound.
std::string drain(int fd, std::size_t want) {
    std::string got;
    for (int i = 0; i < 100 && got.size() < want; ++i) {
        char buf[256];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0)
            got.append(buf, std::size_t(n));
        else
            pump(20);
    }
    return got;
}

const QString kSendFailure = QStringLiteral(
    "Could not send data.\r\nPlease, check connections and try again.\r\nTurn serial device on or, try "
    "setting Device Check to On in the settings dialog box.\r\nAlso, disable Hardware Flow Control if you "
    "are using a two wires cable.");

class Unplug : public Com1WindowTest {
protected:
    using Com1WindowTest::mapCom1;
    void mapCom1(const Pty& pty) { mapCom1(pty.slave()); }

    std::vector<QWidget*> settings() {
        auto& u = *form->ui;
        return {u.cbCOM, u.cbBOD, u.edBOD, u.CheckBOD, u.cbFORM, u.cbCHECK, u.cbSTOP, u.cbCONTROL, u.btCOMon};
    }
};

// Pulled while connected: the window notices within a poll tick or two, keeps what arrived before the
// pull, says once on the status strip which device went, closes the port and does not spin. The adapter
// comes back behind the same name: the port opens again by itself with the same settings, and the
// exchange goes on where it was.
TEST_F(Unplug, APulledAdapterIsLostThenReconnectedWhenItIsBack) {
    auto adapter = std::make_unique<Pty>();
    ASSERT_TRUE(adapter->ok());
    mapCom1(*adapter);
    auto& ui = *form->ui;
    ui.cbFORM->setCurrentIndex(3);
    form->btCOMonClick(ui.btCOMon);
    ASSERT_TRUE(form->CPDrv->IsOpen());
    ui.rbCOMinSym->setChecked(true);
    ui.edCOMout->setText(QStringLiteral("AT"));
    form->btOutCOMClick(ui.btOutCOM);
    ASSERT_EQ(form->WorkMode, mdExchange);
    EXPECT_EQ(drain(adapter->master(), 2), "AT");

    // Its last words, then the pull.
    ASSERT_EQ(::write(adapter->master(), "OK\r\n", 4), 4);
    waitForLogEnding(QStringLiteral("OK\n"));
    adapter->hangUp();
    expectLostWithLogEnding(QStringLiteral("OK\n"));
    // Still "connected" as far as the settings go: only Disconnect leaves the lost state.
    for (QWidget* w : settings())
        EXPECT_FALSE(w->isEnabled()) << w->objectName().toStdString();
    EXPECT_TRUE(ui.btCOMoff->isEnabled());
    const double cpu0 = cpuSeconds();
    pump(1000);
    EXPECT_LT(cpuSeconds() - cpu0, 0.5) << "busy loop while the adapter is gone";

    // It comes back, as another device behind the same name.
    adapter = std::make_unique<Pty>();
    ASSERT_TRUE(adapter->ok());
    mapCom1(*adapter);
    for (int i = 0; i < 150 && !form->CPDrv->IsOpen(); ++i)
        pump(20);
    ASSERT_TRUE(form->CPDrv->IsOpen());
    EXPECT_EQ(ui.lbCOM->text(), QStringLiteral("Соединение с портом \"\\\\.\\COM1\" восстановлено"));
    EXPECT_EQ(form->CPDrv->DataBits(), db8BITS);
    EXPECT_EQ(form->WorkMode, mdExchange);
    ASSERT_EQ(::write(adapter->master(), "hello", 5), 5);
    waitForLogEnding(QStringLiteral("hello"));
    EXPECT_TRUE(ui.mmCOMin->text().endsWith(QStringLiteral("OK\nhello"))) << ui.mmCOMin->text().toStdString();
    form->SendCode('Z');
    EXPECT_TRUE(boxes.boxes().empty());
    EXPECT_EQ(drain(adapter->master(), 1), "Z");
}

// Whatever runs on the port when it is pulled stops as "Останов" stops it: no error counted on a line
// that is gone, no box per time-out. Disconnect then leaves the lost state, and with reconnecting
// turned off the adapter's return is left to the user.
TEST_F(Unplug, WhatRunsStopsAndDisconnectEndsTheLostState) {
    auto& ui = *form->ui;
    const std::pair<const char*, void (TForm1::*)(QObject*)> starts[] = {
        {"loopback test", &TForm1::btTestClick},
        {"echo stub", &TForm1::btZagClick},
        {"sequence", &TForm1::btPosClick},
        {"array", &TForm1::btMassStartClick},
    };
    form->acReconnect->setChecked(false);
    ui.edMass->setText(QStringLiteral("100000000"));
    for (const auto& [name, start] : starts) {
        SCOPED_TRACE(name);
        auto adapter = std::make_unique<Pty>();
        ASSERT_TRUE(adapter->ok());
        mapCom1(*adapter);
        form->btCOMonClick(ui.btCOMon);
        ASSERT_TRUE(form->CPDrv->IsOpen());
        boxes.clear();
        // The runs that loop pump events: the pull comes from inside them.
        QTimer::singleShot(100, [&] { adapter->hangUp(); });
        ((*form).*start)(nullptr);
        for (int i = 0; i < 100 && form->CPDrv->IsOpen(); ++i)
            pump(20);
        EXPECT_FALSE(form->CPDrv->IsOpen());
        EXPECT_EQ(form->WorkMode, mdIdle);
        EXPECT_FALSE(form->LoopRunning);
        EXPECT_FALSE(form->trTest->isActive());
        EXPECT_TRUE(ui.btTest->isEnabled());
        EXPECT_FALSE(ui.btStop->isEnabled());
        EXPECT_LE(boxes.boxes().size(), 1u); // at most the failed write that met the pull
        EXPECT_LE(ui.lbErr->text().toInt(), 1);

        // Back, but not taken: reconnecting is off.
        adapter = std::make_unique<Pty>();
        mapCom1(*adapter);
        pump(300);
        EXPECT_FALSE(form->CPDrv->IsOpen());
        form->btCOMoffClick(ui.btCOMoff);
        for (QWidget* w : settings())
            EXPECT_TRUE(w->isEnabled()) << w->objectName().toStdString();
        EXPECT_EQ(ui.lbCOM->text(), QStringLiteral("Нет соединения"));
        pump(300);
        EXPECT_FALSE(form->CPDrv->IsOpen());
    }
}

// An adapter pulled out with data still on its way both ways: the driver's poll must not turn the dead
// device into a hot loop, and closing afterwards must not wait for output that can never leave.
TEST_F(Unplug, PendingOutputAndDeadDeviceNeitherSpinNorHang) {
    Pty adapter;
    ASSERT_TRUE(adapter.ok());
    mapCom1(adapter);
    form->btCOMonClick(form->ui->btCOMon);
    ASSERT_TRUE(form->CPDrv->IsOpen());

    // Output the far end never reads, then the far end goes away.
    for (const std::uint8_t b : {'x', 'y', 'z'})
        form->SendCode(b);
    ASSERT_TRUE(boxes.boxes().empty());
    // And input the driver has not fetched yet: the read side goes stale with bytes counted.
    ASSERT_EQ(::write(adapter.master(), "late", 4), 4);
    adapter.hangUp();

    const double cpu0 = cpuSeconds();
    pump(1000);
    EXPECT_LT(cpuSeconds() - cpu0, 0.5);

    QElapsedTimer closing;
    closing.start();
    form->btCOMoffClick(form->ui->btCOMoff);
    EXPECT_LT(closing.elapsed(), 5000);
    EXPECT_FALSE(form->CPDrv->IsOpen());
    EXPECT_TRUE(boxes.boxes().empty());
}

// The far side stops reading: once the line takes no more, a long line, a sequence or an array ends at
// its first failed write with one box, and Stop, disconnect and close all still work.
TEST_F(Unplug, StalledLineEndsALineOrARunWithOneBox) {
    const std::pair<void (TForm1::*)(QObject*), bool> starts[] = {
        {&TForm1::btOutCOMClick, false}, {&TForm1::btPosClick, true}, {&TForm1::btMassStartClick, true}};
    for (const auto& [start, run] : starts) {
        Pty adapter; // its far side is never read
        ASSERT_TRUE(adapter.ok());
        mapCom1(adapter);
        form->btCOMonClick(nullptr);
        ASSERT_TRUE(form->CPDrv->IsOpen());
        EXPECT_EQ(form->ui->lbCOM->toolTip(),
                  QStringLiteral("COM1 ведёт к %1").arg(std::filesystem::canonical(adapter.slave()).c_str()));
        boxes.clear();
        // Should a failure not end it, this does, so the test fails instead of running on.
        boxes.setWhileOpen([&](const msgbox::RecordedBox&) {
            if (boxes.boxes().size() == 2) {
                form->btStopClick(nullptr);
                form->btCOMoffClick(nullptr);
            }
        });
        form->ui->edCOMout->setMaxLength(100000);
        form->ui->edCOMout->setText(QString(60000, QLatin1Char('A')));
        form->ui->edMass->setText(QStringLiteral("100000"));
        ((*form).*start)(nullptr);

        ASSERT_EQ(boxes.boxes().size(), 1u);
        EXPECT_EQ(boxes.boxes()[0].text, kSendFailure);
        EXPECT_EQ(form->ui->btStop->isEnabled(), run) << "a run stays stopped by failure until Stop";
        form->btStopClick(nullptr);
        form->btCOMoffClick(nullptr);
        EXPECT_FALSE(form->CPDrv->IsOpen());
        EXPECT_TRUE(form->ui->lbCOM->toolTip().isEmpty());
        boxes.setWhileOpen({});
    }
    EXPECT_TRUE(form->close());
}

} // namespace
