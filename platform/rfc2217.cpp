// SPDX-License-Identifier: GPL-3.0-or-later
#include "rfc2217.h"

namespace platform::rfc2217 {

void appendEscaped(std::string& out, const std::uint8_t* data, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        out.push_back(char(data[i]));
        if (data[i] == IAC)
            out.push_back(char(IAC));
    }
}

std::string negotiation(std::uint8_t verb, std::uint8_t option) {
    return std::string{char(IAC), char(verb), char(option)};
}

std::string comPortCommand(std::uint8_t command, const std::uint8_t* value, std::size_t n) {
    std::string s{char(IAC), char(SB), char(COM_PORT_OPTION), char(command)};
    appendEscaped(s, value, n);
    s += char(IAC);
    s += char(SE);
    return s;
}

std::string setBaudRate(std::uint32_t rate) {
    const std::uint8_t v[4] = {std::uint8_t(rate >> 24), std::uint8_t(rate >> 16), std::uint8_t(rate >> 8),
                               std::uint8_t(rate)};
    return comPortCommand(SET_BAUDRATE, v, 4);
}

std::string comPortByte(std::uint8_t command, std::uint8_t value) {
    return comPortCommand(command, &value, 1);
}

void Decoder::finishSubneg(std::vector<Event>& events, std::size_t at) {
    Event e;
    e.at = at;
    e.option = m_sbOption;
    if (m_sbOverflow || (m_sbOption == COM_PORT_OPTION && m_sbLen == 0)) {
        e.kind = Event::Kind::DroppedSubneg;
    } else if (m_sbOption != COM_PORT_OPTION) {
        e.kind = Event::Kind::OtherSubneg;
    } else {
        e.kind = Event::Kind::ComPort;
        e.command = m_sb[0];
        e.valueSize = m_sbLen - 1;
        for (std::size_t i = 1; i < m_sbLen && i <= 4; ++i)
            e.value = e.value << 8 | m_sb[i];
    }
    events.push_back(e);
    m_sbLen = 0;
    m_sbOverflow = false;
}

std::size_t Decoder::feed(const std::uint8_t* in, std::size_t n, std::uint8_t* data,
                          std::vector<Event>& events) {
    std::size_t out = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t b = in[i];
        switch (m_state) {
        case State::Data:
            if (b == IAC)
                m_state = State::Iac;
            else
                data[out++] = b;
            break;
        case State::Iac:
            if (b == IAC) {
                data[out++] = IAC;
                m_state = State::Data;
            } else if (b >= WILL && b <= DONT) {
                m_verb = b;
                m_state = State::Verb;
            } else if (b == SB) {
                m_state = State::Sb;
            } else {
                m_state = State::Data; // NOP, GA, BREAK and the like mean nothing to a serial client
            }
            break;
        case State::Verb: {
            Event e;
            e.kind = Event::Kind::Negotiation;
            e.verb = m_verb;
            e.option = b;
            e.at = out;
            events.push_back(e);
            m_state = State::Data;
            break;
        }
        case State::Sb:
            m_sbOption = b;
            m_sbLen = 0;
            m_sbOverflow = false;
            m_state = State::SbData;
            break;
        case State::SbData:
            if (b == IAC) {
                m_state = State::SbIac;
                break;
            }
            [[fallthrough]];
        case State::SbIac:
            if (m_state == State::SbIac && b != IAC) {
                if (b == SE) {
                    finishSubneg(events, out);
                    m_state = State::Data;
                } else {
                    // IAC and a command inside a subnegotiation: it was cut short. Drop it and take the
                    // command as it stands.
                    m_sbOverflow = true;
                    finishSubneg(events, out);
                    m_state = State::Iac;
                    --i;
                }
                break;
            }
            if (m_sbLen < m_sb.size())
                m_sb[m_sbLen++] = b;
            else
                m_sbOverflow = true;
            m_state = State::SbData;
            break;
        }
    }
    return out;
}

} // namespace platform::rfc2217
