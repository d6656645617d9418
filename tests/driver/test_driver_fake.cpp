// SPDX-License-Identifier: GPL-3.0-or-later
// The driver against the fake device: what each device call is given and in what order, the
// property rules, the poll tick with and without packets, timed writes and the modem lines.
#include "CPDrv.h"
#include "platform/fake_comm.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

using platform::FakeCall;
using platform::FakeClock;
using platform::FakeComm;
using platform::FakeOp;
using platform::ScopedCommDevice;

namespace {

const std::string kCom2 = "\\\\.\\COM2";

struct Received {
    std::vector<std::string> blocks;
    std::string all() const {
        std::string s;
        for (const auto& b : blocks)
            s += b;
        return s;
    }
};

std::string pattern(std::size_t n) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>(i * 7 + i / 251);
    return s;
}

class DriverFake : public ::testing::Test {
protected:
    void SetUp() override { dev.addDevice(kCom2); }

    void open() {
        ASSERT_TRUE(drv->OpenPort());
        dev.clearCalls();
    }
    void tick() { SendMessageA(drv->Handle(), WM_TIMER, 1, 0); }
    void collectData() {
        drv->setOnReceiveData([this](QObject* sender, void* p, DWORD n) {
            EXPECT_EQ(sender, drv.get());
            data.blocks.emplace_back(static_cast<const char*>(p), n);
        });
    }
    void collectPackets() {
        drv->setOnReceivePacket([this](QObject* sender, void* p, DWORD n) {
            EXPECT_EQ(sender, drv.get());
            packets.blocks.emplace_back(static_cast<const char*>(p), n);
        });
    }

    FakeComm dev;
    ScopedCommDevice scope{dev};
    FakeClock clock;
    std::unique_ptr<TCommPortDriver> drv = std::make_unique<TCommPortDriver>();
    Received data;
    Received packets;
};

// ---- settings model ----

TEST_F(DriverFake, ConstructorDefaults) {
    EXPECT_EQ(drv->Port(), pnCOM2);
    EXPECT_EQ(drv->PortName(), kCom2);
    EXPECT_EQ(drv->BaudRate(), br9600);
    EXPECT_EQ(drv->BaudRateValue(), 9600u);
    EXPECT_EQ(drv->DataBits(), db8BITS);
    EXPECT_EQ(drv->StopBits(), sb1BITS);
    EXPECT_EQ(drv->Parity(), ptNONE);
    EXPECT_EQ(drv->HwFlow(), hfNONERTSON);
    EXPECT_EQ(drv->SwFlow(), sfNONE);
    EXPECT_EQ(drv->InBufSize(), 2048u);
    EXPECT_EQ(drv->OutBufSize(), 2048u);
    EXPECT_EQ(drv->PacketSize(), -1);
    EXPECT_EQ(drv->PacketTimeout(), -1);
    EXPECT_EQ(drv->PacketMode(), pmDiscard);
    EXPECT_EQ(drv->PollingDelay(), 50);
    EXPECT_TRUE(drv->EnableDTROnOpen());
    EXPECT_EQ(drv->OutputTimeout(), 500);
    EXPECT_EQ(drv->InputTimeout(), 200u);
    EXPECT_FALSE(drv->CheckLineStatus());
    EXPECT_EQ(drv->PacketStartTime(), -1);
    EXPECT_FALSE(drv->IsOpen());
    EXPECT_NE(drv->Handle(), nullptr);
    EXPECT_TRUE(dev.calls().empty()); // nothing touches a device before OpenPort
}

TEST_F(DriverFake, OwnerDeletesDriverAndPortCloses) {
    auto owner = std::make_unique<QObject>();
    auto* owned = new TCommPortDriver(owner.get()); // owned by its Qt parent
    EXPECT_EQ(owned->parent(), owner.get());
    ASSERT_TRUE(owned->OpenPort());
    owner.reset();
    EXPECT_FALSE(dev.isOpen());
}

TEST_F(DriverFake, RateTableAndLineTime) {
    const DWORD rates[] = {0,     110,   300,   600,   1200,  2400,   4800,   9600,
                           14400, 19200, 38400, 56000, 57600, 115200, 128000, 256000};
    for (int i = 0; i <= br256000; ++i)
        EXPECT_EQ(BaudRateOf(static_cast<TBaudRate>(i)), rates[i]) << i;
    EXPECT_EQ(BaudRateOf(static_cast<TBaudRate>(16)), 0u);

    struct Case {
        DWORD rate, n, ms;
    };
    for (auto c : {Case{9600, 10, 10}, Case{115200, 64, 6}, Case{110, 1, 91}, Case{0, 10, 0},
                   Case{4800, 10, 21}, Case{256000, 8192, 320}, Case{9600, 0, 0}})
        EXPECT_EQ(PacketLineTime(c.rate, c.n), c.ms) << c.rate << " " << c.n;
}

