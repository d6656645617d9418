// SPDX-License-Identifier: GPL-3.0-or-later
// The mapping from a line settings record to termios flags, checked without any device.
#include "termios_settings.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace {

using platform::detail::applyDcb;

DCB baseDcb() {
    DCB d;
    d.DCBlength = sizeof(DCB);
    d.BaudRate = 9600;
    d.fBinary = 1;
    d.ByteSize = 8;
    d.XonChar = 17;
    d.XoffChar = 19;
    return d;
}

termios startFrom() {
    // Whatever a device held before: cooked, echoing, 7E2 with hardware flow.
    termios t{};
    t.c_iflag = ICRNL | IXON | ISTRIP | INPCK;
    t.c_oflag = OPOST | ONLCR;
    t.c_lflag = ICANON | ECHO | ISIG | IEXTEN;
    t.c_cflag = B38400 | CS7 | PARENB | CSTOPB | CRTSCTS;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 5;
    return t;
}

struct LineCase {
    const char* name;
    BYTE byteSize;
    BYTE parity;
    BYTE stopBits;
    tcflag_t cflag; // expected among CSIZE|PARENB|PARODD|CMSPAR|CSTOPB
};

class LineSettings : public ::testing::TestWithParam<LineCase> {};

TEST_P(LineSettings, MapsFrameExactly) {
    const LineCase& c = GetParam();
    DCB d = baseDcb();
    d.ByteSize = c.byteSize;
    d.Parity = c.parity;
    d.StopBits = c.stopBits;
    termios t = startFrom();
    speed_t speed = B0;
    ASSERT_EQ(applyDcb(d, t, speed), 0);
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | PARODD | CMSPAR | CSTOPB), c.cflag);
    EXPECT_EQ(t.c_cflag & (CREAD | CLOCAL), tcflag_t(CREAD | CLOCAL));
    EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
    // Raw: nothing of the earlier cooked mode survives.
    EXPECT_EQ(t.c_iflag, 0u);
    EXPECT_EQ(t.c_oflag, 0u);
    EXPECT_EQ(t.c_lflag, 0u);
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, LineSettings,
    ::testing::Values(LineCase{"8N1", 8, NOPARITY, ONESTOPBIT, CS8},
                      LineCase{"7E1", 7, EVENPARITY, ONESTOPBIT, CS7 | PARENB},
                      LineCase{"7O2", 7, ODDPARITY, TWOSTOPBITS, CS7 | PARENB | PARODD | CSTOPB},
                      LineCase{"8M1", 8, MARKPARITY, ONESTOPBIT, CS8 | PARENB | PARODD | CMSPAR},
                      LineCase{"8S1", 8, SPACEPARITY, ONESTOPBIT, CS8 | PARENB | CMSPAR},
                      LineCase{"6N2", 6, NOPARITY, TWOSTOPBITS, CS6 | CSTOPB},
                      LineCase{"5N1_5", 5, NOPARITY, ONE5STOPBITS, CS5 | CSTOPB}),
    [](const auto& info) { return std::string(info.param.name); });

struct RefusedCase {
    const char* name;
    void (*edit)(DCB&);
};

class RefusedSettings : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(RefusedSettings, AreRefusedNotApproximated) {
    DCB d = baseDcb();
    GetParam().edit(d);
    termios t = startFrom();
    speed_t speed = B0;
    EXPECT_EQ(applyDcb(d, t, speed), EINVAL);
}

