// SPDX-License-Identifier: GPL-3.0-or-later
// The exchange page of the window on a fake device: lines decoded, echoed and sent; received blocks
// shown and counted; the boxes of an empty line, a closed port and a port lost in the middle of a line.
#include "Cp1251.h"
#include "MessageBox.h"
#include "Unit1.h"
#include "platform/fake_comm.h"
#include "ui_Unit1.h"

#include <QElapsedTimer>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

QString u(const char* s) {
    return QString::fromUtf8(s);
}

const char* const kNoPort = "Нет соединения с COM-портом.";
const char* const kEmptyLine = "Пустая строка на вывод.";

class ExchangePage : public ::testing::Test {
protected:
    void SetUp() override {
        comm.addDevice("\\\\.\\COM1");
        form = std::make_unique<TForm1>();
    }

    Ui::Form1& ui() { return *form->ui; }

    void connectPort() {
        form->btCOMonClick(ui().btCOMon);
        ASSERT_TRUE(form->CPDrv->IsOpen());
        ASSERT_EQ(form->WorkMode, mdIdle);
        boxes.clear();
        comm.clearOutput();
    }

    void send(const QString& line, bool hex, bool decorated = false) {
        ui().rbOutHex->setChecked(hex);
        ui().rbOutSym->setChecked(!hex);
        ui().cbOutHexSym->setChecked(hex && decorated);
        ui().cbOutSymHex->setChecked(!hex && decorated);
        ui().edCOMout->setText(line);
        form->btOutCOMClick(ui().btOutCOM);
    }

    void receive(const Bytes& block) {
        form->ReceiveDispatch(block.data(), static_cast<DWORD>(block.size()));
    }

    void receiveForm(bool hex, bool decorated) {
        ui().rbCOMinHex->setChecked(hex);
        ui().rbCOMinSym->setChecked(!hex);
        ui().cbInHexSym->setChecked(hex && decorated);
        ui().cbInSymHex->setChecked(!hex && decorated);
    }

    QString log() { return ui().mmCOMin->text(); }

    std::vector<QString> boxTexts() const {
        std::vector<QString> out;
        for (const auto& b : boxes.boxes())
            out.push_back(b.text);
        return out;
    }

    platform::FakeComm comm;
    platform::ScopedCommDevice device{comm};
    msgbox::MessageBoxRecorder boxes;
    std::unique_ptr<TForm1> form;
};

struct LineCase {
    const char* line;
    bool hex;
    bool decorated;
    Bytes bytes;
    const char* echo;
};

TEST_F(ExchangePage, LinesAreDecodedEchoedAndSent) {
    const LineCase cases[] = {
        {"1 2 3", true, false, {0x01, 0x02, 0x03}, "> 01 02 03  < "},
        {"  12   AB ", true, false, {0x12, 0xAB}, "> 12 AB  < "},
        {"123", true, false, {0x23}, "> 23  < "},
        {"ABCDEF", true, false, {0xEF}, "> EF  < "},
        {"ff", true, false, {0xFF}, "> FF  < "},
        {"41 20 0D", true, true, {0x41, 0x20, 0x0D}, "> 41(A) 20(.) 0D(.)  < "},
        {"21 FF 00", true, true, {0x21, 0xFF, 0x00}, "> 21(!) FF(я) 00(.)  < "},
        {"   ", true, false, {}, ">  < "},
        {"AB", false, false, {0x41, 0x42}, "> AB < "},
        {"AB", false, true, {0x41, 0x42}, "> A(41)B(42) < "},
        {"Жж", false, false, {0xC6, 0xE6}, "> Жж < "},
        {"a✓b", false, false, {0x61, 0x3F, 0x62}, "> a?b < "},
        {"x\\00y", false, false, {0x78, 0x00, 0x79}, "> x\u2400y < "},
        {"\\\\", false, false, {0x5C}, "> \\ < "},
        {"\\\\41", false, false, {0x5C, 0x34, 0x31}, "> \\41 < "},
        {"x\\", false, false, {0x78}, "> x < "},
        {"x\\4", false, false, {0x78}, "> x < "},
        {"\\", false, false, {}, ">  < "},
        {"\\ff\\FF", false, true, {0xFF, 0xFF}, "> я(FF)я(FF) < "},
    };
    connectPort();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        ui().mmCOMin->clearLog();
        comm.clearOutput();
        send(u(c.line), c.hex, c.decorated);
        EXPECT_EQ(comm.output(), c.bytes);
        EXPECT_EQ(log(), u(c.echo) + u'\n');
        EXPECT_EQ(ui().edCOMout->text(), u(c.line)); // the line stays for the next press
        EXPECT_TRUE(boxes.boxes().empty());
    }
}

