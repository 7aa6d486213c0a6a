// What `g1 serve` answers at /metrics: each sender's link health and latest values and the
// server's own counts, as Prometheus scrapes them (the text exposition format, version 0.0.4).
// The formatter takes plain figures; the receiver hands the link's over on a board of its own.
#pragma once

#include "tools/g1/receive/link_health.h"
#include "tools/g1/sinks/serve/serve_admission.h"
#include "tools/g1/sinks/serve/serve_event.h"

#include <array>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

inline constexpr std::string_view kMetricsPath = "/metrics";
inline constexpr std::string_view kMetricsContentType = "text/plain; version=0.0.4; charset=utf-8";

struct MetricsSender {
    LinkFigures link;         // link.ip names the sender
    bool has_values = false;  // it has sent a well-formed datagram
    DisplayTexts values;      // the latest one's, as the page shows them
};

struct MetricsServer {
    std::uint64_t pages = 0;  // readers of the event stream now
    std::array<std::uint64_t, static_cast<std::size_t>(Refusal::Count)> refusals{};
    std::uint64_t log_lines_dropped = 0;
};

// Every family with its HELP and TYPE, then its samples: one per sender (and field or quantile).
std::string metrics_text(std::span<const MetricsSender> senders, const MetricsServer& server);

// The receiver's latest link figures, for the web side's thread.
struct MetricsBoard {
    std::mutex lock;
    std::vector<LinkFigures> links;
};

void metrics_put_links(MetricsBoard& board, const std::vector<LinkFigures>& links);
void metrics_take_links(MetricsBoard& board, std::vector<LinkFigures>& out);
