// The line protocol of G1 points and the anchoring of each sender's time on the wall clock.
#include "tools/g1/sinks/publish/influx_line.h"

#include "plugin/telemetry/g1_field_table.h"
#include "tools/common/udp.h"

#include <charconv>

namespace {

constexpr std::int64_t kNsPerUs = 1000;

bool new_flight(const InfluxAnchor& a, std::int64_t time_us, std::int64_t at_ns) {
    if (!a.set || time_us < a.last_time_us) return true;
    return (time_us - a.last_time_us) * kNsPerUs > at_ns - a.last_at_ns + kInfluxNewFlightNs;
}

}  // namespace

std::int64_t influx_time_ns(InfluxAnchor& a, std::int64_t time_us, std::int64_t at_ns,
                            std::int64_t wall_ns) {
    if (new_flight(a, time_us, at_ns)) {
        a.set = true;
        a.wall_ns = wall_ns;
        a.time_us = time_us;
    }
    a.last_time_us = time_us;
    a.last_at_ns = at_ns;
    return a.wall_ns + (time_us - a.time_us) * kNsPerUs;
}

void influx_line(std::string& out, std::uint32_t sender, const DisplayTexts& texts,
                 std::int64_t time_ns) {
    out += kInfluxMeasurement;
    out += ',';
    out += kInfluxSenderTag;
    out += '=';
    out += udp_ip_text(sender);
    for (std::size_t i = 0; i < kG1FieldCount; ++i) {
        out += i == 0 ? ' ' : ',';
        out += kG1FieldTable[i].name;
        out += '=';
        out += texts[i];
    }
    out += ' ';
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, time_ns).ptr;
    out.append(digits, end);
    out += '\n';
}
