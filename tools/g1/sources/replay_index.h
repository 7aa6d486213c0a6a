// A capture's G1 datagrams indexed by time, for playing a recording from any moment: one pass
// over the file keeps, per sender, where each datagram's record starts and when it came, not
// its bytes, so a large recording opens quickly and a seek reads only the records it shows.
#pragma once

#include "tools/g1/pcap/pcap_file.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

struct ReplayIndexEntry {
    std::uint64_t offset = 0;  // of its record in the file
    std::int64_t at_ns = 0;    // on the recording's timeline, from its first G1 datagram
    std::int64_t time_us = 0;  // the sender's running time, as a receiver unwraps it
    bool well_formed = false;
};

// One sender's datagrams, in the file's order.
struct ReplayTrack {
    std::uint32_t ip = 0;
    std::vector<ReplayIndexEntry> entries;
};

struct ReplayIndex {
    PcapReader format;                // the file's byte order, time unit and link type
    std::vector<ReplayTrack> tracks;  // in order of first appearance
    std::int64_t length_ns = 0;       // the timeline's last moment
    std::int64_t start_ns = 0;        // the first G1 datagram's time, from 1970 (the file's clock)
    std::uint64_t other = 0;          // records of other traffic
    std::uint64_t unheld = 0;         // to a port before its G1 began, beyond what is held
    std::string truncated;            // why the file ends early; empty when it is whole
};

// Reads the whole capture once, its G1 sorted out as replay_sort does for every replay. The
// timeline is the file's clock with its gaps kept as replay_timeline_next keeps them. False,
// with `error`, for a file that is no capture, is damaged or holds no G1, or when `stop` says so.
bool replay_index_build(std::istream& in, ReplayIndex& index, std::string& error,
                        const std::function<bool()>& stop = {});

// The last entry at or before `at_ns`; entries.size() when the track has none by then.
std::size_t replay_track_find(const ReplayTrack& track, std::int64_t at_ns);

// Reads the datagram of `entry` from the file the index was built from. False, with `error`,
// when the record is no longer there as it was.
bool replay_index_read(std::istream& in, const ReplayIndex& index, const ReplayIndexEntry& entry,
                       PcapDatagram& datagram, std::string& error);

// Of the track's well-formed entries up to `last` (included) and less than `span_us` of the
// sender's time before it, those a chart keeps at one sample a `step_us`: the latest, then each
// at least a step before the one after it; oldest first. A time that goes back ends them, as a
// new flight starts a receiver's charts afresh.
void replay_track_samples(const ReplayTrack& track, std::size_t last, std::int64_t step_us,
                          std::int64_t span_us, std::vector<std::size_t>& out);
