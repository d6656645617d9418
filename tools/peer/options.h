// SPDX-License-Identifier: GPL-3.0-or-later
// Command line of comlab-peer.
#pragma once

#include "streams.h"

#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>

namespace peer {

enum class Mode { Echo, Source, Sink };

struct Options {
    Mode mode = Mode::Echo;
    std::string mapDir; // empty: no symlink
    int com = 0;
    unsigned baud = 0; // 0: as fast as the pseudo-terminal goes
    std::string statsFile;
    std::optional<pid_t> parent;
    std::optional<double> seconds;
    // echo
    unsigned delayMs = 0;
    std::uint64_t dropEvery = 0;
    std::uint64_t corruptEvery = 0;
    // source
    std::optional<std::uint64_t> count;
    Pattern pattern = Pattern::Counter;
    std::uint64_t seed = 1;
    std::uint64_t lineEvery = 0;
    // sink
    Expect expect = Expect::Nothing;
    std::uint8_t repeatCode = 0;
};

enum class ParseStatus { Ok, Help, Error };

struct ParseResult {
    ParseStatus status = ParseStatus::Ok;
    Options options;
    std::string error; // what was wrong, for the message above the usage
};

ParseResult parseOptions(int argc, char** argv);
extern const char* const kUsage;

} // namespace peer
