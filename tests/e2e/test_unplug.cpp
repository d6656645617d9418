// SPDX-License-Identifier: GPL-3.0-or-later
// An adapter pulled out while the window is connected, then plugged back in, and one whose far side
// stops reading. The adapter is a pseudo-terminal mapped as COM1: closing its far side is the unplug,
// a new pair behind the same name is the adapter coming back.
#include "MessageBox.h"
#include "Unit1.h"
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

class Unplug : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QByteArray savedPortsDir = qgetenv("COMLAB_PORTS_DIR");
    msgbox::MessageBoxRecorder boxes;
    std::unique_ptr<TForm1> form;

    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        qputenv("COMLAB_PORTS_DIR", dir.path().toLocal8Bit());
        form = std::make_unique<TForm1>();
        form->ui->cbCOM->setCurrentIndex(0);
    }
    void TearDown() override {
        form.reset();
        qputenv("COMLAB_PORTS_DIR", savedPortsDir);
    }

    // Points COM1 at the slave side of `pty`, replacing an earlier mapping.
    void mapCom1(const Pty& pty) {
        const std::filesystem::path link = std::filesystem::path(dir.path().toStdString()) / "COM1";
        std::filesystem::remove(link);
        std::filesystem::create_symlink(pty.slave(), link);
    }

    std::vector<QWidget*> settings() {
        auto& u = *form->ui;
        return {u.cbCOM, u.cbBOD, u.edBOD, u.CheckBOD, u.cbFORM, u.cbCHECK, u.cbSTOP, u.cbCONTROL, u.btCOMon};
    }
};

TEST_F(Unplug, WindowKeepsWorkingAndReconnectsWhenTheAdapterIsBack) {
    auto adapter = std::make_unique<Pty>();
    ASSERT_TRUE(adapter->ok());
    mapCom1(*adapter);
    auto& ui = *form->ui;

    form->btCOMonClick(ui.btCOMon);
    ASSERT_TRUE(form->CPDrv->IsOpen());
    ASSERT_TRUE(boxes.boxes().empty());

    // A pseudo-terminal has no modem lines: the query fails and every line reads low.
    ui.cbOpros->setChecked(true);
    form->btOprosClick(ui.btOpros);
    for (QLabel* l : {ui.lbCTS, ui.lbDSR, ui.lbRING, ui.lbCD})
        EXPECT_EQ(l->text(), QStringLiteral("-12 В (воздух)"));

    adapter->hangUp();

    // Idle with the port still open on a device that is gone: no spinning, nothing received, no box.
    const QByteArray rxBefore = form->RxBlock;
    const double cpu0 = cpuSeconds();
    pump(1000);
    EXPECT_LT(cpuSeconds() - cpu0, 0.5) << "busy loop while the adapter is gone";
    EXPECT_TRUE(boxes.boxes().empty());
    EXPECT_EQ(form->RxBlock, rxBefore);
    EXPECT_TRUE(form->trOpros->isActive());
    EXPECT_EQ(ui.lbCTS->text(), QStringLiteral("-12 В (воздух)"));

    // Every byte that cannot go is reported by its own box.
    for (const std::uint8_t b : {'A', 'B'})
        form->SendCode(b);
    ASSERT_EQ(boxes.boxes().size(), 2u);
    for (const auto& box : boxes.boxes()) {
        EXPECT_EQ(box.caption, QStringLiteral("Warning"));
        EXPECT_EQ(box.text, kSendFailure);
        EXPECT_EQ(box.icon, msgbox::IconInformation);
    }
    boxes.clear();
    ui.edCOMout->setText(QStringLiteral("AB"));
    form->btOutCOMClick(ui.btOutCOM);
    ASSERT_EQ(boxes.boxes().size(), 1u); // the line ends at its first failed write; it is echoed all the same
    EXPECT_EQ(boxes.boxes()[0].text, kSendFailure);
    EXPECT_TRUE(ui.mmCOMin->text().contains(QStringLiteral("> AB < ")));

    // A line test cannot start on a device that is gone: its queues cannot be emptied.
    boxes.clear();
    form->btTestClick(ui.btTest);
    ASSERT_EQ(boxes.boxes().size(), 1u);
    EXPECT_EQ(boxes.boxes()[0].text, QStringLiteral("Входной и выходной буфера не сбрасываются."));
    EXPECT_EQ(form->WorkMode, mdExchange);
    EXPECT_TRUE(ui.btTest->isEnabled());

    // Disconnect returns promptly and gives the settings back.
    QElapsedTimer closing;
    closing.start();
    form->btCOMoffClick(ui.btCOMoff);
    EXPECT_LT(closing.elapsed(), 5000);
    EXPECT_FALSE(form->CPDrv->IsOpen());
    for (QWidget* w : settings())
        EXPECT_TRUE(w->isEnabled()) << w->objectName().toStdString();
    EXPECT_FALSE(ui.btCOMoff->isEnabled());
    EXPECT_EQ(ui.lbCOM->text(), QStringLiteral("Нет соединения"));

    // The adapter comes back, possibly as another device, behind the same name.
    adapter = std::make_unique<Pty>();
    ASSERT_TRUE(adapter->ok());
    mapCom1(*adapter);
    boxes.clear();
    form->btCOMonClick(ui.btCOMon);
    ASSERT_TRUE(form->CPDrv->IsOpen());
    EXPECT_TRUE(boxes.boxes().empty());
    EXPECT_EQ(ui.lbCOM->text(), QStringLiteral("Соединение с портом \"\\\\.\\COM1\" "));

    ASSERT_EQ(::write(adapter->master(), "hello", 5), 5);
    for (int i = 0; i < 100 && form->RxBlock != "hello"; ++i)
        pump(20);
    EXPECT_EQ(form->RxBlock, QByteArray("hello"));

    form->SendCode('Z');
    EXPECT_TRUE(boxes.boxes().empty());
    EXPECT_EQ(drain(adapter->master(), 1), "Z");
}

