// SPDX-License-Identifier: GPL-3.0-or-later
// A timed break: the line is held at space for a while, which many devices take as "attention" or a
// reset. The window's thread never waits for it: a single-shot timer ends it.
#include "CPDrv.h"

#include <QTimer>

#include <chrono>
#include <utility>

bool TCommPortDriver::SendBreak(DWORD ms, std::function<void()> onEnd) {
    if (!IsOpen() || m_breakOn)
        return false;
    if (!EscapeCommFunction(m_handle, SETBREAK))
        return false;
    m_breakOn = true;
    m_breakEnd = std::move(onEnd);
    const std::uint32_t serial = ++m_breakSerial;
    QTimer::singleShot(std::chrono::milliseconds(ms), this, [this, serial] {
        // A break the close already ended, and perhaps a newer one, is not this timer's to end.
        if (m_breakOn && serial == m_breakSerial)
            EndBreak();
    });
    return true;
}

void TCommPortDriver::EndBreak() {
    if (!m_breakOn)
        return;
    m_breakOn = false;
    ++m_breakSerial;
    if (IsOpen())
        EscapeCommFunction(m_handle, CLRBREAK);
    if (auto done = std::exchange(m_breakEnd, nullptr))
        done();
}
