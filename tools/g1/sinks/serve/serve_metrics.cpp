// The exposition: plain text, one sample a line, each family under its HELP and TYPE lines.
#include "tools/g1/sinks/serve/serve_metrics.h"

#include "plugin/telemetry/g1_field_table.h"
#include "tools/common/udp.h"

#include <cstdio>

namespace {

// The causes as label values, in the order of Refusal.
constexpr std::array<std::string_view, static_cast<std::size_t>(Refusal::Count)> kRefusalCauses{
    "connections_full", "address_full", "accept_failed",
    "request",          "pages_full",   "address_pages_full"};
static_assert(static_cast<std::size_t>(Refusal::Count) == 6, "each refusal needs its label here");

void family(std::string& out, std::string_view name, std::string_view type, std::string_view help) {
    out.append("# HELP ").append(name).append(" ").append(help).append("\n# TYPE ");
    out.append(name).append(" ").append(type).append("\n");
}

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", value);
    return text;
}

void sample(std::string& out, std::string_view name, std::string_view labels,
            std::string_view value) {
    out.append(name);
    if (!labels.empty()) out.append("{").append(labels).append("}");
    out.append(" ").append(value).append("\n");
}

std::string sender_label(const MetricsSender& s) {
    return "sender=\"" + udp_ip_text(s.link.ip) + "\"";
}

// One sample per sender of a family whose value is `of(sender's link)`.
template <class Of>
void per_sender(std::string& out, std::span<const MetricsSender> senders, std::string_view name,
                std::string_view type, std::string_view help, Of of) {
    family(out, name, type, help);
    for (const MetricsSender& s : senders) sample(out, name, sender_label(s), of(s.link));
}

}  // namespace

std::string metrics_text(std::span<const MetricsSender> senders, const MetricsServer& server) {
    std::string out;
    using L = const LinkFigures&;
    per_sender(out, senders, "g1_datagrams_total", "counter",
               "Datagrams taken from the sender, malformed ones included.",
               [](L l) { return std::to_string(l.datagrams); });
    per_sender(out, senders, "g1_malformed_total", "counter",
               "Datagrams that were not well-formed G1.",
               [](L l) { return std::to_string(l.malformed); });
    per_sender(out, senders, "g1_frames_lost_total", "counter",
               "Frames whose datagram never came, from the steps of the simulator's time.",
               [](L l) { return std::to_string(l.frames_lost); });
    per_sender(out, senders, "g1_pauses_total", "counter",
               "Times the simulator's time stood still while datagrams came.",
               [](L l) { return std::to_string(l.pauses); });
    per_sender(out, senders, "g1_time_wraps_total", "counter",
               "Passes of the 32-bit time field through its limit.",
               [](L l) { return std::to_string(l.wraps); });
    per_sender(out, senders, "g1_rate_hertz", "gauge", "Datagrams in the last whole second.",
               [](L l) { return number(l.rate_hz); });
    // A summary as the client libraries keep one: quantiles of a sliding window, count and sum
    // of every observation.
    family(out, "g1_gap_seconds", "summary",
           "Time between the sender's datagrams: quantiles of the last minute, count and sum of "
           "all.");
    for (const MetricsSender& s : senders) {
        sample(out, "g1_gap_seconds", sender_label(s) + ",quantile=\"0.5\"",
               number(s.link.gap_p50_s));
        sample(out, "g1_gap_seconds", sender_label(s) + ",quantile=\"0.99\"",
               number(s.link.gap_p99_s));
        sample(out, "g1_gap_seconds_sum", sender_label(s), number(s.link.gaps_s));
        sample(out, "g1_gap_seconds_count", sender_label(s), std::to_string(s.link.gaps));
    }
    per_sender(out, senders, "g1_frame_seconds", "gauge",
               "The simulator's frame time, learned from the stream (0 while unknown).",
               [](L l) { return number(l.frame_s); });
    per_sender(out, senders, "g1_time_drift_seconds", "gauge",
               "Simulator time run minus wall time run since the flight began (below 0: slow "
               "motion or a paused host).",
               [](L l) { return number(l.drift_s); });
    per_sender(out, senders, "g1_idle_seconds", "gauge", "Time since the sender's latest datagram.",
               [](L l) { return number(l.idle_s); });
    family(out, "g1_value", "gauge",
           "The sender's latest values in the page's units (angles in degrees, time in seconds).");
    for (const MetricsSender& s : senders) {
        if (!s.has_values) continue;
        for (std::size_t i = 0; i < kG1FieldCount; ++i) {
            sample(out, "g1_value",
                   sender_label(s) + ",field=\"" + std::string(kG1FieldTable[i].name) + "\"",
                   s.values[i]);
        }
    }
    family(out, "g1_pages_connected", "gauge", "Pages reading the event stream now.");
    sample(out, "g1_pages_connected", "", std::to_string(server.pages));
    family(out, "g1_refusals_total", "counter", "Connections and requests refused, by cause.");
    for (std::size_t i = 0; i < kRefusalCauses.size(); ++i) {
        sample(out, "g1_refusals_total", "cause=\"" + std::string(kRefusalCauses[i]) + "\"",
               std::to_string(server.refusals[i]));
    }
    family(out, "g1_log_lines_dropped_total", "counter",
           "Log lines dropped because stderr did not take them in time.");
    sample(out, "g1_log_lines_dropped_total", "", std::to_string(server.log_lines_dropped));
    return out;
}

void metrics_put_links(MetricsBoard& board, const std::vector<LinkFigures>& links) {
    const std::lock_guard<std::mutex> hold(board.lock);
    board.links = links;
}

void metrics_take_links(MetricsBoard& board, std::vector<LinkFigures>& out) {
    const std::lock_guard<std::mutex> hold(board.lock);
    out = board.links;
}