TEST_F(DriverFake, PortAndRateRules) {
    drv->setPort(pnCOM12);
    EXPECT_EQ(drv->PortName(), "\\\\.\\COM12");
    drv->setPort(pnCOM1);
    EXPECT_EQ(drv->PortName(), "\\\\.\\COM1");
    drv->setPort(pnCOM16);
    drv->setPort(pnCustom);
    EXPECT_EQ(drv->Port(), pnCustom);
    EXPECT_EQ(drv->PortName(), "\\\\.\\COM16");
    drv->setPortName("\\\\.\\COM3");
    EXPECT_EQ(drv->Port(), pnCustom);
    EXPECT_EQ(drv->PortName(), "\\\\.\\COM3");

    drv->setBaudRateValue(9600);
    EXPECT_EQ(drv->BaudRate(), brCustom);
    drv->setBaudRate(br128000);
    EXPECT_EQ(drv->BaudRateValue(), 128000u);
    drv->setBaudRate(brCustom);
    EXPECT_EQ(drv->BaudRateValue(), 128000u);
    drv->setBaudRateValue(31250);
    EXPECT_EQ(drv->BaudRateValue(), 31250u);
    EXPECT_TRUE(dev.calls().empty());
}

TEST_F(DriverFake, SizeRules) {
    struct Case {
        DWORD in, expected;
    };
    for (auto c : {Case{0, 128}, Case{127, 128}, Case{128, 128}, Case{4000, 4000}, Case{8192, 8192},
                   Case{8193, 8192}, Case{100000, 8192}, Case{0xFFFFFFFFu, 8192}}) {
        drv->setInBufSize(c.in);
        EXPECT_EQ(drv->InBufSize(), c.expected) << c.in;
        drv->setOutBufSize(c.in);
        EXPECT_EQ(drv->OutBufSize(), c.expected) << c.in;
    }
}

TEST_F(DriverFake, PacketSizeKeepsBufferLargeEnough) {
    drv->setPacketSize(3000);
    EXPECT_EQ(drv->PacketSize(), 3000);
    EXPECT_EQ(drv->InBufSize(), 3000u);
    drv->setInBufSize(1000);
    EXPECT_EQ(drv->InBufSize(), 3000u);
    drv->setPacketSize(64);
    EXPECT_EQ(drv->InBufSize(), 3000u);
    drv->setInBufSize(1000);
    EXPECT_EQ(drv->InBufSize(), 1000u);

    for (std::int16_t off : {std::int16_t(0), std::int16_t(-5), std::int16_t(-1)}) {
        drv->setPacketSize(off);
        EXPECT_EQ(drv->PacketSize(), -1) << off;
    }
    // Above the largest buffer: cut to it.
    drv->setPacketSize(20000);
    EXPECT_EQ(drv->PacketSize(), 8192);
    EXPECT_EQ(drv->InBufSize(), 8192u);

    // While open the buffer cannot grow, so the packet is cut to it; a tick then reads whole
    // packets of that size and never past the buffer.
    drv->setInBufSize(256);
    drv->setPacketSize(-1);
    drv->setInBufSize(256);
    open();
    drv->setPacketSize(1000);
    EXPECT_EQ(drv->PacketSize(), 256);
    EXPECT_EQ(drv->InBufSize(), 256u);
    collectPackets();
    dev.pushInput(pattern(600));
    tick();
    ASSERT_EQ(packets.blocks.size(), 2u);
    EXPECT_EQ(packets.all(), pattern(512));
    for (const auto& c : dev.callsOf(FakeOp::ReadFile))
        EXPECT_LE(c.size, 256u);
}

TEST_F(DriverFake, PacketTimeoutAndPollingDelayRules) {
    struct Case {
        std::int32_t t, stored;
    };
    for (auto c :
         {Case{10, 70}, Case{49, 70}, Case{50, 50}, Case{200, 200}, Case{0, -1}, Case{-7, -1}, Case{1, 70}}) {
        drv->setPacketTimeout(c.t);
        EXPECT_EQ(drv->PacketTimeout(), c.stored) << c.t;
    }

    drv->setPacketTimeout(200);
    drv->setPollingDelay(300);
    EXPECT_EQ(drv->PollingDelay(), 300);
    EXPECT_EQ(drv->PacketTimeout(), 420);
    drv->setPacketTimeout(-1);
    drv->setPollingDelay(60);
    EXPECT_EQ(drv->PacketTimeout(), -1);

    for (WORD d : {WORD(0), WORD(3), WORD(4), WORD(5)}) {
        drv->setPollingDelay(d);
        EXPECT_EQ(drv->PollingDelay(), 5) << d;
    }
    drv->setPacketTimeout(1);
    EXPECT_EQ(drv->PacketTimeout(), 7);
}

