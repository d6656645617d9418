// SPDX-License-Identifier: GPL-3.0-or-later
// The line-test page at 9600 baud on the guest's UARTs: the loopback test over a whole pass of codes
// through the UART's loopback, an array out of COM2 to comlab-peer's checking sink on the host, and a
// sequence that goes quiet on "Останов".
#include "event_wait.h"
#include "uart_guest.h"

#include <QLineEdit>
#include <QTest>
#include <QTimer>

#include <cstdio>

namespace {

using namespace comlab::uart;

class UartLineTests : public UartWindowTest {
protected:
    void expectIdle() {
        EXPECT_TRUE(ui().btTest->isEnabled());
        EXPECT_TRUE(ui().btMassStart->isEnabled());
        EXPECT_FALSE(ui().btStop->isEnabled());
        EXPECT_EQ(ui().lbTestN->text(), QStringLiteral("  "));
    }
};

TEST_F(UartLineTests, LoopbackTestCountsNoErrorsOverAWholePass) {
    ASSERT_TRUE(connectWith({}));
    const QString errorsBefore = ui().lbErr->text();
    form->btTestClick(ui().btTest);
    // 00 once more after FF: every code has been round the UART once.
    EXPECT_TRUE(QTest::qWaitFor([&] { return form->TestCycles == 2; }, 90000));
    form->btStopClick(ui().btStop);
    EXPECT_EQ(form->TestErrors, 0);
    EXPECT_EQ(ui().lbErr->text(), errorsBefore) << "no error was ever shown";
    EXPECT_EQ(ui().lbCikl->text(), QStringLiteral("2"));
    EXPECT_TRUE(boxes.boxes().empty());
    expectIdle();
}

// The host's sink checks what arrives and its sum; the lane compares them with the line printed here.
TEST_F(UartLineTests, ArrayLeavesWholeForTheHostWithItsSum) {
    constexpr int kSize = 1000;
    ASSERT_TRUE(connectWith({.com = 1}));
    DeviceView view(hostDevice());
    const auto sentBefore = view.counts().tx;
    ui().edMass->setText(QString::number(kSize));
    form->btMassStartClick(ui().btMassStart);
    int sum = 0;
    for (int i = 0; i < kSize; ++i)
        if ((sum += i % 256) > 255)
            sum -= 255;
    EXPECT_EQ(form->ArraySum, sum);
    EXPECT_EQ(ui().edMassS->text(), QString::number(sum));
    EXPECT_EQ(ui().edMassN->text(), QString::number(kSize));
    EXPECT_TRUE(boxes.boxes().empty());
    expectIdle();
    EXPECT_TRUE(comlab::test::runUntil([&] { return view.outQueue() == 0; }, 20000));
    EXPECT_EQ(view.counts().tx - sentBefore, unsigned(kSize));
    std::printf("UART-LANE-HOST array bytes=%d sum=%d\n", kSize, sum);
    std::fflush(stdout);
}

TEST_F(UartLineTests, SequenceGoesQuietOnStop) {
    ASSERT_TRUE(connectWith({}));
    DeviceView view(loopDevice());
    const auto before = view.counts().tx;
    ui().edPos->setText(QStringLiteral("A5"));
    QTimer::singleShot(300, form.get(), [this] { ui().btStop->click(); });
    form->btPosClick(ui().btPos); // returns once Stop has ended the loop
    const auto atStop = view.counts().tx;
    EXPECT_GT(atStop, before);
    EXPECT_EQ(ui().lbPos->text(), QStringLiteral("A5H"));
    expectIdle();
    EXPECT_EQ(form->WorkMode, mdIdle);
    comlab::test::pump(300);
    EXPECT_EQ(view.counts().tx, atStop) << "nothing is sent after Stop";
    EXPECT_TRUE(boxes.boxes().empty());
}

} // namespace
