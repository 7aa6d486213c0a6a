// Decoded lines, fault reports and the summary of `g1 listen`.
#include "tools/g1/sinks/text/listen.h"

#include "plugin/telemetry/g1_field_table.h"
#include "tools/common/udp.h"

#include <array>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

constexpr int kTimeWidth = 16;
constexpr int kValueWidth = 13;  // "-2147483.648" and a space

int width_of(const G1Field& field) {
    return field.kind == G1Kind::Time ? kTimeWidth : kValueWidth;
}

std::string pad_left(const std::string& s, int width) {
    const auto wanted = static_cast<std::size_t>(width);
    return std::string(wanted > s.size() ? wanted - s.size() : 0, ' ') + s;
}

std::string line_of(ListenFormat format, std::int64_t time_us, const G1Fields& fields) {
    std::string line;
    for (std::size_t i = 0; i < kG1FieldCount; ++i) {
        const G1Field& field = kG1FieldTable[i];
        // The time column is the sender's running count, not the field's 32 bits.
        const std::string value = fixed_point_text(field.kind == G1Kind::Time ? time_us : fields[i],
                                                   g1_decimals(field.scale));
        if (format == ListenFormat::Csv) {
            line += i == 0 ? value : "," + value;
        } else {
            line += pad_left(value, width_of(field));
        }
    }
    return line + "\n";
}

// After the receive step has counted the datagram.
void note_arrival(ListenStats& s, std::int64_t now_ns) {
    if (s.receiver.counts.datagrams == 1) {
        s.first_ns = now_ns;
    } else if (now_ns - s.last_ns > s.largest_gap_ns) {
        s.largest_gap_ns = now_ns - s.last_ns;
    }
    s.last_ns = now_ns;
}

// A datagram as a reader of the fault report sees it: printable ASCII kept, the rest escaped,
// long ones cut.
std::string shown(std::string_view d) {
    constexpr std::size_t kShown = 80;
    std::string text;
    for (std::size_t i = 0; i < d.size() && i < kShown; ++i) {
        const auto c = static_cast<unsigned char>(d[i]);
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            text += static_cast<char>(c);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            text += escaped;
        }
    }
    return d.size() > kShown ? text + "..." : text;
}

}  // namespace

std::size_t fixed_point_chars(std::span<char, kFixedPointTextMax> out, std::int64_t value,
                              int decimals) {
    std::uint64_t scale = 1;
    for (int i = 0; i < decimals; ++i) scale *= 10;
    // Magnitude in unsigned arithmetic, so the most negative value needs no special case.
    const std::uint64_t magnitude =
        value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
    char* at = out.data();
    if (value < 0) *at++ = '-';
    at = std::to_chars(at, out.data() + out.size(), magnitude / scale).ptr;
    if (decimals > 0) {
        *at++ = '.';
        // The fraction with its leading zeros, from its last digit back.
        std::uint64_t fraction = magnitude % scale;
        for (int i = decimals - 1; i >= 0; --i, fraction /= 10) {
            at[i] = static_cast<char>('0' + fraction % 10);
        }
        at += decimals;
    }
    return static_cast<std::size_t>(at - out.data());
}

std::string fixed_point_text(std::int64_t value, int decimals) {
    std::array<char, kFixedPointTextMax> text;
    return std::string(text.data(), fixed_point_chars(text, value, decimals));
}

std::string listen_header(ListenFormat format) {
    std::string line;
    for (const G1Field& field : kG1FieldTable) {
        if (format == ListenFormat::Csv) {
            line += line.empty() ? "" : ",";
            line += field.name;
        } else {
            line += pad_left(std::string(field.column), width_of(field));
        }
    }
    return line + "\n";
}

ListenLines listen_take(ListenStats& s, ListenFormat format, std::string_view datagram,
                        std::uint32_t sender_ip, std::int64_t now_ns) {
    ListenLines lines;
    const Received got =
        receive_take(s.receiver, {datagram.size(), {sender_ip, 0}, false}, datagram, now_ns);
    if (got.kind == Reception::OtherSender || got.kind == Reception::NotBroadcast) {
        return lines;
    }
    note_arrival(s, now_ns);
    const std::uint64_t number = s.receiver.counts.datagrams;
    if (got.kind == Reception::Malformed) {
        lines.err = "malformed datagram " + std::to_string(number) + " (" +
                    std::to_string(datagram.size()) + " bytes): " + g1_parse_reason(got.parsed) +
                    ": \"" + shown(datagram) + "\"\n";
        return lines;
    }
    if (got.wrapped) {
        lines.err = "note: the 32-bit time field of " + sender_name(sender_ip) +
                    " wrapped at datagram " + std::to_string(number) +
                    "; the time column runs on, unwrapped\n";
    }
    lines.out = line_of(format, got.time_us, got.parsed.fields);
    return lines;
}

std::string listen_summary(const ListenStats& s) {
    const ReceiveCounts& c = s.receiver.counts;
    const double span_s = static_cast<double>(s.last_ns - s.first_ns) / 1e9;
    const double rate = c.datagrams > 1 && span_s > 0 ? (c.datagrams - 1) / span_s : 0.0;
    char text[256];
    std::snprintf(text, sizeof text,
                  "%llu datagrams, %llu malformed, %.1f Hz, largest gap %.1f ms; time unwrapped "
                  "from the 32-bit field (%llu wraps)",
                  static_cast<unsigned long long>(c.datagrams),
                  static_cast<unsigned long long>(c.malformed), rate,
                  static_cast<double>(s.largest_gap_ns) / 1e6,
                  static_cast<unsigned long long>(s.receiver.times.wraps));
    std::string summary = text;
    if (c.other_senders != 0) {
        summary += "; " + std::to_string(c.other_senders) + " from other senders ignored";
    }
    summary += "\n";
    std::vector<LinkFigures> links;
    receive_link_figures(s.receiver, s.last_ns, links);
    for (const LinkFigures& l : links) {
        std::snprintf(text, sizeof text,
                      "  %s: %llu datagrams, %llu malformed, gap p50 %.1f ms p99 %.1f ms, %llu "
                      "frames lost (frame %.1f ms), %llu pauses, %llu time wraps, drift %+.3f s\n",
                      sender_name(l.ip).c_str(), static_cast<unsigned long long>(l.datagrams),
                      static_cast<unsigned long long>(l.malformed), l.gap_p50_s * 1e3,
                      l.gap_p99_s * 1e3, static_cast<unsigned long long>(l.frames_lost),
                      l.frame_s * 1e3, static_cast<unsigned long long>(l.pauses),
                      static_cast<unsigned long long>(l.wraps), l.drift_s);
        summary += text;
    }
    return summary;
}
