// SPDX-License-Identifier: GPL-3.0-or-later
// A device side for tests. It stands behind the communication calls of platform/comm.h, keeps
// named devices, an input and an output queue, modem lines and line states, can be told to fail
// any call, and logs every call with what it was given, so a test can check the calls and their order.
#pragma once

#include "platform/comm.h"

#include <cstddef>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

enum class FakeOp {
    CreateFileA,
    CloseHandle,
    SetCommState,
    SetupComm,
    SetCommTimeouts,
    PurgeComm,
    ClearCommError,
    ReadFile,
    WriteFile,
    EscapeCommFunction,
    GetCommModemStatus,
};

const char* fakeOpName(FakeOp op);

// One logged call. Only the fields of its own call are filled in; the rest stay zero.
struct FakeCall {
    FakeOp op{};
    HANDLE handle = nullptr; // the handle given (CreateFileA: the handle returned)
    BOOL result = FALSE;
    // CreateFileA
    std::string fileName;
    DWORD access = 0;
    DWORD shareMode = 0;
    DWORD disposition = 0;
    DWORD flagsAndAttributes = 0;
    // SetCommState
    DCB dcb{};
    // SetCommTimeouts
    COMMTIMEOUTS timeouts{};
    // SetupComm
    DWORD inQueue = 0;
    DWORD outQueue = 0;
    // PurgeComm
    DWORD purgeFlags = 0;
    // EscapeCommFunction
    DWORD func = 0;
    // ReadFile / WriteFile: bytes asked for and bytes moved
    DWORD size = 0;
    DWORD done = 0;
};

class FakeComm : public CommDevice {
public:
    FakeComm();

    // Devices that CreateFileA can open. A device is opened by one handle at a time.
    void addDevice(const std::string& name);
    void removeDevice(const std::string& name);

    // The input queue: bytes the device received from the line, waiting to be read.
    void pushInput(std::string_view bytes);
    void pushInput(const std::vector<BYTE>& bytes);
    std::size_t inputSize() const { return m_input.size() - m_inputHead; }

    // Everything written so far, in order (whether or not still "in the output queue").
    const std::vector<BYTE>& output() const { return m_output; }
    std::string outputText() const { return {m_output.begin(), m_output.end()}; }
    void clearOutput() { m_output.clear(); }

    // Without a capacity every write leaves the output queue at once (cbOutQue stays 0). With one,
    // written bytes stay queued until transmit(); once the queue holds `capacity` bytes WriteFile
    // writes nothing and ClearCommError reports cbOutQue = capacity.
    void setOutputCapacity(std::optional<std::size_t> capacity);
    void transmit(std::size_t n);
    std::size_t outputQueued() const { return m_outQueued; }

    // Modem input lines as MS_* bits.
    void setModemStatus(DWORD bits) { m_modemStatus = bits; }

    // Makes every later call of `op` fail (CreateFileA returns the invalid handle).
    void setFailure(FakeOp op, bool fail = true);
    // What a call failed by setFailure leaves for GetLastError (ERROR_GEN_FAILURE by default). An open
    // refused by the device list says a missing device, or one already open, by itself.
    void setFailureReason(DWORD code, FailureDetail detail = {});
    void clearFailures() { m_failing.clear(); }

    // Error bits ClearCommError reports (and clears) on its next call.
    void setLineErrors(DWORD errors) { m_lineErrors = errors; }
    // Notes an event of the received stream where the input queue ends now (after what was pushed so
    // far), for TakeReceiveEvents to hand over.
    void pushEvent(ReceiveEventKind kind, std::uint64_t count, std::int64_t timeMs = 0);
    // Bytes ReadFile handed out since the device was opened.
    std::uint64_t taken() const { return m_taken; }

    // The log.
    const std::vector<FakeCall>& calls() const { return m_calls; }
    std::vector<FakeCall> callsOf(FakeOp op) const;
    // Names of the calls in order; without the status queries (ClearCommError) unless asked.
    std::vector<std::string> callNames(bool withStatus = false) const;
    std::size_t count(FakeOp op) const;
    void clearCalls() { m_calls.clear(); }

    // Called after every call has been carried out and logged (tests push data or step a clock here).
    std::function<void(const FakeCall&)> onCall;