TEST_F(DriverFake, WritesWhileOpen) {
    open();
    // Refused while open: nothing changes.
    drv->setPort(pnCOM5);
    drv->setPortName("/dev/null");
    drv->setInBufSize(4096);
    drv->setOutBufSize(4096);
    EXPECT_EQ(drv->Port(), pnCOM2);
    EXPECT_EQ(drv->PortName(), kCom2);
    EXPECT_EQ(drv->InBufSize(), 2048u);
    EXPECT_EQ(drv->OutBufSize(), 2048u);
    EXPECT_TRUE(dev.calls().empty());

    // Every line setting is stored and re-applied, also when it did not change; the re-application
    // empties both queues.
    using Write = void (*)(TCommPortDriver&);
    const std::vector<std::pair<const char*, Write>> writes = {
        {"BaudRate", [](TCommPortDriver& d) { d.setBaudRate(br19200); }},
        {"BaudRateValue", [](TCommPortDriver& d) { d.setBaudRateValue(31250); }},
        {"DataBits", [](TCommPortDriver& d) { d.setDataBits(db7BITS); }},
        {"DataBits same", [](TCommPortDriver& d) { d.setDataBits(db7BITS); }},
        {"StopBits", [](TCommPortDriver& d) { d.setStopBits(sb2BITS); }},
        {"Parity", [](TCommPortDriver& d) { d.setParity(ptODD); }},
        {"HwFlow", [](TCommPortDriver& d) { d.setHwFlow(hfRTSCTS); }},
        {"SwFlow", [](TCommPortDriver& d) { d.setSwFlow(sfXONXOFF); }},
    };
    for (const auto& [name, write] : writes) {
        dev.clearCalls();
        dev.pushInput("pending");
        write(*drv);
        EXPECT_EQ(dev.callNames(), (std::vector<std::string>{"SetCommState", "PurgeComm", "SetupComm"}))
            << name;
        EXPECT_EQ(dev.inputSize(), 0u) << name;
    }
    const DCB dcb = *dev.lastDcb();
    EXPECT_EQ(dcb.BaudRate, 31250u);
    EXPECT_EQ(dcb.ByteSize, 7);
    EXPECT_EQ(dcb.StopBits, TWOSTOPBITS);
    EXPECT_EQ(dcb.Parity, ODDPARITY);
    EXPECT_EQ(dcbFlagWord(dcb), 0x2315u);

    // A refused setting stays stored all the same.
    dev.setFailure(FakeOp::SetCommState);
    drv->setBaudRate(br115200);
    EXPECT_EQ(drv->BaudRate(), br115200);
    EXPECT_EQ(drv->BaudRateValue(), 115200u);
    EXPECT_TRUE(drv->IsOpen());
}

// ---- open, line setup, close ----

TEST_F(DriverFake, OpenPortCallsInOrder) {
    ASSERT_TRUE(drv->OpenPort());
    EXPECT_TRUE(drv->IsOpen());
    EXPECT_EQ(dev.callNames(true), (std::vector<std::string>{"CreateFileA", "SetCommState", "PurgeComm",
                                                             "SetupComm", "SetCommTimeouts"}));
    const auto& calls = dev.calls();
    const FakeCall& create = calls[0];
    EXPECT_EQ(create.fileName, kCom2);
    EXPECT_EQ(create.access, GENERIC_READ | GENERIC_WRITE);
    EXPECT_EQ(create.shareMode, 0u);
    EXPECT_EQ(create.disposition, OPEN_EXISTING);
    EXPECT_EQ(create.flagsAndAttributes, FILE_ATTRIBUTE_NORMAL);
    for (std::size_t i = 1; i < calls.size(); ++i)
        EXPECT_EQ(calls[i].handle, create.handle);
    EXPECT_EQ(calls[2].purgeFlags, PURGE_TXABORT | PURGE_TXCLEAR | PURGE_RXABORT | PURGE_RXCLEAR);
    EXPECT_EQ(calls[3].inQueue, 2048u);
    EXPECT_EQ(calls[3].outQueue, 2048u);
    const COMMTIMEOUTS& t = calls[4].timeouts;
    EXPECT_EQ(t.ReadIntervalTimeout, 1u);
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 1u);
    EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 10u);

    // The defaults on the line.
    const DCB& d = calls[1].dcb;
    EXPECT_EQ(d.DCBlength, 28u);
    EXPECT_EQ(d.BaudRate, 9600u);
    EXPECT_EQ(dcbFlagWord(d), 0x1011u);
    EXPECT_EQ(d.XonLim, 512);
    EXPECT_EQ(d.XoffLim, 512);
    EXPECT_EQ(d.ByteSize, 8);
    EXPECT_EQ(d.Parity, 0);
    EXPECT_EQ(d.StopBits, 0);
    EXPECT_EQ(d.XonChar, 17);
    EXPECT_EQ(d.XoffChar, 19);
    EXPECT_EQ(d.ErrorChar, 0);
    EXPECT_EQ(d.EofChar, 0);
    EXPECT_EQ(d.EvtChar, 0);
    EXPECT_TRUE(dev.dtr());
    EXPECT_TRUE(dev.rts());

    // A second open changes nothing.
    dev.clearCalls();
    EXPECT_TRUE(drv->OpenPort());
    EXPECT_TRUE(dev.calls().empty());

    drv->ClosePort();
    EXPECT_EQ(dev.callNames(), (std::vector<std::string>{"CloseHandle"}));
    EXPECT_FALSE(drv->IsOpen());
    EXPECT_FALSE(dev.isOpen());
    drv->ClosePort();
    EXPECT_EQ(dev.calls().size(), 1u);
}

