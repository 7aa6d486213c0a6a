// Which of a capture's datagrams are G1, decided once for every way a recording is played: the
// whole of it loaded (g1 send/listen --replay) and its time index (g1 serve --replay).
#pragma once

#include "tools/g1/pcap/pcap_file.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>
#include <utility>
#include <vector>

// A datagram to a port not yet known to carry G1 is held, this many to a port, until the port's
// first G1 says it does. Only where its record lies is held, never its bytes, so a hostile file
// costs at most this many small entries a port.
inline constexpr std::size_t kReplayHeldPerPort = 64;

// A G1 datagram that came before its port's first G1.
struct ReplayHeld {
    std::uint64_t offset = 0;        // of its record in the file
    std::uint64_t taken_before = 0;  // G1 datagrams handed on, as they were read, before it
};

struct ReplaySorted {
    PcapReader format;             // the file's byte order, time unit and link type
    std::vector<ReplayHeld> held;  // in the file's order, while replay_sort reads them again
    std::uint64_t other = 0;       // records of other traffic, skipped
    std::uint64_t unheld = 0;      // to a port before its G1 began, not held: skipped
    std::string truncated;         // why the file ends early; empty when it is whole
};

// Reads the capture once and keeps what `make(offset, datagram)` makes of each of its G1
// datagrams, in the file's order: what was sent to the G1 port or to a port that the file's G1
// goes to (g1 record --port), or begins with "G1,", malformed ones included. Of a port's
// datagrams before its first G1, those beyond what is held are counted in `unheld`; those held
// are read again after the pass. A file cut inside a record gives what came before the cut and
// says so in `truncated`. False, with `error`, for a file that is no capture or is damaged or
// changed while it was read, or when `stop` (asked now and then) says so. The stream is left
// ready to be read at any record's offset.
template <typename T, typename Make>
bool replay_sort(std::istream& in, ReplaySorted& sorted, std::vector<T>& g1, Make make,
                 std::string& error, const std::function<bool()>& stop = {});

// The parts of replay_sort: the pass, which hands on each G1 datagram whose port is known to
// carry G1 as it is read, and the held ones read again, the h-th of `sorted.held` as h.
using ReplayTake = std::function<void(std::uint64_t offset, PcapDatagram&)>;
using ReplayPutHeld = std::function<void(std::size_t h, PcapDatagram&)>;
bool replay_sort_pass(std::istream& in, ReplaySorted& sorted, std::string& error,
                      const ReplayTake& take, const std::function<bool()>& stop);
bool replay_read_held(std::istream& in, const ReplaySorted& sorted, const ReplayPutHeld& put,
                      std::string& error);

template <typename T, typename Make>
bool replay_sort(std::istream& in, ReplaySorted& sorted, std::vector<T>& g1, Make make,
                 std::string& error, const std::function<bool()>& stop) {
    g1.clear();
    const auto take = [&](std::uint64_t offset, PcapDatagram& d) { g1.push_back(make(offset, d)); };
    if (!replay_sort_pass(in, sorted, error, take, stop)) return false;
    if (sorted.held.empty()) return true;
    // A gap at each held one's place, from the end: those read after it move up behind it.
    const std::vector<ReplayHeld>& held = sorted.held;
    std::size_t unplaced = g1.size();
    g1.resize(g1.size() + held.size());
    for (std::size_t h = held.size(), w = g1.size(); h-- > 0; --w) {
        while (w > held[h].taken_before + h + 1) g1[--w] = std::move(g1[--unplaced]);
    }
    const auto put = [&](std::size_t h, PcapDatagram& d) {
        g1[held[h].taken_before + h] = make(held[h].offset, d);
    };
    const bool read = replay_read_held(in, sorted, put, error);
    sorted.held = {};
    return read;
}
