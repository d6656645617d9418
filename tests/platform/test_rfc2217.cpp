// SPDX-License-Identifier: GPL-3.0-or-later
// The telnet / Com Port Control codec: what a client sends, and what it makes of a server's bytes
// however they are split into reads.
#include "rfc2217.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace platform::rfc2217;
using Kind = Event::Kind;

std::string bytes(std::initializer_list<int> b) {
    std::string s;
    for (int v : b)
        s += char(v);
    return s;
}

struct Decoded {
    std::string data;
    std::vector<Event> events;
    std::vector<std::size_t> eventAt; // data offset of each event from the start of the stream
};

// Feeds `in` in pieces of `step` bytes (0: whole).
Decoded decode(const std::string& in, std::size_t step) {
    Decoder d;
    Decoded r;
    std::size_t pos = 0;
    do {
        const std::size_t n = step == 0 ? in.size() : std::min(step, in.size() - pos);
        std::vector<std::uint8_t> buf(in.begin() + long(pos), in.begin() + long(pos + n));
        std::vector<Event> ev;
        const std::size_t got = d.feed(buf.data(), n, buf.data(), ev); // in place, as the device does
        for (Event& e : ev) {
            r.eventAt.push_back(r.data.size() + e.at);
            r.events.push_back(e);
        }
        r.data.append(reinterpret_cast<const char*>(buf.data()), got);
        pos += n;
    } while (pos < in.size());
    return r;
}

TEST(Rfc2217, ClientCommandsDoubleIac) {
    std::string out;
    const std::uint8_t d[] = {1, 0xFF, 0xFF, 2};
    appendEscaped(out, d, 4);
    EXPECT_EQ(out, bytes({1, 255, 255, 255, 255, 2}));
    EXPECT_EQ(negotiation(WILL, COM_PORT_OPTION), bytes({255, 251, 44}));
    EXPECT_EQ(setBaudRate(115200), bytes({255, 250, 44, 1, 0, 1, 0xC2, 0, 255, 240}));
    // A rate whose bytes hold 0xFF goes out with them doubled.
    EXPECT_EQ(setBaudRate(0xFF00), bytes({255, 250, 44, 1, 0, 0, 255, 255, 0, 255, 240}));
    EXPECT_EQ(comPortByte(SET_CONTROL, DTR_ON), bytes({255, 250, 44, 5, 8, 255, 240}));
}

TEST(Rfc2217, ServerStreamsDecodeAlikeInAnyPieces) {
    struct Case {
        const char* name;
        std::string in;
        std::string data;
        std::vector<Kind> kinds;
        std::vector<std::uint32_t> values; // command << 24 | value for ComPort, verb << 8 | option else
    };
    const std::vector<Case> cases = {
        {"plain data", "hello", "hello", {}, {}},
        {"doubled IAC is one data byte",
         bytes({'a', 255, 255, 255, 255, 'b'}),
         bytes({'a', 255, 255, 'b'}),
         {},
         {}},
        {"negotiations",
         bytes({255, 253, 44, 'x', 255, 251, 0}),
         "x",
         {Kind::Negotiation, Kind::Negotiation},
         {253u << 8 | 44, 251u << 8 | 0}},
        {"baud rate answer",
         bytes({255, 250, 44, 101, 0, 1, 0xC2, 0, 255, 240, 'z'}),
         "z",
         {Kind::ComPort},
         {101u << 24 | 115200}},
        {"doubled IAC inside a value",
         bytes({255, 250, 44, 101, 0, 0, 255, 255, 0, 255, 240}),
         "",
         {Kind::ComPort},
         {101u << 24 | 0xFF00}},
        {"modem and line state",
         bytes({255, 250, 44, 107, 0x30, 255, 240, 255, 250, 44, 106, 0x0A, 255, 240}),
         "",
         {Kind::ComPort, Kind::ComPort},
         {107u << 24 | 0x30, 106u << 24 | 0x0A}},
        {"other option's subnegotiation",
         bytes({255, 250, 24, 1, 255, 240, 'k'}),
         "k",
         {Kind::OtherSubneg},
         {0}},
        {"oversize subnegotiation dropped",
         bytes({255, 250, 44, 1}) + std::string(500, 'A') + bytes({255, 240, 'q'}),
         "q",
         {Kind::DroppedSubneg},
         {0}},
        {"empty com-port subnegotiation", bytes({255, 250, 44, 255, 240}), "", {Kind::DroppedSubneg}, {0}},
        {"cut-short subnegotiation then a command",
         bytes({255, 250, 44, 102, 8, 255, 251, 3, 'm'}),
         "m",
         {Kind::DroppedSubneg, Kind::Negotiation},
         {0, 251u << 8 | 3}},
        {"NOP and GA vanish", bytes({'a', 255, 241, 'b', 255, 249, 'c'}), "abc", {}, {}},
    };
    for (const Case& c : cases) {
        for (std::size_t step : {0, 1, 2, 3, 7}) {
            SCOPED_TRACE(std::string(c.name) + ", pieces of " + std::to_string(step));
            const Decoded r = decode(c.in, step);
            EXPECT_EQ(r.data, c.data);
            ASSERT_EQ(r.events.size(), c.kinds.size());
            for (std::size_t i = 0; i < c.kinds.size(); ++i) {
                const Event& e = r.events[i];
                EXPECT_EQ(e.kind, c.kinds[i]);
                if (e.kind == Kind::ComPort) {
                    EXPECT_EQ(std::uint32_t(e.command) << 24 | e.value, c.values[i]);
                } else if (e.kind == Kind::Negotiation) {
                    EXPECT_EQ(std::uint32_t(e.verb) << 8 | e.option, c.values[i]);
                }
            }
        }
    }
}

TEST(Rfc2217, EventsStandWhereTheyCameInTheData) {
    const Decoded r = decode(bytes({'a', 'b', 255, 250, 44, 106, 0x08, 255, 240, 'c'}), 1);
    ASSERT_EQ(r.events.size(), 1u);
    EXPECT_EQ(r.eventAt[0], 2u);
}

// The seed corpus of the fuzz target: each file decodes to the same data whole and in random pieces.
TEST(Rfc2217, SeedCorpusReplays) {
    std::mt19937 rng(7);
    int files = 0;
    for (const auto& f : std::filesystem::directory_iterator(COMLAB_RFC2217_CORPUS)) {
        std::ifstream in(f.path(), std::ios::binary);
        const std::string s((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const Decoded whole = decode(s, 0);
        const Decoded pieces = decode(s, 1 + rng() % 5);
        EXPECT_EQ(whole.data, pieces.data) << f.path();
        EXPECT_EQ(whole.eventAt, pieces.eventAt) << f.path();
        ++files;
    }
    EXPECT_GE(files, 3);
}

} // namespace
