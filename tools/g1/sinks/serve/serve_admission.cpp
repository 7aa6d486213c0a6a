// The admission rules of `g1 serve`: pure functions over a request's text and the counts of
// open connections.
#include "tools/g1/sinks/serve/serve_admission.h"

#include "tools/common/udp.h"

#include <algorithm>

namespace {

constexpr std::string_view kLocalSuffix = ".local";     // the name a host takes on the link
constexpr std::uint32_t kLoopbackNetwork = 127u << 24;  // 127.0.0.0/8
constexpr std::uint32_t kLoopbackMask = 0xff000000u;

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string lower_name(std::string_view name) {
    if (name.ends_with('.')) name.remove_suffix(1);
    std::string text(name);
    std::transform(text.begin(), text.end(), text.begin(), lower);
    return text;
}

bool same_text(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return lower(x) == lower(y); });
}

std::string_view trimmed(std::string_view s) {
    const std::size_t begin = s.find_first_not_of(" \t");
    if (begin == std::string_view::npos) return {};
    const std::size_t end = s.find_last_not_of(" \t");
    return s.substr(begin, end - begin + 1);
}

// An Accept header lists media ranges, each with parameters after ';'. Only the stream's own
// type counts: an <img> or a link accepts "*/*" and must not open a stream.
bool accepts_event_stream(std::string_view accept) {
    while (!accept.empty()) {
        const std::size_t comma = accept.find(',');
        std::string_view range = accept.substr(0, comma);
        range = trimmed(range.substr(0, range.find(';')));
        if (same_text(range, "text/event-stream")) return true;
        if (comma == std::string_view::npos) break;
        accept.remove_prefix(comma + 1);
    }
    return false;
}

// Sec-Fetch-Site of the page's own script is same-origin; "none" is the user typing the
// address; browsers that send none are older than the header.
bool same_site(const std::optional<std::string_view>& fetch_site) {
    return !fetch_site || same_text(*fetch_site, "same-origin") || same_text(*fetch_site, "none");
}

// A control changes what every page shows: only this server's own page may send one. Its script
// is same-origin; browsers older than Sec-Fetch-Site still send Origin with a POST.
bool own_page(const ThisMachine& machine, const RequestFacts& request, std::uint32_t local);

}  // namespace

ThisMachine this_machine(std::string_view host_name, std::vector<std::uint32_t> addresses,
                         const std::vector<std::string>& extra_names) {
    ThisMachine machine;
    machine.addresses = std::move(addresses);
    machine.names.emplace_back("localhost");
    if (!host_name.empty()) {
        machine.names.push_back(lower_name(host_name));
        if (!machine.names.back().ends_with(kLocalSuffix)) {
            machine.names.push_back(machine.names.back() + std::string(kLocalSuffix));
        }
    }
    for (const std::string& name : extra_names) machine.names.push_back(lower_name(name));
    return machine;
}

bool host_is_this_machine(const ThisMachine& machine, std::string_view host, std::uint32_t local) {
    // An IPv6 literal ("[::1]:8080") never names this server, which listens on IPv4 only.
    const std::size_t colon = host.find(':');
    if (colon != std::string_view::npos) {
        const std::string_view port = host.substr(colon + 1);
        if (port.empty() || port.size() > 5 ||
            port.find_first_not_of("0123456789") != std::string_view::npos) {
            return false;
        }
        host = host.substr(0, colon);
    }
    if (host.empty() || host == ".") return false;
    std::uint32_t ip = 0;
    if (udp_parse_ip(host, ip)) {
        return (ip & kLoopbackMask) == kLoopbackNetwork || ip == local ||
               std::find(machine.addresses.begin(), machine.addresses.end(), ip) !=
                   machine.addresses.end();
    }
    const std::string name = lower_name(host);
    return std::find(machine.names.begin(), machine.names.end(), name) != machine.names.end();
}

RequestVerdict request_verdict(const ThisMachine& machine, const RequestFacts& request,
                               std::uint32_t local) {
    if (!request.host) return RequestVerdict::NoHost;
    if (!host_is_this_machine(machine, *request.host, local)) return RequestVerdict::UnknownHost;
    if (request.method == "POST" && request.path == kPlaybackPath) {
        return own_page(machine, request, local) ? RequestVerdict::Control
                                                 : RequestVerdict::CrossSite;
    }
    if (request.method != "GET" && request.method != "HEAD") return RequestVerdict::WrongMethod;
    if (request.path != kEventsPath) return RequestVerdict::Serve;
    if (!accepts_event_stream(request.accept)) return RequestVerdict::NotAStream;
    if (!same_site(request.fetch_site)) return RequestVerdict::CrossSite;
    return RequestVerdict::Stream;
}

namespace {

bool own_page(const ThisMachine& machine, const RequestFacts& request, std::uint32_t local) {
    if (request.fetch_site && !same_text(*request.fetch_site, "same-origin")) return false;
    if (!request.origin) return true;
    constexpr std::string_view kScheme = "http://";
    std::string_view origin = *request.origin;
    if (origin.size() < kScheme.size() || !same_text(origin.substr(0, kScheme.size()), kScheme)) {
        return false;
    }
    origin.remove_prefix(kScheme.size());
    return host_is_this_machine(machine, origin, local);
}

ConnectionRoom room_for(const ConnectionCounts& counts, std::uint32_t address, std::size_t most,
                        std::size_t most_per_address) {
    if (counts.total >= most) return ConnectionRoom::Full;
    const auto found = counts.by_address.find(address);
    if (found != counts.by_address.end() && found->second >= most_per_address) {
        return ConnectionRoom::AddressFull;
    }
    return ConnectionRoom::Room;
}

}  // namespace

ConnectionRoom connection_room(const ConnectionCounts& counts, std::uint32_t address) {
    return room_for(counts, address, kMaxConnections, kMaxConnectionsPerAddress);
}

ConnectionRoom reader_room(const ConnectionCounts& readers, std::uint32_t address) {
    return room_for(readers, address, kMaxReaders, kMaxReadersPerAddress);
}

void connection_opened(ConnectionCounts& counts, std::uint32_t address) {
    ++counts.total;
    ++counts.by_address[address];
}

void connection_closed(ConnectionCounts& counts, std::uint32_t address) {
    const auto found = counts.by_address.find(address);
    if (found == counts.by_address.end() || counts.total == 0) return;
    --counts.total;
    if (--found->second == 0) counts.by_address.erase(found);
}

std::uint64_t refusal_note(RefusalLog& log, Refusal cause, std::int64_t now_ns) {
    const auto i = static_cast<std::size_t>(cause);
    ++log.unlogged[i];
    if (log.ever_logged[i] && now_ns - log.logged_at_ns[i] < kRefusalLogPeriodNs) return 0;
    const std::uint64_t count = log.unlogged[i];
    log.unlogged[i] = 0;
    log.logged_at_ns[i] = now_ns;
    log.ever_logged[i] = true;
    return count;
}
