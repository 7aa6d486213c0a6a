// `g1 relay`: the G1 broadcasts that reach the port are sent on, byte for byte, to a list of
// unicast targets, for receivers that a broadcast cannot reach (another subnet, a VPN,
// client-isolated Wi-Fi, devices that take no broadcasts).
//
// Only what arrived as a broadcast is sent on. The relay's own copies, and those of any other
// relay, are unicast, so no relay sends them again: two relays pointed at each other (a two-way
// bridge between subnets) cannot pass datagrams back and forth. Repeated bytes are no sign of a
// loop: a paused simulator sends the same datagram every frame.
#pragma once

#include "tools/common/udp.h"
#include "tools/g1/receive/receive.h"
#include "tools/g1/receive/sender_rates.h"

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// What the relay made of each datagram that reached it, besides what its receive step counts
// (datagrams from other senders, not broadcast, not G1).
struct RelayCounts {
    std::uint64_t forwarded = 0;
    std::uint64_t own = 0;            // the relay's own copies, from a target that points back
    std::uint64_t over_rate = 0;      // above `--max-rate` from their sender
    std::uint64_t over_total = 0;     // above `--max-total-rate` from all senders together
    std::uint64_t send_failures = 0;  // one per target and datagram
};

enum class RelayVerdict { Forward, NotG1, NotBroadcast, Own, OtherSender, OverRate, OverTotal };

// Where the relay takes its datagrams from: one wait of at most `timeout_ms`, each datagram that
// came to `handle`.
using RelayReceive = std::function<UdpWait(int timeout_ms, const ReceiveHandler& handle)>;

struct Relay {
    RelayReceive receive;
    UdpSocket out;                // the relay's own sending socket; no broadcast option
    std::vector<UdpAddress> own;  // address and port that the relay's copies carry as source
    std::vector<UdpAddress> targets;
    // Broadcasts only, of datagrams off the network; what is not G1 is refused: the relay is no
    // open forwarder.
    Receiver receiver{SenderFilter{}, true, SenderTimes{}, ReceiveCounts{}, {}};
    SenderRates rates;  // what each sender may have forwarded
    // One batch's datagrams to send on, held here until the batch is sent: a source's bytes last
    // only as long as its handler's call (a broker's message, a scenario's frame). All of them
    // keep their storage from batch to batch.
    std::string held;
    std::vector<std::pair<std::size_t, std::size_t>> held_at;  // offset and length in `held`
    std::vector<UdpOutgoing> outgoing;                         // one copy per target of each
    RelayCounts counts;
};

// "HOST:PORT" to host and port (1 to 65535).
bool relay_parse_target(std::string_view text, std::string& host, std::uint16_t& port,
                        std::string& error);

// Unicast only: 0.0.0.0, the limited broadcast address, the directed broadcast address of any of
// this machine's `interfaces` (which would loop copies back to every relay of that network) and
// multicast groups are refused.
bool relay_target_allowed(UdpAddress target, std::span<const UdpInterface> interfaces,
                          std::string& error);

// Opens the sending socket. `broadcasts_only` where `receive` takes datagrams off the network
// (the shared port); a recording, a broker or a scenario has no copies to keep out. Targets are
// resolved and checked beforehand; each sender gets at most `max_rate` datagrams a second
// forwarded, and all of them together at most `max_total_rate`.
bool relay_open(Relay& relay, RelayReceive receive, bool broadcasts_only,
                std::vector<UdpAddress> targets, SenderFilter from, std::uint32_t max_rate,
                std::uint32_t max_total_rate, std::string& error);
void relay_close(Relay& relay);

// Whether one datagram received at `now_ns` (any steady clock) is sent on, and if not, why;
// counts it either way. What is sent on waits in `held` until the step sends it.
RelayVerdict relay_judge(Relay& relay, const UdpDatagram& datagram, std::span<const char> bytes,
                         std::int64_t now_ns);

enum class RelayStep { Forwarded, Idle, Failed };

// Waits at most `timeout_ms` for datagrams, takes what is waiting (several at once where the
// source allows) and sends each one judged Forward to every target.
RelayStep relay_step(Relay& relay, int timeout_ms);

// The closing line: forwarded, failed sends, every kind of datagram ignored and what each cap
// dropped.
std::string relay_summary(const Relay& relay);
