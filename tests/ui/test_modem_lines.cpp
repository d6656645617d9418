// SPDX-License-Identifier: GPL-3.0-or-later
// The modem-line page on the fake device: input lines shown once or while polling, and DTR/RTS
// driven in two steps, a user change of the combo and then its button.
#include "MessageBox.h"
#include "Unit1.h"
#include "platform/fake_comm.h"
#include "ui_Unit1.h"

#include <QApplication>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <array>
#include <memory>

namespace {

using platform::FakeOp;

const QString kHigh = QStringLiteral("+12 В");
const QString kLow = QStringLiteral("-12 В (воздух)");

class ModemLines : public ::testing::Test {
protected:
    platform::FakeComm fake;
    platform::ScopedCommDevice device{fake};
    msgbox::MessageBoxRecorder boxes;
    std::unique_ptr<TForm1> form;

    void SetUp() override {
        fake.addDevice("\\\\.\\COM1");
        form = std::make_unique<TForm1>();
        form->ui->cbCOM->setCurrentIndex(0);
    }

    Ui::Form1& ui() { return *form->ui; }

    void connectPort() {
        form->btCOMonClick(ui().btCOMon);
        ASSERT_TRUE(form->CPDrv->IsOpen());
        fake.clearCalls();
    }

    std::array<QString, 4> inputLabels() {
        return {ui().lbCTS->text(), ui().lbDSR->text(), ui().lbRING->text(), ui().lbCD->text()};
    }

    std::vector<DWORD> escapes() const {
        std::vector<DWORD> out;
        for (const auto& c : fake.callsOf(FakeOp::EscapeCommFunction))
            out.push_back(c.func);
        return out;
    }

    // Runs the event loop until the labels read `want` or a generous bound passes.
    bool waitForLabels(const std::array<QString, 4>& want) {
        for (int i = 0; i < 100 && inputLabels() != want; ++i)
            QTest::qWait(50);
        return inputLabels() == want;
    }