// A loopback test running when the adapter goes away carries on as after any failed write: each
// time-out counts an error and the next code cannot go, and the test waits for the next time-out until
// Stop. It says so once for the run, not once a second.
TEST_F(Unplug, RunningLoopbackTestCarriesOnAsAfterAFailedWrite) {
    auto adapter = std::make_unique<Pty>();
    ASSERT_TRUE(adapter->ok());
    mapCom1(*adapter);
    auto& ui = *form->ui;
    form->btCOMonClick(ui.btCOMon);
    ASSERT_TRUE(form->CPDrv->IsOpen());
    form->btTestClick(ui.btTest);
    ASSERT_EQ(form->WorkMode, mdTest);
    ASSERT_TRUE(boxes.boxes().empty());
    EXPECT_EQ(drain(adapter->master(), 1), std::string(1, '\0'));

    adapter->hangUp();
    for (int timeout = 1; timeout <= 2; ++timeout) {
        boxes.clear();
        form->trTestTimer(form->trTest);
        ASSERT_EQ(boxes.boxes().size(), timeout == 1 ? 1u : 0u);
        if (timeout == 1) {
            EXPECT_EQ(boxes.boxes()[0].text, kSendFailure);
        }
        EXPECT_EQ(ui.lbErr->text(), QString::number(timeout));
        EXPECT_EQ(ui.lbOut->text(), QStringLiteral("%1").arg(timeout, 2, 10, QLatin1Char('0')));
        EXPECT_TRUE(form->trTest->isActive());
        EXPECT_EQ(form->WorkMode, mdTest);
    }
    form->btStopClick(ui.btStop);
    EXPECT_FALSE(form->trTest->isActive());
    form->btCOMoffClick(ui.btCOMoff);
    EXPECT_FALSE(form->CPDrv->IsOpen());
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