TEST_F(DriverFake, LineRecordForEachSetting) {
    struct Case {
        THwFlowControl hw;
        TSwFlowControl sw;
        bool dtr;
        TParity parity;
        TDataBits bits;
        TStopBits stop;
        DWORD inBuf;
        DWORD flags;
        BYTE byteSize, parityCode, stopCode;
        WORD lim;
    };
    const Case cases[] = {
        {hfRTSCTS, sfXONXOFF, false, ptNONE, db8BITS, sb1BITS, 2048, 0x2305, 8, 0, 0, 512},
        {hfNONE, sfNONE, false, ptNONE, db8BITS, sb1BITS, 2048, 0x0001, 8, 0, 0, 512},
        {hfNONE, sfNONE, true, ptEVEN, db7BITS, sb2BITS, 128, 0x0011, 7, 2, 2, 32},
        {hfNONERTSON, sfXONXOFF, true, ptODD, db5BITS, sb1HALFBITS, 8192, 0x1311, 5, 1, 1, 2048},
        {hfRTSCTS, sfNONE, true, ptMARK, db6BITS, sb1BITS, 1000, 0x2015, 6, 3, 0, 250},
        {hfNONERTSON, sfNONE, false, ptSPACE, db8BITS, sb2BITS, 2048, 0x1001, 8, 4, 2, 512},
    };
    for (const Case& c : cases) {
        drv->setHwFlow(c.hw);
        drv->setSwFlow(c.sw);
        drv->setEnableDTROnOpen(c.dtr);
        drv->setParity(c.parity);
        drv->setDataBits(c.bits);
        drv->setStopBits(c.stop);
        drv->setInBufSize(c.inBuf);
        ASSERT_TRUE(drv->OpenPort());
        const DCB d = *dev.lastDcb();
        const std::string where = "flags " + std::to_string(c.flags);
        EXPECT_EQ(dcbFlagWord(d), c.flags) << where;
        EXPECT_EQ(d.fParity, 0u) << where; // parity is never checked on input
        EXPECT_EQ(d.ByteSize, c.byteSize) << where;
        EXPECT_EQ(d.Parity, c.parityCode) << where;
        EXPECT_EQ(d.StopBits, c.stopCode) << where;
        EXPECT_EQ(d.XonLim, c.lim) << where;
        EXPECT_EQ(d.XoffLim, c.lim) << where;
        EXPECT_EQ(dev.dtr(), c.dtr) << where;
        EXPECT_EQ(dev.rts(), c.hw != hfNONE) << where;
        const DCB built = drv->BuildDCB();
        EXPECT_EQ(dcbFlagWord(built), c.flags) << where;
        drv->ClosePort();
    }
}

TEST_F(DriverFake, OpenFailures) {
    // A missing port: nothing else is called.
    drv->setPortName("\\\\.\\COM9");
    EXPECT_FALSE(drv->OpenPort());
    EXPECT_FALSE(drv->IsOpen());
    EXPECT_EQ(dev.callNames(), (std::vector<std::string>{"CreateFileA"}));

    // A port another opener holds.
    drv->setPort(pnCOM2);
    TCommPortDriver other;
    ASSERT_TRUE(other.OpenPort());
    EXPECT_FALSE(drv->OpenPort());
    other.ClosePort();

    // Refused settings, purge or queue sizes close the handle again; a refused time-out does not.
    struct Case {
        FakeOp fail;
        bool opens;
        std::vector<std::string> calls;
    };
    const std::vector<Case> cases = {
        {FakeOp::SetCommState, false, {"CreateFileA", "SetCommState", "CloseHandle"}},
        {FakeOp::PurgeComm, false, {"CreateFileA", "SetCommState", "PurgeComm", "CloseHandle"}},
        {FakeOp::SetupComm, false, {"CreateFileA", "SetCommState", "PurgeComm", "SetupComm", "CloseHandle"}},
        {FakeOp::SetCommTimeouts,
         true,
         {"CreateFileA", "SetCommState", "PurgeComm", "SetupComm", "SetCommTimeouts"}},
        {FakeOp::CreateFileA, false, {"CreateFileA"}},
    };
    for (const Case& c : cases) {
        dev.clearCalls();
        dev.clearFailures();
        dev.setFailure(c.fail);
        EXPECT_EQ(drv->OpenPort(), c.opens) << platform::fakeOpName(c.fail);
        EXPECT_EQ(drv->IsOpen(), c.opens);
        EXPECT_EQ(dev.isOpen(), c.opens);
        EXPECT_EQ(dev.callNames(), c.calls) << platform::fakeOpName(c.fail);
        drv->ClosePort();
    }
}

TEST_F(DriverFake, FlushQueues) {
    EXPECT_FALSE(drv->FlushQueues(true, true));
    EXPECT_FALSE(drv->ApplyLineSettings());
    EXPECT_TRUE(dev.calls().empty());
    open();
    struct Case {
        bool in, out;
        DWORD flags;
    };
    drv->setPacketSize(10);
    for (auto c : {Case{false, false, 0}, Case{true, false, PURGE_RXABORT | PURGE_RXCLEAR},
                   Case{false, true, PURGE_TXABORT | PURGE_TXCLEAR},
                   Case{true, true, PURGE_RXABORT | PURGE_RXCLEAR | PURGE_TXABORT | PURGE_TXCLEAR}}) {
        dev.pushInput("abc");
        tick(); // an incomplete packet starts its clock
        ASSERT_GE(drv->PacketStartTime(), 0);
        dev.clearCalls();
        EXPECT_TRUE(drv->FlushQueues(c.in, c.out));
        ASSERT_EQ(dev.calls().size(), 1u);
        EXPECT_EQ(dev.calls()[0].purgeFlags, c.flags);
        EXPECT_EQ(drv->PacketStartTime(), -1);
        EXPECT_EQ(dev.inputSize() == 0, c.in);
        dev.setFailure(FakeOp::PurgeComm);
        dev.pushInput("abc");
        tick();
        EXPECT_FALSE(drv->FlushQueues(true, true));
        EXPECT_GE(drv->PacketStartTime(), 0); // a refused purge leaves the clock running
        dev.clearFailures();
        ASSERT_TRUE(drv->FlushQueues(true, false));
    }
}

