// SPDX-License-Identifier: GPL-3.0-or-later
#include "CPDrv.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>

#include <QPointer>

namespace {

constexpr std::array<DWORD, 15> kRateTable = {110,   300,   600,   1200,  2400,   4800,   9600,  14400,
                                              19200, 38400, 56000, 57600, 115200, 128000, 256000};

constexpr DWORD kMinQueue = 128;
constexpr DWORD kMaxQueue = 8192;
constexpr WORD kMinPollingDelay = 5;
constexpr UINT_PTR kPollTimerId = 1;

DWORD clampQueueSize(DWORD n) {
    return std::clamp(n, kMinQueue, kMaxQueue);
}

// Marks a tick whose handlers are running, for the life of the object. A handler may destroy the
// driver (its owner goes away inside a nested loop): then there is nothing left to unmark.
class TickGuard {
public:
    TickGuard(TCommPortDriver* driver, bool& flag) : m_driver(driver), m_flag(flag) { m_flag = true; }
    ~TickGuard() {
        if (m_driver)
            m_flag = false;
    }
    TickGuard(const TickGuard&) = delete;
    TickGuard& operator=(const TickGuard&) = delete;
    bool alive() const { return !m_driver.isNull(); }

private:
    QPointer<TCommPortDriver> m_driver;
    bool& m_flag;
};

} // namespace

DWORD BaudRateOf(TBaudRate rate) {
    const auto i = static_cast<std::size_t>(rate);
    return i >= 1 && i <= kRateTable.size() ? kRateTable[i - 1] : 0;
}

DWORD PacketLineTime(DWORD rateBitsPerSecond, DWORD n) {
    if (rateBitsPerSecond == 0)
        return 0;
    // Ten bits a byte whatever the framing: start, eight data, stop is the common case.
    const double ms = static_cast<double>(n) / (static_cast<double>(rateBitsPerSecond) / 10.0) * 1000.0;
    return static_cast<DWORD>(std::llround(ms));
}

TCommPortDriver::TCommPortDriver(QObject* owner) : QObject(owner) {
    // The defaults are the member initialisers; no write rule runs here.
    m_buffer.assign(m_inBufSize, 0);
    m_window = AllocateHWnd([this](TMessage& msg) { PollTick(msg); });
}

TCommPortDriver::~TCommPortDriver() {
    m_breakEnd = nullptr; // its owner is going too
    ClosePort();
    DeallocateHWnd(m_window);
    m_window = nullptr;
}

// ---- property writes ----

void TCommPortDriver::setPort(TPortNumber v) {
    if (IsOpen())
        return;
    m_port = v;
    if (v != pnCustom) {
        char name[16];
        std::snprintf(name, sizeof name, "\\\\.\\COM%d", static_cast<int>(v));
        m_portName = name;
    }
}

void TCommPortDriver::setPortName(const std::string& s) {
    if (IsOpen())
        return;
    m_port = pnCustom;
    m_portName = s;
}

void TCommPortDriver::setBaudRate(TBaudRate v) {
    m_baudRate = v;
    if (v != brCustom)
        m_baudRateValue = BaudRateOf(v);
    if (IsOpen())
        ApplyLineSettings();
}

void TCommPortDriver::setBaudRateValue(DWORD n) {
    m_baudRate = brCustom;
    m_baudRateValue = n;
    if (IsOpen())
        ApplyLineSettings();
}

void TCommPortDriver::setDataBits(TDataBits v) {
    m_dataBits = v;
    if (IsOpen())
        ApplyLineSettings();
}

void TCommPortDriver::setStopBits(TStopBits v) {
    m_stopBits = v;
    if (IsOpen())
        ApplyLineSettings();
}

void TCommPortDriver::setParity(TParity v) {
    m_parity = v;
    if (IsOpen())
        ApplyLineSettings();
}

void TCommPortDriver::setHwFlow(THwFlowControl v) {
    m_hwFlow = v;
    if (IsOpen())
        ApplyLineSettings();
}

void TCommPortDriver::setSwFlow(TSwFlowControl v) {
    m_swFlow = v;
    if (IsOpen())
        ApplyLineSettings();
}

