// SPDX-License-Identifier: GPL-3.0-or-later
// The byte streams the peer produces and checks, and the pacing of a line; no I/O here.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace peer {

using Clock = std::chrono::steady_clock;

// Holds a direction to the rate of a line at `baud` with ten bits per byte (start, 8 data, stop).
// Credit that a late wake-up leaves unused is kept for a while, so a busy machine still averages the
// line rate; credit from an idle line is not, so a pause is not followed by a burst.
class Pacer {
public:
    explicit Pacer(unsigned baud, Clock::time_point start);
    bool limited() const { return m_period.count() > 0; }
    // Bytes the line could have carried by `now` that have not gone yet.
    std::size_t allowance(Clock::time_point now);
    void consume(std::size_t n) { m_next += m_period * static_cast<std::int64_t>(n); }
    // Nothing was ready to go: the line stood idle up to `now`.
    void idle(Clock::time_point now);
    Clock::time_point nextCredit() const { return m_next; }

private:
    std::chrono::nanoseconds m_period{0};
    Clock::time_point m_next;
};

// 8-bit sum with end-around carry: a carry out of bit 7 is added back in, so the sum stays in 0..255.
inline unsigned endAroundAdd(unsigned sum, std::uint8_t code) {
    sum += code;
    if (sum > 255)
        sum -= 255;
    return sum;
}

enum class Pattern { Counter, Text, Random };

// Bytes for source mode: `count` pattern bytes (unlimited when empty), with CR LF after every
// `lineEvery` pattern bytes when that is non-zero.
class PatternSource {
public:
    PatternSource(Pattern pattern, std::optional<std::uint64_t> count, std::uint64_t seed,
                  std::uint64_t lineEvery);
    std::optional<std::uint8_t> next();

private:
    std::uint8_t patternByte();

    Pattern m_pattern;
    std::optional<std::uint64_t> m_count;
    std::uint64_t m_rng;
    std::uint64_t m_lineEvery;
    std::uint64_t m_produced = 0;
    int m_pendingEol = 0; // 2: CR then LF still to send, 1: LF still to send
};

enum class Expect { Nothing, Counter, Repeat };

struct Mismatch {
    std::uint64_t offset = 0;
    std::uint8_t expected = 0;
    std::uint8_t got = 0;
};

// Checks what sink mode receives. After a wrong byte the check follows whichever reading the next
// byte confirms (the byte was changed, or bytes were lost or added), so one fault counts once.
class SequenceChecker {
public:
    SequenceChecker(Expect expect, std::uint8_t repeatCode) : m_expect(expect), m_repeat(repeatCode) {}
    void feed(std::uint8_t b);
    std::uint64_t mismatches() const { return m_mismatches; }
    const std::optional<Mismatch>& firstMismatch() const { return m_first; }
    unsigned sum() const { return m_sum; }

private:
    void miss(std::uint8_t expected, std::uint8_t got);

    Expect m_expect;
    std::uint8_t m_repeat;
    std::uint64_t m_offset = 0;
    std::uint8_t m_expected = 0;
    bool m_resyncing = false;
    std::uint8_t m_resync = 0;
    std::uint64_t m_mismatches = 0;
    std::optional<Mismatch> m_first;
    unsigned m_sum = 0;
};

// The text pattern: printable, and every line-end choice is left to --line-every.
extern const std::string kTextPattern;

} // namespace peer