TEST_F(DriverFake, PollTimerRunsOnlyWhileOpen) {
    drv->setPollingDelay(5);
    open();
    QElapsedTimer t;
    t.start();
    while (dev.count(FakeOp::ClearCommError) < 3 && t.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    EXPECT_GE(dev.count(FakeOp::ClearCommError), 3u);

    // A new period while open restarts the timer; ticks keep coming.
    drv->setPollingDelay(6);
    dev.clearCalls();
    t.restart();
    while (dev.count(FakeOp::ClearCommError) < 2 && t.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    EXPECT_GE(dev.count(FakeOp::ClearCommError), 2u);

    drv->ClosePort();
    dev.clearCalls();
    t.restart();
    while (t.elapsed() < 60)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    EXPECT_TRUE(dev.calls().empty());
}

// ---- poll tick ----

TEST_F(DriverFake, TickDeliversWhatWaits) {
    collectData();
    // Closed: every message goes to the default procedure, which answers 0 and touches nothing.
    EXPECT_EQ(SendMessageA(drv->Handle(), WM_TIMER, 1, 0), 0);
    EXPECT_EQ(SendMessageA(drv->Handle(), WM_USER + 5, 7, 9), 0);
    open();
    dev.pushInput("x");
    EXPECT_EQ(SendMessageA(drv->Handle(), WM_USER + 5, 7, 9), 0);
    EXPECT_TRUE(dev.calls().empty());
    dev.clearOutput();

    tick(); // the timer id is not looked at
    ASSERT_EQ(data.blocks.size(), 1u);
    EXPECT_EQ(data.blocks[0], "x");
    data.blocks.clear();
    tick();
    EXPECT_TRUE(data.blocks.empty());

    const std::string block = pattern(37);
    dev.pushInput(block);
    SendMessageA(drv->Handle(), WM_TIMER, 42, 0);
    ASSERT_EQ(data.blocks.size(), 1u);
    EXPECT_EQ(data.blocks[0], block);

    // A failed status query counts as nothing waiting; a failed read raises nothing.
    data.blocks.clear();
    dev.pushInput("abc");
    dev.setFailure(FakeOp::ClearCommError);
    tick();
    dev.clearFailures();
    dev.setFailure(FakeOp::ReadFile);
    tick();
    EXPECT_TRUE(data.blocks.empty());
    dev.clearFailures();
    dev.setLineErrors(CE_FRAME | CE_OVERRUN);
    tick();
    ASSERT_EQ(data.blocks.size(), 1u);
    EXPECT_EQ(data.blocks[0], "abc");

    // Without a handler the bytes are read all the same.
    drv->setOnReceiveData({});
    dev.pushInput("zz");
    tick();
    EXPECT_EQ(dev.inputSize(), 0u);
}

TEST_F(DriverFake, TickDrainsMoreThanTheBufferInPieces) {
    drv->setInBufSize(128);
    collectData();
    open();
    const std::string block = pattern(300);
    dev.pushInput(block);
    tick();
    ASSERT_EQ(data.blocks.size(), 3u);
    EXPECT_EQ(data.blocks[0].size(), 128u);
    EXPECT_EQ(data.blocks[1].size(), 128u);
    EXPECT_EQ(data.blocks[2].size(), 44u);
    EXPECT_EQ(data.all(), block);
    for (const auto& c : dev.callsOf(FakeOp::ReadFile))
        EXPECT_LE(c.size, 128u);
    // One count serves the tick, however many pieces it takes: what arrives meanwhile is left for
    // the next tick.
    EXPECT_EQ(dev.count(FakeOp::ClearCommError), 1u);
    data.blocks.clear();
    dev.clearCalls();
    int reads = 0;
    dev.onCall = [&](const FakeCall& c) {
        if (c.op == FakeOp::ReadFile && ++reads == 1)
            dev.pushInput("late");
    };
    dev.pushInput(block.substr(0, 200));
    tick();
    dev.onCall = nullptr;
    EXPECT_EQ(data.all(), block.substr(0, 200));
    EXPECT_EQ(dev.count(FakeOp::ClearCommError), 1u);
    EXPECT_EQ(dev.inputSize(), 4u);
    data.blocks.clear();
    tick();
    EXPECT_EQ(data.all(), "late");

    // A handler that closes the port ends the tick.
    data.blocks.clear();
    dev.pushInput(block);
    drv->setOnReceiveData([this](QObject*, void* p, DWORD n) {
        data.blocks.emplace_back(static_cast<const char*>(p), n);
        drv->ClosePort();
    });
    tick();
    EXPECT_EQ(data.blocks.size(), 1u);
    EXPECT_FALSE(drv->IsOpen());
}

TEST_F(DriverFake, HandlerMayDestroyTheDriver) {
    // The owner can go away inside a handler, or inside a nested loop the handler runs (a modal box);
    // the tick must not touch the driver afterwards, nor its hidden window before the tick is over,
    // whichever way the tick arrived. The sanitizer build checks the "not".
    for (const auto& [fromTimer, nested] :
         {std::pair{false, false}, {true, false}, {false, true}, {true, true}}) {
        drv = std::make_unique<TCommPortDriver>();
        drv->setPollingDelay(5);
        open();
        dev.pushInput(std::string(3000, 'x')); // more than one piece: the tick would go on reading
        int calls = 0;
        drv->setOnReceiveData([&, nested = nested](QObject*, void*, DWORD) {
            ++calls;
            if (!nested) {
                drv.reset();
                return;
            }
            QEventLoop loop;
            QTimer::singleShot(0, [&] { drv.reset(); });
            QTimer::singleShot(30, &loop, &QEventLoop::quit);
            loop.exec();
        });
        if (fromTimer) {
            QElapsedTimer waited;
            waited.start();
            while (drv && waited.elapsed() < 5000)
                QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        } else {
            tick();
        }
        EXPECT_FALSE(drv);
        EXPECT_EQ(calls, 1);
        EXPECT_FALSE(dev.isOpen());
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
}

TEST_F(DriverFake, TickDuringHandlerIsSkipped) {
    drv->setPollingDelay(5);
    open();
    int depth = 0;
    int maxDepth = 0;
    std::vector<std::string> seen;
    std::size_t statusDuringHandler = 0;
    drv->setOnReceiveData([&](QObject*, void* p, DWORD n) {
        ++depth;
        maxDepth = std::max(maxDepth, depth);
        const std::string mine(static_cast<const char*>(p), n);
        seen.push_back(mine);
        if (seen.size() == 1) {
            dev.pushInput("second");
            const std::size_t before = dev.count(FakeOp::ClearCommError);
            // A modal box runs a nested loop like this one; timer ticks go on inside it.
            QEventLoop loop;
            QTimer::singleShot(80, &loop, &QEventLoop::quit);
            loop.exec();
            SendMessageA(drv->Handle(), WM_TIMER, 1, 0);
            statusDuringHandler = dev.count(FakeOp::ClearCommError) - before;
            EXPECT_EQ(std::string(static_cast<const char*>(p), n), mine); // buffer untouched
        }
        --depth;
    });
    dev.pushInput("first");
    tick();
    EXPECT_EQ(maxDepth, 1);
    EXPECT_EQ(statusDuringHandler, 0u);
    ASSERT_EQ(seen.size(), 1u);
    tick();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1], "second");
}

// ---- packets ----

TEST_F(DriverFake, WholePackets) {
    collectPackets();
    collectData();
    drv->setPacketSize(10);
    open();
    dev.pushInput(pattern(25));
    const DWORD t0 = clock.now();
    tick();
    ASSERT_EQ(packets.blocks.size(), 2u);
    EXPECT_EQ(packets.blocks[0], pattern(25).substr(0, 10));
    EXPECT_EQ(packets.blocks[1], pattern(25).substr(10, 10));
    EXPECT_EQ(dev.inputSize(), 5u);
    EXPECT_TRUE(data.blocks.empty());
    // The rest had no start time: its clock starts at this tick.
    EXPECT_EQ(drv->PacketStartTime(), std::int64_t(t0));

    // With a start time recorded, each whole packet moves it on by one packet's line time
    // (10 bytes at 9600: 10 ms); using up the count exactly clears it.
    clock.advance(30);
    dev.pushInput(pattern(20)); // 25 waiting
    tick();
    EXPECT_EQ(packets.blocks.size(), 4u);
    EXPECT_EQ(drv->PacketStartTime(), std::int64_t(t0 + 20));
    dev.pushInput(pattern(5)); // 10 waiting
    tick();
    EXPECT_EQ(packets.blocks.size(), 5u);
    EXPECT_EQ(drv->PacketStartTime(), -1);

    // With a custom rate the line time comes from the rate actually applied (4800: 21 ms).
    drv->setBaudRateValue(4800);
    dev.pushInput(pattern(4));
    tick();
    const auto start = drv->PacketStartTime();
    dev.pushInput(pattern(10));
    tick();
    EXPECT_EQ(drv->PacketStartTime(), start + 21);
}

TEST_F(DriverFake, IncompletePacketTimesOut) {
    struct Case {
        TPacketMode mode;
        std::size_t packetsRaised;
    };
    for (auto c : {Case{pmPass, 1}, Case{pmDiscard, 0}}) {
        packets.blocks.clear();
        collectPackets();
        drv->setPacketSize(10);
        drv->setPacketTimeout(70);
        drv->setPacketMode(c.mode);
        open();
        dev.pushInput("abcd");
        tick();
        const DWORD t0 = clock.now();
        EXPECT_EQ(drv->PacketStartTime(), std::int64_t(t0));
        clock.advance(70);
        tick();
        EXPECT_TRUE(packets.blocks.empty());
        EXPECT_EQ(dev.inputSize(), 4u);
        EXPECT_EQ(drv->PacketStartTime(), std::int64_t(t0)); // more bytes do not restart it
        clock.advance(1);
        tick();
        ASSERT_EQ(packets.blocks.size(), c.packetsRaised);
        if (c.packetsRaised) {
            EXPECT_EQ(packets.blocks[0], "abcd");
        }
        EXPECT_EQ(dev.inputSize(), 0u);
        EXPECT_EQ(drv->PacketStartTime(), -1);
        drv->ClosePort();
    }
}

TEST_F(DriverFake, PacketClockAcrossTheWrap) {
    collectPackets();
    drv->setPacketSize(10);
    drv->setPacketTimeout(100);
    drv->setPacketMode(pmPass);
    open();
    clock.set(0xFFFFFFF0u);
    dev.pushInput("ab");
    tick();
    clock.set(0x50); // 96 ms later, past the wrap
    tick();
    EXPECT_TRUE(packets.blocks.empty());
    clock.set(0x55);
    tick();
    ASSERT_EQ(packets.blocks.size(), 1u);

    // Without a time-out an incomplete packet waits for ever.
    drv->setPacketTimeout(-1);
    dev.pushInput("ab");
    for (int i = 0; i < 5; ++i) {
        clock.advance(1000000);
        tick();
    }
    EXPECT_EQ(packets.blocks.size(), 1u);
    EXPECT_EQ(dev.inputSize(), 2u);
}

// ---- writes ----

TEST_F(DriverFake, WriteBasics) {
    EXPECT_EQ(drv->OutQueueFree(), 0xFFFF);
    EXPECT_EQ(drv->WriteDataTimed("abc", 3, 100), 0u);
    EXPECT_FALSE(drv->WriteByte('a'));
    EXPECT_TRUE(dev.calls().empty());

    open();
    EXPECT_EQ(drv->WriteData("abc", 0), 0u);
    EXPECT_EQ(dev.count(FakeOp::WriteFile), 0u);
    clock.setStepPerRead(1); // a write that waits for room ends on the driven clock
    EXPECT_TRUE(drv->WriteByte(0x5A));
    EXPECT_EQ(drv->WriteData("hello", 5), 5u);
    EXPECT_EQ(dev.outputText(), "Zhello");
    const auto writes = dev.callsOf(FakeOp::WriteFile);
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[1].size, 5u);

    // Free space is the requested queue less what waits in it; never a wrapped-around count.
    dev.setOutputCapacity(5000);
    dev.clearCalls();
    EXPECT_EQ(drv->OutQueueFree(), 2048);
    const std::string big = pattern(2000);
    EXPECT_EQ(drv->WriteData(big.data(), 2000), 2000u);
    EXPECT_EQ(drv->OutQueueFree(), 48);
    EXPECT_EQ(drv->WriteData(big.data(), 1000), 48u); // the queue filled up: what went
    EXPECT_EQ(drv->OutQueueFree(), 0);
    for (const auto& c : dev.callsOf(FakeOp::WriteFile))
        EXPECT_LE(c.size, 2048u); // never more than the free space
    // The system may hold more than was asked for: that is no room, not a wrapped-around count.
    DWORD n = 0;
    ASSERT_TRUE(::WriteFile(dev.openHandle(), big.data(), 1000, &n, nullptr));
    EXPECT_EQ(dev.outputQueued(), 3048u);
    EXPECT_EQ(drv->OutQueueFree(), 0);
    dev.transmit(2048);
    EXPECT_EQ(drv->OutQueueFree(), 1048);

    // A failed status query counts as an empty queue.
    dev.setFailure(FakeOp::ClearCommError);
    EXPECT_EQ(drv->OutQueueFree(), 2048);
}