    // Replaces the combo's text the way a user does: select all, then type.
    static void typeInto(QComboBox* combo, const QString& text) {
        combo->setFocus();
        QTest::keyClick(combo, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(combo, Qt::Key_Delete);
        // QTest only types Latin-1 keys; the item texts are Cyrillic, so each character goes as a
        // key event of its own carrying the text.
        for (const QChar ch : text) {
            QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(ch));
            QKeyEvent release(QEvent::KeyRelease, Qt::Key_unknown, Qt::NoModifier, QString(ch));
            QApplication::sendEvent(combo, &press);
            QApplication::sendEvent(combo, &release);
        }
    }
};

TEST_F(ModemLines, SinglePollWithPortClosedShowsEveryLineLow) {
    fake.setModemStatus(MS_CTS_ON | MS_RLSD_ON); // closed: never asked
    form->btOprosClick(ui().btOpros);
    EXPECT_EQ(inputLabels(), (std::array{kLow, kLow, kLow, kLow}));
    EXPECT_FALSE(form->PollingOn);
    EXPECT_FALSE(form->trOpros->isActive());
    EXPECT_EQ(ui().btOpros->text(), QStringLiteral("Опрос"));
    EXPECT_TRUE(boxes.boxes().empty());
}

TEST_F(ModemLines, EachInputBitLightsItsOwnLabel) {
    connectPort();
    const DWORD msBits[] = {MS_CTS_ON, MS_DSR_ON, MS_RING_ON, MS_RLSD_ON};
    for (unsigned combo = 0; combo < 16; ++combo) {
        DWORD status = 0;
        std::array<QString, 4> want;
        for (unsigned line = 0; line < 4; ++line) {
            const bool on = combo & (1u << line);
            status |= on ? msBits[line] : 0;
            want[line] = on ? kHigh : kLow;
        }
        fake.setModemStatus(status);
        QTest::mouseClick(ui().btOpros, Qt::LeftButton);
        EXPECT_EQ(inputLabels(), want) << "lines " << combo;
    }
    EXPECT_EQ(fake.count(FakeOp::GetCommModemStatus), 16u) << "one query per reading";
}

TEST_F(ModemLines, FailedStatusQueryReadsAsAllLow) {
    connectPort();
    fake.setModemStatus(MS_CTS_ON | MS_DSR_ON);
    form->btOprosClick(ui().btOpros);
    ASSERT_EQ(inputLabels(), (std::array{kHigh, kHigh, kLow, kLow}));
    fake.setFailure(FakeOp::GetCommModemStatus);
    form->btOprosClick(ui().btOpros);
    EXPECT_EQ(inputLabels(), (std::array{kLow, kLow, kLow, kLow}));
    EXPECT_TRUE(boxes.boxes().empty());
}

// Periodic polling follows the lines, outlives a disconnect and stops at the next click, whatever
// the check box then says.
TEST_F(ModemLines, PeriodicPollingRunsUntilTheNextClick) {
    for (const bool tickedAtStop : {true, false}) {
        SCOPED_TRACE(tickedAtStop ? "box ticked at stop" : "box cleared at stop");
        form = std::make_unique<TForm1>();
        form->ui->cbCOM->setCurrentIndex(0);
        connectPort();
        fake.setModemStatus(MS_DSR_ON);
        ui().cbOpros->setChecked(true);
        QTest::mouseClick(ui().btOpros, Qt::LeftButton);
        EXPECT_EQ(ui().btOpros->text(), QStringLiteral("Остановить"));
        EXPECT_TRUE(form->PollingOn);
        EXPECT_TRUE(form->trOpros->isActive());
        EXPECT_EQ(inputLabels(), (std::array{kLow, kHigh, kLow, kLow})) << "read at once";

        fake.setModemStatus(MS_RING_ON | MS_RLSD_ON);
        EXPECT_TRUE(waitForLabels({kLow, kLow, kHigh, kHigh}));

        ui().cbOpros->setChecked(tickedAtStop); // the box alone changes nothing
        form->btCOMoffClick(ui().btCOMoff);
        EXPECT_TRUE(form->trOpros->isActive());
        EXPECT_TRUE(waitForLabels({kLow, kLow, kLow, kLow}));

        connectPort();
        fake.setModemStatus(MS_CTS_ON);
        EXPECT_TRUE(waitForLabels({kHigh, kLow, kLow, kLow}));

        QTest::mouseClick(ui().btOpros, Qt::LeftButton);
        EXPECT_EQ(ui().btOpros->text(), QStringLiteral("Опрос"));
        EXPECT_FALSE(form->PollingOn);
        EXPECT_FALSE(form->trOpros->isActive());
        fake.setModemStatus(0);
        const auto queries = fake.count(FakeOp::GetCommModemStatus);
        QTest::qWait(700);
        EXPECT_EQ(fake.count(FakeOp::GetCommModemStatus), queries);
        EXPECT_EQ(inputLabels(), (std::array{kHigh, kLow, kLow, kLow}));
    }
}

TEST_F(ModemLines, ConnectSelectsDefaultsAndCountsAsNoChange) {
    const QString dtrBefore = ui().lbDTR->text();
    const QString rtsBefore = ui().lbRTS->text();
    connectPort();
    EXPECT_EQ(ui().cbDTRd->currentIndex(), 0);
    EXPECT_EQ(ui().cbDTRd->currentText(), QStringLiteral("Выкл. (OFF) +12 V"));
    EXPECT_EQ(ui().cbRTSd->currentIndex(), 1);
    EXPECT_EQ(ui().cbRTSd->currentText(), QStringLiteral("Вкл.    (ON)   -12 V"));
    EXPECT_TRUE(ui().cbDTRd->isEnabled());
    EXPECT_TRUE(ui().cbRTSd->isEnabled());
    EXPECT_FALSE(ui().btDTR->isEnabled());
    EXPECT_FALSE(ui().btRTS->isEnabled());
    EXPECT_EQ(ui().lbDTR->text(), dtrBefore);
    EXPECT_EQ(ui().lbRTS->text(), rtsBefore);

    // After a state was applied, a reconnect keeps it on the labels.
    ui().cbDTRd->setFocus();
    QTest::keyClick(ui().cbDTRd, Qt::Key_Down);
    QTest::mouseClick(ui().btDTR, Qt::LeftButton);
    ASSERT_EQ(ui().lbDTR->text(), QStringLiteral("-12 В (вкл)"));
    form->btCOMoffClick(ui().btCOMoff);
    EXPECT_FALSE(ui().cbDTRd->isEnabled());
    EXPECT_FALSE(ui().cbRTSd->isEnabled());
    connectPort();
    EXPECT_EQ(ui().cbDTRd->currentIndex(), 0);
    EXPECT_FALSE(ui().btDTR->isEnabled());
    EXPECT_EQ(ui().lbDTR->text(), QStringLiteral("-12 В (вкл)"));
    EXPECT_EQ(ui().lbRTS->text(), rtsBefore);
}

struct Drive {
    const char* how;
    bool dtr;     // which line
    int key;      // an arrow key, or 0 to type the item text
    int item;     // the item chosen
    DWORD escape; // what reaches the device
    const char* label;
};

TEST_F(ModemLines, UserChangeEnablesButtonAndClickDrivesLine) {
    const Drive cases[] = {
        {"DTR arrow down", true, Qt::Key_Down, 1, CLRDTR, "-12 В (вкл)"},
        {"DTR typed item 0", true, 0, 0, SETDTR, "+12 В (выкл)"},
        {"DTR typed item 1", true, 0, 1, CLRDTR, "-12 В (вкл)"},
        {"RTS arrow up", false, Qt::Key_Up, 0, SETRTS, "+12 В (выкл)"},
        {"RTS typed item 1", false, 0, 1, CLRRTS, "-12 В (вкл)"},
        {"RTS typed item 0", false, 0, 0, SETRTS, "+12 В (выкл)"},
    };
    connectPort();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.how);
        QComboBox* combo = c.dtr ? ui().cbDTRd : ui().cbRTSd;
        QPushButton* button = c.dtr ? ui().btDTR : ui().btRTS;
        QLabel* label = c.dtr ? ui().lbDTR : ui().lbRTS;
        fake.clearCalls();
        if (c.key) {
            combo->setFocus();
            QTest::keyClick(combo, Qt::Key(c.key));
        } else {
            typeInto(combo, combo->itemText(c.item));
        }
        EXPECT_EQ(combo->currentIndex(), c.item);
        EXPECT_TRUE(button->isEnabled());
        EXPECT_TRUE(escapes().empty()) << "a change alone drives nothing";

