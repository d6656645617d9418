// SPDX-License-Identifier: GPL-3.0-or-later
// The line-test page on the fake device: the loopback test's counting, the stub, the sequence and the
// array, their failures, and the page state after every transition, including those that happen
// inside a running loop's event processing (Stop, disconnect, a nested start, the window closing).
#include "Unit1.h"

#include "MessageBox.h"
#include "platform/fake_comm.h"
#include "ui_Unit1.h"

#include <QApplication>
#include <QPointer>
#include <QScrollBar>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace {

using platform::FakeOp;

QString u(const char* s) {
    return QString::fromUtf8(s);
}

const char* const kNoLink = "Нет соединения с COM-портом.";
const char* const kFlushBoth = "Входной и выходной буфера не сбрасываются.";
const char* const kNotConnected = "COM-порт не подсоединен!.";
const char* const kFlushIn = "Входной буфер не сбрасывается.";
const char* const kSizeBox = "Размер массива не задан или слишком велик.";

// What the state table of the page says, observed on the window.
struct PageState {
    bool startsEnabled;
    QString title;
    TWorkMode mode;
    bool loopRunning;
    bool timer;
};

class LineTests : public ::testing::Test {
protected:
    platform::FakeComm dev;
    std::optional<platform::ScopedCommDevice> scoped;
    msgbox::MessageBoxRecorder boxes;
    std::unique_ptr<TForm1> form;
    int writes = 0;
    int failAfter = -1;                                // writes fail from the one after this many on
    std::multimap<int, std::function<void()>> onWrite; // run inside the next event processing

    void SetUp() override {
        dev.addDevice("\\\\.\\COM1");
        scoped.emplace(dev);
        form = std::make_unique<TForm1>();
        form->show();
        dev.onCall = [this](const platform::FakeCall& c) {
            if (c.op != FakeOp::WriteFile || c.done == 0)
                return;
            ++writes;
            if (writes == failAfter)
                dev.setFailure(FakeOp::WriteFile);
            const auto [first, last] = onWrite.equal_range(writes);
            for (auto it = first; it != last; ++it)
                QTimer::singleShot(0, qApp, it->second);
        };
    }
    void TearDown() override {
        dev.onCall = nullptr;
        form.reset();
    }

    void connectPort() {
        form->ui->cbCOM->setCurrentIndex(0);
        form->btCOMonClick(nullptr);
        ASSERT_TRUE(form->CPDrv->IsOpen());
        dev.clearOutput();
        dev.clearCalls();
    }
    void receive(const std::string& bytes) {
        form->CPDrvReceiveData(nullptr, const_cast<char*>(bytes.data()), static_cast<DWORD>(bytes.size()));
    }
    // Schedules `action` for the event processing after the n-th byte written.
    void afterWrite(int n, std::function<void()> action) { onWrite.emplace(n, std::move(action)); }

    std::vector<QString> boxTexts() const {
        std::vector<QString> t;
        for (const auto& b : boxes.boxes())
            t.push_back(b.text);
        return t;
    }
    PageState state() const {
        return {form->ui->btTest->isEnabled(), form->ui->lbTestN->text(), form->WorkMode, form->LoopRunning,
                form->trTest->isActive()};
    }
    void expectState(const PageState& want, const char* where) {
        SCOPED_TRACE(where);
        const auto& ui = *form->ui;
        for (QWidget* w : {static_cast<QWidget*>(ui.btTest), static_cast<QWidget*>(ui.btZag),
                           static_cast<QWidget*>(ui.btPos), static_cast<QWidget*>(ui.btMassStart),
                           static_cast<QWidget*>(ui.btOutCOM)})
            EXPECT_EQ(w->isEnabled(), want.startsEnabled) << w->objectName().toStdString();
        EXPECT_EQ(ui.btStop->isEnabled(), !want.startsEnabled);
        EXPECT_EQ(ui.lbTestN->text(), want.title);
        EXPECT_EQ(form->WorkMode, want.mode);
        EXPECT_EQ(form->LoopRunning, want.loopRunning);
        EXPECT_EQ(form->trTest->isActive(), want.timer);
    }
    std::vector<int> out() const { return {dev.output().begin(), dev.output().end()}; }
};

