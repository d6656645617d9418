// SPDX-License-Identifier: GPL-3.0-or-later
// A port on another machine with a real UART behind it: ser2net runs in the guest with the 8250's
// loopback UART as its device, and COM4 is mapped to its rfc2217:// URL. What the window sets over the
// network is what the UART holds, data goes round the UART's loopback and back over the network, and
// the modem lines the driver sets over the network show on the UART's inputs.
#include "event_wait.h"
#include "ser2net.h"
#include "uart_guest.h"

#include <QLabel>

#include <filesystem>
#include <memory>
#include <vector>

namespace {

using namespace comlab::uart;
using comlab::test::runUntil;

class UartSer2net : public UartWindowTest {
protected:
    std::unique_ptr<comlab::test::Ser2net> server;
    std::filesystem::path com4;

    void SetUp() override {
        UartWindowTest::SetUp();
        if (IsSkipped())
            return;
        if (comlab::test::ser2netBinary().empty())
            GTEST_SKIP() << "the lane's guest has no ser2net (the host has none to copy)";
        server = std::make_unique<comlab::test::Ser2net>(loopDevice());
        ASSERT_TRUE(server->start());
        com4 = std::filesystem::path(env("COMLAB_PORTS_DIR")) / "COM4";
        std::filesystem::remove(com4);
        std::filesystem::create_symlink(server->url(), com4);
    }
    void TearDown() override {
        UartWindowTest::TearDown();
        server.reset();
        if (!com4.empty())
            std::filesystem::remove(com4);
    }
};

TEST_F(UartSer2net, RatesAndFormatsSetOverTheNetworkAreWhatTheUartHolds) {
    struct Case {
        const char* rate;
        int bits, parity, stop; // panel indexes: 5..8 bits; N, O, E, M, S; 1, 1.5, 2
        unsigned wantRate;
        tcflag_t size, parityBits;
        bool twoStops;
    };
    const Case cases[] = {
        {"115200", 3, 0, 0, 115200, CS8, 0, false},
        {"57600", 2, 2, 2, 57600, CS7, PARENB, true},
        {"1200", 1, 1, 0, 1200, CS6, PARENB | PARODD, false},
        {"19200", 3, 3, 0, 19200, CS8, PARENB | PARODD | CMSPAR, false},
        {"9600", 3, 4, 2, 9600, CS8, PARENB | CMSPAR, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rate);
        ASSERT_TRUE(connectWith({.com = 3,
                                 .bits = c.bits,
                                 .parity = c.parity,
                                 .stop = c.stop,
                                 .custom = QString::fromLatin1(c.rate)}))
            << (boxes.boxes().empty() ? std::string() : boxes.boxes().front().detailedText.toStdString());
        DeviceView view(loopDevice());
        ASSERT_TRUE(view.ok());
        const termios t = view.settings();
        EXPECT_EQ(view.rate(), c.wantRate);
        EXPECT_EQ(t.c_cflag & CSIZE, c.size);
        EXPECT_EQ(t.c_cflag & (PARENB | PARODD | CMSPAR), c.parityBits);
        EXPECT_EQ((t.c_cflag & CSTOPB) != 0, c.twoStops);
        disconnect();
    }
    EXPECT_TRUE(boxes.boxes().empty());
}

TEST_F(UartSer2net, DataGoesRoundTheUartAndModemLinesShowOnItsInputs) {
    TCommPortDriver drv;
    std::vector<BYTE> got;
    drv.setPortName("\\\\.\\COM4");
    drv.setBaudRateValue(115200);
    drv.setOnReceiveData([&](QObject*, void* p, DWORD n) {
        got.insert(got.end(), static_cast<BYTE*>(p), static_cast<BYTE*>(p) + n);
    });
    ASSERT_TRUE(drv.OpenPort());
    std::vector<BYTE> sent;
    for (int i = 0; i < 512; ++i)
        sent.push_back(BYTE(i)); // 0xFF twice among them: doubled on the way out and back
    ASSERT_EQ(drv.WriteData(sent.data(), DWORD(sent.size())), sent.size());
    EXPECT_TRUE(runUntil([&] { return got.size() >= sent.size(); }, 20000));
    EXPECT_EQ(got, sent);

    // In loopback DSR follows DTR and CTS follows RTS: the UART's own view says what the server set, and
    // the driver sees the inputs change because ser2net notifies them (NOTIFY-MODEMSTATE).
    DeviceView view(loopDevice());
    struct Case {
        bool dtr, rts;
    };
    const Case cases[] = {{true, false}, {false, true}, {true, true}, {false, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "DTR " << c.dtr << ", RTS " << c.rts);
        drv.SetDtrLine(c.dtr);
        drv.SetRtsLine(c.rts);
        const int want = (c.dtr ? TIOCM_DSR : 0) | (c.rts ? TIOCM_CTS : 0);
        EXPECT_TRUE(runUntil([&] { return (view.lines() & (TIOCM_DSR | TIOCM_CTS)) == want; }, 5000));
        const TLineStatus seen = (c.dtr ? lsDSR : 0) | (c.rts ? lsCTS : 0);
        EXPECT_TRUE(runUntil([&] { return (drv.ReadModemLines() & (lsDSR | lsCTS)) == seen; }, 5000));
    }
    drv.ClosePort();
}

} // namespace
