// Who `g1 serve` lets in: the rules for a request (its Host, method, path and, for the event
// stream, Accept and Sec-Fetch-Site) and the count of open connections per address. The HTTP
// side applies them; nothing here touches a socket.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

inline constexpr std::string_view kEventsPath = "/events";
// The controls of a replay (serve_playback.h): POST, from this server's own page only.
inline constexpr std::string_view kPlaybackPath = "/playback";

// Connections open at once, readers of the stream included, in all and from one address. One
// address may hold most of the readers (a wall of tablets behind one router, or the test
// readers on this machine) and still leave room for everyone else.
inline constexpr std::size_t kMaxConnections = 256;
inline constexpr std::size_t kMaxConnectionsPerAddress = 48;
inline constexpr std::size_t kMaxReaders = 64;  // beyond, a page is told to come back later
// Of the readers, one address holds at most this share: two addresses that keep every stream
// they can leave a quarter of the readers to everyone else.
inline constexpr std::size_t kMaxReadersPerAddress = 24;

// The names and addresses a request's Host may give: this machine's IPv4 addresses (and the
// whole of 127.0.0.0/8), "localhost", the host name (and NAME.local) and the `--host` names.
// Anything else is another site's name pointed at this machine (DNS rebinding).
struct ThisMachine {
    std::vector<std::uint32_t> addresses;  // host byte order
    std::vector<std::string> names;        // lower case, without a trailing dot
};

// Builds the set from what the system tells: its host name, its interfaces' addresses, and the
// names given with --host.
ThisMachine this_machine(std::string_view host_name, std::vector<std::uint32_t> addresses,
                         const std::vector<std::string>& extra_names);

// A Host header's value ("name", "name:port", "a.b.c.d:port"; any case) names this machine.
// `local` is the address the connection came in on, which is always this machine's.
bool host_is_this_machine(const ThisMachine& machine, std::string_view host, std::uint32_t local);

enum class RequestVerdict {
    Serve,        // a file of the page, or 404
    Stream,       // the event stream
    Control,      // a replay's control (POST /playback)
    WrongMethod,  // 405: only GET and HEAD (and POST for the controls)
    NoHost,       // 400: HTTP/1.1 requires one
    UnknownHost,  // 403: not a name of this machine
    NotAStream,   // 406: /events without Accept: text/event-stream (an <img>, a link)
    CrossSite,    // 403: /events or a control asked for by another site's page
};

// What the HTTP side read of a request; nullopt for a header that is absent.
struct RequestFacts {
    std::string_view method;
    std::string_view path;  // the target without its query
    std::optional<std::string_view> host;
    std::string_view accept;
    std::optional<std::string_view> fetch_site;  // Sec-Fetch-Site
    std::optional<std::string_view> origin;      // Origin, which browsers send with a POST
};

RequestVerdict request_verdict(const ThisMachine& machine, const RequestFacts& request,
                               std::uint32_t local);

// Open connections in all and per peer address.
struct ConnectionCounts {
    std::size_t total = 0;
    std::unordered_map<std::uint32_t, std::size_t> by_address;
};

enum class ConnectionRoom { Room, Full, AddressFull };
ConnectionRoom connection_room(const ConnectionCounts& counts, std::uint32_t address);
// The same for the readers of the stream, counted apart.
ConnectionRoom reader_room(const ConnectionCounts& readers, std::uint32_t address);
void connection_opened(ConnectionCounts& counts, std::uint32_t address);
void connection_closed(ConnectionCounts& counts, std::uint32_t address);

// Refused connections and requests are counted; one line per cause at most every period says
// how many, so a flood does not become a flood of log lines.
enum class Refusal : std::size_t {
    Full,
    AddressFull,
    AcceptFailed,
    Request,
    Readers,
    AddressReaders,
    Count
};
inline constexpr std::int64_t kRefusalLogPeriodNs = 10'000'000'000;

struct RefusalLog {
    std::array<std::uint64_t, static_cast<std::size_t>(Refusal::Count)> unlogged{};
    std::array<std::int64_t, static_cast<std::size_t>(Refusal::Count)> logged_at_ns{};
    std::array<bool, static_cast<std::size_t>(Refusal::Count)> ever_logged{};
};

// Counts one refusal; returns how many to log now (this one and those held back), or 0.
std::uint64_t refusal_note(RefusalLog& log, Refusal cause, std::int64_t now_ns);