TEST_F(DriverFake, WriteTimesOutOnAFullQueue) {
    open();
    clock.setStepPerRead(1);
    dev.setOutputCapacity(100);
    const std::string big = pattern(300);
    EXPECT_EQ(drv->WriteDataTimed(big.data(), 300, 50), 100u);
    EXPECT_EQ(dev.outputText(), big.substr(0, 100));
    // Bounded by the time-out on the driven clock: it gave up after about 50 ms of no progress.
    EXPECT_GE(clock.reads(), 51u);
    EXPECT_LE(clock.reads(), 60u);

    // Time-out 0: gives up as soon as the clock moves on.
    const std::size_t before = clock.reads();
    EXPECT_EQ(drv->WriteDataTimed("x", 1, 0), 0u);
    EXPECT_LE(clock.reads() - before, 3u);

    // A failed write is no progress.
    dev.transmit(100);
    dev.setFailure(FakeOp::WriteFile);
    EXPECT_EQ(drv->WriteDataTimed("x", 1, 20), 0u);
    EXPECT_FALSE(drv->WriteByte('x'));
    dev.clearFailures();

    // The time-out counts from the last progress: a queue that drains a little now and then lets a
    // write run far past its time-out in total and finish.
    std::size_t statusCalls = 0;
    dev.onCall = [&](const FakeCall& c) {
        if (c.op == FakeOp::ClearCommError && ++statusCalls % 20 == 0)
            dev.transmit(30);
    };
    dev.transmit(100);
    const std::size_t start = clock.reads();
    EXPECT_EQ(drv->WriteDataTimed(big.data(), 300, 50), 300u);
    EXPECT_GT(clock.reads() - start, 100u);
    dev.onCall = nullptr;

    // The clock may wrap during a write.
    dev.setOutputCapacity(std::nullopt);
    clock.set(0xFFFFFFFEu);
    EXPECT_EQ(drv->WriteData("ok", 2), 2u);
}

