// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/fake_comm.h"

#include <algorithm>
#include <cstring>

namespace platform {

const char* fakeOpName(FakeOp op) {
    switch (op) {
    case FakeOp::CreateFileA:
        return "CreateFileA";
    case FakeOp::CloseHandle:
        return "CloseHandle";
    case FakeOp::SetCommState:
        return "SetCommState";
    case FakeOp::SetupComm:
        return "SetupComm";
    case FakeOp::SetCommTimeouts:
        return "SetCommTimeouts";
    case FakeOp::PurgeComm:
        return "PurgeComm";
    case FakeOp::ClearCommError:
        return "ClearCommError";
    case FakeOp::ReadFile:
        return "ReadFile";
    case FakeOp::WriteFile:
        return "WriteFile";
    case FakeOp::EscapeCommFunction:
        return "EscapeCommFunction";
    case FakeOp::GetCommModemStatus:
        return "GetCommModemStatus";
    }
    return "?";
}

namespace {
FakeCall newCall(FakeOp op, HANDLE h) {
    FakeCall c;
    c.op = op;
    c.handle = h;
    return c;
}
} // namespace

FakeComm::FakeComm() = default;

void FakeComm::addDevice(const std::string& name) {
    m_devices.insert(name);
}

void FakeComm::removeDevice(const std::string& name) {
    m_devices.erase(name);
}

void FakeComm::pushInput(std::string_view bytes) {
    m_input.insert(m_input.end(), bytes.begin(), bytes.end());
}

void FakeComm::pushInput(const std::vector<BYTE>& bytes) {
    m_input.insert(m_input.end(), bytes.begin(), bytes.end());
}

void FakeComm::setOutputCapacity(std::optional<std::size_t> capacity) {
    m_outCapacity = capacity;
    if (!capacity)
        m_outQueued = 0;
}

void FakeComm::transmit(std::size_t n) {
    m_outQueued -= std::min(n, m_outQueued);
}

void FakeComm::setFailureReason(DWORD code, FailureDetail detail) {
    m_failureError = code;
    m_failureDetail = std::move(detail);
}

void FakeComm::setFailure(FakeOp op, bool fail) {
    if (fail)
        m_failing.insert(op);
    else
        m_failing.erase(op);
}

std::vector<FakeCall> FakeComm::callsOf(FakeOp op) const {
    std::vector<FakeCall> out;
    std::copy_if(m_calls.begin(), m_calls.end(), std::back_inserter(out),
                 [op](const FakeCall& c) { return c.op == op; });
    return out;
}

std::vector<std::string> FakeComm::callNames(bool withStatus) const {
    std::vector<std::string> out;
    for (const auto& c : m_calls)
        if (withStatus || c.op != FakeOp::ClearCommError)
            out.emplace_back(fakeOpName(c.op));
    return out;
}

std::size_t FakeComm::count(FakeOp op) const {
    return static_cast<std::size_t>(
        std::count_if(m_calls.begin(), m_calls.end(), [op](const FakeCall& c) { return c.op == op; }));
}

bool FakeComm::usable(HANDLE h, FakeOp op) const {
    return h != nullptr && h == m_openHandle && !m_failing.contains(op);
}

BOOL FakeComm::finish(FakeCall call, bool ok) {
    call.result = ok ? TRUE : FALSE;
    if (!ok) {
        FailureDetail detail = m_failureDetail;
        DWORD code = m_failureError;
        if (call.op == FakeOp::CreateFileA && !m_failing.contains(FakeOp::CreateFileA))
            code = m_devices.contains(call.fileName) ? ERROR_SHARING_VIOLATION : ERROR_FILE_NOT_FOUND;
        SetLastFailure(code, std::move(detail));
    }
    m_calls.push_back(call);
    if (onCall)
        onCall(m_calls.back());
    return call.result;
}

HANDLE FakeComm::CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode, DWORD creationDisposition,
                             DWORD flagsAndAttributes) {
    FakeCall c = newCall(FakeOp::CreateFileA, nullptr);
    c.fileName = fileName;
    c.access = desiredAccess;
    c.shareMode = shareMode;
    c.disposition = creationDisposition;
    c.flagsAndAttributes = flagsAndAttributes;
    // One opener at a time, like an exclusive serial device.
    const bool ok =
        !m_failing.contains(FakeOp::CreateFileA) && m_devices.contains(c.fileName) && m_openHandle == nullptr;
    HANDLE h = INVALID_HANDLE_VALUE;
    if (ok) {
        h = reinterpret_cast<HANDLE>(m_nextHandle++);
        m_openHandle = h;
        m_openName = c.fileName;
        // Offsets count from the open, as a real port's do; what waits from before keeps its place.
        for (ReceiveEvent& e : m_events)
            e.offset = e.offset >= m_taken ? e.offset - m_taken : 0;
        m_taken = 0;
    }
    c.handle = h;
    finish(c, ok);
    return h;
}

BOOL FakeComm::CloseHandle(HANDLE h) {
    FakeCall c = newCall(FakeOp::CloseHandle, h);
    const bool ok = h != nullptr && h == m_openHandle;
    if (ok) {
        // The handle goes even when told to fail, as a real close releases the device either way.
        m_openHandle = nullptr;
        m_openName.clear();
    }
    return finish(c, ok && !m_failing.contains(FakeOp::CloseHandle));
}

BOOL FakeComm::SetCommState(HANDLE h, const DCB& dcb) {
    FakeCall c = newCall(FakeOp::SetCommState, h);
    c.dcb = dcb;
    const bool ok = usable(h, FakeOp::SetCommState);
    if (ok) {
        m_lastDcb = dcb;
        m_dtr = dcb.fDtrControl != DTR_CONTROL_DISABLE;
        m_rts = dcb.fRtsControl != RTS_CONTROL_DISABLE;
    }
    return finish(c, ok);
}