INSTANTIATE_TEST_SUITE_P(
    Records, RefusedSettings,
    ::testing::Values(RefusedCase{"OneAndHalfWith8Bits", [](DCB& d) { d.StopBits = ONE5STOPBITS; }},
                      RefusedCase{"OneAndHalfWith6Bits",
                                  [](DCB& d) {
                                      d.ByteSize = 6;
                                      d.StopBits = ONE5STOPBITS;
                                  }},
                      RefusedCase{"TwoStopWith5Bits",
                                  [](DCB& d) {
                                      d.ByteSize = 5;
                                      d.StopBits = TWOSTOPBITS;
                                  }},
                      RefusedCase{"FourDataBits", [](DCB& d) { d.ByteSize = 4; }},
                      RefusedCase{"NineDataBits", [](DCB& d) { d.ByteSize = 9; }},
                      RefusedCase{"UnknownParity", [](DCB& d) { d.Parity = 5; }},
                      RefusedCase{"UnknownStopBits", [](DCB& d) { d.StopBits = 3; }},
                      RefusedCase{"RateZero", [](DCB& d) { d.BaudRate = 0; }},
                      RefusedCase{"DsrFlow", [](DCB& d) { d.fOutxDsrFlow = 1; }},
                      RefusedCase{"DsrSensitivity", [](DCB& d) { d.fDsrSensitivity = 1; }},
                      RefusedCase{"DtrHandshake", [](DCB& d) { d.fDtrControl = DTR_CONTROL_HANDSHAKE; }},
                      RefusedCase{"RtsToggle", [](DCB& d) { d.fRtsControl = RTS_CONTROL_TOGGLE; }},
                      RefusedCase{"CtsFlowWithoutRtsHandshake", [](DCB& d) { d.fOutxCtsFlow = 1; }},
                      RefusedCase{"RtsHandshakeWithoutCtsFlow",
                                  [](DCB& d) { d.fRtsControl = RTS_CONTROL_HANDSHAKE; }},
                      RefusedCase{"SameXonXoff",
                                  [](DCB& d) {
                                      d.fOutX = d.fInX = 1;
                                      d.XoffChar = d.XonChar;
                                  }},
                      RefusedCase{"NullStripping", [](DCB& d) { d.fNull = 1; }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FlowSettings, HardwareAndSoftwareFlowMapToTheirFlags) {
    struct Case {
        bool hw, sw;
        tcflag_t cflag, iflag;
    };
    for (const Case c : {Case{false, false, 0, 0}, Case{true, false, CRTSCTS, 0},
                         Case{false, true, 0, IXON | IXOFF}, Case{true, true, CRTSCTS, IXON | IXOFF}}) {
        DCB d = baseDcb();
        d.XonChar = 0x11;
        d.XoffChar = 0x13;
        if (c.hw) {
            d.fRtsControl = RTS_CONTROL_HANDSHAKE;
            d.fOutxCtsFlow = 1;
        }
        d.fOutX = d.fInX = c.sw;
        termios t = startFrom();
        speed_t speed = B0;
        ASSERT_EQ(applyDcb(d, t, speed), 0) << c.hw << c.sw;
        EXPECT_EQ(t.c_cflag & CRTSCTS, c.cflag);
        EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY), c.iflag);
        EXPECT_EQ(t.c_cc[VSTART], 0x11);
        EXPECT_EQ(t.c_cc[VSTOP], 0x13);
    }
}

} // namespace

namespace {

// Which modem output lines a record drives. RTS under a handshake starts raised: the kernel lowers and
// raises it only as its input queue fills and drains, so a line left low would hold the far side off.
TEST(ModemLines, RecordDrivesDtrAndRts) {
    struct Case {
        const char* name;
        DWORD dtr, rts;
        int raise, drop;
    };
    const Case cases[] = {
        {"both enabled", DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE, TIOCM_DTR | TIOCM_RTS, 0},
        {"both disabled", DTR_CONTROL_DISABLE, RTS_CONTROL_DISABLE, 0, TIOCM_DTR | TIOCM_RTS},
        {"RTS handshake", DTR_CONTROL_ENABLE, RTS_CONTROL_HANDSHAKE, TIOCM_DTR | TIOCM_RTS, 0},
        {"RTS handshake, DTR off", DTR_CONTROL_DISABLE, RTS_CONTROL_HANDSHAKE, TIOCM_RTS, TIOCM_DTR},
        {"DTR handshake", DTR_CONTROL_HANDSHAKE, RTS_CONTROL_DISABLE, 0, TIOCM_RTS},
        {"RTS toggle", DTR_CONTROL_ENABLE, RTS_CONTROL_TOGGLE, TIOCM_DTR, 0},
    };
    for (const Case& c : cases) {
        DCB d = baseDcb();
        d.fDtrControl = c.dtr;
        d.fRtsControl = c.rts;
        const auto lines = platform::detail::modemLinesFor(d);
        EXPECT_EQ(lines.raise, c.raise) << c.name;
        EXPECT_EQ(lines.drop, c.drop) << c.name;
    }
}

} // namespace
