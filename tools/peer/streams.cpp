// SPDX-License-Identifier: GPL-3.0-or-later
#include "streams.h"

#include <algorithm>

namespace peer {

const std::string kTextPattern = "The quick brown fox jumps over the lazy dog 0123456789. ";

namespace {
// How much unused credit survives a late wake-up.
constexpr auto kCatchUp = std::chrono::milliseconds(250);
} // namespace

Pacer::Pacer(unsigned baud, Clock::time_point start) : m_next(start) {
    if (baud > 0)
        m_period = std::chrono::nanoseconds(10'000'000'000LL / baud);
}

std::size_t Pacer::allowance(Clock::time_point now) {
    if (!limited())
        return SIZE_MAX;
    if (now < m_next)
        return 0;
    if (now - m_next > kCatchUp)
        m_next = now - kCatchUp;
    return static_cast<std::size_t>((now - m_next) / m_period) + 1;
}

void Pacer::idle(Clock::time_point now) {
    m_next = std::max(m_next, now);
}

PatternSource::PatternSource(Pattern pattern, std::optional<std::uint64_t> count, std::uint64_t seed,
                             std::uint64_t lineEvery)
    : m_pattern(pattern), m_count(count), m_rng(seed), m_lineEvery(lineEvery) {}

std::optional<std::uint8_t> PatternSource::next() {
    if (m_pendingEol > 0)
        return m_pendingEol-- == 2 ? std::uint8_t{'\r'} : std::uint8_t{'\n'};
    if (m_count && m_produced >= *m_count)
        return std::nullopt;
    const std::uint8_t b = patternByte();
    ++m_produced;
    if (m_lineEvery > 0 && m_produced % m_lineEvery == 0)
        m_pendingEol = 2;
    return b;
}

std::uint8_t PatternSource::patternByte() {
    switch (m_pattern) {
    case Pattern::Counter:
        return static_cast<std::uint8_t>(m_produced & 0xFF);
    case Pattern::Text:
        return static_cast<std::uint8_t>(kTextPattern[m_produced % kTextPattern.size()]);
    case Pattern::Random: {
        // splitmix64: the same seed gives the same bytes on every machine.
        std::uint64_t z = (m_rng += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        z ^= z >> 31;
        return static_cast<std::uint8_t>(z >> 56);
    }
    }
    return 0;
}

void SequenceChecker::feed(std::uint8_t b) {
    m_sum = endAroundAdd(m_sum, b);
    switch (m_expect) {
    case Expect::Nothing:
        break;
    case Expect::Repeat:
        if (b != m_repeat)
            miss(m_repeat, b);
        break;
    case Expect::Counter:
        if (b == m_expected || (m_resyncing && b == m_resync)) {
            m_resyncing = false;
            m_expected = static_cast<std::uint8_t>(b + 1);
        } else {
            miss(m_expected, b);
            m_resyncing = true;
            m_resync = static_cast<std::uint8_t>(b + 1);
            m_expected = static_cast<std::uint8_t>(m_expected + 1);
        }
        break;
    }
    ++m_offset;
}

void SequenceChecker::miss(std::uint8_t expected, std::uint8_t got) {
    ++m_mismatches;
    if (!m_first)
        m_first = Mismatch{m_offset, expected, got};
}

} // namespace peer