BOOL FakeComm::SetupComm(HANDLE h, DWORD inQueue, DWORD outQueue) {
    FakeCall c = newCall(FakeOp::SetupComm, h);
    c.inQueue = inQueue;
    c.outQueue = outQueue;
    const bool ok = usable(h, FakeOp::SetupComm);
    if (ok) {
        m_inQueueSize = inQueue;
        m_outQueueSize = outQueue;
    }
    return finish(c, ok);
}

BOOL FakeComm::SetCommTimeouts(HANDLE h, const COMMTIMEOUTS& timeouts) {
    FakeCall c = newCall(FakeOp::SetCommTimeouts, h);
    c.timeouts = timeouts;
    const bool ok = usable(h, FakeOp::SetCommTimeouts);
    if (ok)
        m_lastTimeouts = timeouts;
    return finish(c, ok);
}

BOOL FakeComm::PurgeComm(HANDLE h, DWORD flags) {
    FakeCall c = newCall(FakeOp::PurgeComm, h);
    c.purgeFlags = flags;
    const bool ok = usable(h, FakeOp::PurgeComm);
    if (ok) {
        if (flags & PURGE_RXCLEAR) {
            m_input.clear();
            m_inputHead = 0;
            for (ReceiveEvent& e : m_events)
                e.offset = std::min(e.offset, m_taken);
        }
        if (flags & PURGE_TXCLEAR)
            m_outQueued = 0;
    }
    return finish(c, ok);
}

BOOL FakeComm::ClearCommError(HANDLE h, LPDWORD errors, COMSTAT* stat) {
    FakeCall c = newCall(FakeOp::ClearCommError, h);
    const bool ok = usable(h, FakeOp::ClearCommError);
    if (ok) {
        if (errors)
            *errors = m_lineErrors;
        m_lineErrors = 0;
        if (stat) {
            *stat = COMSTAT{};
            stat->cbInQue = static_cast<DWORD>(m_input.size() - m_inputHead);
            stat->cbOutQue = static_cast<DWORD>(m_outQueued);
        }
    }
    return finish(c, ok);
}

BOOL FakeComm::ReadFile(HANDLE h, LPVOID buffer, DWORD toRead, LPDWORD read) {
    FakeCall c = newCall(FakeOp::ReadFile, h);
    c.size = toRead;
    const bool ok = usable(h, FakeOp::ReadFile);
    if (ok) {
        const std::size_t n = std::min<std::size_t>(toRead, m_input.size() - m_inputHead);
        if (n > 0)
            std::memcpy(buffer, m_input.data() + m_inputHead, n);
        m_inputHead += n;
        m_taken += n;
        if (m_inputHead == m_input.size()) {
            m_input.clear();
            m_inputHead = 0;
        }
        c.done = static_cast<DWORD>(n);
    }
    if (read)
        *read = c.done;
    return finish(c, ok);
}

BOOL FakeComm::WriteFile(HANDLE h, LPCVOID buffer, DWORD toWrite, LPDWORD written) {
    FakeCall c = newCall(FakeOp::WriteFile, h);
    c.size = toWrite;
    const bool ok = usable(h, FakeOp::WriteFile);
    if (ok) {
        std::size_t n = toWrite;
        if (m_outCapacity) {
            const std::size_t room = *m_outCapacity > m_outQueued ? *m_outCapacity - m_outQueued : 0;
            n = std::min(n, room);
            m_outQueued += n;
        }
        const auto* p = static_cast<const BYTE*>(buffer);
        m_output.insert(m_output.end(), p, p + n);
        c.done = static_cast<DWORD>(n);
    }
    if (written)
        *written = c.done;
    return finish(c, ok);
}

BOOL FakeComm::EscapeCommFunction(HANDLE h, DWORD func) {
    FakeCall c = newCall(FakeOp::EscapeCommFunction, h);
    c.func = func;
    bool ok = usable(h, FakeOp::EscapeCommFunction);
    if (ok) {
        switch (func) {
        case SETDTR:
            m_dtr = true;
            break;
        case CLRDTR:
            m_dtr = false;
            break;
        case SETRTS:
            m_rts = true;
            break;
        case CLRRTS:
            m_rts = false;
            break;
        default:
            break;
        }
    }
    return finish(c, ok);
}

BOOL FakeComm::GetCommModemStatus(HANDLE h, LPDWORD modemStat) {
    FakeCall c = newCall(FakeOp::GetCommModemStatus, h);
    const bool ok = usable(h, FakeOp::GetCommModemStatus);
    if (ok && modemStat)
        *modemStat = m_modemStatus;
    return finish(c, ok);
}

void FakeComm::pushEvent(ReceiveEventKind kind, std::uint64_t count, std::int64_t timeMs) {
    m_events.push_back({m_taken + (m_input.size() - m_inputHead), kind, count, timeMs});
}

BOOL FakeComm::TakeReceiveEvents(HANDLE h, std::vector<ReceiveEvent>& out) {
    if (h == nullptr || h != m_openHandle)
        return FALSE;
    out.insert(out.end(), m_events.begin(), m_events.end());
    m_events.clear();
    return TRUE;
}

FakeClock::FakeClock(DWORD start) : m_now(start) {
    setTickSource(&FakeClock::read, this);
}

FakeClock::~FakeClock() {
    setTickSource(nullptr);
}

DWORD FakeClock::read(void* self) {
    auto* clock = static_cast<FakeClock*>(self);
    ++clock->m_reads;
    const DWORD t = clock->m_now;
    clock->m_now += clock->m_step;
    return t;
}

} // namespace platform
