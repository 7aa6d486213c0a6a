// The events that `g1 serve` streams to its pages (Server-Sent Events): one per datagram with
// the thirteen values as the page shows them (display_texts.h), and the link's health.
#pragma once

#include "plugin/telemetry/g1_datagram.h"
#include "tools/g1/receive/link_health.h"
#include "tools/g1/sinks/serve/serve_health.h"
#include "tools/g1/sinks/serve/serve_senders.h"
#include "tools/g1/sinks/text/display_texts.h"

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

// Event names the page listens for.
inline constexpr std::string_view kDatagramEvent = "datagram";
inline constexpr std::string_view kLastDatagramEvent = "last";  // the latest, to a new page
inline constexpr std::string_view kHealthEvent = "health";
inline constexpr std::string_view kFieldsEvent = "fields";    // a page's first: what the values are
inline constexpr std::string_view kHistoryEvent = "history";  // the last minute, to a new page

// `event: fields` and {"fields":[{"name","label","unit","kind"}, 13 in datagram order]}: the
// page builds its rows from it, so only g1_field_table.h says what the fields are.
const std::string& fields_event();

// `event: NAME` and one `data:` line of JSON: {"n":the sender's datagram number,"v":[13 texts],
// "sender":"a.b.c.d"}, the texts those of display_texts.
std::string datagram_event(std::string_view name, std::uint64_t number, const SenderSample& sample,
                           AngleUnit angles, std::uint32_t sender);
// The same event appended to `out`: no allocation once `out` has had room for one.
void datagram_event_append(std::string& out, std::string_view name, std::uint64_t number,
                           const SenderSample& sample, AngleUnit angles, std::uint32_t sender);

// {"datagrams","malformed","ignored","wraps","turned_away","rate" (Hz),"gap_ms","idle_ms","angles",
// "port","source","senders"}: the figures and what the page needs to say what to check when
// nothing comes: the UDP port, and `source`, what the datagrams come from ("port", "broker",
// "replay" or "fly").
// "senders" lists each sender heard, in the order first heard, as {"sender","rate","gap_ms",
// "idle_ms","datagrams"}: the page's picker and the shown sender's link. A sender with figures in
// `links` has its link health too: "malformed","lost","pauses","wraps","gap_p50_ms",
// "gap_p99_ms","frame_ms","drift_s".
std::string health_event(const HealthFigures& figures, AngleUnit angles, std::uint16_t udp_port,
                         std::span<const SenderFigures> senders = {},
                         std::span<const LinkFigures> links = {}, std::string_view source = "port");

// `event: history` and {"sender":"a.b.c.d","v":[[13 numbers], oldest first]}: the values of the
// sender's history as the datagram events show them, for a page's charts.
std::string history_event(std::uint32_t sender, const SenderHistory& history, AngleUnit angles);

// The same datagram event under the name kLastDatagramEvent, for a page that has just opened:
// it shows the values without taking them as a sign that data is coming.
std::string as_last_datagram_event(std::string_view datagram_event);