TEST_F(ExchangePage, LineBreaksOfASentLineShowInItsEcho) {
    connectPort();
    send(u("A\\0D\\0A"), false);
    EXPECT_EQ(comm.output(), (Bytes{0x41, 0x0D, 0x0A}));
    EXPECT_EQ(log(), u("> A\n < \n"));
}

TEST_F(ExchangePage, EchoStartsANewLineAndLeavesItOpenAfterText) {
    struct Case {
        const char* before;
        const char* after;
    } cases[] = {
        {"", "> 41  < \nxy"},
        {"abc\n", "abc\n> 41  < \nxy"},
        {"abc", "abc\n> 41  < xy"},
    };
    connectPort();
    receiveForm(false, false);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.before);
        ui().mmCOMin->setText(u(c.before));
        send(u("41"), true);
        receive({'x', 'y'});
        EXPECT_EQ(log(), u(c.after));
    }
}

TEST_F(ExchangePage, ClosedPortEchoesThenSaysSoOnce) {
    send(u("AB"), false);
    EXPECT_EQ(log(), u("> AB < \n"));
    ASSERT_EQ(boxes.boxes().size(), 1u);
    EXPECT_EQ(boxes.boxes()[0].text, u(kNoPort));
    EXPECT_EQ(boxes.boxes()[0].caption, u("Внимание"));
    EXPECT_EQ(boxes.boxes()[0].icon, msgbox::IconInformation);
    EXPECT_EQ(comm.count(platform::FakeOp::WriteFile), 0u);
    EXPECT_EQ(form->WorkMode, mdExchange);
}

TEST_F(ExchangePage, EmptyLineIsRefusedButSwitchesToExchange) {
    connectPort();
    receive({'a'});
    EXPECT_EQ(log(), QString());
    send(QString(), false);
    ASSERT_EQ(boxes.boxes().size(), 1u);
    EXPECT_EQ(boxes.boxes()[0].text, u(kEmptyLine));
    EXPECT_EQ(boxes.boxes()[0].caption, u("Внимание"));
    EXPECT_EQ(boxes.boxes()[0].icon, msgbox::IconInformation);
    EXPECT_EQ(form->WorkMode, mdExchange);
    EXPECT_EQ(log(), QString());
    EXPECT_TRUE(comm.output().empty());
    receive({'b'});
    EXPECT_EQ(log(), u("b"));
}

TEST_F(ExchangePage, ReceivedBlocksInBothFormsAndDecorations) {
    struct Case {
        bool hex;
        bool decorated;
        Bytes block;
        const char* shown;
    } cases[] = {
        {false, false, {0x41, 0x42}, "AB"},
        {false, true, {0x41, 0x42}, "A(41)B(42)"},
        {false, false, {0x00, 0xC6}, "\u2400Ж"},
        {false, true, {0x00}, "\u2400(00)"},
        {true, false, {0x41, 0x0D}, "41 0D "},
        {true, true, {0x41, 0x0D}, "41(A) 0D(.) "},
        {true, true, {0x20, 0x21, 0x00, 0xE6}, "20(.) 21(!) 00(.) E6(ж) "},
    };
    connectPort();
    send(u(""), false); // switches to the exchange; nothing echoed
    for (const auto& c : cases) {
        SCOPED_TRACE(c.shown);
        ui().mmCOMin->setText(u("log:"));
        receiveForm(c.hex, c.decorated);
        receive(c.block);
        EXPECT_EQ(log(), u("log:") + u(c.shown));
    }
}

