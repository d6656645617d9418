// SPDX-License-Identifier: GPL-3.0-or-later
// The driver on pseudo-terminals through the system's own device side: the far side of the pair
// plays the attached device.
#include "CPDrv.h"
#include "event_wait.h"
#include "pty_pair.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using comlab::test::cpuSeconds;
using comlab::test::pump;
using comlab::test::readFor;
// The far side (master) stays with the test.
using Pty = comlab::test::PtyPair;

class DriverPty : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pty.ok());
        ASSERT_TRUE(ports.isValid());
        m_oldMap = qgetenv("COMLAB_PORTS_DIR");
        qputenv("COMLAB_PORTS_DIR", ports.path().toLocal8Bit());
        const std::string link = ports.path().toStdString() + "/COM5";
        ASSERT_EQ(::symlink(pty.slave().c_str(), link.c_str()), 0);
        drv.setPort(pnCOM5);
    }
    void TearDown() override {
        drv.ClosePort();
        qputenv("COMLAB_PORTS_DIR", m_oldMap);
    }

    Pty pty;
    QTemporaryDir ports;
    TCommPortDriver drv;

private:
    QByteArray m_oldMap;
};

TEST_F(DriverPty, OpenExclusiveAndClose) {
    ASSERT_TRUE(drv.OpenPort()) << "errno " << errno;
    EXPECT_TRUE(drv.IsOpen());

    TCommPortDriver second;
    second.setPort(pnCOM5);
    EXPECT_FALSE(second.OpenPort());
    second.setPortName(pty.slave()); // the same device under its own path
    EXPECT_FALSE(second.OpenPort());

    // Not mapped: leads nowhere.
    TCommPortDriver unmapped;
    unmapped.setPort(pnCOM6);
    EXPECT_FALSE(unmapped.OpenPort());

    drv.ClosePort();
    EXPECT_FALSE(drv.IsOpen());
    EXPECT_TRUE(second.OpenPort()); // free again
    second.ClosePort();
}

TEST_F(DriverPty, LineSettingsOnThePair) {
    ASSERT_TRUE(drv.OpenPort());
    drv.setBaudRateValue(31250); // not a standard rate
    EXPECT_TRUE(drv.ApplyLineSettings());
    drv.setBaudRate(br256000);
    EXPECT_TRUE(drv.ApplyLineSettings());
    // (Some kernels refuse parity and short characters on a pseudo-terminal, so those stay out.)
    drv.setStopBits(sb2BITS);
    drv.setSwFlow(sfXONXOFF);
    drv.setHwFlow(hfRTSCTS);
    drv.setEnableDTROnOpen(false);
    EXPECT_TRUE(drv.ApplyLineSettings());
    EXPECT_EQ(drv.ReadModemLines(), 0); // a pseudo-terminal has no modem lines
    drv.SetDtrLine(false);
    drv.SetRtsLine(true);
    EXPECT_TRUE(drv.FlushQueues(true, true));
}