const PageState kIdle{true, "  ", mdIdle, false, false};

// ---- loopback test ----

TEST_F(LineTests, LoopbackStartsAtZeroAndCountsAPassPer256Codes) {
    connectPort();
    form->ui->cbOutLog->setChecked(true);
    form->ui->cbInLog->setChecked(true);
    const QString errBefore = form->ui->lbErr->text();
    form->btTestClick(nullptr);
    expectState({false, " Тест ", mdTest, false, true}, "started");
    EXPECT_EQ(out(), std::vector<int>{0});
    EXPECT_EQ(form->ui->lbOut->text(), "00");
    EXPECT_EQ(form->ui->lbCikl->text(), "1");
    EXPECT_TRUE(form->ui->lbIn->text().isEmpty());

    for (int i = 0; i < 256; ++i)
        receive(std::string(1, static_cast<char>(form->TestCode)));
    EXPECT_EQ(dev.output().size(), 257u);
    EXPECT_EQ(dev.output().back(), 0);
    EXPECT_EQ(form->ui->lbCikl->text(), "2");
    EXPECT_EQ(form->ui->lbIn->text(), "FF");
    EXPECT_EQ(form->ui->lbErr->text(), errBefore) << "a clean pass never writes the error count";
    EXPECT_EQ(form->ui->mmOut->blockCount(), 257);
    EXPECT_EQ(form->ui->mmIn->blockCount(), 256);
    EXPECT_EQ(form->ui->mmOut->text().section(QLatin1Char('\n'), -1), "00");
    EXPECT_TRUE(boxes.boxes().empty());
}

// Events of the line during a loopback test: 'E' echoes the last code, 'T' is a time-out, and any
// other text is a block of bytes (hex pairs) arriving at once.
struct LoopbackCase {
    const char* name;
    std::vector<std::string> events;
    int errors;
    int codesSent;
    const char* lastIn;
};

class LoopbackFaults : public LineTests, public ::testing::WithParamInterface<LoopbackCase> {};

TEST_P(LoopbackFaults, CountsExactlyTheErrorsAndNeverStops) {
    const auto& c = GetParam();
    connectPort();
    form->btTestClick(nullptr);
    for (const auto& e : c.events) {
        if (e == "E") {
            receive(std::string(1, static_cast<char>(form->TestCode)));
        } else if (e == "T") {
            form->trTestTimer(form->trTest);
        } else {
            std::string block;
            for (std::size_t i = 0; i + 1 < e.size(); i += 2)
                block.push_back(static_cast<char>(std::stoi(e.substr(i, 2), nullptr, 16)));
            receive(block);
        }
    }
    EXPECT_EQ(form->TestErrors, c.errors);
    if (c.errors > 0) {
        EXPECT_EQ(form->ui->lbErr->text(), QString::number(c.errors));
    }
    ASSERT_EQ(static_cast<int>(dev.output().size()), c.codesSent);
    for (int i = 0; i < c.codesSent; ++i)
        EXPECT_EQ(dev.output()[i], i) << "codes go on in order whatever comes back";
    EXPECT_EQ(form->ui->lbIn->text(), c.lastIn);
    expectState({false, " Тест ", mdTest, false, true}, "still running");
}

