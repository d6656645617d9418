// Placeholder until the termios implementation lands: every device call fails.
#include "platform/comm.h"

namespace platform {
namespace {
class NoDevice final : public CommDevice {
public:
    HANDLE CreateFileA(LPCSTR, DWORD, DWORD, DWORD, DWORD) override { return INVALID_HANDLE_VALUE; }
    BOOL CloseHandle(HANDLE) override { return FALSE; }
    BOOL SetCommState(HANDLE, const DCB&) override { return FALSE; }
    BOOL SetupComm(HANDLE, DWORD, DWORD) override { return FALSE; }
    BOOL SetCommTimeouts(HANDLE, const COMMTIMEOUTS&) override { return FALSE; }
    BOOL PurgeComm(HANDLE, DWORD) override { return FALSE; }
    BOOL ClearCommError(HANDLE, LPDWORD, COMSTAT*) override { return FALSE; }
    BOOL ReadFile(HANDLE, LPVOID, DWORD, LPDWORD) override { return FALSE; }
    BOOL WriteFile(HANDLE, LPCVOID, DWORD, LPDWORD) override { return FALSE; }
    BOOL EscapeCommFunction(HANDLE, DWORD) override { return FALSE; }
    BOOL GetCommModemStatus(HANDLE, LPDWORD) override { return FALSE; }
};
} // namespace

CommDevice& systemCommDevice() {
    static NoDevice d;
    return d;
}
} // namespace platform
