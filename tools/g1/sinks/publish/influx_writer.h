// `g1 publish --influx`: each admitted datagram as a point (influx_line.h), at most --rate a
// second per sender if asked, into a bounded buffer that a thread of its own writes to InfluxDB.
// While a write is on its way the points gather into the next batch (up to kInfluxBatchPoints),
// so a quiet link writes each point at once and a busy one in few requests. A server error or a
// lost connection is retried with backoff, the points kept meanwhile; a refusal (4xx) is said
// once and ends the command.
#pragma once

#include "tools/g1/receive/receive.h"
#include "tools/g1/sinks/text/display_texts.h"

#include <CLI/CLI.hpp>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

inline constexpr std::size_t kInfluxBatchPoints = 5000;
// Points buffered while InfluxDB cannot take them: a minute of 50 senders at 60 Hz; beyond it
// new points are dropped and counted.
inline constexpr std::size_t kInfluxBufferPoints = 180'000;
// What the writer may still take to write the buffer out when g1 stops.
inline constexpr std::int64_t kInfluxClosingNs = 5'000'000'000;

struct InfluxOptions {
    std::string command;  // what messages start with: "g1 publish"
    std::string url;      // empty: no InfluxDB
    std::string token_file;
    double rate_hz = 0.0;  // points a second per sender at most; 0: every datagram
    AngleUnit angles = AngleUnit::Radians;
};

// --influx and --influx-token-file.
void add_influx_options(CLI::App& command, InfluxOptions& o);

struct InfluxWriter;
struct InfluxWriterStop {
    void operator()(InfluxWriter* writer) const;
};
using InfluxWriterPtr = std::unique_ptr<InfluxWriter, InfluxWriterStop>;

// Reads the token file and starts the writing thread; null with `error` said when it cannot.
InfluxWriterPtr influx_writer_start(const InfluxOptions& o, std::string& error);

// One G1 datagram from `sender` that arrived at `at_ns` (the receive clock). Never waits on the
// network.
void influx_take(InfluxWriter& w, std::uint32_t sender, const Received& got, std::int64_t at_ns);

// Hands what was taken since the last flush to the writing thread, if it waits for points; a
// receive loop calls it once a wake, so a batch of datagrams is one waking of that thread.
void influx_flush(InfluxWriter& w);

// Why InfluxDB refused the points for good (a 4xx and its words), or empty.
std::string influx_refusal(InfluxWriter& w);

// Writes out what is buffered (for at most kInfluxClosingNs), stops the thread and returns the
// closing figures, one line without its end.
std::string influx_writer_close(InfluxWriterPtr w);
