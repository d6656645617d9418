// SPDX-License-Identifier: GPL-3.0-or-later
// Telnet with the Com Port Control option (RFC 2217): the bytes a client sends, and a decoder that
// splits what a server sends into data and protocol events. No I/O here.
//
// The decoder takes any byte stream in pieces of any size and keeps only a small fixed state between
// them: a subnegotiation longer than kMaxSubnegotiation is dropped whole, so a hostile server costs
// neither memory nor a crash.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform::rfc2217 {

// Telnet
inline constexpr std::uint8_t IAC = 255;
inline constexpr std::uint8_t DONT = 254;
inline constexpr std::uint8_t DO = 253;
inline constexpr std::uint8_t WONT = 252;
inline constexpr std::uint8_t WILL = 251;
inline constexpr std::uint8_t SB = 250;
inline constexpr std::uint8_t SE = 240;
inline constexpr std::uint8_t BINARY = 0;
inline constexpr std::uint8_t SGA = 3; // suppress go-ahead
inline constexpr std::uint8_t COM_PORT_OPTION = 44;

// Com Port Control commands, client to server; the server answers with the code + 100.
inline constexpr std::uint8_t SET_BAUDRATE = 1;
inline constexpr std::uint8_t SET_DATASIZE = 2;
inline constexpr std::uint8_t SET_PARITY = 3;
inline constexpr std::uint8_t SET_STOPSIZE = 4;
inline constexpr std::uint8_t SET_CONTROL = 5;
inline constexpr std::uint8_t NOTIFY_LINESTATE = 6;
inline constexpr std::uint8_t NOTIFY_MODEMSTATE = 7;
inline constexpr std::uint8_t FLOWCONTROL_SUSPEND = 8;
inline constexpr std::uint8_t FLOWCONTROL_RESUME = 9;
inline constexpr std::uint8_t SET_LINESTATE_MASK = 10;
inline constexpr std::uint8_t SET_MODEMSTATE_MASK = 11;
inline constexpr std::uint8_t PURGE_DATA = 12;
inline constexpr std::uint8_t kServerOffset = 100;

// SET-PARITY values
inline constexpr std::uint8_t PARITY_NONE = 1, PARITY_ODD = 2, PARITY_EVEN = 3, PARITY_MARK = 4,
                              PARITY_SPACE = 5;
// SET-STOPSIZE values
inline constexpr std::uint8_t STOP_1 = 1, STOP_2 = 2, STOP_15 = 3;
// SET-CONTROL values
inline constexpr std::uint8_t FLOW_NONE = 1, FLOW_XONXOFF = 2, FLOW_HARDWARE = 3;
inline constexpr std::uint8_t DTR_ON = 8, DTR_OFF = 9, RTS_ON = 11, RTS_OFF = 12;
inline constexpr std::uint8_t BREAK_ON = 5, BREAK_OFF = 6;
// PURGE-DATA values
inline constexpr std::uint8_t PURGE_RX = 1, PURGE_TX = 2, PURGE_BOTH = 3;
// NOTIFY-LINESTATE bits
inline constexpr std::uint8_t LS_OVERRUN = 0x02, LS_PARITY = 0x04, LS_FRAMING = 0x08, LS_BREAK = 0x10;
// NOTIFY-MODEMSTATE bits
inline constexpr std::uint8_t MS_CTS = 0x10, MS_DSR = 0x20, MS_RI = 0x40, MS_CD = 0x80;

inline constexpr std::size_t kMaxSubnegotiation = 64;

// Data with every IAC doubled, appended to `out`.
void appendEscaped(std::string& out, const std::uint8_t* data, std::size_t n);
// IAC verb option
std::string negotiation(std::uint8_t verb, std::uint8_t option);
// IAC SB COM-PORT-OPTION command value… IAC SE, the value's IACs doubled.
std::string comPortCommand(std::uint8_t command, const std::uint8_t* value, std::size_t n);
std::string setBaudRate(std::uint32_t rate); // 0 asks for the current rate
std::string comPortByte(std::uint8_t command, std::uint8_t value);

struct Event {
    enum class Kind : std::uint8_t {
        Negotiation,   // `verb` (WILL/WONT/DO/DONT) of `option`
        ComPort,       // a COM-PORT-OPTION subnegotiation: `command` (server code) and `value`
        OtherSubneg,   // a subnegotiation of another option (ignored by the client)
        DroppedSubneg, // a subnegotiation too long or cut short, dropped
    };
    Kind kind{};
    std::uint8_t verb = 0;
    std::uint8_t option = 0;
    std::uint8_t command = 0;
    std::uint32_t value = 0; // a four-byte value in network order, or the one byte
    std::size_t valueSize = 0;
    std::size_t at = 0; // how many data bytes this call produced before the event
};

class Decoder {
public:
    // Decodes `n` bytes: data goes to `data` (which may be `in` itself: the output never outruns the
    // input), events are appended to `events`. Returns the number of data bytes.
    std::size_t feed(const std::uint8_t* in, std::size_t n, std::uint8_t* data, std::vector<Event>& events);

private:
    enum class State : std::uint8_t { Data, Iac, Verb, Sb, SbData, SbIac };
    void finishSubneg(std::vector<Event>& events, std::size_t at);

    State m_state = State::Data;
    std::uint8_t m_verb = 0;
    std::uint8_t m_sbOption = 0;
    bool m_sbOverflow = false;
    std::size_t m_sbLen = 0;
    std::array<std::uint8_t, kMaxSubnegotiation> m_sb{};
};

} // namespace platform::rfc2217
