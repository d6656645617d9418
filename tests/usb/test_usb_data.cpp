// SPDX-License-Identifier: GPL-3.0-or-later
// Data on both USB serial drivers: every code both ways byte for byte between the driver and the far
// end, and a stream from the far end through the window's receive path, whole and in order, with its
// intake rate printed.
#include "Cp1251.h"
#include "event_wait.h"
#include "usb_guest.h"

#include <cstdio>

namespace {

using namespace comlab::usb;
using comlab::test::runUntil;

std::vector<std::uint8_t> counter(std::size_t n) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i)
        v[i] = std::uint8_t(i);
    return v;
}

TEST(UsbData, EveryCodeGoesBothWaysByteForByte) {
    if (!inGuest())
        GTEST_SKIP() << "runs only in the USB lane's guest (scripts/usb-lane.sh)";
    for (const Driver& d : {ftdi(), acm()}) {
        SCOPED_TRACE(d.name);
        FarEnd far(d.far, FarEnd::Hold);
        ASSERT_TRUE(far.ok()) << d.far;
        TCommPortDriver drv;
        std::vector<BYTE> got;
        drv.setPortName(d.com == 0 ? "\\\\.\\COM1" : "\\\\.\\COM2");
        drv.setBaudRate(br115200);
        drv.setOnReceiveData([&](QObject*, void* p, DWORD n) {
            got.insert(got.end(), static_cast<BYTE*>(p), static_cast<BYTE*>(p) + n);
        });
        ASSERT_TRUE(drv.OpenPort());
        const auto sent = counter(256);

        // Out: the far end reads all 256 codes as sent.
        ASSERT_EQ(drv.WriteData(sent.data(), DWORD(sent.size())), sent.size());
        EXPECT_TRUE(runUntil([&] { return far.received() >= sent.size(); }, 10000));
        EXPECT_EQ(far.bytes(), sent);

        // In: the far end sends them, and the driver hands over all 256.
        far.send(sent);
        EXPECT_TRUE(runUntil([&] { return got.size() >= sent.size(); }, 10000));
        EXPECT_EQ(got, sent);
        drv.ClosePort();
    }
}

class UsbStream : public UsbWindowTest {};

// 64 KiB on the FT232 (its far end is an emulated UART, the slower of the two) and 1 MiB on CDC-ACM.
TEST_F(UsbStream, AStreamFromTheFarEndShowsWholeAndInOrder) {
    struct Case {
        Driver d;
        std::size_t count;
    };
    for (const Case& c : {Case{ftdi(), 64u << 10}, Case{acm(), 1u << 20}}) {
        SCOPED_TRACE(c.d.name);
        FarEnd far(c.d.far, FarEnd::Hold);
        ASSERT_TRUE(far.ok());
        ASSERT_TRUE(connectWith({.com = c.d.com, .rate = 12}));
        ui().edCOMout->clear();
        form->btOutCOMClick(ui().btOutCOM); // the exchange mode; the empty line's box is recorded
        ui().rbCOMinSym->setChecked(true);
        ui().cbCountOn->setChecked(true);
        ui().mmCOMin->clearLog();
        form->RxByteCount = 0;

        const auto data = counter(c.count);
        const double start = secondsNow();
        far.send(data);
        const bool all = runUntil([&] { return form->RxByteCount >= std::int64_t(c.count); }, 120000, 5);
        const double took = secondsNow() - start;
        ASSERT_TRUE(all) << "received " << form->RxByteCount << " of " << c.count;
        EXPECT_EQ(form->RxByteCount, std::int64_t(c.count));
        std::printf("USB-LANE-FIGURE %s stream: %zu bytes into the window in %.2f s, %.0f KB/s\n", c.d.name,
                    c.count, took, double(c.count) / took / 1000.0);
        std::fflush(stdout);

        QString expected = Cp1251ToString(data.data(), data.size());
        // Byte 0 is shown as a visible symbol; CR and LF (never adjacent here) are each a line break.
        expected.replace(QChar(0), QChar(0x2400));
        expected.replace(u'\r', u'\n');
        const QString shown = ui().mmCOMin->text();
        ASSERT_EQ(shown.size(), expected.size());
        EXPECT_TRUE(shown == expected);
        disconnect();
    }
}

} // namespace