    // Device state.
    bool isOpen() const { return m_openHandle != nullptr; }
    HANDLE openHandle() const { return m_openHandle; }
    std::optional<DCB> lastDcb() const { return m_lastDcb; }
    std::optional<COMMTIMEOUTS> lastTimeouts() const { return m_lastTimeouts; }
    bool dtr() const { return m_dtr; }
    bool rts() const { return m_rts; }
    DWORD inQueueSize() const { return m_inQueueSize; }
    DWORD outQueueSize() const { return m_outQueueSize; }

    // CommDevice
    HANDLE CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode, DWORD creationDisposition,
                       DWORD flagsAndAttributes) override;
    BOOL CloseHandle(HANDLE h) override;
    BOOL SetCommState(HANDLE h, const DCB& dcb) override;
    BOOL SetupComm(HANDLE h, DWORD inQueue, DWORD outQueue) override;
    BOOL SetCommTimeouts(HANDLE h, const COMMTIMEOUTS& timeouts) override;
    BOOL PurgeComm(HANDLE h, DWORD flags) override;
    BOOL ClearCommError(HANDLE h, LPDWORD errors, COMSTAT* stat) override;
    BOOL ReadFile(HANDLE h, LPVOID buffer, DWORD toRead, LPDWORD read) override;
    BOOL WriteFile(HANDLE h, LPCVOID buffer, DWORD toWrite, LPDWORD written) override;
    BOOL EscapeCommFunction(HANDLE h, DWORD func) override;
    BOOL GetCommModemStatus(HANDLE h, LPDWORD modemStat) override;
    BOOL TakeReceiveEvents(HANDLE h, std::vector<ReceiveEvent>& out) override;

private:
    bool usable(HANDLE h, FakeOp op) const;
    BOOL finish(FakeCall call, bool ok);

    std::set<std::string> m_devices;
    std::set<FakeOp> m_failing;
    DWORD m_failureError = ERROR_GEN_FAILURE;
    FailureDetail m_failureDetail;
    std::vector<FakeCall> m_calls;
    std::vector<BYTE> m_input;
    std::size_t m_inputHead = 0;
    std::vector<BYTE> m_output;
    std::optional<std::size_t> m_outCapacity;
    std::size_t m_outQueued = 0;
    DWORD m_modemStatus = 0;
    DWORD m_lineErrors = 0;
    std::uint64_t m_taken = 0;
    std::vector<ReceiveEvent> m_events;
    HANDLE m_openHandle = nullptr;
    std::string m_openName;
    std::intptr_t m_nextHandle = 0x100;
    std::optional<DCB> m_lastDcb;
    std::optional<COMMTIMEOUTS> m_lastTimeouts;
    bool m_dtr = false;
    bool m_rts = false;
    DWORD m_inQueueSize = 0;
    DWORD m_outQueueSize = 0;
};

// Installs a device side for the life of the object and restores the previous one afterwards.
class ScopedCommDevice {
public:
    explicit ScopedCommDevice(CommDevice& device) : m_previous(setCommDevice(&device)) {}
    ~ScopedCommDevice() { setCommDevice(m_previous); }
    ScopedCommDevice(const ScopedCommDevice&) = delete;
    ScopedCommDevice& operator=(const ScopedCommDevice&) = delete;

private:
    CommDevice* m_previous;
};

// A clock a test steps by hand, installed behind GetTickCount for the life of the object. With a
// step per read, every GetTickCount call advances it, so a loop that waits on the clock ends on its
// own without real time passing.
class FakeClock {
public:
    explicit FakeClock(DWORD start = 100000);
    ~FakeClock();
    FakeClock(const FakeClock&) = delete;
    FakeClock& operator=(const FakeClock&) = delete;

    DWORD now() const { return m_now; }
    void set(DWORD t) { m_now = t; }
    void advance(DWORD ms) { m_now += ms; }
    void setStepPerRead(DWORD ms) { m_step = ms; }
    std::size_t reads() const { return m_reads; }

private:
    static DWORD read(void* self);
    DWORD m_now;
    DWORD m_step = 0;
    std::size_t m_reads = 0;
};

} // namespace platform
