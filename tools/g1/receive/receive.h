// One home for what every G1 receiver does with what arrives: the loop that waits for datagrams
// (one clock, one buffer size, the stop conditions and the exit code) and the step each datagram
// goes through (the sender filter, the counts, the parse, the sender's running time). Each
// subcommand of g1 is this loop with its own handling of a received datagram.
#pragma once

#include "plugin/telemetry/g1_parse.h"
#include "tools/common/udp.h"
#include "tools/g1/receive/link_health.h"
#include "tools/g1/receive/sender_filter.h"
#include "tools/g1/receive/sender_table.h"
#include "tools/g1/receive/sender_times.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

inline constexpr int kReceiveWaitMs = 200;  // how often the loop looks at the clock and Ctrl+C
// The longest sleep of a thread whose command receives on another (receive_idle): it is woken
// for Ctrl+C and the time limit, and looks at the clock at least this often besides.
inline constexpr int kIdleWaitMs = 60'000;
inline constexpr std::size_t kReceiveSlot = 65536;  // room for any UDP datagram, whole
inline constexpr int kExitFailed = 1;               // setting up failed, or receiving did

// The steady clock that every receiver times arrivals and limits with, in nanoseconds.
std::int64_t receive_clock_ns();

struct ReceiveCounts {
    std::uint64_t datagrams = 0;  // taken: from accepted senders, well formed and malformed
    std::uint64_t malformed = 0;
    std::uint64_t other_senders = 0;  // outside `--from`, not taken
    std::uint64_t not_broadcast = 0;  // unicast, where only broadcasts are taken (the relay)
};

struct Receiver {
    SenderFilter from;
    bool broadcasts_only = false;
    SenderTimes times;  // each sender's running time, unwrapped on its own
    ReceiveCounts counts;
    SenderTable<LinkHealth> links;  // each sender's link health
};

enum class Reception { G1, Malformed, OtherSender, NotBroadcast };

struct Received {
    Reception kind = Reception::G1;
    G1Parsed parsed;           // the fields, or the fault of a malformed datagram
    std::int64_t time_us = 0;  // the sender's running time, for G1
    bool wrapped = false;      // this datagram's time field passed the signed 32-bit limit
};

// The step every received datagram goes through: the sender filter, the counts, the parse, the
// sender's link health and, for G1, its running time. `arrival_ns` on the receive clock; the
// form without it reads the clock.
Received receive_take(Receiver& receiver, const UdpDatagram& datagram, std::span<const char> bytes,
                      std::int64_t arrival_ns);
Received receive_take(Receiver& receiver, const UdpDatagram& datagram, std::span<const char> bytes);

// A sender as a person reads it: its address, or "this machine" for 0.0.0.0, where a broadcast
// on this machine's own loopback comes from (and which reads as a fault).
std::string sender_name(std::uint32_t ip);

// The link health of every sender in the receiver's table, in the table's order; `out` keeps its
// storage.
void receive_link_figures(const Receiver& receiver, std::int64_t now_ns,
                          std::vector<LinkFigures>& out);

// The shared port, as every receiver binds it, and room for `capacity` datagrams a wait.
struct ReceiveSocket {
    UdpSocket socket;
    UdpBatch batch;
};

bool receive_open(ReceiveSocket& in, std::uint16_t port, std::size_t capacity, std::string& error);
void receive_close(ReceiveSocket& in);

// A subcommand's handling of one datagram, with its arrival time on the receive clock.
using ReceiveHandler =
    std::function<void(const UdpDatagram& datagram, std::span<const char> bytes, std::int64_t)>;

// One wait: at most `timeout_ms` for datagrams, then each one that came to `handle`.
UdpWait receive_wait(ReceiveSocket& in, int timeout_ms, const ReceiveHandler& handle);

struct ReceiveLimits {
    std::uint64_t count = 0;  // 0: no limit
    double seconds = 0.0;     // 0: no limit
};

// What one step of a loop came to: go on, stop (the subcommand's own reason, reported by it), or
// receiving failed.
enum class ReceiveStep { GoOn, Stop, Failed };

// Runs `step` (one wait of at most `timeout_ms` each) until Ctrl+C, the time limit, `counted()`
// reaching the count limit, a step that stops, or a failed receive, which it reports as
// "COMMAND: receiving failed". Returns 0, or kExitFailed after a failed receive.
int receive_run(std::string_view command, const ReceiveLimits& limits,
                const std::function<std::uint64_t()>& counted,
                const std::function<ReceiveStep(int timeout_ms)>& step);

// The same loop for a command whose datagrams are taken on another thread: `receiving` sleeps
// until Ctrl+C or the end of receiving wakes it (interrupt_wait), or until the time limit, and
// says whether receiving goes on; so the waiting thread costs nothing while the stream flows.
int receive_idle(std::string_view command, const ReceiveLimits& limits,
                 const std::function<bool(int timeout_ms)>& receiving);
