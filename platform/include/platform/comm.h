// SPDX-License-Identifier: GPL-3.0-or-later
// The operating-system surface that the serial driver is written against.
//
// The names, records, constants and results are those of the Windows communication functions, so
// the driver reads the same on every system: a BOOL-like result, a count, an invalid-handle value.
// On Linux the calls are carried out by a CommDevice (termios by default); tests install a fake one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

using BOOL = int;
using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using UINT = unsigned int;
using LONG = std::int32_t;
using HANDLE = void*;
using LPCSTR = const char*;
using LPVOID = void*;
using LPCVOID = const void*;
using LPDWORD = DWORD*;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

inline HANDLE const INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));

// CreateFileA
inline constexpr DWORD GENERIC_READ = 0x80000000u;
inline constexpr DWORD GENERIC_WRITE = 0x40000000u;
inline constexpr DWORD OPEN_EXISTING = 3;
inline constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;

// DCB field values
inline constexpr DWORD DTR_CONTROL_DISABLE = 0;
inline constexpr DWORD DTR_CONTROL_ENABLE = 1;
inline constexpr DWORD DTR_CONTROL_HANDSHAKE = 2;
inline constexpr DWORD RTS_CONTROL_DISABLE = 0;
inline constexpr DWORD RTS_CONTROL_ENABLE = 1;
inline constexpr DWORD RTS_CONTROL_HANDSHAKE = 2;
inline constexpr DWORD RTS_CONTROL_TOGGLE = 3;
inline constexpr BYTE NOPARITY = 0;
inline constexpr BYTE ODDPARITY = 1;
inline constexpr BYTE EVENPARITY = 2;
inline constexpr BYTE MARKPARITY = 3;
inline constexpr BYTE SPACEPARITY = 4;
inline constexpr BYTE ONESTOPBIT = 0;
inline constexpr BYTE ONE5STOPBITS = 1;
inline constexpr BYTE TWOSTOPBITS = 2;

// PurgeComm
inline constexpr DWORD PURGE_TXABORT = 0x0001;
inline constexpr DWORD PURGE_RXABORT = 0x0002;
inline constexpr DWORD PURGE_TXCLEAR = 0x0004;
inline constexpr DWORD PURGE_RXCLEAR = 0x0008;

// EscapeCommFunction
inline constexpr DWORD SETXOFF = 1;
inline constexpr DWORD SETXON = 2;
inline constexpr DWORD SETRTS = 3;
inline constexpr DWORD CLRRTS = 4;
inline constexpr DWORD SETDTR = 5;
inline constexpr DWORD CLRDTR = 6;
inline constexpr DWORD SETBREAK = 8; // holds the line in the break state until CLRBREAK
inline constexpr DWORD CLRBREAK = 9;

// GetCommModemStatus
inline constexpr DWORD MS_CTS_ON = 0x0010;
inline constexpr DWORD MS_DSR_ON = 0x0020;
inline constexpr DWORD MS_RING_ON = 0x0040;
inline constexpr DWORD MS_RLSD_ON = 0x0080;

// ClearCommError error bits
inline constexpr DWORD CE_RXOVER = 0x0001;
inline constexpr DWORD CE_OVERRUN = 0x0002;
inline constexpr DWORD CE_RXPARITY = 0x0004;
inline constexpr DWORD CE_FRAME = 0x0008;
inline constexpr DWORD CE_BREAK = 0x0010;

// The line settings record. Field order and widths follow the original record (28 bytes); the flag
// bits are bit-fields in the same order. dcbFlagWord() packs them explicitly, whatever the compiler's
// bit-field layout, for checks that compare the packed word.
struct DCB {
    DWORD DCBlength = 0;
    DWORD BaudRate = 0;
    DWORD fBinary : 1 = 0;
    DWORD fParity : 1 = 0;
    DWORD fOutxCtsFlow : 1 = 0;
    DWORD fOutxDsrFlow : 1 = 0;
    DWORD fDtrControl : 2 = 0;
    DWORD fDsrSensitivity : 1 = 0;
    DWORD fTXContinueOnXoff : 1 = 0;
    DWORD fOutX : 1 = 0;
    DWORD fInX : 1 = 0;
    DWORD fErrorChar : 1 = 0;
    DWORD fNull : 1 = 0;
    DWORD fRtsControl : 2 = 0;
    DWORD fAbortOnError : 1 = 0;
    DWORD fDummy2 : 17 = 0;
    WORD wReserved = 0;
    WORD XonLim = 0;
    WORD XoffLim = 0;
    BYTE ByteSize = 0;
    BYTE Parity = 0;
    BYTE StopBits = 0;
    char XonChar = 0;
    char XoffChar = 0;
    char ErrorChar = 0;
    char EofChar = 0;
    char EvtChar = 0;
    WORD wReserved1 = 0;
};
static_assert(sizeof(DCB) == 28, "DCB must keep the size of the original record");