void TCommPortDriver::setInBufSize(DWORD n) {
    if (IsOpen())
        return;
    m_inBufSize = clampQueueSize(n);
    m_buffer.assign(m_inBufSize, 0);
    // A packet larger than the new buffer grows it back.
    setPacketSize(m_packetSize);
}

void TCommPortDriver::setOutBufSize(DWORD n) {
    if (IsOpen())
        return;
    m_outBufSize = clampQueueSize(n);
}

void TCommPortDriver::setPacketSize(std::int16_t n) {
    if (n <= 0) {
        m_packetSize = -1;
        return;
    }
    // Whole packets are read into the receive buffer, so a packet never outgrows it: above the
    // largest buffer, or above the current one while it cannot grow, the packet is cut to fit.
    DWORD size = std::min<DWORD>(static_cast<DWORD>(n), kMaxQueue);
    if (IsOpen())
        size = std::min(size, m_inBufSize);
    m_packetSize = static_cast<std::int16_t>(size);
    if (size > m_inBufSize)
        setInBufSize(size);
}

void TCommPortDriver::setPacketTimeout(std::int32_t t) {
    if (t <= 0)
        m_packetTimeout = -1;
    else if (t < m_pollingDelay)
        m_packetTimeout = m_pollingDelay + m_pollingDelay * 40 / 100;
    else
        m_packetTimeout = t;
}

void TCommPortDriver::setPollingDelay(WORD d) {
    d = std::max(d, kMinPollingDelay);
    if (d == m_pollingDelay)
        return;
    const bool open = IsOpen();
    if (open)
        KillTimer(m_window, kPollTimerId);
    m_pollingDelay = d;
    if (open)
        SetTimer(m_window, kPollTimerId, m_pollingDelay, nullptr);
    setPacketTimeout(m_packetTimeout);
}

// ---- open, line setup, close ----

