// SPDX-License-Identifier: GPL-3.0-or-later
// Line settings on a 16550A under the kernel's 8250 driver, through the window: every format, rate and
// flow control the panel offers is taken and read back from the device, or refused with the connect
// box; the state report tells what the port holds; a refused record leaves the port as it was.
#include "uart_guest.h"

#include <array>

namespace {

using namespace comlab::uart;

QString u(const char* s) {
    return QString::fromUtf8(s);
}

using UartSettings = UartWindowTest;

TEST_F(UartSettings, EveryFormatIsTakenAndReadBackOrRefusedWithTheConnectBox) {
    static constexpr tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    static constexpr tcflag_t parities[] = {0, PARENB | PARODD, PARENB, PARENB | PARODD | CMSPAR,
                                            PARENB | CMSPAR};
    static const char* const parityText[] = {"N", "O", "E", "M", "S"};
    static const char* const stopText[] = {"1", "1.5", "2"};
    DeviceView view(loopDevice());
    ASSERT_TRUE(view.ok());
    for (int bits = 0; bits < 4; ++bits)
        for (int parity = 0; parity < 5; ++parity)
            for (int stop = 0; stop < 3; ++stop) {
                const std::string name = std::to_string(bits + 5) + parityText[parity] + stopText[stop];
                SCOPED_TRACE(name);
                boxes.clear();
                // A UART sends 1.5 stop bits only with 5 data bits, and with 5 data bits no 2.
                const bool possible = stop == 0 || (stop == 1) == (bits == 0);
                const bool open = connectWith({.bits = bits, .parity = parity, .stop = stop});
                ASSERT_EQ(open, possible);
                if (!open) {
                    expectConnectBox();
                    continue;
                }
                EXPECT_TRUE(boxes.boxes().empty());
                const termios t = view.settings();
                EXPECT_EQ(t.c_cflag & CSIZE, sizes[bits]);
                EXPECT_EQ(t.c_cflag & (PARENB | PARODD | CMSPAR), parities[parity]);
                EXPECT_EQ((t.c_cflag & CSTOPB) != 0, stop != 0);
                EXPECT_EQ(view.rate(), 9600u);
                EXPECT_EQ(stateReport().value(1),
                          QString::fromStdString("9600," + std::to_string(bits + 5) + "," +
                                                 parityText[parity] + "," + stopText[stop]));
                disconnect();
            }
}

TEST_F(UartSettings, EveryRateOfTheListAndCustomRatesAreTakenOrCaughtOnReadBack) {
    struct Case {
        int item;         // of the list, or -1 for a custom rate
        const char* text; // the custom rate typed
        unsigned rate;    // what the device must then hold; 0: refused
    };
    // 128000 and 256000 are past the top rate of a UART clocked at 1.8432 MHz (115200): the driver
    // keeps the old rate without a word, and only the read-back tells. (56000 is taken and reads back
    // as asked, though the nearest divisor gives 57600: no read-back can see that.)
    const Case cases[] = {
        {0, "", 110},    {1, "", 300},         {2, "", 600},       {3, "", 1200},     {4, "", 2400},
        {5, "", 4800},   {6, "", 9600},        {7, "", 14400},     {8, "", 19200},    {9, "", 38400},
        {10, "", 56000}, {11, "", 57600},      {12, "", 115200},   {13, "", 0},       {14, "", 0},
        {15, "", 31200}, {-1, "31250", 31250}, {-1, "1000", 1000}, {-1, "256000", 0},
    };
    DeviceView view(loopDevice());
    ASSERT_TRUE(view.ok());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.item >= 0 ? ui().cbBOD->itemText(c.item).toStdString() : std::string(c.text));
        boxes.clear();
        const bool open = connectWith({.rate = c.item >= 0 ? c.item : 6, .custom = u(c.text)});
        ASSERT_EQ(open, c.rate != 0);
        if (!open) {
            expectConnectBox();
            continue;
        }
        EXPECT_EQ(view.rate(), c.rate);
        EXPECT_EQ(stateReport().value(1), QString::number(c.rate) + ",8,N,1");
        disconnect();
    }
}

TEST_F(UartSettings, EveryFlowControlIsAppliedAndReadBack) {
    struct Case {
        int item;
        bool rts; // the line after connecting
        tcflag_t cflag, iflag;
        const char* report;
    };
    const Case cases[] = {
        {0, false, 0, 0, "Hw:None - Sw:None"},
        {1, true, 0, 0, "Hw:None+DTR on - Sw:None"},
        {2, true, CRTSCTS, 0, "Hw:RTS/CTS - Sw:None"},
        {3, false, 0, IXON | IXOFF, "Hw:None - Sw:XON/XOFF"},
    };
    DeviceView view(loopDevice());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.report);
        ASSERT_TRUE(connectWith({.control = c.item}));
        const termios t = view.settings();
        EXPECT_EQ(t.c_cflag & CRTSCTS, c.cflag);
        EXPECT_EQ(t.c_iflag & (IXON | IXOFF), c.iflag);
        EXPECT_EQ(t.c_cc[VSTART], 0x11);
        EXPECT_EQ(t.c_cc[VSTOP], 0x13);
        EXPECT_EQ((view.lines() & TIOCM_RTS) != 0, c.rts);
        EXPECT_EQ((view.lines() & TIOCM_DTR) != 0, true) << "DTR is raised on open";
        EXPECT_EQ(stateReport().value(2), u(c.report));
        disconnect();
    }
    EXPECT_TRUE(boxes.boxes().empty());
}

// A format a pseudo-terminal refuses: seven data bits, even parity, two stop bits at a custom rate.
TEST_F(UartSettings, ConnectsAndReportsSevenEvenTwoAtACustomRate) {
    ASSERT_TRUE(connectWith({.bits = 2, .parity = 2, .stop = 2, .custom = "31250"}));
    EXPECT_TRUE(boxes.boxes().empty());
    EXPECT_EQ(ui().lbCOM->text(), u("Соединение с портом \"\\\\.\\COM1\" "));
    form->btTekClick(ui().btTek);
    EXPECT_EQ(ui().mmTek->toPlainText(), u("Соед. с портом \"\\\\.\\COM1\"\n31250,7,E,2\nHw:None - Sw:None"));
    DeviceView view(loopDevice());
    EXPECT_EQ(view.rate(), 31250u);
    EXPECT_EQ(view.settings().c_cflag & (CSIZE | PARENB | PARODD | CMSPAR | CSTOPB), CS7 | PARENB | CSTOPB);
}

// A record the device refuses leaves the port with the settings it had before, not half of the new ones.
TEST_F(UartSettings, ARefusedRecordLeavesThePortAsItWas) {
    const HANDLE h = CreateFileA("\\\\.\\COM1", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    TCommPortDriver settings;
    DCB dcb = settings.BuildDCB(); // 9600 8N1
    ASSERT_TRUE(SetCommState(h, &dcb));
    DCB refused = dcb;
    refused.BaudRate = 256000;
    refused.ByteSize = 7;
    refused.Parity = EVENPARITY;
    EXPECT_FALSE(SetCommState(h, &refused));
    DeviceView view(loopDevice());
    EXPECT_EQ(view.rate(), 9600u);
    EXPECT_EQ(view.settings().c_cflag & (CSIZE | PARENB), CS8);
    CloseHandle(h);
}

} // namespace