INSTANTIATE_TEST_SUITE_P(
    Line, LoopbackFaults,
    ::testing::Values(LoopbackCase{"EchoMovesOnAtOnce", {"E", "E", "E"}, 0, 4, "02"},
                      LoopbackCase{"SilentLineOneErrorPerTimeout", {"T", "T", "T"}, 3, 4, ""},
                      LoopbackCase{"CorruptedEcho", {"E", "03", "E"}, 1, 4, "02"},
                      // 01 comes back after its time-out: one code out of step until a byte is lost.
                      LoopbackCase{
                          "LateEchoPutsTestOutOfStep", {"E", "T", "01", "02", "03", "05", "E"}, 4, 8, "06"},
                      LoopbackCase{"BlockOfKBytesGivesKComparisons", {"000102", "070707"}, 3, 7, "07"},
                      LoopbackCase{"TimeoutThenEcho", {"T", "E", "T"}, 2, 4, "01"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(LineTests, ClearDuringTestAndRestartKeepCountingFromTheRightPlace) {
    connectPort();
    form->btTestClick(nullptr);
    form->trTestTimer(form->trTest);
    receive("\x05");
    EXPECT_EQ(form->ui->lbErr->text(), "2");

    form->btTestClrClick(nullptr);
    EXPECT_EQ(form->ui->lbCikl->text(), "0");
    EXPECT_EQ(form->ui->lbErr->text(), "0");
    EXPECT_TRUE(form->ui->lbIn->text().isEmpty());
    EXPECT_TRUE(form->ui->lbOut->text().isEmpty());
    EXPECT_EQ(form->TestCode, 2) << "the test goes on from where it was";
    while (form->TestCode != 0xFF)
        receive(std::string(1, static_cast<char>(form->TestCode)));
    EXPECT_EQ(form->ui->lbCikl->text(), "0");
    receive("\xFF");
    EXPECT_EQ(form->ui->lbCikl->text(), "1");
    EXPECT_EQ(form->ui->lbErr->text(), "0");

    // A restart after errors shows the old count until the next error, which reads 1.
    form->trTestTimer(form->trTest);
    form->trTestTimer(form->trTest);
    form->btStopClick(nullptr);
    expectState(kIdle, "stopped");
    form->btTestClick(nullptr);
    EXPECT_EQ(form->ui->lbErr->text(), "2");
    form->trTestTimer(form->trTest);
    EXPECT_EQ(form->ui->lbErr->text(), "1");
    EXPECT_EQ(form->TestErrors, 1);
}

// The test goes on counting after a disconnect, with one box for the run however many codes cannot go;
// a connect ends it, its time-out included.
TEST_F(LineTests, DisconnectDuringTestShowsOneBoxAndConnectEndsTheTest) {
    connectPort();
    form->btTestClick(nullptr);
    form->btCOMoffClick(nullptr);
    expectState({false, " Тест ", mdTest, false, true}, "disconnect changes nothing");

    bool timerWhileBox = true;
    boxes.setWhileOpen([&](const msgbox::RecordedBox&) { timerWhileBox = form->trTest->isActive(); });
    for (int i = 0; i < 3; ++i)
        form->trTestTimer(form->trTest);
    EXPECT_FALSE(timerWhileBox) << "the next time-out counts from when the box was closed";
    EXPECT_EQ(boxTexts(), std::vector<QString>{u(kNoLink)});
    EXPECT_EQ(form->TestErrors, 3);
    EXPECT_TRUE(form->trTest->isActive());

    boxes.setWhileOpen({});
    form->btCOMonClick(nullptr);
    expectState(kIdle, "connect ends the test, time-out included");
    receive("\x03");
    EXPECT_EQ(form->TestErrors, 3) << "no comparison in idle";
    EXPECT_EQ(dev.output().size(), 1u) << "only the code sent before the disconnect";
}

// One failure, one box: a run ends at its first failed write and stays stopped by failure until Stop;
// nothing goes out after it, not even when the line takes data again while the box is up.
TEST_F(LineTests, ARunEndsAtItsFirstFailedWriteWithOneBox) {
    struct Case {
        const char* name;
        void (TForm1::*start)(QObject*);
        PageState after;
    };
    const Case cases[] = {
        {"sequence", &TForm1::btPosClick, {false, "Последовательность. ", mdSequence, true, false}},
        {"array", &TForm1::btMassStartClick, {false, " Массив ", mdArray, true, false}},
        {"stub", &TForm1::btZagClick, {false, " Заглушка ", mdIdle, false, false}},
    };
    platform::FakeClock clock;
    clock.setStepPerRead(100); // a refused write gives up at once
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        connectPort();
        boxes.clear();
        writes = 0;
        onWrite.clear();
        failAfter = 3;
        afterWrite(20, [&] { form->btStopClick(nullptr); }); // ends a run that would not end by itself
        boxes.setWhileOpen([&](const msgbox::RecordedBox&) {
            dev.clearFailures();
            receive("xyz");
        });
        form->ui->edMass->setText("1000");
        ((*form).*c.start)(nullptr);
        if (c.start == &TForm1::btZagClick)
            receive("ABCDEFGH");
        ASSERT_EQ(boxes.boxes().size(), 1u);
        EXPECT_EQ(boxes.boxes()[0].caption, "Warning");
        EXPECT_EQ(dev.output().size(), 3u);
        if (c.start == &TForm1::btMassStartClick) {
            EXPECT_EQ(form->ui->edMassN->text(), "3") << "the last byte that went";
        }
        expectState(c.after, "stopped by failure");
        form->btStopClick(nullptr);
        expectState(kIdle, "Stop");
        boxes.setWhileOpen({});
        failAfter = -1;
    }
}

// ---- stub ----

TEST_F(LineTests, StubEchoesEveryByteLogsWhenAskedAndStopsEchoingAfterStop) {
    for (bool log : {true, false}) {
        SCOPED_TRACE(log);
        connectPort();
        form->ui->mmZag->clear();
        form->ui->cbZag->setChecked(log);
        form->btZagClick(nullptr);
        expectState({false, " Заглушка ", mdStub, false, false}, "stub");
        receive(std::string("\x41\x00\xFF", 3));
        EXPECT_EQ(out(), (std::vector<int>{0x41, 0x00, 0xFF}));
        EXPECT_EQ(form->ui->mmZag->toPlainText(), log ? "41\n00\nFF" : "");
        form->btStopClick(nullptr);
        receive("\x42");
        EXPECT_EQ(dev.output().size(), 3u);
    }
}

// ---- sequence ----

TEST_F(LineTests, SequenceSendsTheLowByteOfTheTypedCodeUntilStop) {
    const std::tuple<const char*, const char*, int> cases[] = {
        {"55", "55H", 0x55}, {"1FF", "FFH", 0xFF}, {"", "00H", 0}};
    for (const auto& [text, shown, code] : cases) {
        SCOPED_TRACE(text);
        connectPort();
        writes = 0;
        onWrite.clear();
        std::optional<PageState> during;
        afterWrite(3, [&] { during = state(); });
        afterWrite(20, [&] { form->btStopClick(nullptr); });
        form->ui->edPos->setText(text);
        form->btPosClick(nullptr);
        ASSERT_TRUE(during);
        EXPECT_EQ(during->title, "Последовательность. ");
        EXPECT_EQ(during->mode, mdSequence);
        EXPECT_TRUE(during->loopRunning);
        EXPECT_FALSE(during->startsEnabled);
        EXPECT_EQ(form->ui->lbPos->text(), shown);
        EXPECT_EQ(out(), std::vector<int>(20, code)) << "Stop ends it before a further byte";
        // One input flush after every byte.
        std::size_t inputFlushes = 0;
        for (const auto& call : dev.callsOf(FakeOp::PurgeComm))
            inputFlushes += call.purgeFlags == (PURGE_RXABORT | PURGE_RXCLEAR);
        EXPECT_EQ(inputFlushes, 20u);
        expectState(kIdle, "after Stop");
    }
    EXPECT_TRUE(boxes.boxes().empty());
}

// ---- array ----

TEST_F(LineTests, ArrayShowsNumberCodeAndEndAroundSumOfEveryByte) {
    connectPort();
    std::map<int, std::tuple<int, QString, int>> shown;
    dev.onCall = [&](const platform::FakeCall& c) {
        if (c.op == FakeOp::PurgeComm && c.purgeFlags == (PURGE_RXABORT | PURGE_RXCLEAR)) {
            const int n = form->ui->edMassN->text().toInt();
            shown[n] = {n, form->ui->edMassC->text(), form->ui->edMassS->text().toInt()};
        }
    };
    form->ui->edMass->setText("258");
    form->btMassStartClick(nullptr);
    const std::tuple<int, QString, int> want[] = {
        {1, "00", 0},   {2, "01", 1},     {3, "02", 3},     {23, "16", 253},  {24, "17", 21},
        {254, "FD", 1}, {255, "FE", 255}, {256, "FF", 255}, {257, "00", 255}, {258, "01", 1}};
    for (const auto& w : want)
        EXPECT_EQ(shown[std::get<0>(w)], w) << std::get<0>(w);
    ASSERT_EQ(dev.output().size(), 258u);
    for (int k = 0; k < 258; ++k)
        ASSERT_EQ(dev.output()[k], k % 256);
    expectState({true, "  ", mdArray, false, false}, "a finished run is idle in array mode");
    EXPECT_TRUE(boxes.boxes().empty());
}

TEST_F(LineTests, ArraySizeIsValidatedAfterTheFlush) {
    struct Case {
        const char* text;
        std::size_t bytes; // sent before the Stop after 10 bytes
        const char* box;   // nullptr: none
        const char* caption;
        int icon;
    };
    const Case cases[] = {
        {"-5", 1, nullptr, nullptr, 0},
        {"1", 1, nullptr, nullptr, 0},
        {"100000", 10, nullptr, nullptr, 0},
        {"abc", 0, "'abc' is not a valid integer value.", "comlab", msgbox::IconError},
        {"99999999999", 0, "'99999999999' is not a valid integer value.", "comlab", msgbox::IconError},
        {"100001", 0, kSizeBox, "Внимание", msgbox::IconInformation},
        {"", 0, kSizeBox, "Внимание", msgbox::IconInformation},
        {"0", 0, kSizeBox, "Внимание", msgbox::IconInformation},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        connectPort();
        boxes.clear();
        writes = 0;
        onWrite.clear();
        afterWrite(10, [&] { form->btStopClick(nullptr); });
        form->ui->edMass->setText(u(c.text));
        form->btMassStartClick(nullptr);
        EXPECT_EQ(dev.output().size(), c.bytes);
        ASSERT_GE(dev.count(FakeOp::PurgeComm), 1u);
        EXPECT_EQ(dev.callsOf(FakeOp::PurgeComm).front().purgeFlags,
                  PURGE_TXABORT | PURGE_TXCLEAR | PURGE_RXABORT | PURGE_RXCLEAR);
        if (c.box) {
            ASSERT_EQ(boxes.boxes().size(), 1u);
            EXPECT_EQ(boxes.boxes()[0].text, u(c.box));
            EXPECT_EQ(boxes.boxes()[0].caption, u(c.caption));
            EXPECT_EQ(boxes.boxes()[0].icon, c.icon);
            expectState(kIdle, "a refused size starts nothing");
        } else {
            EXPECT_TRUE(boxes.boxes().empty());
            EXPECT_EQ(form->ui->edMassN->text(), QString::number(c.bytes));
            EXPECT_TRUE(form->ui->btStop->isEnabled() == false);
        }
    }
}

// ---- starts and failures ----

TEST_F(LineTests, EveryStartWithThePortClosedShowsOnlyTheFlushBox) {
    form->ui->edMass->setText("abc");
    const std::pair<const char*, void (TForm1::*)(QObject*)> starts[] = {
        {"test", &TForm1::btTestClick},
        {"stub", &TForm1::btZagClick},
        {"sequence", &TForm1::btPosClick},
        {"array", &TForm1::btMassStartClick}};
    dev.removeDevice("\\\\.\\COM1");
    form->btCOMonClick(nullptr); // the connect fails and leaves the page idle
    ASSERT_FALSE(form->CPDrv->IsOpen());
    for (const auto& [name, start] : starts) {
        SCOPED_TRACE(name);
        boxes.clear();
        ((*form).*start)(nullptr);
        EXPECT_EQ(boxTexts(), std::vector<QString>{u(kFlushBoth)});
        EXPECT_EQ(boxes.boxes()[0].caption, u("Внимание"));
        EXPECT_EQ(boxes.boxes()[0].icon, msgbox::IconInformation);
        expectState(kIdle, "nothing started");
    }
    EXPECT_TRUE(dev.output().empty());
}

TEST_F(LineTests, DisconnectInsideALoopLeavesItStoppedByFailureUntilStop) {
    const std::tuple<const char*, void (TForm1::*)(QObject*), const char*, TWorkMode, const char*> cases[] = {
        {"sequence", &TForm1::btPosClick, "Последовательность. ", mdSequence, kNotConnected},
        {"array", &TForm1::btMassStartClick, " Массив ", mdArray, kFlushIn}};
    for (const auto& [name, start, title, mode, box] : cases) {
        SCOPED_TRACE(name);
        connectPort();
        boxes.clear();
        writes = 0;
        onWrite.clear();
        form->ui->edMass->setText("1000");
        afterWrite(5, [&] { form->btCOMoffClick(nullptr); });
        ((*form).*start)(nullptr);
        EXPECT_EQ(dev.output().size(), 5u);
        EXPECT_EQ(boxTexts(), std::vector<QString>{u(box)});
        expectState({false, u(title), mode, true, false}, "stopped by failure");
        form->btStopClick(nullptr);
        expectState(kIdle, "Stop");
    }
}

TEST_F(LineTests, ConnectInsideAnArrayEndsItAsIdle) {
    connectPort();
    form->ui->edMass->setText("1000");
    afterWrite(5, [&] {
        form->btCOMoffClick(nullptr);
        form->btCOMonClick(nullptr);
    });
    form->btMassStartClick(nullptr);
    EXPECT_EQ(dev.output().size(), 5u);
    EXPECT_TRUE(boxes.boxes().empty());
    expectState(kIdle, "connect returns the page to idle");
}

// A start clicked in the event processing of a loop that Stop has just ended runs nested in it; the
// old loop then ends without touching the page that the new run owns.
TEST_F(LineTests, StartNestedInAStoppedLoopOwnsThePage) {
    struct Case {
        const char* name;
        void (TForm1::*outer)(QObject*);
        void (TForm1::*inner)(QObject*);
        PageState after;
    };
    const Case cases[] = {
        {"sequence in sequence", &TForm1::btPosClick, &TForm1::btPosClick, kIdle},
        {"array in array",
         &TForm1::btMassStartClick,
         &TForm1::btMassStartClick,
         {true, "  ", mdArray, false, false}},
        {"test in array",
         &TForm1::btMassStartClick,
         &TForm1::btTestClick,
         {false, " Тест ", mdTest, false, true}},
        {"stub in sequence",
         &TForm1::btPosClick,
         &TForm1::btZagClick,
         {false, " Заглушка ", mdStub, false, false}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        connectPort();
        form->btStopClick(nullptr);
        writes = 0;
        onWrite.clear();
        form->ui->edMass->setText("20");
        form->ui->edPos->setText("55");
        std::size_t innerStart = 0;
        afterWrite(5, [&] {
            form->btStopClick(nullptr);
            form->ui->edPos->setText("AA");
            innerStart = dev.output().size();
            ((*form).*c.inner)(nullptr);
        });
        afterWrite(12, [&] {
            if (c.inner == &TForm1::btPosClick) // the nested sequence runs until stopped
                form->btStopClick(nullptr);
        });
        ((*form).*c.outer)(nullptr);
        expectState(c.after, "after the outer loop unwound");
        EXPECT_EQ(innerStart, 5u);
        // Nothing of the old run follows the new one's bytes.
        if (c.inner == &TForm1::btPosClick) {
            std::vector<int> want(5, 0x55);
            want.resize(12, 0xAA);
            EXPECT_EQ(out(), want);
        }
        if (c.inner == &TForm1::btMassStartClick) {
            ASSERT_EQ(dev.output().size(), 25u);
            EXPECT_EQ(dev.output().back(), 19);
        }
        if (c.inner == &TForm1::btTestClick) {
            EXPECT_EQ(dev.output().back(), 0) << "the test's first code went out last";
        }
        if (c.inner == &TForm1::btZagClick) {
            EXPECT_EQ(dev.output().size(), 5u);
        }
        form->btStopClick(nullptr);
    }
}

// ---- the window closing or going away under a running loop ----

TEST_F(LineTests, ClosingTheWindowEndsALoopQuietlyAndClosesThePort) {
    for (auto start : {&TForm1::btPosClick, &TForm1::btMassStartClick}) {
        SetUp(); // a fresh window each time: a closed one stays closing
        connectPort();
        form->ui->edMass->setText("1000");
        afterWrite(5, [&] { form->close(); });
        ((*form).*start)(nullptr);
        EXPECT_FALSE(form->CPDrv->IsOpen());
        EXPECT_FALSE(dev.isOpen());
        EXPECT_EQ(dev.output().size(), 5u);
        EXPECT_TRUE(boxes.boxes().empty()) << "no box once the window is closing";
        writes = 0;
        onWrite.clear();
    }
}

TEST_F(LineTests, ClosingTheWindowWhileABoxIsUpShowsNoFurtherBox) {
    platform::FakeClock clock;
    clock.setStepPerRead(100); // a refused write gives up at once
    connectPort();
    dev.setFailure(FakeOp::WriteFile);
    boxes.setWhileOpen([&](const msgbox::RecordedBox&) { form->close(); });
    form->btPosClick(nullptr);
    ASSERT_EQ(boxes.boxes().size(), 1u);
    EXPECT_EQ(boxes.boxes()[0].caption, "Warning");
    EXPECT_FALSE(dev.isOpen());

    // The loopback time-out after the close neither counts nor sends nor boxes.
    boxes.clear();
    form->trTest->start();
    form->trTestTimer(form->trTest);
    EXPECT_FALSE(form->trTest->isActive());
    EXPECT_TRUE(boxes.boxes().empty());
}

TEST_F(LineTests, WindowDestroyedInsideTheLoopIsNeverTouchedAgain) {
    for (auto start : {&TForm1::btPosClick, &TForm1::btMassStartClick}) {
        SetUp();
        connectPort();
        form->ui->edMass->setText("1000");
        afterWrite(5, [&] {
            form->close();
            form.reset();
        });
        TForm1* raw = form.get();
        (raw->*start)(nullptr); // under ASan: any access after the reset is reported
        EXPECT_FALSE(form);
        EXPECT_FALSE(dev.isOpen());
        writes = 0;
        onWrite.clear();
    }
}

TEST_F(LineTests, ApplicationQuitEndsARunningSequence) {
    connectPort();
    bool rescued = false;
    QTimer::singleShot(0, form.get(), [&] { form->btPosClick(nullptr); });
    afterWrite(5, [] { QCoreApplication::quit(); });
    // Should the loop ignore the quit, this ends it so the test fails instead of hanging.
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [&] {
        rescued = true;
        form->btStopClick(nullptr);
        QCoreApplication::exit(1);
    });
    watchdog.start(20000);
    QApplication::exec();
    EXPECT_FALSE(rescued);
    EXPECT_TRUE(form->Closing());
    EXPECT_FALSE(dev.isOpen());
}

// ---- the memos ----

TEST_F(LineTests, MemosWrapALongLineAtTheirWidth) {
    form->ui->tnMain->setCurrentWidget(form->ui->TabSheet2);
    QApplication::processEvents();
    const QString line(300, QLatin1Char('7'));
    for (ExchangeLog* memo : {form->ui->mmOut, form->ui->mmIn, form->ui->mmZag}) {
        SCOPED_TRACE(memo->objectName().toStdString());
        memo->setFocus();
        QTest::keyClicks(memo, line);
        QApplication::processEvents();
        const QRect first = memo->characterRect(0), last = memo->characterRect(line.size() - 1);
        EXPECT_EQ(memo->horizontalScrollBar()->maximum(), 0);
        EXPECT_GT(last.top(), first.top());
        EXPECT_TRUE(memo->viewport()->rect().contains(last)) << "the end of what was typed shows";
    }
}

// ---- clear buttons and key filters ----

TEST_F(LineTests, ClearButtonsAndKeyFilters) {
    form->ui->mmOut->appendPlainText("00");
    form->ui->mmIn->appendPlainText("00");
    form->ui->mmZag->appendPlainText("00");
    form->ui->edMassC->setText("01");
    form->ui->edMassN->setText("2");
    form->ui->edMassS->setText("1");
    form->btOutClrClick(nullptr);
    form->btInClrClick(nullptr);
    form->btmmZagClrClick(nullptr);
    form->btMassClrClick(nullptr);
    for (auto* m : {form->ui->mmOut, form->ui->mmIn, form->ui->mmZag})
        EXPECT_TRUE(m->toPlainText().isEmpty());
    for (auto* e : {form->ui->edMassC, form->ui->edMassN, form->ui->edMassS})
        EXPECT_TRUE(e->text().isEmpty());

    const std::tuple<QLineEdit*, const char*, const char*> typed[] = {{form->ui->edPos, "a1g-f 9", "A1F9"},
                                                                      {form->ui->edMass, "12a-3 4.", "1234"}};
    for (const auto& [edit, keys, want] : typed) {
        edit->clear();
        edit->setFocus();
        QTest::keyClicks(edit, keys);
        EXPECT_EQ(edit->text(), want);
    }
}

} // namespace