TEST_F(DriverFake, WriteWithLineCheck) {
    drv->setCheckLineStatus(true);
    open();
    struct Case {
        DWORD modem;
        bool fails;
        DWORD written;
    };
    for (auto c : {Case{0, false, 0}, Case{MS_CTS_ON, false, 3}, Case{MS_RLSD_ON, false, 3},
                   Case{MS_CTS_ON, true, 0}}) {
        dev.clearCalls();
        dev.clearOutput();
        dev.setModemStatus(c.modem);
        dev.setFailure(FakeOp::GetCommModemStatus, c.fails);
        EXPECT_EQ(drv->WriteDataTimed("abc", 3, 1000), c.written) << c.modem;
        EXPECT_EQ(dev.count(FakeOp::WriteFile), c.written ? 1u : 0u);
    }
    // With the queue full the lines are not looked at: the time-out ends it.
    dev.clearFailures();
    dev.setModemStatus(MS_CTS_ON);
    dev.setOutputCapacity(2048);
    const std::string fill = pattern(2048);
    ASSERT_EQ(drv->WriteData(fill.data(), 2048), 2048u);
    dev.setModemStatus(0);
    clock.setStepPerRead(1);
    dev.clearCalls();
    EXPECT_EQ(drv->WriteDataTimed("abc", 3, 10), 0u);
    EXPECT_EQ(dev.count(FakeOp::GetCommModemStatus), 0u);
}

