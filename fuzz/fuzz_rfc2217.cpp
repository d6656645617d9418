// SPDX-License-Identifier: GPL-3.0-or-later
// libFuzzer target for the telnet / Com Port Control decoder: any server stream, split into reads at
// places the input itself chooses, must decode without fault, with data never outrunning the input, and
// the same whether fed whole or in pieces.
#include "rfc2217.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {
void check(bool ok) {
    if (!ok)
        std::abort();
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace platform::rfc2217;
    if (size == 0)
        return 0;
    // The first byte picks the piece size; the rest is the stream.
    const std::size_t step = 1 + data[0] % 17;
    const std::uint8_t* in = data + 1;
    const std::size_t n = size - 1;

    std::vector<std::uint8_t> whole(in, in + n);
    std::vector<Event> wholeEvents;
    Decoder a;
    const std::size_t wholeGot = a.feed(whole.data(), n, whole.data(), wholeEvents);
    check(wholeGot <= n);

    Decoder b;
    std::vector<std::uint8_t> pieces;
    std::vector<Event> pieceEvents;
    for (std::size_t pos = 0; pos < n; pos += step) {
        const std::size_t k = step < n - pos ? step : n - pos;
        std::vector<std::uint8_t> buf(in + pos, in + pos + k);
        std::vector<Event> ev;
        const std::size_t got = b.feed(buf.data(), k, buf.data(), ev);
        check(got <= k);
        for (const Event& e : ev) {
            check(e.at <= got);
            check(e.kind != Event::Kind::ComPort || e.valueSize < kMaxSubnegotiation);
        }
        pieces.insert(pieces.end(), buf.begin(), buf.begin() + long(got));
        pieceEvents.insert(pieceEvents.end(), ev.begin(), ev.end());
    }
    check(pieces.size() == wholeGot);
    check(std::equal(pieces.begin(), pieces.end(), whole.begin()));
    check(pieceEvents.size() == wholeEvents.size());
    for (std::size_t i = 0; i < pieceEvents.size(); ++i)
        check(pieceEvents[i].kind == wholeEvents[i].kind && pieceEvents[i].value == wholeEvents[i].value);

    // What a client would send back for the same bytes must also be well-formed.
    std::string out;
    appendEscaped(out, in, n);
    check(out.size() >= n);
    return 0;
}
