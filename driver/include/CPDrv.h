// SPDX-License-Identifier: GPL-3.0-or-later
// TCommPortDriver: the component through which comlab reaches one serial port.
//
// It is configured through properties (a getter named as the property, a setter `set<Property>`)
// whose write rules keep its invariants, opens the port named by PortName, polls the input queue on a
// timer of its hidden window and hands what arrived to OnReceiveData (or cuts it into packets for
// OnReceivePacket), writes with a time-out counted from the last progress, and reads and drives the
// modem lines. Every device call goes through platform/comm.h.
//
// Choices of this implementation:
// - A tick drains everything the input queue reports, in pieces of at most InBufSize bytes, raising one
//   event per piece; a read never passes the end of the receive buffer. The platform fills the
//   port's input queue between ticks, so one count per tick keeps up with a fast sender.
// - A tick that arrives while a handler of an earlier tick still runs (inside a modal box, say) is
//   skipped, so the buffer a handler holds is never overwritten under it.
// - A failed status query counts as empty queues.
// - With BaudRate brCustom, PacketLineTime uses BaudRateValue.
// - When whole packets are taken with no start time recorded and bytes remain, the rest's time-out
//   counts from the current tick count.
// - Beyond the designed component, the tick raises OnReceiveEvents with what the platform noticed in
//   the received stream (drops, line errors, a hang-up), each before the bytes that follow it: a piece
//   read for OnReceiveData ends where an event stands. In packet mode an event is raised before the
//   packet it stands in front of, or after the packet it falls inside.
// - A PacketSize that cannot be met (above 8192, or above InBufSize while the port is open and
//   InBufSize cannot grow) is clamped to the size of the receive buffer.
#pragma once

#include "platform/comm.h"
#include "platform/window.h"

#include <QObject>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

enum TPortNumber : std::uint8_t {
    pnCustom = 0,
    pnCOM1,
    pnCOM2,
    pnCOM3,
    pnCOM4,
    pnCOM5,
    pnCOM6,
    pnCOM7,
    pnCOM8,
    pnCOM9,
    pnCOM10,
    pnCOM11,
    pnCOM12,
    pnCOM13,
    pnCOM14,
    pnCOM15,
    pnCOM16
};

enum TBaudRate : std::uint8_t {
    brCustom = 0,
    br110,
    br300,
    br600,
    br1200,
    br2400,
    br4800,
    br9600,
    br14400,
    br19200,
    br38400,
    br56000,
    br57600,
    br115200,
    br128000,
    br256000
};

enum TDataBits : std::uint8_t { db5BITS = 0, db6BITS, db7BITS, db8BITS };
enum TStopBits : std::uint8_t { sb1BITS = 0, sb1HALFBITS, sb2BITS };
enum TParity : std::uint8_t { ptNONE = 0, ptODD, ptEVEN, ptMARK, ptSPACE };
enum THwFlowControl : std::uint8_t { hfNONE = 0, hfNONERTSON, hfRTSCTS };
enum TSwFlowControl : std::uint8_t { sfNONE = 0, sfXONXOFF };
enum TPacketMode : std::uint8_t { pmDiscard = 0, pmPass };

// The four modem input lines as bits: 1 CTS, 2 DSR, 4 RING, 8 CD. The empty set is 0.
using TLineStatus = std::uint8_t;
inline constexpr TLineStatus lsCTS = 1;
inline constexpr TLineStatus lsDSR = 2;
inline constexpr TLineStatus lsRING = 4;
inline constexpr TLineStatus lsCD = 8;

using TReceiveDataEvent = std::function<void(QObject* Sender, void* DataPtr, DWORD DataSize)>;
using TReceivePacketEvent = std::function<void(QObject* Sender, void* Packet, DWORD DataSize)>;
// What happened to the received stream (a drop, a line error, a hang-up), raised in stream order before
// the block that follows it: the handler may mark the spot. The array is lent for the call only.
using TReceiveEventsEvent =
    std::function<void(QObject* Sender, const platform::ReceiveEvent* Events, DWORD Count)>;

// The line rate of a named rate; 0 for brCustom (and anything outside the table).
DWORD BaudRateOf(TBaudRate rate);

// Milliseconds that n bytes take on the line at `rate` bits per second, counting 10 bits a byte,
// rounded to the nearest millisecond; 0 when the rate is 0.
DWORD PacketLineTime(DWORD rateBitsPerSecond, DWORD n);

class TCommPortDriver : public QObject {
    Q_OBJECT
public:
    explicit TCommPortDriver(QObject* owner = nullptr);
    ~TCommPortDriver() override;

    TCommPortDriver(const TCommPortDriver&) = delete;
    TCommPortDriver& operator=(const TCommPortDriver&) = delete;

