// What `g1 listen` makes of the datagrams it receives: decoded lines in units, the faults of
// malformed ones, and the closing summary. No sockets here; the caller passes the bytes in, and
// each goes through the receive step.
#pragma once

#include "tools/g1/receive/receive.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

enum class ListenFormat { Table, Csv };

struct ListenStats {
    Receiver receiver;  // the sender filter, the counts and each sender's running time
    std::int64_t first_ns = 0;
    std::int64_t last_ns = 0;
    std::int64_t largest_gap_ns = 0;
};

// Text for the two output streams; either may be empty.
struct ListenLines {
    std::string out;
    std::string err;
};

// The column names, one line.
std::string listen_header(ListenFormat format);

// Takes one datagram from the sender at `sender_ip`, received at `now_ns` (any steady clock). A
// well-formed datagram gives one line: the sender's running (unwrapped) time in seconds, then
// the other twelve fields, each divided by its scale in kG1FieldTable. One from a sender outside
// the filter gives nothing and is counted.
ListenLines listen_take(ListenStats& stats, ListenFormat format, std::string_view datagram,
                        std::uint32_t sender_ip, std::int64_t now_ns);

// Datagrams, malformed, rate, largest gap, the time field's wraps and the datagrams of other
// senders, one line.
std::string listen_summary(const ListenStats& stats);

// `value` / 10^decimals written exactly, e.g. (-12, 3) gives "-0.012".
std::string fixed_point_text(std::int64_t value, int decimals);

// The same text written at the start of `out`, for callers that make one per datagram and must
// not allocate; its length. Room for any int64_t at up to nine decimals.
inline constexpr std::size_t kFixedPointTextMax = 32;
std::size_t fixed_point_chars(std::span<char, kFixedPointTextMax> out, std::int64_t value,
                              int decimals);