// The flag bits of a DCB as one word: fBinary is bit 0, fAbortOnError bit 14.
DWORD dcbFlagWord(const DCB& dcb);

struct COMMTIMEOUTS {
    DWORD ReadIntervalTimeout = 0;
    DWORD ReadTotalTimeoutMultiplier = 0;
    DWORD ReadTotalTimeoutConstant = 0;
    DWORD WriteTotalTimeoutMultiplier = 0;
    DWORD WriteTotalTimeoutConstant = 0;
};

struct COMSTAT {
    DWORD fCtsHold : 1 = 0;
    DWORD fDsrHold : 1 = 0;
    DWORD fRlsdHold : 1 = 0;
    DWORD fXoffHold : 1 = 0;
    DWORD fXoffSent : 1 = 0;
    DWORD fEof : 1 = 0;
    DWORD fTxim : 1 = 0;
    DWORD fReserved : 25 = 0;
    DWORD cbInQue = 0;
    DWORD cbOutQue = 0;
};

// The communication calls. `overlapped` is accepted for the shape of the call and must be null.
HANDLE CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode, LPVOID securityAttributes,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile);
BOOL CloseHandle(HANDLE h);
BOOL SetCommState(HANDLE h, DCB* dcb);
BOOL SetupComm(HANDLE h, DWORD inQueue, DWORD outQueue);
BOOL SetCommTimeouts(HANDLE h, COMMTIMEOUTS* timeouts);
BOOL PurgeComm(HANDLE h, DWORD flags);
BOOL ClearCommError(HANDLE h, LPDWORD errors, COMSTAT* stat);
BOOL ReadFile(HANDLE h, LPVOID buffer, DWORD toRead, LPDWORD read, LPVOID overlapped);
BOOL WriteFile(HANDLE h, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPVOID overlapped);
BOOL EscapeCommFunction(HANDLE h, DWORD func);
BOOL GetCommModemStatus(HANDLE h, LPDWORD modemStat);

// Milliseconds since an arbitrary start, as an unsigned 32-bit value that wraps.
DWORD GetTickCount();

// Why the last failed call of this thread failed. A call that succeeds leaves the value alone.
inline constexpr DWORD ERROR_SUCCESS = 0;
inline constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
inline constexpr DWORD ERROR_ACCESS_DENIED = 5;
inline constexpr DWORD ERROR_INVALID_HANDLE = 6;
inline constexpr DWORD ERROR_GEN_FAILURE = 31;
inline constexpr DWORD ERROR_SHARING_VIOLATION = 32;
inline constexpr DWORD ERROR_INVALID_PARAMETER = 87;
DWORD GetLastError();
// Sets the value and forgets the detail kept with the previous one.
void SetLastError(DWORD code);