    // Published properties, in their order.
    TPortNumber Port() const { return m_port; }
    void setPort(TPortNumber v);
    const std::string& PortName() const { return m_portName; }
    void setPortName(const std::string& s);
    TBaudRate BaudRate() const { return m_baudRate; }
    void setBaudRate(TBaudRate v);
    DWORD BaudRateValue() const { return m_baudRateValue; }
    void setBaudRateValue(DWORD n);
    TDataBits DataBits() const { return m_dataBits; }
    void setDataBits(TDataBits v);
    TStopBits StopBits() const { return m_stopBits; }
    void setStopBits(TStopBits v);
    TParity Parity() const { return m_parity; }
    void setParity(TParity v);
    THwFlowControl HwFlow() const { return m_hwFlow; }
    void setHwFlow(THwFlowControl v);
    TSwFlowControl SwFlow() const { return m_swFlow; }
    void setSwFlow(TSwFlowControl v);
    DWORD InBufSize() const { return m_inBufSize; }
    void setInBufSize(DWORD n);
    DWORD OutBufSize() const { return m_outBufSize; }
    void setOutBufSize(DWORD n);
    std::int16_t PacketSize() const { return m_packetSize; }
    void setPacketSize(std::int16_t n);
    std::int32_t PacketTimeout() const { return m_packetTimeout; }
    void setPacketTimeout(std::int32_t t);
    TPacketMode PacketMode() const { return m_packetMode; }
    void setPacketMode(TPacketMode v) { m_packetMode = v; }
    WORD PollingDelay() const { return m_pollingDelay; }
    void setPollingDelay(WORD d);
    bool EnableDTROnOpen() const { return m_enableDTROnOpen; }
    void setEnableDTROnOpen(bool v) { m_enableDTROnOpen = v; }
    WORD OutputTimeout() const { return m_outputTimeout; }
    void setOutputTimeout(WORD v) { m_outputTimeout = v; }
    DWORD InputTimeout() const { return m_inputTimeout; }
    void setInputTimeout(DWORD v) { m_inputTimeout = v; }
    bool CheckLineStatus() const { return m_checkLineStatus; }
    void setCheckLineStatus(bool v) { m_checkLineStatus = v; }
    const TReceiveDataEvent& OnReceiveData() const { return m_onReceiveData; }
    void setOnReceiveData(TReceiveDataEvent e) { m_onReceiveData = std::move(e); }
    const TReceivePacketEvent& OnReceivePacket() const { return m_onReceivePacket; }
    void setOnReceivePacket(TReceivePacketEvent e) { m_onReceivePacket = std::move(e); }
    // Not one of the designed properties: the platform's receive events (platform::TakeReceiveEvents),
    // raised by the poll tick at their place between the blocks of OnReceiveData.
    const TReceiveEventsEvent& OnReceiveEvents() const { return m_onReceiveEvents; }
    void setOnReceiveEvents(TReceiveEventsEvent e) { m_onReceiveEvents = std::move(e); }

    // Open, line setup and close.
    bool OpenPort();
    void ClosePort();
    bool IsOpen() const { return m_handle != INVALID_HANDLE_VALUE; }
    bool ApplyLineSettings();
    bool FlushQueues(bool input, bool output);

    // Data transfer and modem lines.
    WORD OutQueueFree();
    DWORD WriteDataTimed(const void* data, DWORD count, DWORD timeoutMs);
    DWORD WriteData(const void* data, DWORD count);
    bool WriteByte(BYTE b);
    TLineStatus ReadModemLines();
    void SetDtrLine(bool on);
    void SetRtsLine(bool on);
    // Holds the line in the break state for `ms` and returns at once; the event loop ends the break,
    // then `onEnd` runs. Refused (false) while closed, while a break is on, or when the device refuses.
    bool SendBreak(DWORD ms, std::function<void()> onEnd = {});
    bool BreakOn() const { return m_breakOn; }

    // The window procedure of the hidden window; the owner never calls it.
    void PollTick(TMessage& msg);

    // What this driver would hand to SetCommState now (for the state report and tests).
    DCB BuildDCB() const;
    // The hidden window that carries the poll timer (tests deliver messages to it).
    HWND Handle() const { return m_window; }
    // The packet start time, or -1 for none (tests observe it).
    std::int64_t PacketStartTime() const { return m_packetStart; }

private:
    TPortNumber m_port = pnCOM2;
    std::string m_portName = "\\\\.\\COM2";
    TBaudRate m_baudRate = br9600;
    DWORD m_baudRateValue = 9600;
    TDataBits m_dataBits = db8BITS;
    TStopBits m_stopBits = sb1BITS;
    TParity m_parity = ptNONE;
    THwFlowControl m_hwFlow = hfNONERTSON;
    TSwFlowControl m_swFlow = sfNONE;
    DWORD m_inBufSize = 2048;
    DWORD m_outBufSize = 2048;
    std::int16_t m_packetSize = -1;
    std::int32_t m_packetTimeout = -1;
    TPacketMode m_packetMode = pmDiscard;
    WORD m_pollingDelay = 50;
    bool m_enableDTROnOpen = true;
    WORD m_outputTimeout = 500;
    DWORD m_inputTimeout = 200;
    bool m_checkLineStatus = false;
    TReceiveDataEvent m_onReceiveData;
    TReceivePacketEvent m_onReceivePacket;
    TReceiveEventsEvent m_onReceiveEvents;

    HANDLE m_handle = INVALID_HANDLE_VALUE;
    HWND m_window = nullptr;
    std::vector<BYTE> m_buffer;                   // the receive buffer, InBufSize bytes
    std::int64_t m_packetStart = -1;              // a tick count, or -1 for none
    bool m_inTick = false;                        // a handler of a tick is running
    std::uint64_t m_delivered = 0;                // bytes read from the port since it opened
    std::vector<platform::ReceiveEvent> m_events; // taken from the platform, not yet raised

    // Takes what the platform noticed (unless `take` is false), then raises the events that stand at or
    // before m_delivered.
    // False when a handler closed the port or destroyed the driver.
    bool raiseDueEvents(const std::function<bool()>& stillValid, bool take = true);
    // How much of `want` can be read before the next event's place.
    DWORD upToNextEvent(DWORD want) const;
    bool m_breakOn = false;          // SendBreak set the break and its end is due
    std::uint32_t m_breakSerial = 0; // tells a due end of a break from one the port's close ended
    std::function<void()> m_breakEnd;
    void EndBreak();
};