TEST_F(DriverPty, DataBothWays) {
    std::string received;
    drv.setOnReceiveData(
        [&](QObject*, void* p, DWORD n) { received.append(static_cast<const char*>(p), n); });
    drv.setPollingDelay(10);
    ASSERT_TRUE(drv.OpenPort());

    const std::string out = "to the device\r\n\x00\xff\x11\x13";
    EXPECT_EQ(drv.WriteData(out.data(), DWORD(out.size())), out.size());
    EXPECT_TRUE(drv.WriteByte(0x7f));
    EXPECT_EQ(readFor(pty.master(), out.size() + 1, 5000), out + "\x7f");

    const std::string in = "from the device\r\n\x00\xff\x03\x1a";
    ASSERT_EQ(::write(pty.master(), in.data(), in.size()), ssize_t(in.size()));
    QElapsedTimer t;
    t.start();
    while (received.size() < in.size() && t.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    EXPECT_EQ(received, in);
}

TEST_F(DriverPty, MegabyteStreamArrivesWholeAndInOrder) {
    constexpr std::size_t kTotal = 1 << 20;
    std::string sent(kTotal, '\0');
    for (std::size_t i = 0; i < kTotal; ++i)
        sent[i] = char((i * 131 + (i >> 9)) & 0xff);
    std::string received;
    received.reserve(kTotal);
    std::size_t events = 0;
    drv.setOnReceiveData([&](QObject*, void* p, DWORD n) {
        ++events;
        EXPECT_LE(n, drv.InBufSize());
        received.append(static_cast<const char*>(p), n);
    });
    drv.setPollingDelay(5);
    ASSERT_TRUE(drv.OpenPort());

    std::size_t written = 0;
    QElapsedTimer t;
    t.start();
    while (received.size() < kTotal && t.elapsed() < 90000) {
        if (written < kTotal) {
            const ssize_t r =
                ::write(pty.master(), sent.data() + written, std::min<std::size_t>(kTotal - written, 16384));
            if (r > 0)
                written += std::size_t(r);
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    ASSERT_EQ(received.size(), kTotal);
    EXPECT_TRUE(received == sent);
    EXPECT_GT(events, 0u);
}

// A terminal holds at most 4095 bytes, but the port's own queue holds far more, so packets larger than
// that complete: up to the largest receive buffer, which a larger request is cut to.
TEST_F(DriverPty, PacketsLargerThanTheTerminalHoldsComplete) {
    struct Case {
        std::int16_t requested;
        DWORD expected;
    };
    for (const Case c : {Case{8192, 8192}, Case{6000, 6000}, Case{20000, 8192}}) {
        SCOPED_TRACE(c.requested);
        Pty far;
        ASSERT_TRUE(far.ok());
        TCommPortDriver d;
        d.setPortName(far.slave());
        d.setPacketSize(c.requested);
        EXPECT_EQ(d.PacketSize(), std::int16_t(c.expected));
        EXPECT_EQ(d.InBufSize(), c.expected);
        std::vector<std::string> packets;
        d.setOnReceivePacket(
            [&](QObject*, void* p, DWORD n) { packets.emplace_back(static_cast<char*>(p), n); });
        d.setPollingDelay(10);
        ASSERT_TRUE(d.OpenPort());

        std::string sent(2 * c.expected + 100, '\0');
        for (std::size_t i = 0; i < sent.size(); ++i)
            sent[i] = char((i * 7 + (i >> 8)) & 0xff);
        std::size_t written = 0;
        QElapsedTimer t;
        t.start();
        while (packets.size() < 2 && t.elapsed() < 20000) {
            const ssize_t r = ::write(far.master(), sent.data() + written, sent.size() - written);
            if (r > 0)
                written += std::size_t(r);
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        }
        pump(100); // the short rest stays queued: no time-out is set
        ASSERT_EQ(packets.size(), 2u);
        EXPECT_TRUE(packets[0] == sent.substr(0, c.expected));
        EXPECT_TRUE(packets[1] == sent.substr(c.expected, c.expected));
    }
}

TEST_F(DriverPty, FarSideHangsUp) {
    std::size_t events = 0;
    drv.setOnReceiveData([&](QObject*, void*, DWORD) { ++events; });
    drv.setOutputTimeout(200);
    ASSERT_TRUE(drv.OpenPort());
    pty.hangUp();

    // Ticks go on quietly: nothing raised and no busy loop.
    const double cpu0 = cpuSeconds();
    pump(500);
    const double cpu = cpuSeconds() - cpu0;
    EXPECT_EQ(events, 0u);
    EXPECT_LT(cpu, 0.3); // generous: a busy loop would burn the whole half second

    // Writes fail within their time-out.
    QElapsedTimer t;
    t.start();
    EXPECT_EQ(drv.WriteData("abc", 3), 0u);
    EXPECT_FALSE(drv.WriteByte('x'));
    EXPECT_LT(t.elapsed(), 10000);
    EXPECT_EQ(drv.ReadModemLines(), 0);
    SendMessageA(drv.Handle(), WM_TIMER, 1, 0);
    EXPECT_EQ(events, 0u);

    drv.ClosePort();
    EXPECT_FALSE(drv.IsOpen());
}

} // namespace
