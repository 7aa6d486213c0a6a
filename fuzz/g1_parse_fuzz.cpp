// Arbitrary bytes as the G1 datagrams a receiver takes from the network: the strict parser, the
// unwrapping of the time field and what `g1 listen` prints. The input is split at line ends into
// datagrams (a G1 datagram holds none); a first line "@N" starts the running time at N, so short
// inputs reach the ends of the 64-bit range. The sanitizers catch overflow and stray reads; the
// checks below catch wrong results.
#include "plugin/telemetry/g1_parse.h"
#include "tools/g1/sinks/text/listen.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string_view>

namespace {

constexpr std::uint32_t kSenders = 3;  // datagrams are spread over a few senders
// g1 listen's text is the slow part under the sanitizers: the first few datagrams of each input
// go through it, every one through the parser and the unwrap.
constexpr std::uint32_t kListened = 4;

void require(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "g1_parse_fuzz: %s\n", what);
        std::abort();
    }
}

G1TimeUnwrap started_at(std::string_view line) {
    std::int64_t start = 0;
    std::from_chars(line.data() + 1, line.data() + line.size(), start);
    return {true, static_cast<std::int32_t>(static_cast<std::uint32_t>(start)), start, 0};
}

void check_parse(std::string_view d, const G1Parsed& p) {
    require(!g1_parse_reason(p).empty(), "no reason given");
    if (p.error == G1ParseError::None) {
        require(g1_format(p.fields).view() == d, "accepted a text the formatter does not write");
    } else {
        require(p.field <= kG1FieldCount && p.offset <= std::max(d.size(), kG1MaxLength),
                "a fault placed outside the datagram");
    }
}

// The running time moves by the signed 32-bit step and stops at the ends of the 64-bit range.
void check_unwrap(G1TimeUnwrap& u, std::int32_t field) {
    const G1TimeUnwrap before = u;
    const std::int64_t running = g1_unwrap_time(u, field);
    const auto step = static_cast<std::int32_t>(static_cast<std::uint32_t>(field) -
                                                static_cast<std::uint32_t>(before.last));
    const __int128 exact = static_cast<__int128>(before.running_us) + step;
    const __int128 expected = std::clamp<__int128>(exact, std::numeric_limits<std::int64_t>::min(),
                                                   std::numeric_limits<std::int64_t>::max());
    require(running == expected, "the running time is not the last one plus the step");
}

void check_listen(ListenStats& stats, std::string_view d, bool well_formed, std::uint32_t sender) {
    const ListenLines lines = listen_take(stats, ListenFormat::Csv, d, sender, 0);
    require(well_formed == !lines.out.empty(), "a line for a malformed datagram, or none");
    if (well_formed) {
        require(std::count(lines.out.begin(), lines.out.end(), ',') == kG1FieldCount - 1,
                "a printed line without its 13 values");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    G1TimeUnwrap unwrap;
    ListenStats stats;
    for (std::uint32_t index = 0; !rest.empty() || index == 0; ++index) {
        const std::size_t end = std::min(rest.find('\n'), rest.size());
        const std::string_view d = rest.substr(0, end);
        rest.remove_prefix(std::min(end + 1, rest.size()));
        if (index == 0 && d.starts_with('@')) {
            unwrap = started_at(d);
            continue;
        }
        const G1Parsed p = g1_parse(d);
        check_parse(d, p);
        if (p.error == G1ParseError::None) check_unwrap(unwrap, p.fields[0]);
        if (index < kListened) {
            check_listen(stats, d, p.error == G1ParseError::None, index % kSenders);
        }
    }
    return 0;
}
