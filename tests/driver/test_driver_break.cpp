// SPDX-License-Identifier: GPL-3.0-or-later
// A timed break on the fake device: set, then cleared by the event loop; refused while closed or while
// one is on; ended by a close.
#include "CPDrv.h"
#include "platform/fake_comm.h"

#include <QCoreApplication>
#include <QDeadlineTimer>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

using platform::FakeComm;
using platform::FakeOp;
using platform::ScopedCommDevice;

namespace {

std::vector<DWORD> escapes(const FakeComm& comm) {
    std::vector<DWORD> out;
    for (const auto& c : comm.callsOf(FakeOp::EscapeCommFunction))
        out.push_back(c.func);
    return out;
}

void processUntil(const std::function<bool()>& done, int limitMs = 10000) {
    const QDeadlineTimer deadline(limitMs);
    while (!done() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 20);
}

TEST(DriverBreak, SetThenClearedWithoutBlockingAndEndedByAClose) {
    FakeComm comm;
    ScopedCommDevice scope(comm);
    comm.addDevice("\\\\.\\COM2");
    TCommPortDriver drv;
    int ended = 0;
    EXPECT_FALSE(drv.SendBreak(250, [&] { ++ended; })); // closed
    EXPECT_EQ(comm.count(FakeOp::EscapeCommFunction), 0u);

    ASSERT_TRUE(drv.OpenPort());
    comm.clearCalls();
    ASSERT_TRUE(drv.SendBreak(250, [&] { ++ended; }));
    // Returns with the break on; a second one meanwhile is refused.
    EXPECT_TRUE(drv.BreakOn());
    EXPECT_EQ(escapes(comm), std::vector<DWORD>{SETBREAK});
    EXPECT_FALSE(drv.SendBreak(250));
    processUntil([&] { return !drv.BreakOn(); });
    EXPECT_EQ(escapes(comm), (std::vector<DWORD>{SETBREAK, CLRBREAK}));
    EXPECT_EQ(ended, 1);

    // A close ends the break on the way (the line is not left at space) and the timer then does nothing.
    comm.clearCalls();
    ASSERT_TRUE(drv.SendBreak(50, [&] { ++ended; }));
    drv.ClosePort();
    EXPECT_EQ(comm.callNames(),
              (std::vector<std::string>{"EscapeCommFunction", "EscapeCommFunction", "CloseHandle"}));
    EXPECT_EQ(escapes(comm), (std::vector<DWORD>{SETBREAK, CLRBREAK}));
    EXPECT_EQ(ended, 2);
    ASSERT_TRUE(drv.OpenPort());
    comm.clearCalls();
    processUntil([] { return false; }, 200); // past the old timer's time
    EXPECT_TRUE(escapes(comm).empty());
}

} // namespace