namespace platform {

// A line setting that a device would not take.
enum class LineSetting : std::uint8_t {
    None,
    DataBits,
    Parity,
    StopBits,
    BaudRate,
    RtsCtsFlow,
    XonXoffFlow,
    Other
};

// Why a port on another machine could not be had.
enum class NetProblem : std::uint8_t {
    None,
    NotResolved,     // the host name is not known
    Refused,         // nothing listens there
    NoAnswer,        // no answer within `waitedMs`
    NoComPortOption, // the server does not offer Com Port Control (RFC 2217)
};

// What the last failure concerned, kept beside GetLastError so that a message can tell the user why.
struct FailureDetail {
    std::string device;     // the device the port name led to; empty when it led nowhere
    int systemError = 0;    // the system's own error number
    long holderPid = 0;     // a busy device: the process holding it, when the system tells
    std::string holderName; // and its name
    LineSetting refused = LineSetting::None;
    DWORD refusedValue = 0; // data bits, the record's parity or stop-bit code, or the rate
    NetProblem net = NetProblem::None;
    int waitedMs = 0;
};
const FailureDetail& LastFailureDetail();
// Sets GetLastError's value and its detail together.
void SetLastFailure(DWORD code, FailureDetail detail);
// The error value for a system error number.
DWORD ErrorForErrno(int err);

// ---- Beyond the Windows surface ----
// ClearCommError tells that something went wrong since it was last asked, not where in the received
// stream. These calls tell where, so that a loss or a line error can be shown beside the data it hit.

enum class ReceiveEventKind : std::uint8_t {
    QueueOverflow, // the port's own input queue was full: `count` bytes that arrived here were dropped
    Overrun,       // the device's receiver or its driver's buffer overran: `count` times, bytes lost there
    Framing,       // `count` characters arrived with a framing error
    Parity,        // `count` characters arrived with a parity error
    Break,         // `count` breaks arrived (each also reads as a byte 0)
    HangUp,        // the device hung up or failed; `count` is the system's error number. Nothing follows.
    Arrival,       // bytes came after a pause of at least kArrivalPauseMs; `timeMs` is when they were read
};

// The quiet on the line after which the next read is noted as an Arrival: a steady stream notes none.
inline constexpr int kArrivalPauseMs = 100;

struct ReceiveEvent {
    // Where it happened: the number of bytes ReadFile handed out, since the port opened, before the
    // bytes it concerns. A line error is placed before the bytes of the read that brought it.
    std::uint64_t offset = 0;
    ReceiveEventKind kind{};
    std::uint64_t count = 0;
    std::int64_t timeMs = 0; // when it was noticed: milliseconds since 1970 (UTC)
};

// The device side of the communication calls. The system's own implementation opens real devices;
// tests install another (see FakeComm) to watch and steer every call. Each method has the contract of
// the call of the same name.
// What opening a port ahead came to.
enum class PrepareOutcome : std::uint8_t {
    NothingToDo, // the port opens at once (a local device) or its name leads nowhere slow
    Unreached,   // its server was not reached: the name is not known, nothing listens, no answer in time
    Reached,     // its server answered; the open that takes this may still fail (the negotiation's reason)
};

class CommDevice {
public:
    virtual ~CommDevice() = default;
    virtual HANDLE CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode,
                               DWORD creationDisposition, DWORD flagsAndAttributes) = 0;
    virtual BOOL CloseHandle(HANDLE h) = 0;
    virtual BOOL SetCommState(HANDLE h, const DCB& dcb) = 0;
    virtual BOOL SetupComm(HANDLE h, DWORD inQueue, DWORD outQueue) = 0;
    virtual BOOL SetCommTimeouts(HANDLE h, const COMMTIMEOUTS& timeouts) = 0;
    virtual BOOL PurgeComm(HANDLE h, DWORD flags) = 0;
    virtual BOOL ClearCommError(HANDLE h, LPDWORD errors, COMSTAT* stat) = 0;
    virtual BOOL ReadFile(HANDLE h, LPVOID buffer, DWORD toRead, LPDWORD read) = 0;
    virtual BOOL WriteFile(HANDLE h, LPCVOID buffer, DWORD toWrite, LPDWORD written) = 0;
    virtual BOOL EscapeCommFunction(HANDLE h, DWORD func) = 0;
    virtual BOOL GetCommModemStatus(HANDLE h, LPDWORD modemStat) = 0;
    // Moves the events noticed since the last call to the end of `out`, in stream order. A device that
    // notices none has nothing to hand over.
    virtual BOOL TakeReceiveEvents(HANDLE h, std::vector<ReceiveEvent>& out) {
        (void)h;
        (void)out;
        return TRUE;
    }
    // See PrepareOpen below. A device whose ports open at once has nothing to do ahead.
    virtual PrepareOutcome PrepareOpen(LPCSTR fileName, const DCB* settings) {
        (void)fileName;
        (void)settings;
        return PrepareOutcome::NothingToDo;
    }
};

// The events of the received stream since the last call (see ReceiveEvent), appended to `out`.
BOOL TakeReceiveEvents(HANDLE h, std::vector<ReceiveEvent>& out);

// Does the slow part of opening `fileName` on the calling thread, which may be any thread: for a port on
// another machine (see platform/net.h), resolving its host, the TCP connect and the telnet negotiation,
// each within its limit. The next CreateFileA of the same name, on any thread, within a few seconds,
// takes the outcome at once (the connection, or why there is none, for GetLastError and
// LastFailureDetail), so a window that prepares on a worker never waits on a name server or a far host.
// With `settings`, the record is sent and checked there too, and the first SetCommState of the opened
// port with the same record gives that outcome without asking the server again.
// A preparation not taken is closed by the next one of the same name, or when it grows stale.
PrepareOutcome PrepareOpen(LPCSTR fileName, const DCB* settings = nullptr);

// The implementation over termios. Each port keeps up to kInputQueueBound received bytes of its own.
CommDevice& systemCommDevice();
inline constexpr std::size_t kInputQueueBound = std::size_t(16) << 20;

// Another device side over termios whose ports keep at most `inputQueueBound` received bytes, so a test
// can reach a full input queue cheaply.
std::unique_ptr<CommDevice> makeTermiosDevice(std::size_t inputQueueBound);

// Installs the device side used by the calls above and returns the one it replaces. Null restores the
// system's own. The caller keeps ownership.
CommDevice* setCommDevice(CommDevice* device);

// Replaces the clock behind GetTickCount (tests drive time with it); null restores the monotonic clock.
using TickSource = DWORD (*)(void* context);
void setTickSource(TickSource source, void* context = nullptr);

} // namespace platform
