// The JSON of the events. Every value text is plain ASCII digits and signs,
// and the field table's texts hold no quotes or backslashes, so the JSON needs no escaping.
#include "tools/g1/sinks/serve/serve_event.h"

#include "plugin/telemetry/g1_field_table.h"
#include "tools/common/udp.h"

#include <charconv>
#include <cstdio>
#include <cstring>
#include <limits>

const std::string& fields_event() {
    static const std::string event = [] {
        std::string text = "event: ";
        text += kFieldsEvent;
        text += "\ndata: {\"fields\":[";
        for (const G1Field& f : kG1FieldTable) {
            text += text.back() == '[' ? "{" : ",{";
            text += "\"name\":\"" + std::string(f.name) + "\",\"label\":\"" + std::string(f.label) +
                    "\",\"unit\":\"" + std::string(f.unit) + "\",\"kind\":\"" +
                    std::string(g1_kind_name(f.kind)) + "\"}";
        }
        return text + "]}\n\n";
    }();
    return event;
}

namespace {

constexpr std::string_view kDataStart = "\ndata: {\"n\":";
constexpr std::string_view kValuesStart = ",\"v\":[\"";
constexpr std::string_view kValuesBetween = "\",\"";
constexpr std::string_view kSenderStart = "\"],\"sender\":\"";
constexpr std::string_view kEventEnd = "\"}\n\n";
constexpr std::size_t kNumberMax = std::numeric_limits<std::uint64_t>::digits10 + 1;
constexpr std::size_t kIpTextMax = 15;

// A datagram event after its name, built in place: its longest is known, so no piece checks for
// room, where a string's appends would each.
struct EventText {
    std::array<char, kDataStart.size() + kNumberMax + kValuesStart.size() +
                         kG1FieldCount*(kDisplayTextMax + kValuesBetween.size()) +
                         kSenderStart.size() + kIpTextMax + kEventEnd.size()>
        bytes;
    char* at = bytes.data();

    void put(std::string_view text) {
        std::memcpy(at, text.data(), text.size());
        at += text.size();
    }
    void put_number(std::uint64_t n) { at = std::to_chars(at, bytes.data() + bytes.size(), n).ptr; }
};

}  // namespace

void datagram_event_append(std::string& out, std::string_view name, std::uint64_t number,
                           const SenderSample& sample, AngleUnit angles, std::uint32_t sender) {
    out += "event: ";
    out += name;
    EventText e;
    e.put(kDataStart);
    e.put_number(number);
    e.put(kValuesStart);
    for (std::size_t i = 0; i < kG1FieldCount; ++i) {
        if (i > 0) e.put(kValuesBetween);
        e.at += display_text(std::span<char, kDisplayTextMax>(e.at, kDisplayTextMax), sample.fields,
                             sample.time_us, angles, i);
    }
    e.put(kSenderStart);
    for (int shift = 24; shift >= 0; shift -= 8) {
        e.put_number((sender >> shift) & 0xFF);
        if (shift > 0) *e.at++ = '.';
    }
    e.put(kEventEnd);
    out.append(e.bytes.data(), e.at);
}

std::string datagram_event(std::string_view name, std::uint64_t number, const SenderSample& sample,
                           AngleUnit angles, std::uint32_t sender) {
    std::string event;
    datagram_event_append(event, name, number, sample, angles, sender);
    return event;
}

std::string health_event(const HealthFigures& f, AngleUnit angles, std::uint16_t udp_port,
                         std::span<const SenderFigures> senders, std::span<const LinkFigures> links,
                         std::string_view source) {
    char text[400];
    std::snprintf(text, sizeof text,
                  "event: %s\ndata: {\"datagrams\":%llu,\"malformed\":%llu,\"ignored\":%llu,"
                  "\"wraps\":%llu,\"turned_away\":%llu,\"rate\":%.1f,\"gap_ms\":%.1f,\"idle_ms\":%"
                  "lld,\"angles\":\"%s\","
                  "\"port\":%u,\"source\":\"%.*s\",\"senders\":[",
                  kHealthEvent.data(), static_cast<unsigned long long>(f.datagrams),
                  static_cast<unsigned long long>(f.malformed),
                  static_cast<unsigned long long>(f.other_senders),
                  static_cast<unsigned long long>(f.wraps),
                  static_cast<unsigned long long>(f.turned_away), f.rate_hz, f.largest_gap_ms,
                  static_cast<long long>(f.idle_ms), angles == AngleUnit::Radians ? "rad" : "deg",
                  static_cast<unsigned>(udp_port), static_cast<int>(source.size()), source.data());
    std::string event = text;
    for (const SenderFigures& s : senders) {
        std::snprintf(text, sizeof text,
                      "%s{\"sender\":\"%s\",\"rate\":%.1f,\"gap_ms\":%.1f,\"idle_ms\":%lld,"
                      "\"datagrams\":%llu",
                      &s == senders.data() ? "" : ",", udp_ip_text(s.ip).c_str(), s.link.rate_hz,
                      s.link.largest_gap_ms, static_cast<long long>(s.link.idle_ms),
                      static_cast<unsigned long long>(s.link.datagrams));
        event += text;
        for (const LinkFigures& l : links) {
            if (l.ip != s.ip) continue;
            std::snprintf(text, sizeof text,
                          ",\"malformed\":%llu,\"lost\":%llu,\"pauses\":%llu,\"wraps\":%llu,"
                          "\"gap_p50_ms\":%.1f,\"gap_p99_ms\":%.1f,\"frame_ms\":%.1f,"
                          "\"drift_s\":%.3f",
                          static_cast<unsigned long long>(l.malformed),
                          static_cast<unsigned long long>(l.frames_lost),
                          static_cast<unsigned long long>(l.pauses),
                          static_cast<unsigned long long>(l.wraps), l.gap_p50_s * 1e3,
                          l.gap_p99_s * 1e3, l.frame_s * 1e3, l.drift_s);
            event += text;
        }
        event += '}';
    }
    return event + "]}\n\n";
}

std::string history_event(std::uint32_t sender, const SenderHistory& history, AngleUnit angles) {
    std::string event = "event: ";
    event += kHistoryEvent;
    event += "\ndata: {\"sender\":\"" + udp_ip_text(sender) + "\",\"v\":[";
    for (std::size_t k = 0; k < history.count; ++k) {
        const SenderSample& s = history_at(history, k);
        const DisplayTexts texts = display_texts(s.fields, s.time_us, angles);
        event += k == 0 ? "[" : ",[";
        for (std::size_t i = 0; i < texts.size(); ++i) {
            if (i > 0) event += ',';
            event += texts[i];  // plain decimal numbers, as JSON takes them
        }
        event += ']';
    }
    return event + "]}\n\n";
}

std::string as_last_datagram_event(std::string_view event) {
    const std::string prefix = "event: " + std::string(kDatagramEvent);
    std::string last = "event: " + std::string(kLastDatagramEvent);
    last += event.substr(event.starts_with(prefix) ? prefix.size() : event.size());
    return last;
}