        QTest::mouseClick(button, Qt::LeftButton);
        EXPECT_EQ(escapes(), std::vector<DWORD>{c.escape});
        EXPECT_EQ(label->text(), QString::fromUtf8(c.label));
        EXPECT_FALSE(button->isEnabled());
        const bool raised = c.escape == SETDTR || c.escape == SETRTS;
        EXPECT_EQ(c.dtr ? fake.dtr() : fake.rts(), raised);
    }
}

TEST_F(ModemLines, TypedTextNamingNoItemSelectsNothing) {
    connectPort();
    for (QComboBox* combo : {ui().cbDTRd, ui().cbRTSd}) {
        const bool dtr = combo == ui().cbDTRd;
        SCOPED_TRACE(dtr ? "DTR" : "RTS");
        QPushButton* button = dtr ? ui().btDTR : ui().btRTS;
        QLabel* label = dtr ? ui().lbDTR : ui().lbRTS;
        const QString before = label->text();

        typeInto(combo, QStringLiteral("xyz"));
        EXPECT_EQ(combo->currentIndex(), -1);
        EXPECT_EQ(combo->lineEdit()->text(), QStringLiteral("xyz")) << "typed text stays";
        EXPECT_EQ(combo->lineEdit()->cursorPosition(), 3);
        EXPECT_TRUE(button->isEnabled());

        QTest::mouseClick(button, Qt::LeftButton);
        EXPECT_TRUE(escapes().empty());
        EXPECT_EQ(label->text(), before);
        EXPECT_FALSE(button->isEnabled());

        // An exact item text selects that item again; one character off does not.
        typeInto(combo, combo->itemText(0));
        EXPECT_EQ(combo->currentIndex(), 0);
        QTest::keyClick(combo, Qt::Key_Backspace);
        EXPECT_EQ(combo->currentIndex(), -1);
        EXPECT_EQ(combo->lineEdit()->text(), combo->itemText(0).chopped(1));
    }
}

TEST_F(ModemLines, ChangeThenDisconnectThenClickSetsLabelOnly) {
    connectPort();
    ui().cbDTRd->setFocus();
    QTest::keyClick(ui().cbDTRd, Qt::Key_Down);
    ui().cbRTSd->setFocus();
    QTest::keyClick(ui().cbRTSd, Qt::Key_Up);
    form->btCOMoffClick(ui().btCOMoff);
    EXPECT_TRUE(ui().btDTR->isEnabled());
    EXPECT_TRUE(ui().btRTS->isEnabled());
    fake.clearCalls();

    form->btDTRClick(ui().btDTR);
    form->btRTSClick(ui().btRTS);
    EXPECT_EQ(ui().lbDTR->text(), QStringLiteral("-12 В (вкл)"));
    EXPECT_EQ(ui().lbRTS->text(), QStringLiteral("+12 В (выкл)"));
    EXPECT_FALSE(ui().btDTR->isEnabled());
    EXPECT_FALSE(ui().btRTS->isEnabled());
    EXPECT_TRUE(fake.calls().empty()) << "a closed port drives nothing";
    EXPECT_TRUE(boxes.boxes().empty());
}

} // namespace
