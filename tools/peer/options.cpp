// SPDX-License-Identifier: GPL-3.0-or-later
#include "options.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string_view>

namespace peer {

const char* const kUsage =
    R"(usage: comlab-peer MODE [options]
A virtual serial device: prints the device path, then acts as the far end of the line.
modes:
  echo                 send back every byte received
  source               send a pattern
  sink                 receive and check
common options:
  --baud B             pace both directions at B/10 bytes per second (default: unpaced)
  --map DIR --com N    make the symlink DIR/COMN (N = 1..16) to the device, removed on exit
  --stats-file F       also write the statistics line to F (on exit and on SIGUSR1)
  --parent PID         exit when process PID is gone
  --seconds S          exit after S seconds
echo options:
  --delay MS           return each byte MS milliseconds after it arrived
  --drop-every K       drop every K-th byte received
  --corrupt-every K    flip the lowest bit of every K-th byte received
source options:
  --count N            send N pattern bytes, then exit once they are read (default: until stopped)
  --pattern P          counter (00, 01, ... FF, 00, ...), text or random (default: counter)
  --seed S             seed of the random pattern (default: 1)
  --line-every K       send CR LF after every K pattern bytes
sink options:
  --expect E           counter (00, 01, ... FF, 00, ...) or repeat:HH (one code, hex)
)";

namespace {

template <typename T> bool parseUnsigned(std::string_view text, T& out, T min, T max) {
    if (text.empty() || text.front() == '+' || text.front() == '-')
        return false;
    T value{};
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < min || value > max)
        return false;
    out = value;
    return true;
}

bool parseSeconds(const std::string& text, double& out) {
    if (text.empty())
        return false;
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || !std::isfinite(v) || v <= 0 || v > 1e7)
        return false;
    out = v;
    return true;
}

bool parseHexByte(std::string_view text, std::uint8_t& out) {
    unsigned v = 0;
    if (text.empty() || text.size() > 2)
        return false;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v, 16);
    if (ec != std::errc() || end != text.data() + text.size())
        return false;
    out = static_cast<std::uint8_t>(v);
    return true;
}

struct OptionSpec {
    std::string_view name;
    std::optional<Mode> onlyIn; // set: the option means something in that mode only
};

constexpr OptionSpec kOptions[] = {
    {"--baud", {}},
    {"--map", {}},
    {"--com", {}},
    {"--stats-file", {}},
    {"--parent", {}},
    {"--seconds", {}},
    {"--delay", Mode::Echo},
    {"--drop-every", Mode::Echo},
    {"--corrupt-every", Mode::Echo},
    {"--count", Mode::Source},
    {"--pattern", Mode::Source},
    {"--seed", Mode::Source},
    {"--line-every", Mode::Source},
    {"--expect", Mode::Sink},
};

const char* modeName(Mode m) {
    switch (m) {
    case Mode::Echo:
        return "echo";
    case Mode::Source:
        return "source";
    case Mode::Sink:
        return "sink";
    }
    return "";
}

} // namespace

ParseResult parseOptions(int argc, char** argv) {
    ParseResult r;
    auto fail = [&r](std::string why) {
        r.status = ParseStatus::Error;
        r.error = std::move(why);
        return r;
    };
    std::optional<Mode> mode;
    std::optional<std::string_view> seen[std::size(kOptions)];

    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            r.status = ParseStatus::Help;
            return r;
        }
        if (!arg.starts_with("-")) {
            if (mode)
                return fail("unexpected argument '" + std::string(arg) + "'");
            if (arg == "echo")
                mode = Mode::Echo;
            else if (arg == "source")
                mode = Mode::Source;
            else if (arg == "sink")
                mode = Mode::Sink;
            else
                return fail("unknown mode '" + std::string(arg) + "'");
            continue;
        }
        std::string_view name = arg;
        std::optional<std::string_view> value;
        if (const auto eq = arg.find('='); eq != std::string_view::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
        }
        std::size_t k = 0;
        while (k < std::size(kOptions) && kOptions[k].name != name)
            ++k;
        if (k == std::size(kOptions))
            return fail("unknown option '" + std::string(name) + "'");
        if (!value) {
            if (i + 1 >= argc)
                return fail("option " + std::string(name) + " needs a value");
            value = argv[++i];
        }
        if (seen[k])
            return fail("option " + std::string(name) + " given twice");
        seen[k] = value;
    }
    if (!mode)
        return fail("no mode given");

    Options& o = r.options;
    o.mode = *mode;
    for (std::size_t k = 0; k < std::size(kOptions); ++k) {
        if (!seen[k])
            continue;
        const std::string_view name = kOptions[k].name;
        const std::string v(*seen[k]);
        if (kOptions[k].onlyIn && *kOptions[k].onlyIn != o.mode)
            return fail("option " + std::string(name) + " belongs to mode " + modeName(*kOptions[k].onlyIn));
        bool ok = true;
        if (name == "--baud") {
            ok = parseUnsigned(v, o.baud, 1u, 10'000'000u);
        } else if (name == "--map") {
            o.mapDir = v;
            ok = !v.empty();
        } else if (name == "--com") {
            ok = parseUnsigned(v, o.com, 1, 16);
        } else if (name == "--stats-file") {
            o.statsFile = v;
            ok = !v.empty();
        } else if (name == "--parent") {
            pid_t pid = 0;
            ok = parseUnsigned<pid_t>(v, pid, 1, std::numeric_limits<pid_t>::max());
            o.parent = pid;
        } else if (name == "--seconds") {
            double s = 0;
            ok = parseSeconds(v, s);
            o.seconds = s;
        } else if (name == "--delay") {
            ok = parseUnsigned(v, o.delayMs, 0u, 3'600'000u);
        } else if (name == "--drop-every") {
            ok = parseUnsigned<std::uint64_t>(v, o.dropEvery, 1, UINT64_MAX);
        } else if (name == "--corrupt-every") {
            ok = parseUnsigned<std::uint64_t>(v, o.corruptEvery, 1, UINT64_MAX);
        } else if (name == "--count") {
            std::uint64_t n = 0;
            ok = parseUnsigned<std::uint64_t>(v, n, 0, UINT64_MAX);
            o.count = n;
        } else if (name == "--pattern") {
            if (v == "counter")
                o.pattern = Pattern::Counter;
            else if (v == "text")
                o.pattern = Pattern::Text;
            else if (v == "random")
                o.pattern = Pattern::Random;
            else
                ok = false;
        } else if (name == "--seed") {
            ok = parseUnsigned<std::uint64_t>(v, o.seed, 0, UINT64_MAX);
        } else if (name == "--line-every") {
            ok = parseUnsigned<std::uint64_t>(v, o.lineEvery, 1, UINT64_MAX);
        } else if (name == "--expect") {
            if (v == "counter")
                o.expect = Expect::Counter;
            else if (v.starts_with("repeat:") && parseHexByte(std::string_view(v).substr(7), o.repeatCode))
                o.expect = Expect::Repeat;
            else
                ok = false;
        }
        if (!ok)
            return fail("bad value '" + v + "' for " + std::string(name));
    }
    if (seen[1].has_value() != seen[2].has_value())
        return fail("--map and --com go together");
    if (seen[11] && o.pattern != Pattern::Random)
        return fail("--seed goes with --pattern random");
    return r;
}

} // namespace peer
