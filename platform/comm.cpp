// SPDX-License-Identifier: GPL-3.0-or-later
// The communication calls forward to the installed device side; the clock to the installed source.
#include "platform/comm.h"

#include <cerrno>
#include <ctime>

namespace platform {
namespace {
CommDevice* g_device = nullptr;
TickSource g_tickSource = nullptr;
void* g_tickContext = nullptr;

CommDevice& device() {
    return g_device ? *g_device : systemCommDevice();
}

thread_local DWORD t_lastError = ERROR_SUCCESS;
thread_local FailureDetail t_lastDetail;
thread_local unsigned t_failures = 0; // counts settings of the last error

// Watches one device call: if it fails without saying why, the reason is what errno holds.
class CallWatch {
public:
    CallWatch() : m_before(t_failures) { errno = 0; }
    BOOL operator()(BOOL result) const {
        if (!result)
            noteFailure();
        return result;
    }
    HANDLE operator()(HANDLE result) const {
        if (result == INVALID_HANDLE_VALUE)
            noteFailure();
        return result;
    }

private:
    void noteFailure() const {
        if (t_failures != m_before)
            return;
        FailureDetail detail;
        detail.systemError = errno;
        SetLastFailure(ErrorForErrno(errno), std::move(detail));
    }
    unsigned m_before;
};
} // namespace

const FailureDetail& LastFailureDetail() {
    return t_lastDetail;
}

void SetLastFailure(DWORD code, FailureDetail detail) {
    t_lastError = code;
    t_lastDetail = std::move(detail);
    ++t_failures;
}

DWORD ErrorForErrno(int err) {
    switch (err) {
    case ENOENT:
    case ENXIO:
    case ENODEV:
        return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
        return ERROR_ACCESS_DENIED;
    case EBUSY:
    case EWOULDBLOCK:
        return ERROR_SHARING_VIOLATION;
    case EINVAL:
        return ERROR_INVALID_PARAMETER;
    case EBADF:
        return ERROR_INVALID_HANDLE;
    default:
        return ERROR_GEN_FAILURE;
    }
}

BOOL TakeReceiveEvents(HANDLE h, std::vector<ReceiveEvent>& out) {
    const CallWatch watch;
    return watch(device().TakeReceiveEvents(h, out));
}

PrepareOutcome PrepareOpen(LPCSTR fileName, const DCB* settings) {
    return fileName ? device().PrepareOpen(fileName, settings) : PrepareOutcome::NothingToDo;
}

CommDevice* setCommDevice(CommDevice* d) {
    CommDevice* previous = g_device;
    g_device = d;
    return previous;
}

void setTickSource(TickSource source, void* context) {
    g_tickSource = source;
    g_tickContext = context;
}
} // namespace platform

DWORD GetLastError() {
    return platform::t_lastError;
}

void SetLastError(DWORD code) {
    platform::SetLastFailure(code, {});
}

DWORD dcbFlagWord(const DCB& d) {
    return DWORD(d.fBinary) | DWORD(d.fParity) << 1 | DWORD(d.fOutxCtsFlow) << 2 |
           DWORD(d.fOutxDsrFlow) << 3 | DWORD(d.fDtrControl) << 4 | DWORD(d.fDsrSensitivity) << 6 |
           DWORD(d.fTXContinueOnXoff) << 7 | DWORD(d.fOutX) << 8 | DWORD(d.fInX) << 9 |
           DWORD(d.fErrorChar) << 10 | DWORD(d.fNull) << 11 | DWORD(d.fRtsControl) << 12 |
           DWORD(d.fAbortOnError) << 14;
}

HANDLE CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode, LPVOID /*securityAttributes*/,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE /*templateFile*/) {
    if (!fileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    const platform::CallWatch watch;
    return watch(platform::device().CreateFileA(fileName, desiredAccess, shareMode, creationDisposition,
                                                flagsAndAttributes));
}

BOOL CloseHandle(HANDLE h) {
    const platform::CallWatch watch;
    return watch(platform::device().CloseHandle(h));
}
BOOL SetCommState(HANDLE h, DCB* dcb) {
    if (!dcb)
        return FALSE;
    const platform::CallWatch watch;
    return watch(platform::device().SetCommState(h, *dcb));
}
BOOL SetupComm(HANDLE h, DWORD in, DWORD out) {
    const platform::CallWatch watch;
    return watch(platform::device().SetupComm(h, in, out));
}
BOOL SetCommTimeouts(HANDLE h, COMMTIMEOUTS* t) {
    if (!t)
        return FALSE;
    const platform::CallWatch watch;
    return watch(platform::device().SetCommTimeouts(h, *t));
}
BOOL PurgeComm(HANDLE h, DWORD flags) {
    const platform::CallWatch watch;
    return watch(platform::device().PurgeComm(h, flags));
}
BOOL ClearCommError(HANDLE h, LPDWORD errors, COMSTAT* stat) {
    const platform::CallWatch watch;
    return watch(platform::device().ClearCommError(h, errors, stat));
}

BOOL ReadFile(HANDLE h, LPVOID buffer, DWORD toRead, LPDWORD read, LPVOID overlapped) {
    if (read)
        *read = 0;
    if (overlapped || (!buffer && toRead > 0))
        return FALSE;
    const platform::CallWatch watch;
    return watch(platform::device().ReadFile(h, buffer, toRead, read));
}

BOOL WriteFile(HANDLE h, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPVOID overlapped) {
    if (written)
        *written = 0;
    if (overlapped || (!buffer && toWrite > 0))
        return FALSE;
    const platform::CallWatch watch;
    return watch(platform::device().WriteFile(h, buffer, toWrite, written));
}

BOOL EscapeCommFunction(HANDLE h, DWORD func) {
    const platform::CallWatch watch;
    return watch(platform::device().EscapeCommFunction(h, func));
}

BOOL GetCommModemStatus(HANDLE h, LPDWORD modemStat) {
    if (!modemStat)
        return FALSE;
    const platform::CallWatch watch;
    return watch(platform::device().GetCommModemStatus(h, modemStat));
}

DWORD GetTickCount() {
    if (platform::g_tickSource)
        return platform::g_tickSource(platform::g_tickContext);
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    // Wraps after about 49.7 days, like the original counter; callers compare in unsigned arithmetic.
    const auto ms = static_cast<unsigned long long>(ts.tv_sec) * 1000ull +
                    static_cast<unsigned long long>(ts.tv_nsec) / 1000000ull;
    return static_cast<DWORD>(ms);
}