TEST_F(ExchangePage, EveryByteValueIsShownWhole) {
    Bytes all(256);
    for (int i = 0; i < 256; ++i)
        all[i] = static_cast<std::uint8_t>(i);
    QString hex;
    for (int i = 0; i < 256; ++i)
        hex += QString::asprintf("%02X ", i);
    // Character form: the code page, with 0 made visible and CR, LF each a line break of the log.
    QString chars = Cp1251ToString(all.data(), all.size());
    chars[0] = QChar(0x2400);
    chars.replace(u'\r', u'\n');

    connectPort();
    send(u(""), false);
    for (bool asHex : {true, false}) {
        ui().mmCOMin->clearLog();
        receiveForm(asHex, false);
        receive(all);
        EXPECT_EQ(log(), asHex ? hex : chars);
    }
}

TEST_F(ExchangePage, CountingAddsBlocksOnlyWhileTicked) {
    connectPort();
    send(u(""), false);
    const Bytes three(3, 'a'), many(300, 'b');

    ui().cbCountOn->setChecked(true);
    receive(three);
    receive(many);
    EXPECT_EQ(ui().lbCount->text(), u("303"));
    EXPECT_EQ(log().size(), 303);

    ui().cbCountOn->setChecked(false);
    receive(many);
    EXPECT_EQ(ui().lbCount->text(), u("303"));
    EXPECT_EQ(form->RxByteCount, 303);

    form->btCOMinClrClick(ui().btCOMinClr);
    EXPECT_EQ(log(), QString());
    EXPECT_EQ(form->RxByteCount, 303);

    form->btCountClrClick(ui().btCountClr);
    EXPECT_EQ(ui().lbCount->text(), u("0"));
    ui().cbCountOn->setChecked(true);
    receive(three);
    EXPECT_EQ(ui().lbCount->text(), u("3"));

    // Outside the exchange nothing is shown or counted.
    form->WorkMode = mdIdle;
    receive(many);
    EXPECT_EQ(ui().lbCount->text(), u("3"));
}

TEST_F(ExchangePage, SpecialCharactersAreAppendedAtTheEnd) {
    struct Case {
        int index;
        const char* appended;
    } cases[] = {{13, "\\0D"}, {0, "\\00"}, {31, "\\1F"}, {32, "\\\\"}, {33, "\\FF"}, {-1, "\\00"}};
    for (bool hex : {false, true}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(c.index);
            ui().rbOutHex->setChecked(hex);
            ui().rbOutSym->setChecked(!hex);
            ui().edCOMout->setText(u("ab"));
            ui().edCOMout->setCursorPosition(0);
            ui().cbSpecS->setCurrentIndex(c.index);
            form->btWriteClick(ui().btWrite);
            EXPECT_EQ(ui().edCOMout->text(), u("ab") + u(c.appended));
        }
    }
}

TEST_F(ExchangePage, SpecialCharacterEscapesDecodeToTheirByte) {
    connectPort();
    ui().edCOMout->clear();
    for (int index : {13, 32, 33, -1}) {
        ui().cbSpecS->setCurrentIndex(index);
        form->btWriteClick(ui().btWrite);
    }
    form->btOutCOMClick(ui().btOutCOM);
    EXPECT_EQ(comm.output(), (Bytes{0x0D, 0x5C, 0xFF, 0x00}));
}

