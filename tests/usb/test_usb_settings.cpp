// SPDX-License-Identifier: GPL-3.0-or-later
// Line settings through the window on both USB serial drivers: every format and rate of the panel is
// taken and read back from the device, or refused with the connect box. ftdi_sio turns 6 data bits into
// 8 without a word, and only comlab's read-back can refuse that.
#include "usb_guest.h"

namespace {

using namespace comlab::usb;

QString u(const char* s) {
    return QString::fromUtf8(s);
}

using UsbSettings = UsbWindowTest;

TEST_F(UsbSettings, EveryFormatIsTakenAndReadBackOrRefusedWithTheConnectBox) {
    static constexpr tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    static constexpr tcflag_t parities[] = {0, PARENB | PARODD, PARENB, PARENB | PARODD | CMSPAR,
                                            PARENB | CMSPAR};
    static const char* const parityText[] = {"N", "O", "E", "M", "S"};
    static const char* const stopText[] = {"1", "1.5", "2"};
    for (const Driver& d : {ftdi(), acm()}) {
        DeviceView view(d.device);
        ASSERT_TRUE(view.ok()) << d.device;
        for (int bits = 0; bits < 4; ++bits)
            for (int parity = 0; parity < 5; ++parity)
                for (int stop = 0; stop < 3; ++stop) {
                    const std::string name = std::string(d.name) + " " + std::to_string(bits + 5) +
                                             parityText[parity] + stopText[stop];
                    SCOPED_TRACE(name);
                    boxes.clear();
                    // comlab's own rule: 1.5 stop bits with 5 data bits only, and no 2 with 5. The FT232's
                    // driver has no 6 data bits.
                    const bool possible =
                        (stop == 0 || (stop == 1) == (bits == 0)) && !(d.com == 0 && bits == 1);
                    const bool open =
                        connectWith({.com = d.com, .bits = bits, .parity = parity, .stop = stop});
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
                    EXPECT_EQ(stateReport().value(1),
                              QString::fromStdString("9600," + std::to_string(bits + 5) + "," +
                                                     parityText[parity] + "," + stopText[stop]));
                    disconnect();
                }
    }
}

// Both drivers take every rate of the list and custom rates up to the panel's 256000, where a UART
// clocked at 1.8432 MHz stops at 115200.
TEST_F(UsbSettings, EveryRateOfTheListAndCustomRatesAreTakenAndReadBack) {
    struct Case {
        int item;         // of the list, or -1 for a custom rate
        const char* text; // the custom rate typed
        unsigned rate;
    };
    const Case cases[] = {
        {0, "", 110},    {1, "", 300},         {2, "", 600},       {3, "", 1200},          {4, "", 2400},
        {5, "", 4800},   {6, "", 9600},        {7, "", 14400},     {8, "", 19200},         {9, "", 38400},
        {10, "", 56000}, {11, "", 57600},      {12, "", 115200},   {13, "", 128000},       {14, "", 256000},
        {15, "", 31200}, {-1, "31250", 31250}, {-1, "1000", 1000}, {-1, "250000", 250000},
    };
    for (const Driver& d : {ftdi(), acm()}) {
        DeviceView view(d.device);
        ASSERT_TRUE(view.ok()) << d.device;
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(d.name) + " " +
                         (c.item >= 0 ? ui().cbBOD->itemText(c.item).toStdString() : std::string(c.text)));
            boxes.clear();
            ASSERT_TRUE(connectWith({.com = d.com, .rate = c.item >= 0 ? c.item : 6, .custom = u(c.text)}));
            EXPECT_TRUE(boxes.boxes().empty());
            EXPECT_EQ(view.rate(), c.rate);
            EXPECT_EQ(stateReport().value(1), QString::number(c.rate) + ",8,N,1");
            disconnect();
        }
    }
}

} // namespace
