// The communication calls forward to the installed device side; the clock to the installed source.
#include "platform/comm.h"

#include <ctime>

namespace platform {
namespace {
CommDevice* g_device = nullptr;
TickSource g_tickSource = nullptr;
void* g_tickContext = nullptr;

CommDevice& device() {
    return g_device ? *g_device : systemCommDevice();
}
} // namespace

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

DWORD dcbFlagWord(const DCB& d) {
    return DWORD(d.fBinary) | DWORD(d.fParity) << 1 | DWORD(d.fOutxCtsFlow) << 2 |
           DWORD(d.fOutxDsrFlow) << 3 | DWORD(d.fDtrControl) << 4 | DWORD(d.fDsrSensitivity) << 6 |
           DWORD(d.fTXContinueOnXoff) << 7 | DWORD(d.fOutX) << 8 | DWORD(d.fInX) << 9 |
           DWORD(d.fErrorChar) << 10 | DWORD(d.fNull) << 11 | DWORD(d.fRtsControl) << 12 |
           DWORD(d.fAbortOnError) << 14;
}

HANDLE CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode, LPVOID /*securityAttributes*/,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE /*templateFile*/) {
    if (!fileName)
        return INVALID_HANDLE_VALUE;
    return platform::device().CreateFileA(fileName, desiredAccess, shareMode, creationDisposition,
                                          flagsAndAttributes);
}

BOOL CloseHandle(HANDLE h) {
    return platform::device().CloseHandle(h);
}
BOOL SetCommState(HANDLE h, DCB* dcb) {
    return dcb ? platform::device().SetCommState(h, *dcb) : FALSE;
}
BOOL SetupComm(HANDLE h, DWORD in, DWORD out) {
    return platform::device().SetupComm(h, in, out);
}
BOOL SetCommTimeouts(HANDLE h, COMMTIMEOUTS* t) {
    return t ? platform::device().SetCommTimeouts(h, *t) : FALSE;
}
BOOL PurgeComm(HANDLE h, DWORD flags) {
    return platform::device().PurgeComm(h, flags);
}
BOOL ClearCommError(HANDLE h, LPDWORD errors, COMSTAT* stat) {
    return platform::device().ClearCommError(h, errors, stat);
}

BOOL ReadFile(HANDLE h, LPVOID buffer, DWORD toRead, LPDWORD read, LPVOID overlapped) {
    if (read)
        *read = 0;
    if (overlapped || (!buffer && toRead > 0))
        return FALSE;
    return platform::device().ReadFile(h, buffer, toRead, read);
}

BOOL WriteFile(HANDLE h, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPVOID overlapped) {
    if (written)
        *written = 0;
    if (overlapped || (!buffer && toWrite > 0))
        return FALSE;
    return platform::device().WriteFile(h, buffer, toWrite, written);
}

BOOL EscapeCommFunction(HANDLE h, DWORD func) {
    return platform::device().EscapeCommFunction(h, func);
}

BOOL GetCommModemStatus(HANDLE h, LPDWORD modemStat) {
    if (!modemStat)
        return FALSE;
    return platform::device().GetCommModemStatus(h, modemStat);
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