bool TCommPortDriver::OpenPort() {
    if (IsOpen())
        return true;
    m_handle = CreateFileA(m_portName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (!IsOpen())
        return false;
    if (!ApplyLineSettings()) {
        ClosePort();
        return false;
    }
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = 1;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 1;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 10;
    SetCommTimeouts(m_handle, &timeouts);
    m_delivered = 0;
    m_events.clear();
    SetTimer(m_window, kPollTimerId, m_pollingDelay, nullptr);
    return true;
}

void TCommPortDriver::ClosePort() {
    if (!IsOpen())
        return;
    KillTimer(m_window, kPollTimerId);
    EndBreak(); // a line left in break would look dead to the device
    CloseHandle(m_handle);
    m_handle = INVALID_HANDLE_VALUE;
    m_events.clear();
}

DCB TCommPortDriver::BuildDCB() const {
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = m_baudRateValue;
    dcb.fBinary = 1;
    dcb.fDtrControl = m_enableDTROnOpen ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    switch (m_hwFlow) {
    case hfNONE:
        dcb.fRtsControl = RTS_CONTROL_DISABLE;
        break;
    case hfNONERTSON:
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
        break;
    case hfRTSCTS:
        dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
        dcb.fOutxCtsFlow = 1;
        break;
    }
    if (m_swFlow == sfXONXOFF) {
        dcb.fOutX = 1;
        dcb.fInX = 1;
    }
    dcb.XonLim = static_cast<WORD>(m_inBufSize / 4);
    dcb.XoffLim = static_cast<WORD>(m_inBufSize / 4);
    dcb.ByteSize = static_cast<BYTE>(m_dataBits + 5);
    dcb.Parity = static_cast<BYTE>(m_parity);
    dcb.StopBits = static_cast<BYTE>(m_stopBits);
    dcb.XonChar = 17;
    dcb.XoffChar = 19;
    return dcb;
}

bool TCommPortDriver::ApplyLineSettings() {
    if (!IsOpen())
        return false;
    DCB dcb = BuildDCB();
    if (!SetCommState(m_handle, &dcb))
        return false;
    if (!FlushQueues(true, true))
        return false;
    return SetupComm(m_handle, m_inBufSize, m_outBufSize) != FALSE;
}

bool TCommPortDriver::FlushQueues(bool input, bool output) {
    if (!IsOpen())
        return false;
    DWORD flags = 0;
    if (output)
        flags |= PURGE_TXABORT | PURGE_TXCLEAR;
    if (input)
        flags |= PURGE_RXABORT | PURGE_RXCLEAR;
    if (!PurgeComm(m_handle, flags))
        return false;
    m_packetStart = -1;
    // Events among the purged bytes now stand where reading goes on.
    if (input) {
        for (platform::ReceiveEvent& e : m_events)
            e.offset = std::min(e.offset, m_delivered);
    }
    return true;
}

// ---- data transfer and modem lines ----

WORD TCommPortDriver::OutQueueFree() {
    if (!IsOpen())
        return 0xFFFF;
    DWORD errors = 0;
    COMSTAT stat{};
    if (!ClearCommError(m_handle, &errors, &stat))
        stat.cbOutQue = 0; // an unreadable status counts as empty queues
    // The system may queue more than was asked for; that is no room, not a wrapped-around count.
    if (stat.cbOutQue >= m_outBufSize)
        return 0;
    return static_cast<WORD>(m_outBufSize - stat.cbOutQue);
}

DWORD TCommPortDriver::WriteDataTimed(const void* data, DWORD count, DWORD timeoutMs) {
    if (!IsOpen() || (data == nullptr && count > 0))
        return 0;
    const auto* p = static_cast<const BYTE*>(data);
    DWORD total = 0;
    DWORD lastProgress = GetTickCount();
    // Spins without sleeping or pumping events: the caller gets its answer within the time-out,
    // and no tick can run in between.
    while (count > 0) {
        const WORD free = OutQueueFree();
        DWORD n = 0;
        if (free > 0) {
            if (m_checkLineStatus && ReadModemLines() == 0)
                break;
            WriteFile(m_handle, p, std::min<DWORD>(count, free), &n, nullptr);
            if (n > 0) {
                n = std::min(n, count);
                total += n;
                count -= n;
                p += n;
                lastProgress = GetTickCount();
                continue;
            }
        }
        if (static_cast<DWORD>(GetTickCount() - lastProgress) > timeoutMs)
            break;
    }
    return total;
}

DWORD TCommPortDriver::WriteData(const void* data, DWORD count) {
    return WriteDataTimed(data, count, m_outputTimeout);
}

bool TCommPortDriver::WriteByte(BYTE b) {
    return WriteData(&b, 1) == 1;
}

TLineStatus TCommPortDriver::ReadModemLines() {
    if (!IsOpen())
        return 0;
    DWORD bits = 0;
    if (!GetCommModemStatus(m_handle, &bits))
        return 0;
    TLineStatus s = 0;
    if (bits & MS_CTS_ON)
        s |= lsCTS;
    if (bits & MS_DSR_ON)
        s |= lsDSR;
    if (bits & MS_RING_ON)
        s |= lsRING;
    if (bits & MS_RLSD_ON)
        s |= lsCD;
    return s;
}

void TCommPortDriver::SetDtrLine(bool on) {
    if (IsOpen())
        EscapeCommFunction(m_handle, on ? SETDTR : CLRDTR);
}

void TCommPortDriver::SetRtsLine(bool on) {
    if (IsOpen())
        EscapeCommFunction(m_handle, on ? SETRTS : CLRRTS);
}

// ---- the poll tick ----

bool TCommPortDriver::raiseDueEvents(const std::function<bool()>& stillValid, bool take) {
    // Whatever the platform notices after the tick's count stands after the bytes counted, so taking
    // at the start of a tick and after its last piece places every event.
    if (take)
        platform::TakeReceiveEvents(m_handle, m_events);
    std::size_t due = 0;
    while (due < m_events.size() && m_events[due].offset <= m_delivered)
        ++due;
    if (due == 0)
        return true;
    // Raised from a copy: a handler may run a nested loop in which a later tick takes more.
    const std::vector<platform::ReceiveEvent> batch(m_events.begin(), m_events.begin() + std::ptrdiff_t(due));
    m_events.erase(m_events.begin(), m_events.begin() + std::ptrdiff_t(due));
    if (!m_onReceiveEvents)
        return true;
    m_onReceiveEvents(this, batch.data(), static_cast<DWORD>(batch.size()));
    return stillValid();
}

DWORD TCommPortDriver::upToNextEvent(DWORD want) const {
    if (m_events.empty() || m_events.front().offset <= m_delivered)
        return want;
    return static_cast<DWORD>(std::min<std::uint64_t>(want, m_events.front().offset - m_delivered));
}

void TCommPortDriver::PollTick(TMessage& msg) {
    if (msg.Msg != WM_TIMER || !IsOpen()) {
        msg.Result = DefWindowProcA(m_window, msg.Msg, msg.WParam, msg.LParam);
        return;
    }
    // A handler of an earlier tick still holds the buffer (it runs a nested event loop): skip.
    if (m_inTick)
        return;
    const TickGuard busy(this, m_inTick);

    DWORD errors = 0;
    COMSTAT stat{};
    if (!ClearCommError(m_handle, &errors, &stat))
        stat.cbInQue = 0; // an unreadable status counts as empty queues
    DWORD waiting = stat.cbInQue;
    const HANDLE handle = m_handle;
    // A handler may close the port, or change the packet size while open; either ends this tick.
    const auto stillValid = [&](std::int16_t packetSize) {
        return busy.alive() && m_handle == handle && m_packetSize == packetSize;
    };

    const std::int16_t packetSize = m_packetSize;
    const auto valid = [&] { return stillValid(packetSize); };
    if (!raiseDueEvents(valid))
        return;
    if (packetSize <= 0) {
        // Everything counted, in pieces no larger than the buffer, one event per piece; what arrives
        // meanwhile waits in the port's input queue for the next tick. A piece ends where a receive
        // event stands, and the event is raised before what follows it.
        while (waiting > 0) {
            const DWORD piece = upToNextEvent(std::min<DWORD>(waiting, static_cast<DWORD>(m_buffer.size())));
            DWORD n = 0;
            if (!ReadFile(m_handle, m_buffer.data(), piece, &n, nullptr) || n == 0)
                return;
            n = std::min(n, piece);
            waiting -= n;
            m_delivered += n;
            if (m_onReceiveData)
                m_onReceiveData(this, m_buffer.data(), n);
            if (!stillValid(packetSize) || !raiseDueEvents(valid, waiting == 0))
                return;
        }
        return;
    }

    const auto size = static_cast<DWORD>(packetSize); // never more than the buffer holds
    const DWORD now = GetTickCount();
    if (waiting < size) {
        if (m_packetTimeout > 0 && m_packetStart >= 0 &&
            static_cast<DWORD>(now - static_cast<DWORD>(m_packetStart)) >
                static_cast<DWORD>(m_packetTimeout)) {
            DWORD n = 0;
            const BOOL ok = ReadFile(m_handle, m_buffer.data(), waiting, &n, nullptr);
            m_delivered += ok ? std::min(n, waiting) : 0;
            m_packetStart = -1;
            if (ok && m_packetMode == pmPass && n > 0 && m_onReceivePacket)
                m_onReceivePacket(this, m_buffer.data(), std::min(n, waiting));
            return;
        }
        if (waiting > 0 && m_packetStart < 0)
            m_packetStart = now;
        return;
    }

    const DWORD lineTime =
        PacketLineTime(m_baudRate == brCustom ? m_baudRateValue : BaudRateOf(m_baudRate), size);
    while (waiting >= size) {
        DWORD n = 0;
        const BOOL ok = ReadFile(m_handle, m_buffer.data(), size, &n, nullptr);
        m_delivered += ok ? std::min(n, size) : 0;
        // The rest counts as a packet that began one packet's line time later.
        if (m_packetStart >= 0)
            m_packetStart = static_cast<DWORD>(static_cast<DWORD>(m_packetStart) + lineTime);
        waiting -= size;
        if (waiting == 0)
            m_packetStart = -1;
        if (!ok || n == 0)
            break;
        if (m_onReceivePacket) {
            m_onReceivePacket(this, m_buffer.data(), std::min(n, size));
            if (!stillValid(packetSize))
                return;
        }
        if (!raiseDueEvents(valid))
            return;
    }
    // Bytes left over with no start time: their time-out counts from this tick.
    if (waiting > 0 && m_packetStart < 0)
        m_packetStart = now;
}