// ---- modem lines ----

TEST_F(DriverFake, ModemLines) {
    EXPECT_EQ(drv->ReadModemLines(), 0);
    drv->SetDtrLine(true);
    drv->SetRtsLine(true);
    EXPECT_TRUE(dev.calls().empty());

    open();
    struct Case {
        DWORD bits;
        TLineStatus lines;
    };
    for (auto c : {Case{0, 0}, Case{MS_CTS_ON, lsCTS}, Case{MS_DSR_ON, lsDSR}, Case{MS_RING_ON, lsRING},
                   Case{MS_RLSD_ON, lsCD}, Case{MS_CTS_ON | MS_RLSD_ON, 9},
                   Case{MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON, 15}, Case{0xFF0F, 0}}) {
        dev.setModemStatus(c.bits);
        EXPECT_EQ(drv->ReadModemLines(), c.lines) << c.bits;
    }
    dev.setModemStatus(MS_CTS_ON);
    dev.setFailure(FakeOp::GetCommModemStatus);
    EXPECT_EQ(drv->ReadModemLines(), 0);

    struct Drive {
        bool dtr;
        bool on;
        DWORD func;
    };
    dev.clearCalls();
    for (auto d : {Drive{true, true, SETDTR}, Drive{true, false, CLRDTR}, Drive{false, true, SETRTS},
                   Drive{false, false, CLRRTS}}) {
        d.dtr ? drv->SetDtrLine(d.on) : drv->SetRtsLine(d.on);
        EXPECT_EQ(dev.calls().back().func, d.func);
        EXPECT_EQ(d.dtr ? dev.dtr() : dev.rts(), d.on);
    }
    // Applying the settings again raises DTR and RTS from the settings once more.
    EXPECT_FALSE(dev.dtr());
    EXPECT_FALSE(dev.rts());
    drv->setParity(ptNONE);
    EXPECT_TRUE(dev.dtr());
    EXPECT_TRUE(dev.rts());
}

} // namespace

// ---- receive events ----

// The platform's receive events are raised at their place between the blocks: a piece read for
// OnReceiveData ends where an event stands. In packet mode they come before the packet they precede.
// Events among purged bytes stand where reading goes on; a hang-up with nothing left to read is still
// raised, although the status query fails.
TEST_F(DriverFake, ReceiveEventsAreRaisedWhereTheyHappened) {
    using Kind = platform::ReceiveEventKind;
    struct Step {
        std::string input;        // pushed before the event
        std::optional<Kind> kind; // the event then noted
    };
    struct Case {
        const char* name;
        std::vector<Step> steps;
        std::int16_t packetSize = -1;
        bool purgeFirst = false;
        bool statusFails = false;
        const char* expected;
    };
    const Case cases[] = {
        {"between blocks",
         {{"abc", Kind::Framing}, {"def", Kind::QueueOverflow}, {"g", {}}},
         -1,
         false,
         false,
         "D:abc E:3/2 D:def E:6/0 D:g"},
        {"before any data", {{"", Kind::Break}, {"xy", {}}}, -1, false, false, "E:0/4 D:xy"},
        {"two at one place",
         {{"ab", Kind::Parity}, {"", Kind::Overrun}, {"c", {}}},
         -1,
         false,
         false,
         "D:ab E:2/3,2/1 D:c"},
        {"a hang-up after the last block", {{"bye", Kind::HangUp}}, -1, false, false, "D:bye E:3/5"},
        {"a hang-up with the status failing", {{"", Kind::HangUp}}, -1, false, true, "E:0/5"},
        {"purged data", {{"lost", Kind::Framing}, {"more", {}}}, -1, true, false, "E:0/2"},
        {"packets", {{"abcd", Kind::Framing}, {"efgh", {}}}, 4, false, false, "P:abcd E:4/2 P:efgh"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        drv = std::make_unique<TCommPortDriver>();
        std::string seen;
        drv->setOnReceiveData(
            [&](QObject*, void* p, DWORD n) { seen += " D:" + std::string(static_cast<const char*>(p), n); });
        drv->setOnReceivePacket(
            [&](QObject*, void* p, DWORD n) { seen += " P:" + std::string(static_cast<const char*>(p), n); });
        drv->setOnReceiveEvents([&](QObject* sender, const platform::ReceiveEvent* e, DWORD n) {
            EXPECT_EQ(sender, drv.get());
            seen += " E:";
            for (DWORD i = 0; i < n; ++i)
                seen += (i ? "," : "") + std::to_string(e[i].offset) + "/" + std::to_string(int(e[i].kind));
        });
        if (c.packetSize > 0)
            drv->setPacketSize(c.packetSize);
        open();
        for (const Step& s : c.steps) {
            dev.pushInput(s.input);
            if (s.kind)
                dev.pushEvent(*s.kind, 1);
        }
        if (c.purgeFirst) {
            EXPECT_TRUE(drv->FlushQueues(true, false));
        }
        if (c.statusFails)
            dev.setFailure(FakeOp::ClearCommError);
        tick();
        tick();
        dev.clearFailures();
        EXPECT_EQ(seen, std::string(" ") + c.expected);
        drv->ClosePort();
    }
}