TEST_F(ExchangePage, HexModeFiltersTypedKeys) {
    form->show();
    ui().edCOMout->setFocus();
    struct Case {
        bool hex;
        const char* expected;
    } cases[] = {{true, "B1 A"}, {false, "g,b1 a"}};
    for (const auto& c : cases) {
        ui().rbOutHex->setChecked(c.hex);
        ui().rbOutSym->setChecked(!c.hex);
        ui().edCOMout->clear();
        for (char k : {'g', ',', 'b', '1', ' ', 'a'})
            QTest::keyClicks(ui().edCOMout, QString(QChar(k)));
        QTest::keyClick(ui().edCOMout, Qt::Key_Return);
        EXPECT_EQ(ui().edCOMout->text(), u(c.expected));
    }
    // Pasted text is not filtered.
    ui().rbOutHex->setChecked(true);
    ui().edCOMout->clear();
    ui().edCOMout->insert(u("g,"));
    EXPECT_EQ(ui().edCOMout->text(), u("g,"));
}

TEST_F(ExchangePage, LongPastedLinesAreSentWhole) {
    constexpr int kChars = 100000;
    connectPort();

    QString sym;
    Bytes symBytes;
    for (int i = 0; i < kChars; ++i) {
        const char c = static_cast<char>('A' + i % 26);
        sym += QChar(c);
        symBytes.push_back(static_cast<std::uint8_t>(c));
    }
    QString hex;
    Bytes hexBytes;
    for (int i = 0; hex.size() + 3 <= kChars; ++i) {
        hex += QString::asprintf("%02X ", i & 0xFF);
        hexBytes.push_back(static_cast<std::uint8_t>(i));
    }

    send(sym, false);
    EXPECT_EQ(comm.output(), symBytes);
    EXPECT_EQ(log(), u("> ") + sym + u(" < \n"));

    comm.clearOutput();
    ui().mmCOMin->clearLog();
    send(hex, true);
    EXPECT_EQ(comm.output(), hexBytes);
    EXPECT_EQ(log(), u("> ") + hex + u(" < \n"));
    EXPECT_TRUE(boxes.boxes().empty());
}

// A failed write raises a box whose nested loop goes on delivering received data; the line ends at that
// write, whatever the nested handlers left behind, and the data shows after the echo.
TEST_F(ExchangePage, DataReceivedWhileAFailureIsShownDoesNotDisturbTheLine) {
    platform::FakeClock clock;
    clock.setStepPerRead(100); // a failing write gives up at once
    connectPort();
    receiveForm(false, false);

    int writes = 0;
    comm.onCall = [&](const platform::FakeCall& call) {
        if (call.op == platform::FakeOp::WriteFile && call.done == 1 && ++writes == 1)
            comm.setFailure(platform::FakeOp::WriteFile); // the second byte fails
    };
    boxes.setWhileOpen([&](const msgbox::RecordedBox&) {
        comm.clearFailures();
        form->TxBuffer.assign(5, 0xEE); // whatever a nested handler leaves behind
        comm.pushInput("xyz");
        QElapsedTimer t;
        t.start();
        while (!log().endsWith(u("xyz")) && t.elapsed() < 10000)
            QTest::qWait(10);
    });
    send(u("ABC"), false);

    EXPECT_EQ(comm.output(), (Bytes{'A'}));
    EXPECT_EQ(log(), u("> ABC < \nxyz"));
    ASSERT_EQ(boxes.boxes().size(), 1u);
    EXPECT_EQ(boxes.boxes()[0].caption, u("Warning"));
}

TEST_F(ExchangePage, LineEndsAtItsFirstFailedWriteWithOneBox) {
    platform::FakeClock clock;
    clock.setStepPerRead(100);
    connectPort();
    comm.setFailure(platform::FakeOp::WriteFile);
    boxes.setWhileOpen([&](const msgbox::RecordedBox& box) {
        if (box.caption == u("Warning"))
            form->btCOMoffClick(ui().btCOMoff);
    });
    send(u("ABCD"), false);

    EXPECT_FALSE(form->CPDrv->IsOpen());
    ASSERT_EQ(boxTexts().size(), 1u) << "the port closing under the box adds none";
    EXPECT_EQ(boxes.boxes()[0].caption, u("Warning"));
    EXPECT_TRUE(comm.output().empty());
    EXPECT_EQ(log(), u("> ABCD < \n"));
}

} // namespace
