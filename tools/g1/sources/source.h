// Where a consuming command's datagrams come from: the UDP port, a broker, a recording or a
// scenario flown here. Each kind is a module of this folder that fills in a G1Source; a command
// waits on it as on any other and does not know which one it has.
#pragma once

#include "tools/common/udp.h"
#include "tools/g1/receive/receive.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

// What the page tells to check when nothing comes, one per kind of source.
enum class SourceHint { Port, Broker, Replay, Fly };

struct G1Source {
    std::string text;  // what it is, for the command's opening line: "from the broker at ..."
    SourceHint hint = SourceHint::Port;
    // Datagrams off the network as they arrive, broadcasts and copies alike: a relay takes only
    // the broadcasts of such a source, so two relays cannot pass copies back and forth.
    bool network = false;
    // The source makes its datagrams as they are waited for (a recording, a scenario): a sink
    // may get ready before the first wait, and nothing is lost meanwhile.
    bool on_demand = false;
    // A socket that is readable when the source has datagrams, for a loop that waits on sockets
    // of its own (the web side of g1 serve); null for sources that have none.
    UdpSocket* socket = nullptr;
    // At most `timeout_ms` for datagrams, then each one that came to the handler, with the
    // sender it came from (for a recording, the recorded one) and its arrival on the receive
    // clock. The bytes last as long as the handler's call (a broker's message, a scenario's
    // frame): a sink that sends later keeps a copy. Failed: the source cannot go on (a broker that
    // refused this client for good).
    std::function<UdpWait(int timeout_ms, const ReceiveHandler& handle)> wait;
    // Nothing more will come (a recording played to its end): the command stops.
    std::function<bool()> ended = [] { return false; };
    // Datagrams the source left out on purpose (a scenario's --drop-every): a `--count` of
    // frames counts them too.
    std::function<std::uint64_t()> left_out = [] { return std::uint64_t{0}; };
    // Closes the source and returns what it counted, "; ..." parts for the closing line, or "".
    std::function<std::string()> close = [] { return std::string(); };
};

// One step of a command's loop on the source: its wait, then whether to go on.
ReceiveStep source_step(G1Source& source, int timeout_ms, const ReceiveHandler& handle);

// Closes the source; what it counted goes to stderr as "COMMAND: ...".
void source_close(const char* command, G1Source& source);
