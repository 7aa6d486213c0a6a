// The web side of `g1 serve`: the page's files and the event stream, over HTTP with Boost.Beast
// on an I/O thread of its own. Every open page is a reader of the stream. The receiver hands
// events over and returns at once; a reader that stops taking its events is dropped, and no
// reader holds up another or the receiver.
#pragma once

#include "tools/common/udp.h"
#include "tools/g1/receive/link_health.h"
#include "tools/g1/sinks/serve/latency_histogram.h"
#include "tools/g1/sinks/serve/serve_event.h"
#include "tools/g1/sinks/serve/serve_senders.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

struct ServeHttpSummary {
    std::uint64_t readers = 0;  // pages that opened the stream, in all
    std::uint64_t dropped = 0;  // readers dropped for taking no data
    LatencyHistogram latency;
};

struct ServeHttp;  // the I/O context and its thread, the listening socket, the readers
struct ServeHttpStop {
    void operator()(ServeHttp* server) const;
};
using ServeHttpPtr = std::unique_ptr<ServeHttp, ServeHttpStop>;

// Listens on `ip`:`port` (host byte order; port 0 lets the system choose) and starts the thread.
// `angles`: the unit of the angles on the wire, for the events' texts. Requests must name this
// machine (see serve_admission.h): by one of its addresses or names, or by one of `host_names`.
ServeHttpPtr serve_http_start(std::uint32_t ip, std::uint16_t port, std::string& error,
                              AngleUnit angles = AngleUnit::Radians,
                              const std::vector<std::string>& host_names = {});

std::uint16_t serve_http_port(const ServeHttp& server);

// From the receiver's thread, or the I/O thread itself (serve_http_receive); none of these waits
// for the web side. A datagram of the sender
// `from` that arrived at `arrival_ns` (steady clock) goes, as a datagram event (serve_event.h),
// to the readers that show that sender: the one a page asked for (`/events?sender=a.b.c.d`),
// or else the first heard. A new reader gets the field table (fields_event) first, then the
// latest health, its sender's history and latest datagram.
// False if the sender found no place on the senders' board (serve_senders.h): turned away.
bool serve_http_publish_datagram(ServeHttp& server, std::uint32_t from, const SenderSample& sample,
                                 std::int64_t arrival_ns);
std::uint64_t serve_http_turned_away(ServeHttp& server);
std::size_t serve_http_sender_figures(ServeHttp& server, std::int64_t now_ns,
                                      std::span<SenderFigures, kSenderTableMax> out);
void serve_http_publish_health(ServeHttp& server, std::string event);
// The receiver's link figures of every sender, for /metrics.
void serve_http_publish_links(ServeHttp& server, const std::vector<LinkFigures>& links);

// Receives on the I/O thread from now on, so a datagram reaches the pages with no hand-over
// between threads: whenever `socket` has datagrams waiting, `receive` is called until it says
// nothing more waits (Timeout, also when it took the last ones), a bounded number of times a turn
// with the rest of the thread's work between (it must not wait; what it publishes is written to
// the readers after each turn), and
// `every_period` runs every `period_ns`, the first time at once. The socket stays the caller's; it
// is left open at the end. False, with `error`, if the socket cannot be waited for.
bool serve_http_receive(ServeHttp& server, UdpSocket& socket, std::function<UdpWait()> receive,
                        std::function<void()> every_period, std::int64_t period_ns,
                        std::string& error);

// From another thread: sleeps at most `timeout_ms` in interrupt_wait, which Ctrl+C and a failed
// receive on the I/O thread end; false once receiving has failed.
bool serve_http_receiving(ServeHttp& server, int timeout_ms);

// A recording played on the pages (`g1 serve --replay`) instead of datagrams received. Each of
// these runs on the I/O thread: `tick` every `tick_ns`, to publish what has become due (false
// ends receiving, as a failed receive does); `every_period` every `period_ns`, the first time at
// once; `control` for each control a page sends (POST /playback?QUERY), true with the answer's
// JSON or false with why it was refused; and `describe`, the playback event a new page gets.
struct ServeHttpPlayback {
    std::function<bool(std::int64_t now_ns)> tick;
    std::int64_t tick_ns = 0;
    std::function<void()> every_period;
    std::int64_t period_ns = 0;
    std::function<bool(std::string_view query, std::int64_t now_ns, std::string& answer)> control;
    std::function<std::string()> describe;
};
void serve_http_play(ServeHttp& server, ServeHttpPlayback playback);

// From those functions only: a playback event for every page, written at once (not paced); and
// a replay's jump, the sender's history and latest datagram (if it has one by then) replaced,
// which every page showing that sender gets afresh. False if the sender found no place.
void serve_http_publish_playback(ServeHttp& server, std::string event);
bool serve_http_publish_moment(ServeHttp& server, std::uint32_t from, const SenderHistory& history,
                               const SenderSample* latest, std::int64_t arrival_ns);

// Closes every connection, ends the thread and tells what happened.
ServeHttpSummary serve_http_stop(ServeHttpPtr server);
