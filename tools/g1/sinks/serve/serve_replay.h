// A recording played on the page of `g1 serve --replay`: the capture's time index, the
// playback's state, and at each tick the datagrams that became due, or after a jump (a seek, a
// loop) each sender's minute before the new moment, read from the file. It hands them on through
// the functions it is given; no sockets and no HTTP here.
#pragma once

#include "tools/g1/receive/sender_filter.h"
#include "tools/g1/sinks/serve/serve_playback.h"
#include "tools/g1/sinks/serve/serve_senders.h"
#include "tools/g1/sources/replay_index.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

// Between ticks a track hands on at most this many datagrams; more (a long stall, 16 times a
// fast sender) and it jumps to the moment instead.
inline constexpr std::size_t kReplayMostPerTick = 4096;

struct ServeReplayOutput {
    // A datagram due now; `time_us` is its sender's running time over the whole recording.
    std::function<void(const UdpDatagram& datagram, std::span<const char> bytes,
                       std::int64_t time_us, std::int64_t now_ns)>
        datagram;
    // Before a jump's moments: what the receiver knew of the senders' links is of another time.
    std::function<void()> jumped;
    // A sender's minute before the new moment, and its datagram at the moment if it has one.
    std::function<void(std::uint32_t ip, const SenderHistory& history, const SenderSample* latest,
                       std::int64_t now_ns)>
        moment;
};

// A seek reads a few hundred records per sender, each after a jump in the file that empties
// the stream's buffer: a small one, about a record's size, costs far less to fill than the
// default one (the whole file is read once, for the index, through a stream of its own).
inline constexpr std::size_t kReplayReadBuffer = 512;
// A jump reads records less than this far apart in one run, and this much past the last one's
// start (a record longer than that is read alone).
inline constexpr std::uint64_t kReplayRunGap = 1 << 20;
inline constexpr std::size_t kReplayRunTail = 4096;

// One record a jump reads: the k-th chosen sample of a track.
struct MomentRecord {
    std::uint64_t offset = 0;
    std::size_t track = 0;
    std::size_t k = 0;
};

struct ServeReplay {
    std::array<char, kReplayReadBuffer> buffer;
    std::ifstream file;  // the records, read one at a time
    ReplayIndex index;
    Playback playback;
    std::vector<std::size_t> next;  // each track's next entry to hand on
    std::uint64_t jumps_shown = 0;
    std::string about;  // the recording's facts, as members of the playback event's JSON
    // A jump's work, kept from one to the next: each track's chosen entries, their samples and
    // whether each was read, the records to read, and one run of them.
    std::vector<std::vector<std::size_t>> chosen;
    std::vector<std::vector<SenderSample>> moment;
    std::vector<std::vector<bool>> read;
    std::vector<MomentRecord> wanted;
    std::vector<std::uint8_t> run;
    PcapDatagram datagram;
    std::unique_ptr<SenderHistory> history = std::make_unique<SenderHistory>();
};

// Opens and indexes `path` and starts playing it at `now_ns`. Its senders are those `from` takes;
// `sender`, if given, is shown first. False, with `error`, for a file that cannot be played.
bool serve_replay_open(ServeReplay& replay, const std::string& path,
                       std::optional<std::uint32_t> sender, const SenderFilter& from, double speed,
                       bool loop, std::int64_t now_ns, std::string& error,
                       const std::function<bool()>& stop = {});

// Hands on what became due by `now_ns`, or the moments after a jump. False, with `error`, when
// the file can no longer be read.
bool serve_replay_tick(ServeReplay& replay, std::int64_t now_ns, const ServeReplayOutput& out,
                       std::string& error);

// The playback event: `event: playback` and its JSON (playback_json with the recording's facts:
// "file", "start_ms" (from 1970), "sender" (shown first), "senders" [{"sender","datagrams"}]).
std::string serve_replay_event(ServeReplay& replay, std::int64_t now_ns);
