// A recording as a source: its G1 datagrams played at the recorded pace (or `speed` times it),
// each one handed on from the sender it was recorded from, so per-sender bookkeeping sees the
// file's addresses, not this machine.
#pragma once

#include "tools/g1/sources/replay.h"
#include "tools/g1/sources/source.h"

#include <cstddef>
#include <string>

struct ReplayOptions {
    std::string file;
    double speed = 1.0;
    bool loop = false;
    bool all = false;    // the malformed datagrams too, as recorded
    std::string sender;  // of the recording; empty: its only one
};

// Loads the file (Ctrl+C stops a long load: false with `error` "... stopped") and hands on up to
// `capacity` datagrams a wait. `notice` says what the command should know before it starts (a
// file cut short), or stays empty.
bool replay_source_open(const ReplayOptions& options, std::size_t capacity, G1Source& source,
                        std::string& error, std::string& notice);
