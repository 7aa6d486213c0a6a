// What `g1 serve` keeps of each sender for its pages: the latest datagram, the link's figures and
// a minute of history at the charts' resolution. The receiver writes into the board under one
// short lock per datagram and the web side takes what changed, so nothing queues between them
// and nothing here grows with the datagram rate (at most kSenderTableMax senders).
#pragma once

#include "plugin/telemetry/g1_datagram.h"
#include "tools/g1/receive/sender_table.h"
#include "tools/g1/sinks/serve/serve_health.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <vector>

inline constexpr std::int64_t kHistoryStepUs = 100'000;  // the charts' resolution: 10 a second
inline constexpr std::int64_t kHistorySpanUs = 60'000'000;
inline constexpr std::size_t kHistorySamples = kHistorySpanUs / kHistoryStepUs;

struct SenderSample {
    std::int64_t time_us = 0;  // the sender's running time
    G1Fields fields{};
};

// A ring of samples at least a step apart, oldest first from `first`.
struct SenderHistory {
    std::array<SenderSample, kHistorySamples> ring{};
    std::size_t first = 0;
    std::size_t count = 0;
};

// Keeps `sample` if it comes a step or more after the newest. A time that goes back or jumps
// past the span is a new flight, which starts the history afresh.
void history_note(SenderHistory& history, const SenderSample& sample);

// The i-th sample, 0 the oldest.
const SenderSample& history_at(const SenderHistory& history, std::size_t i);

struct SenderState {
    std::uint64_t order = 0;   // 1 for the first sender heard, 2 for the next...
    std::uint64_t number = 0;  // datagrams taken from it; the latest one's number
    std::int64_t arrival_ns = 0;
    std::int64_t first_ns = 0;  // when it took its place
    SenderSample latest;
    ArrivalWindows link;
    SenderHistory history;
};

// Who keeps a place when the table is full. A newcomer takes the place of a sender silent this
// long, or of one heard fewer than kSteadyDatagrams times in its first kTrialNs (a spoofed or
// passing address), least recently heard first; never of a sender a page shows. With none such,
// the newcomer is turned away and counted: a round of more senders than the table holds leaves
// the established ones, their history and the pages' senders where they are.
inline constexpr std::int64_t kSilentNs = 10'000'000'000;
inline constexpr std::int64_t kTrialNs = 1'000'000'000;
inline constexpr std::uint64_t kSteadyDatagrams = 3;

// The latest of one sender, as the web side takes it.
struct SenderLatest {
    std::uint32_t ip = 0;
    std::uint64_t order = 0;
    std::uint64_t number = 0;
    std::int64_t arrival_ns = 0;
    SenderSample sample;
};

// One sender's line in the health event.
struct SenderFigures {
    std::uint32_t ip = 0;
    HealthFigures link;
};

struct SenderBoard {
    std::mutex lock;
    SenderTable<SenderState> table;
    std::uint64_t first_heard = 0;     // senders heard so far, for their order
    std::uint64_t turned_away = 0;     // datagrams of newcomers that found no place
    std::vector<std::uint32_t> shown;  // the senders the pages show, kept in the table
    std::string health;                // the latest health event
    std::uint64_t health_number = 0;
    std::uint64_t moments = 0;  // histories replaced (a replay's seek), for the pages
};

// From the receiver: a well-formed datagram of the sender at `ip`, arrived at `arrival_ns`
// (steady clock); false if the sender found no place on the board.
bool board_put(SenderBoard& board, std::uint32_t ip, const SenderSample& sample,
               std::int64_t arrival_ns);

// From the receiver: the link's figures of every sender, in the order they were first heard.
std::size_t board_figures(SenderBoard& board, std::int64_t now_ns,
                          std::span<SenderFigures, kSenderTableMax> out);

void board_put_health(SenderBoard& board, std::string event);

// From a replay that jumped: the sender's history becomes `history` (the minute before the new
// moment) and `latest` its latest datagram, or without one (nothing of it by then) it leaves the
// board; the pages are to show it afresh. False if the sender found no place on the board.
bool board_put_moment(SenderBoard& board, std::uint32_t ip, const SenderHistory& history,
                      const SenderSample* latest, std::int64_t arrival_ns);

// Datagrams turned away so far for want of a place.
std::uint64_t board_turned_away(SenderBoard& board);

// From the web side: the senders the open pages show (none of them gives up its place).
void board_show(SenderBoard& board, std::span<const std::uint32_t> shown);

// From the web side: the latest of every sender (`out` keeps its storage), the health event
// if it is newer than `health_number` (then both are updated), and how many histories have been
// replaced so far (board_put_moment).
void board_take(SenderBoard& board, std::vector<SenderLatest>& out, std::string& health,
                std::uint64_t& health_number, std::uint64_t& moments);

// A copy of the history of the sender at `ip`; false if it is not on the board.
bool board_history(SenderBoard& board, std::uint32_t ip, SenderHistory& out);

// The sender a page shows when it has not chosen one: the first heard of those on the board,
// 0 while there is none.
std::uint32_t default_sender(std::span<const SenderLatest> senders);
