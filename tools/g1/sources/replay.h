// What `--replay` plays: the G1 datagrams of a capture file, one sender's (the well-formed ones,
// or all of them as recorded), and when each one is due at the chosen speed. No sockets and no
// clock here; the playing is replay_source.cpp's.
#pragma once

#include "tools/g1/pcap/pcap_file.h"
#include "tools/g1/sources/replay_sorting.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <optional>
#include <span>
#include <string>
#include <vector>

struct ReplaySender {
    std::uint32_t ip = 0;
    std::uint64_t datagrams = 0;
};

struct ReplayLoad {
    std::vector<PcapDatagram> datagrams;  // G1, in the file's order
    std::vector<ReplaySender> senders;    // in order of first appearance
    std::uint64_t other = 0;              // records of other traffic, skipped
    std::uint64_t unheld = 0;             // to a port before its G1 began, not held: skipped
    std::uint64_t other_senders = 0;      // G1 of the senders not chosen
    std::uint64_t malformed = 0;          // of the chosen sender, not well-formed G1, skipped
    std::string truncated;                // why the file ends early; empty when it is whole
};

// A refusal lists this many senders, those with the most datagrams, and counts the rest.
inline constexpr std::size_t kReplaySendersListed = 20;

// Every G1 datagram of the capture, malformed ones included, as replay_sort tells them from
// other traffic, with their bytes. False, with `error`, as replay_sort, or when a record it held
// cannot be read back (the file changed, or cannot be read at an offset).
bool replay_load(std::istream& in, ReplayLoad& load, std::string& error,
                 const std::function<bool()>& stop = {});

// Keeps the datagrams of one sender: `sender`, or without one the only one there is; of those,
// the well-formed G1 unless `all`. False, with `error`, for a file without G1, a sender it does
// not hold, several and none chosen, or a sender with nothing well-formed to play.
bool replay_choose_sender(ReplayLoad& load, std::optional<std::uint32_t> sender, bool all,
                          std::string& error);

// The file's gaps on the recording's timeline (replay_timeline_next) divided by the speed, each
// one at least kReplayShortestGapNs. A loop starts its next pass one mean gap after its last
// datagram.
struct ReplaySchedule {
    std::vector<std::int64_t> offsets_ns;  // from the pass's start
    std::int64_t pass_ns = 0;              // from one pass's start to the next one's
};

// However the file is timed and whatever the speed: at most 20,000 datagrams a second.
inline constexpr std::int64_t kReplayShortestGapNs = 50'000;
// A recording of one datagram loops once a second of its time.
inline constexpr std::int64_t kReplayLoneGapNs = 1'000'000'000;
inline constexpr std::int64_t kReplayLongestGapNs = 3600'000'000'000;
// Times beyond about 104 days (2^53 ns, exact in a double) are held there.
inline constexpr std::int64_t kReplayLatestNs = std::int64_t{1} << 53;

// The recording's timeline, where every replay places its datagrams: `at_ns` moved on by the
// file's gap `gap_ns` to the next datagram. A gap that runs backwards (captures merged out of
// order) counts as none, one longer than an hour (a clock that jumped) as an hour, and the
// timeline is held at kReplayLatestNs.
std::int64_t replay_timeline_next(std::int64_t at_ns, std::int64_t gap_ns);

ReplaySchedule replay_schedule(std::span<const PcapDatagram> datagrams, double speed);

// When the k-th datagram sent is due, counted over every pass, from the first one's sending.
std::int64_t replay_due_ns(const ReplaySchedule& schedule, std::uint64_t k);
