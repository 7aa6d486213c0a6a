// The HTTP server of `g1 serve` on Boost.Beast. One I/O thread owns every connection and every
// reader. The receiver leaves each sender's latest datagram on the senders' board and the thread
// takes what changed: at once when it is the receiver itself (datagrams from the port), else
// woken by at most one posted handler at a time (datagrams from a broker).
#include "tools/g1/sinks/serve/serve_http.h"

#include "tools/common/interrupt.h"
#include "tools/common/udp.h"
#include "tools/g1/sinks/serve/listening_socket.h"
#include "tools/g1/sinks/serve/log_queue.h"
#include "tools/g1/sinks/serve/serve_admission.h"
#include "tools/g1/sinks/serve/serve_event.h"
#include "tools/g1/sinks/serve/serve_metrics.h"
#include "tools/g1/sinks/serve/serve_pacer.h"
#include "tools/g1/sinks/serve/web_assets.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/host_name.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
// The I/O context's own executor rather than the type-erased default, for the waits that come with
// every datagram: no indirection on each one's way in and out.
using Executor = asio::io_context::executor_type;
using DatagramSocket = asio::basic_datagram_socket<asio::ip::udp, Executor>;
using Timer = asio::basic_waitable_timer<std::chrono::steady_clock,
                                         asio::wait_traits<std::chrono::steady_clock>, Executor>;

namespace {

constexpr std::string_view kIndexPath = "/index.html";
constexpr auto kRequestTimeout = std::chrono::seconds(10);  // a new connection's first request
// Writing an answer has a deadline of its own, from its start, so a request that comes late in
// its wait still gets its whole answer; a peer that does not take it by then is closed.
constexpr auto kAnswerTimeout = std::chrono::seconds(10);
// An answer its peer has not taken for this long (a browser takes one in milliseconds) no longer
// holds its connection's place when a new connection needs one.
constexpr std::int64_t kAnswerUnreadNs = 2'000'000'000;
// Receives (each a batch of datagrams) in one turn of the I/O thread; then the pages, the timers
// and new connections have theirs, however fast datagrams come.
constexpr int kTakeTurnReceives = 4;
// Between requests a browser keeps its connection for the next file; one that asks nothing
// more is closed, so idle connections cannot hold the slots.
constexpr auto kKeepAliveTimeout = std::chrono::seconds(5);
// When accepting fails (no descriptors left, above all) the pending connection stays queued and
// an immediate retry would fail again at once: wait, longer each time, up to a second.
constexpr auto kAcceptPauseFirst = std::chrono::milliseconds(10);
constexpr auto kAcceptPauseLongest = std::chrono::milliseconds(1000);
constexpr std::size_t kLoggedTextMax = 64;          // of what a peer sent, in a log line
constexpr std::int64_t kStalledNs = 3'000'000'000;  // a write pending this long: the page sleeps
constexpr std::int64_t kNeverNs = std::numeric_limits<std::int64_t>::max();
constexpr auto kWatchPeriod = std::chrono::milliseconds(250);
// A stream has paused when no datagram came for this long: longer than a page's interval, so
// that a stream at twice the pages' rate, whose every second datagram is held, brings the next
// held one before the last one's pause is due, and the timer moves on once per two datagrams
// without ever waking the thread.
constexpr std::int64_t kPauseNs = kWriteIntervalNs * 3 / 2;
// A reader's kernel send buffer: about a second of events. A page that falls further behind is
// coalesced or dropped rather than fed stale values.
constexpr int kReaderSendBuffer = 8 * 1024;
// Any other connection's: its largest answer whole. A peer that asks for many and reads none
// then holds this much of the system's memory, not megabytes, and its writing waits, which the
// deadlines and the caps see.
constexpr int kAnswerSendBuffer = 64 * 1024;
constexpr std::string_view kRetry = "retry: 1000\n\n";  // how soon a page reconnects
constexpr std::string_view kRetryAfterS = "5";          // a page refused for want of room: seconds
constexpr std::string_view kPolicy = "default-src 'self'";  // the page loads nothing from elsewhere

std::int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A sender's latest datagram for the readers that show it. Its text is made when the first of
// them writes it: one held for a reader's pace and then replaced by the next is never made.
struct DatagramEvent {
    SenderLatest latest;
    std::string text;  // empty until made
};

// A connection's place in the counts of open connections, held by the connection and then by
// the reader it becomes; released once, when it closes.
struct ConnectionSlot {
    ConnectionSlot(ServeHttp& s, std::uint32_t peer) : server(&s), address(peer) {}
    ConnectionSlot(ConnectionSlot&& other) noexcept
        : server(std::exchange(other.server, nullptr)), address(other.address) {}
    ConnectionSlot& operator=(ConnectionSlot&&) = delete;
    ~ConnectionSlot() { release(); }
    void release();
    ServeHttp* server;
    std::uint32_t address;
};

struct Reader {
    Reader(tcp::socket s, ConnectionSlot place) : socket(std::move(s)), slot(std::move(place)) {}
    tcp::socket socket;
    ConnectionSlot slot;
    std::string peer;
    std::uint32_t chosen = 0;        // the sender the page asked for; 0: the default one
    std::uint32_t showing = 0;       // the sender of the events it gets
    std::uint64_t shown_number = 0;  // that sender's latest datagram handed to it
    std::string greeting;            // what a new reader gets first
    std::string introduction;        // its sender's history (and latest) when it starts showing one
    std::shared_ptr<DatagramEvent> datagram;  // the latest not yet written
    bool datagram_fresh = false;  // it came with this turn's take, or a write held it back
    std::shared_ptr<const std::string> health;
    std::shared_ptr<const std::string> playback;      // a replay's latest state, not yet written
    std::shared_ptr<DatagramEvent> writing_datagram;  // kept alive while written
    std::shared_ptr<const std::string> writing_health;
    std::string writing_greeting;
    bool writing = false;
    std::int64_t write_started_ns = 0;
    EventPacer pacer;
    bool closed = false;
    std::array<char, 512> discard{};  // a reader has nothing more to say; read and dropped
};

struct Connection {
    Connection(ServeHttp& s, tcp::socket socket, std::uint32_t peer, std::uint32_t local_ip);
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection();
    ServeHttp& server;
    beast::tcp_stream stream;
    beast::flat_buffer buffer;
    http::request<http::empty_body> request;
    ConnectionSlot slot;
    std::uint32_t local;  // the address it came in on: one of this machine's
    // Waiting for its peer: for a request, or to take the answer. A new connection may take
    // the place of one that has waited long.
    enum class Waiting { No, ForRequest, ForReading } waiting = Waiting::No;
    std::int64_t waiting_since_ns = 0;
};

std::string peer_text(const tcp::socket& socket) {
    beast::error_code ec;
    const tcp::endpoint peer = socket.remote_endpoint(ec);
    return ec ? std::string("a page")
              : peer.address().to_string() + ":" + std::to_string(peer.port());
}

}  // namespace

struct ServeHttp {
    // The counts come first, so they outlive the connections and readers that the I/O context's
    // pending handlers still hold when it is destroyed.
    ConnectionCounts counts;
    std::vector<Connection*> connections;  // every one not yet a reader, to find the idle ones
    ConnectionCounts reader_counts;        // readers open and starting, in all and per address
    RefusalLog refusals;
    ThisMachine machine;
    asio::io_context io{1};
    asio::executor_work_guard<asio::io_context::executor_type> work{io.get_executor()};
    tcp::acceptor acceptor{io};
    asio::steady_timer accept_pause{io};
    std::chrono::milliseconds accept_pause_length{0};
    asio::steady_timer watch{io};  // for stalled writes
    bool watching = false;
    std::vector<std::shared_ptr<Reader>> readers;
    AngleUnit angles = AngleUnit::Radians;
    SenderBoard board;                     // written by the receiver, under its lock
    std::atomic<bool> wake_posted{false};  // a take is posted and has not yet begun
    bool take_due = false;  // put on the board from this thread: taken when its handler ends
    // The datagrams' socket, when they are received on this thread (serve_http_receive).
    DatagramSocket datagrams{io};
    UdpSocket* datagrams_owner = nullptr;
    std::function<UdpWait()> receive;
    std::function<void()> every_period;
    std::chrono::nanoseconds period{0};
    Timer period_timer{io};
    ServeHttpPlayback playback;  // a recording played instead of datagrams received
    asio::steady_timer tick_timer{io};
    std::uint64_t moments = 0;  // the board's, as last taken
    // One timer for every reader's held datagram, due no later than when the first of them may
    // go: the stream has paused (see deliver) and the reader's pace allows.
    Timer pause_timer{io};
    bool pause_armed = false;
    std::int64_t pause_at_ns = 0;
    std::int64_t pause_wanted_ns = kNeverNs;  // the earliest held datagram's, since the last arming
    std::atomic<bool> receive_failed{false};  // told to the waiting thread by interrupt_wake
    std::vector<SenderLatest> latest;         // the board as last taken
    std::vector<std::uint32_t> shown;  // the senders the readers show, as last told the board
    std::vector<std::uint32_t> showing;
    // Each sender's new datagram event of a take, made once for all its readers.
    std::vector<std::pair<std::uint32_t, std::shared_ptr<DatagramEvent>>> events;
    // Every datagram event, in use or free to be used again (no longer held by a reader or
    // `events`) with the room its text had: a datagram allocates nothing.
    std::vector<std::shared_ptr<DatagramEvent>> event_store;
    std::string health_text;
    std::uint64_t health_number = 0;
    std::unique_ptr<SenderHistory> history = std::make_unique<SenderHistory>();  // a new page's
    std::shared_ptr<const std::string> last_health;
    MetricsBoard metrics;  // the receiver's link figures, for /metrics
    MetricsServer own;     // this server's figures, for /metrics
    ServeHttpSummary summary;
    std::uint16_t port = 0;
    std::thread thread;
};

namespace {

void ConnectionSlot::release() {
    if (server == nullptr) return;
    connection_closed(server->counts, address);
    server = nullptr;
}

Connection::Connection(ServeHttp& s, tcp::socket socket, std::uint32_t peer, std::uint32_t local_ip)
    : server(s), stream(std::move(socket)), slot(s, peer), local(local_ip) {
    connection_opened(s.counts, peer);
    s.connections.push_back(this);
}

Connection::~Connection() {
    std::erase(server.connections, this);
}

constexpr std::array<const char*, static_cast<std::size_t>(Refusal::Count)> kRefused{
    "connections: every one of the connections is in use",
    "connections: their address holds its share of the connections",
    "connections: accepting failed",
    "requests",
    "pages: every one of the readers is in use",
    "pages: their address holds its share of the readers",
};

// Printable, short: a peer's text goes into the log as it cannot harm it.
std::string loggable(std::string_view text) {
    std::string out;
    for (const char c : text.substr(0, kLoggedTextMax)) out += c > ' ' && c < 127 ? c : '?';
    return text.size() > kLoggedTextMax ? out + "..." : out;
}

void note_refusal(ServeHttp& s, Refusal cause, const std::string& detail) {
    ++s.own.refusals[static_cast<std::size_t>(cause)];
    const std::uint64_t count = refusal_note(s.refusals, cause, now_ns());
    if (count == 0) return;
    log_line(tool_log(), "g1 serve: refused %s (%llu since the last such line)%s",
             kRefused[static_cast<std::size_t>(cause)], static_cast<unsigned long long>(count),
             detail.c_str());
}

// Tells the board which senders the readers show, when that changed: those keep their places.
void show_senders(ServeHttp& s) {
    s.showing.clear();
    for (const std::shared_ptr<Reader>& r : s.readers) {
        if (r->showing != 0) s.showing.push_back(r->showing);
    }
    std::sort(s.showing.begin(), s.showing.end());
    s.showing.erase(std::unique(s.showing.begin(), s.showing.end()), s.showing.end());
    if (s.showing == s.shown) return;
    s.shown.swap(s.showing);
    board_show(s.board, s.shown);
}

void close_reader(ServeHttp& s, const std::shared_ptr<Reader>& r, const char* why) {
    if (r->closed) return;
    r->closed = true;
    connection_closed(s.reader_counts, r->slot.address);
    r->slot.release();
    beast::error_code ignored;
    r->socket.shutdown(tcp::socket::shutdown_both, ignored);
    r->socket.close(ignored);
    std::erase(s.readers, r);
    log_line(tool_log(), "g1 serve: page %s %s (%zu open)", r->peer.c_str(), why, s.readers.size());
    show_senders(s);
}

void deliver(ServeHttp& s, const std::shared_ptr<Reader>& r, bool paused = false);
void watch_writes(ServeHttp& s);

void on_written(ServeHttp& s, const std::shared_ptr<Reader>& r, beast::error_code ec) {
    r->writing = false;
    if (ec) {
        close_reader(s, r, "left");
        return;
    }
    if (r->writing_datagram) {
        latency_note(s.summary.latency, now_ns() - r->writing_datagram->latest.arrival_ns);
    }
    r->writing_datagram.reset();
    r->writing_health.reset();
    r->writing_greeting.clear();
    deliver(s, r);
}

// A datagram held back for the reader's pace goes once the stream has paused, no datagram for
// kPauseNs, if its pace allows by then; a newer datagram takes its place meanwhile. Were it to go
// while the stream goes on, it would go late and spend the turn of the next one, which then waits
// in turn: so a faster stream is thinned to whole datagrams written as they arrive.
void note_held(ServeHttp& s, const Reader& r, std::int64_t now) {
    const std::int64_t due =
        std::max(r.datagram->latest.arrival_ns + kPauseNs, now + pacer_wait_ns(r.pacer, now));
    s.pause_wanted_ns = std::min(s.pause_wanted_ns, due);
}

void on_pause(ServeHttp& s);

// Sets the pause timer to the earliest held datagram noted since the last call; after one
// reader's turn (not a `sweep` of every reader) only earlier. With none held it is left as it
// is, to come once for nothing: moving a wait completes it as cancelled, a turn of the thread and
// a system call more, which a stream would otherwise spend with every datagram.
void arm_pause(ServeHttp& s, bool sweep) {
    const std::int64_t at = std::exchange(s.pause_wanted_ns, kNeverNs);
    if (at == kNeverNs ||
        (s.pause_armed && (at == s.pause_at_ns || (!sweep && at > s.pause_at_ns)))) {
        return;
    }
    s.pause_armed = true;
    s.pause_at_ns = at;
    s.pause_timer.expires_at(std::chrono::steady_clock::time_point(std::chrono::nanoseconds(at)));
    s.pause_timer.async_wait([&s](beast::error_code ec) {
        if (ec) return;  // moved, or the server stops
        s.pause_armed = false;
        on_pause(s);
    });
}

void on_pause(ServeHttp& s) {
    const std::int64_t now = now_ns();
    for (const std::shared_ptr<Reader>& r : s.readers) {
        if (!r->datagram) continue;
        if (now - r->datagram->latest.arrival_ns >= kPauseNs) {
            deliver(s, r, true);  // closes no reader in here, so the list stays as it is
        } else {
            note_held(s, *r, now);
        }
    }
    arm_pause(s, true);
}

// The buffers without their first `written` bytes.
void drop_written(std::array<asio::const_buffer, 3>& buffers, std::size_t written) {
    for (asio::const_buffer& b : buffers) {
        const std::size_t n = std::min(written, b.size());
        b += n;
        written -= n;
    }
}

// Writes what is pending, unless a write is under way (its end brings the next one). A datagram
// goes as it comes, if the reader is due, or once the stream has `paused`; one held back is not
// written late with a health event or another sender's datagram (see note_held).
void deliver(ServeHttp& s, const std::shared_ptr<Reader>& r, bool paused) {
    if (r->closed || r->writing) return;
    const std::int64_t now = now_ns();
    // Only datagrams are paced; the greeting and the twice-a-second health go at once, so they
    // never take a datagram's turn.
    const bool datagram_due =
        r->datagram && (r->datagram_fresh || paused) && pacer_take(r->pacer, now);
    if (r->datagram && !datagram_due) {
        r->datagram_fresh = false;
        note_held(s, *r, now);
    }
    if (!datagram_due && !r->health && r->greeting.empty() && r->introduction.empty() &&
        !r->playback) {
        return;
    }
    r->writing = true;
    r->write_started_ns = now;
    r->writing_greeting = std::move(r->greeting);
    r->greeting.clear();
    // A replay's state before the moment it shows, so the page knows it for what follows.
    if (r->playback) r->writing_greeting += *std::exchange(r->playback, nullptr);
    r->writing_greeting += r->introduction;
    r->introduction.clear();
    r->writing_health = std::move(r->health);
    if (datagram_due) {
        r->writing_datagram = std::move(r->datagram);
        DatagramEvent& e = *r->writing_datagram;
        if (e.text.empty()) {
            datagram_event_append(e.text, kDatagramEvent, e.latest.number, e.latest.sample,
                                  s.angles, e.latest.ip);
        }
    }
    std::array<asio::const_buffer, 3> buffers{
        asio::buffer(r->writing_greeting),
        r->writing_health ? asio::buffer(*r->writing_health) : asio::const_buffer(),
        r->writing_datagram ? asio::buffer(r->writing_datagram->text) : asio::const_buffer(),
    };
    // The socket's buffer takes most writes whole: written now, with no operation to complete.
    // What would block, or fails, goes on as an asynchronous write, whose end tells.
    beast::error_code ec;
    const std::size_t written = r->socket.write_some(buffers, ec);
    if (!ec && written == asio::buffer_size(buffers)) {
        on_written(s, r, ec);
        return;
    }
    if (!ec) drop_written(buffers, written);
    asio::async_write(r->socket, buffers, [&s, r](beast::error_code failed, std::size_t) {
        on_written(s, r, failed);
        arm_pause(s, false);
    });
    watch_writes(s);
}

// The reader sends nothing after its request; a read that ends means it has gone.
void watch_for_leaving(ServeHttp& s, const std::shared_ptr<Reader>& r) {
    r->socket.async_read_some(asio::buffer(r->discard), [&s, r](beast::error_code ec, std::size_t) {
        if (ec) {
            close_reader(s, r, "left");
        } else if (!r->closed) {
            watch_for_leaving(s, r);
        }
    });
}

// Only a write that could not go at once can stall, so the watch runs while one is pending.
void watch_writes(ServeHttp& s) {
    if (s.watching) return;
    s.watching = true;
    s.watch.expires_after(kWatchPeriod);
    s.watch.async_wait([&s](beast::error_code ec) {
        s.watching = false;
        if (ec) return;
        const std::int64_t now = now_ns();
        const std::vector<std::shared_ptr<Reader>> readers = s.readers;
        bool pending = false;
        for (const std::shared_ptr<Reader>& r : readers) {
            if (r->writing && now - r->write_started_ns > kStalledNs) {
                ++s.summary.dropped;
                close_reader(s, r, "dropped: it took no data for 3 s");
            } else {
                pending = pending || r->writing;
            }
        }
        if (pending) watch_writes(s);
    });
}

const SenderLatest* find_sender(const ServeHttp& s, std::uint32_t ip) {
    for (const SenderLatest& l : s.latest) {
        if (l.ip == ip) return &l;
    }
    return nullptr;
}

std::string event_of(const ServeHttp& s, const SenderLatest& l) {
    return datagram_event(kDatagramEvent, l.number, l.sample, s.angles, l.ip);
}

std::shared_ptr<DatagramEvent> new_event(ServeHttp& s, const SenderLatest& l) {
    for (const std::shared_ptr<DatagramEvent>& e : s.event_store) {
        if (e.use_count() == 1) {
            e->latest = l;
            e->text.clear();
            return e;
        }
    }
    return s.event_store.emplace_back(std::make_shared<DatagramEvent>(DatagramEvent{l, {}}));
}

// The sender's minute of history, for a page that starts showing it; with `latest`, its latest
// values too, as already seen (a new page), else they follow as a fresh datagram.
std::string introduction(ServeHttp& s, Reader& r, bool latest) {
    std::string text;
    r.shown_number = 0;
    const SenderLatest* l = find_sender(s, r.showing);
    if (l == nullptr) return text;
    if (board_history(s.board, r.showing, *s.history)) {
        text += history_event(r.showing, *s.history, s.angles);
    }
    if (latest) {
        text += as_last_datagram_event(event_of(s, *l));
        r.shown_number = l->number;
    }
    return text;
}

std::string greeting_for(ServeHttp& s, Reader& r) {
    std::string text(kRetry);
    text += fields_event();
    if (s.last_health) text += *s.last_health;
    if (s.playback.describe) text += s.playback.describe();
    r.showing = r.chosen != 0 ? r.chosen : default_sender(s.latest);
    r.introduction = introduction(s, r, true);
    return text;
}

// The sender asked for by `/events?sender=a.b.c.d`; 0 if none is.
std::uint32_t chosen_sender(std::string_view target) {
    constexpr std::string_view kKey = "sender=";
    const std::size_t query = target.find('?');
    if (query == std::string_view::npos) return 0;
    target.remove_prefix(query + 1);
    while (!target.empty()) {
        const std::size_t end = std::min(target.find('&'), target.size());
        std::uint32_t ip = 0;
        if (target.substr(0, end).starts_with(kKey) &&
            udp_parse_ip(target.substr(kKey.size(), end - kKey.size()), ip)) {
            return ip;
        }
        target.remove_prefix(std::min(end + 1, target.size()));
    }
    return 0;
}

// What every answer says: which server, and that no other site's page may use it (read it as
// a script, a style or an image).
template <class Response>
void mark(Response& response) {
    response.set(http::field::server, "g1 serve");
    response.set("X-Content-Type-Options", "nosniff");
    response.set("Cross-Origin-Resource-Policy", "same-origin");
}

std::shared_ptr<http::response<http::empty_body>> stream_header(const Connection& c) {
    auto response =
        std::make_shared<http::response<http::empty_body>>(http::status::ok, c.request.version());
    mark(*response);
    response->set(http::field::content_type, "text/event-stream");
    response->set(http::field::cache_control, "no-cache");
    response->keep_alive(false);  // the stream ends when the connection does
    return response;
}

// An answer as it is written. Every answer goes out as one of these through write_answer, so
// that Beast's write operations, most of this file's compile time, are compiled once.
struct Answer {
    http::response<http::span_body<const char>> message;
    std::string text;  // the body, unless it is a web asset's (those outlive every answer)
};

template <class Body>
std::shared_ptr<Answer> as_answer(http::response<Body>& response) {
    auto a = std::make_shared<Answer>();
    if constexpr (std::is_same_v<Body, http::string_body>) {
        a->text = std::move(response.body());
        a->message.body() = {a->text.data(), a->text.size()};
    } else if constexpr (std::is_same_v<Body, http::span_body<const char>>) {
        a->message.body() = response.body();
    } else {
        static_assert(std::is_same_v<Body, http::empty_body>);
    }
    a->message.base() = std::move(response.base());
    return a;
}

// Writes the answer's header, and its body unless `header_only`; the header keeps the body's
// length as prepared.
void write_answer(Connection& c, std::shared_ptr<Answer> a, bool header_only,
                  std::function<void(beast::error_code)> done) {
    if (header_only) a->message.body() = {};
    http::async_write(c.stream, a->message,
                      [a, done = std::move(done)](beast::error_code ec, std::size_t) { done(ec); });
}

// The reader's place is taken before its header goes out, so a burst of requests cannot pass
// the cap while headers are being written.
void start_reader(ServeHttp& s, const std::shared_ptr<Connection>& c) {
    connection_opened(s.reader_counts, c->slot.address);
    c->stream.expires_never();
    write_answer(*c, as_answer(*stream_header(*c)), true, [&s, c](beast::error_code ec) {
        if (ec) {
            connection_closed(s.reader_counts, c->slot.address);
            return;
        }
        auto r = std::make_shared<Reader>(c->stream.release_socket(), std::move(c->slot));
        beast::error_code ignored;
        r->socket.set_option(tcp::no_delay(true), ignored);
        r->socket.set_option(asio::socket_base::send_buffer_size(kReaderSendBuffer), ignored);
        r->socket.non_blocking(true, ignored);  // deliver writes what fits at once
        r->peer = peer_text(r->socket);
        r->chosen = chosen_sender(c->request.target());
        r->greeting = greeting_for(s, *r);
        s.readers.push_back(r);
        show_senders(s);
        ++s.summary.readers;
        log_line(tool_log(), "g1 serve: page %s opened the stream (%zu open)", r->peer.c_str(),
                 s.readers.size());
        deliver(s, r);
        arm_pause(s, false);
        watch_for_leaving(s, r);
    });
}

const WebAsset* find_asset(std::string_view path) {
    if (path == "/") path = kIndexPath;
    for (const WebAsset& asset : web_assets()) {
        if (asset.path == path) return &asset;
    }
    return nullptr;
}

void read_request(ServeHttp& s, const std::shared_ptr<Connection>& c,
                  std::chrono::seconds deadline);

// Answers in whole, or with the header alone for HEAD. `sized`: the body's length is known (the
// stream's is not, and a HEAD of it says so as its GET would).
template <class Body>
void send(ServeHttp& s, const std::shared_ptr<Connection>& c,
          std::shared_ptr<http::response<Body>> response, bool sized = true) {
    mark(*response);
    response->keep_alive(response->keep_alive() && c->request.keep_alive());
    if (sized) response->prepare_payload();
    const bool keep_alive = response->keep_alive();
    auto sent = [&s, c, keep_alive](beast::error_code ec) {
        c->waiting = Connection::Waiting::No;
        if (ec || !keep_alive) {
            beast::error_code ignored;
            c->stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
            return;
        }
        read_request(s, c, kKeepAliveTimeout);
    };
    c->waiting = Connection::Waiting::ForReading;
    c->waiting_since_ns = now_ns();
    c->stream.expires_after(kAnswerTimeout);
    write_answer(*c, as_answer(*response), c->request.method() == http::verb::head, sent);
}

// A refusal closes the connection: whoever was refused gets no second try on it.
void send_text(ServeHttp& s, const std::shared_ptr<Connection>& c, http::status status,
               std::string text, bool keep_alive = false) {
    auto response =
        std::make_shared<http::response<http::string_body>>(status, c->request.version());
    response->set(http::field::content_type, "text/plain; charset=utf-8");
    response->keep_alive(keep_alive);
    response->body() = std::move(text);
    send(s, c, std::move(response));
}

std::optional<std::string_view> header_of(const http::request<http::empty_body>& request,
                                          std::string_view name) {
    const auto found = request.find(name);
    if (found == request.end()) return std::nullopt;
    return found->value();
}

void refuse(ServeHttp& s, const std::shared_ptr<Connection>& c, http::status status,
            const char* text, std::string_view why) {
    note_refusal(s, Refusal::Request,
                 ": " + peer_text(c->stream.socket()) + " " + std::string(why));
    send_text(s, c, status, text);
}

// Each sender of the receiver's table with its latest values from the board, as last taken.
void answer_metrics(ServeHttp& s, const std::shared_ptr<Connection>& c) {
    std::vector<LinkFigures> links;
    metrics_take_links(s.metrics, links);
    std::vector<MetricsSender> senders;
    for (const LinkFigures& link : links) {
        MetricsSender& sender = senders.emplace_back(MetricsSender{link, false, {}});
        for (const SenderLatest& latest : s.latest) {
            if (latest.ip != link.ip) continue;
            sender.has_values = true;
            sender.values = display_texts(latest.sample.fields, latest.sample.time_us, s.angles);
        }
    }
    s.own.pages = s.readers.size();
    {
        LogQueue& log = tool_log();
        const std::lock_guard<std::mutex> hold(log.lock);
        s.own.log_lines_dropped = log.dropped_total;
    }
    auto response =
        std::make_shared<http::response<http::string_body>>(http::status::ok, c->request.version());
    response->set(http::field::content_type, kMetricsContentType);
    response->set(http::field::cache_control, "no-store");
    response->body() = metrics_text(senders, s.own);
    send(s, c, std::move(response));
}

void take_if_due(ServeHttp& s);

// A replay's control: its answer is the playback's new state, which every page gets too.
void answer_control(ServeHttp& s, const std::shared_ptr<Connection>& c) {
    if (!s.playback.control) {
        send_text(s, c, http::status::not_found,
                  "no recording is played here (g1 serve --replay FILE plays one)\n", true);
        return;
    }
    const std::string_view target = c->request.target();
    const std::size_t query = target.find('?');
    std::string text;
    const bool done = s.playback.control(
        query == std::string_view::npos ? std::string_view() : target.substr(query + 1), now_ns(),
        text);
    take_if_due(s);
    auto response = std::make_shared<http::response<http::string_body>>(
        done ? http::status::ok : http::status::bad_request, c->request.version());
    response->set(http::field::content_type,
                  done ? "application/json" : "text/plain; charset=utf-8");
    response->set(http::field::cache_control, "no-store");
    response->body() = done ? std::move(text) : std::move(text) + "\n";
    send(s, c, std::move(response));
}

void answer(ServeHttp& s, const std::shared_ptr<Connection>& c) {
    const http::request<http::empty_body>& request = c->request;
    std::string_view target = request.target();
    target = target.substr(0, target.find('?'));
    const RequestFacts facts{request.method_string(),
                             target,
                             header_of(request, "Host"),
                             request[http::field::accept],
                             header_of(request, "Sec-Fetch-Site"),
                             header_of(request, "Origin")};
    const std::string host = loggable(facts.host.value_or(""));
    switch (request_verdict(s.machine, facts, c->local)) {
        case RequestVerdict::NoHost:
            refuse(s, c, http::status::bad_request, "a request needs a Host header\n",
                   "sent no Host");
            return;
        case RequestVerdict::UnknownHost:
            refuse(s, c, http::status::forbidden,
                   "g1 serve answers to the addresses and names of its machine only; "
                   "g1 serve --host NAME adds a name\n",
                   "asked for Host " + host +
                       ", not a name of this machine (g1 serve --host adds one)");
            return;
        case RequestVerdict::WrongMethod: {
            note_refusal(s, Refusal::Request,
                         ": " + peer_text(c->stream.socket()) + " sent " + loggable(facts.method));
            auto response = std::make_shared<http::response<http::string_body>>(
                http::status::method_not_allowed, request.version());
            response->set(http::field::allow, "GET, HEAD");
            response->set(http::field::content_type, "text/plain; charset=utf-8");
            response->keep_alive(false);
            response->body() = "g1 serve answers GET and HEAD only\n";
            send(s, c, std::move(response));
            return;
        }
        case RequestVerdict::NotAStream:
            refuse(s, c, http::status::not_acceptable,
                   "the event stream is for the page's script (Accept: text/event-stream)\n",
                   "asked for the stream without Accept: text/event-stream");
            return;
        case RequestVerdict::CrossSite:
            refuse(s, c, http::status::forbidden,
                   "the event stream is for this server's own page\n",
                   "asked for the stream from another site's page");
            return;
        case RequestVerdict::Stream:
            if (const ConnectionRoom room = reader_room(s.reader_counts, c->slot.address);
                room != ConnectionRoom::Room) {
                note_refusal(
                    s, room == ConnectionRoom::Full ? Refusal::Readers : Refusal::AddressReaders,
                    ": " + peer_text(c->stream.socket()));
                auto response = std::make_shared<http::response<http::string_body>>(
                    http::status::service_unavailable, request.version());
                response->set(http::field::retry_after, kRetryAfterS);
                response->set(http::field::content_type, "text/plain; charset=utf-8");
                response->keep_alive(false);
                response->body() = "too many pages are open; the page tries again by itself\n";
                send(s, c, std::move(response));
            } else if (request.method() == http::verb::head) {
                send(s, c, stream_header(*c), false);
            } else {
                start_reader(s, c);
            }
            return;
        case RequestVerdict::Control: answer_control(s, c); return;
        case RequestVerdict::Serve: break;
    }
    if (target == kMetricsPath) {
        answer_metrics(s, c);
        return;
    }
    const WebAsset* asset = find_asset(target);
    if (asset == nullptr) {
        send_text(s, c, http::status::not_found, "no such page\n", true);
        return;
    }
    auto response = std::make_shared<http::response<http::span_body<const char>>>(
        http::status::ok, request.version());
    response->set(http::field::content_type, asset->content_type);
    response->set(http::field::cache_control, "no-cache");
    response->set("Content-Security-Policy", kPolicy);
    response->body() = {asset->body.data(), asset->body.size()};
    send(s, c, std::move(response));
}

void read_request(ServeHttp& s, const std::shared_ptr<Connection>& c,
                  std::chrono::seconds deadline) {
    c->request = {};
    c->waiting = Connection::Waiting::ForRequest;
    c->waiting_since_ns = now_ns();
    c->stream.expires_after(deadline);
    http::async_read(c->stream, c->buffer, c->request, [&s, c](beast::error_code ec, std::size_t) {
        c->waiting = Connection::Waiting::No;
        if (!ec) answer(s, c);
    });
}

// Makes room for a new connection by closing the one that has waited longest for its peer: for
// a request, or to take an answer not taken for kAnswerUnreadNs; from `address` only if given.
// A reader, or a request being answered to a peer that reads, is never closed for it.
bool close_idle(ServeHttp& s, std::optional<std::uint32_t> address) {
    const std::int64_t now = now_ns();
    Connection* oldest = nullptr;
    for (Connection* c : s.connections) {
        const bool waits = c->waiting == Connection::Waiting::ForRequest ||
                           (c->waiting == Connection::Waiting::ForReading &&
                            now - c->waiting_since_ns >= kAnswerUnreadNs);
        if (!waits || (address && c->slot.address != *address)) continue;
        if (oldest == nullptr || c->waiting_since_ns < oldest->waiting_since_ns) oldest = c;
    }
    if (oldest == nullptr) return false;
    oldest->waiting = Connection::Waiting::No;
    oldest->slot.release();
    oldest->stream.close();  // its read ends, and the last handle on it with the read
    return true;
}

void admit(ServeHttp& s, tcp::socket socket) {
    beast::error_code ec;
    const tcp::endpoint peer = socket.remote_endpoint(ec);
    if (ec) return;  // gone already
    const tcp::endpoint local = socket.local_endpoint(ec);
    if (ec) return;
    const std::uint32_t address = peer.address().to_v4().to_uint();
    ConnectionRoom room = connection_room(s.counts, address);
    // Closing one idle connection of anyone's may still leave this address over its share.
    for (int tries = 0; tries < 2 && room != ConnectionRoom::Room; ++tries) {
        if (!close_idle(
                s, room == ConnectionRoom::AddressFull ? std::optional(address) : std::nullopt)) {
            break;
        }
        room = connection_room(s.counts, address);
    }
    if (room != ConnectionRoom::Room) {
        note_refusal(s, room == ConnectionRoom::Full ? Refusal::Full : Refusal::AddressFull,
                     ": " + peer.address().to_string());
        return;  // the socket closes here
    }
    socket.set_option(asio::socket_base::send_buffer_size(kAnswerSendBuffer), ec);
    auto c = std::make_shared<Connection>(s, std::move(socket), address,
                                          local.address().to_v4().to_uint());
    read_request(s, c, kRequestTimeout);
}

void accept(ServeHttp& s);

void pause_accepting(ServeHttp& s, beast::error_code ec) {
    s.accept_pause_length =
        std::clamp(s.accept_pause_length * 2, std::chrono::milliseconds(kAcceptPauseFirst),
                   std::chrono::milliseconds(kAcceptPauseLongest));
    note_refusal(s, Refusal::AcceptFailed, ": " + ec.message() + "; trying again shortly");
    s.accept_pause.expires_after(s.accept_pause_length);
    s.accept_pause.async_wait([&s](beast::error_code waited) {
        if (!waited) accept(s);
    });
}

void accept(ServeHttp& s) {
    s.acceptor.async_accept([&s](beast::error_code ec, tcp::socket socket) {
        if (ec == asio::error::operation_aborted) return;
        if (ec) {
            pause_accepting(s, ec);
            return;
        }
        s.accept_pause_length = {};
        admit(s, std::move(socket));
        accept(s);
    });
}

// Takes what the receiver left on the board and hands each reader its sender's latest datagram
// (one event per sender, shared by its readers) and the health if it is new.
void take_board(ServeHttp& s) {
    s.wake_posted = false;  // before taking: what is put from now on posts another take
    const std::uint64_t health_before = s.health_number;
    std::uint64_t moments = 0;
    board_take(s.board, s.latest, s.health_text, s.health_number, moments);
    if (s.health_number != health_before) {
        s.last_health = std::make_shared<const std::string>(s.health_text);
    }
    const std::uint32_t fallback = default_sender(s.latest);
    // A replay jumped: each page gets its sender's new minute and moment in place of the old.
    if (moments != s.moments) {
        s.moments = moments;
        for (const std::shared_ptr<Reader>& r : s.readers) {
            if (r->showing == 0) continue;
            r->datagram.reset();
            r->introduction = introduction(s, *r, true);
            if (r->introduction.empty()) {
                // Its sender has nothing by the new moment: an empty minute clears the page.
                s.history->count = 0;
                r->introduction = history_event(r->showing, *s.history, s.angles);
            }
        }
    }
    auto& events = s.events;  // kept, with its room, from one take to the next
    events.clear();
    bool showing_changed = false;
    for (const std::shared_ptr<Reader>& r : s.readers) {
        const std::uint32_t wanted = r->chosen != 0 ? r->chosen : fallback;
        if (wanted != r->showing) {
            // A page on the default sender whose sender has gone from the board: the next one.
            // What it had not yet written of the one before is stale: replaced, not added to.
            showing_changed = true;
            r->showing = wanted;
            r->introduction = introduction(s, *r, false);
            r->datagram.reset();
        }
        const SenderLatest* l = find_sender(s, r->showing);
        if (l != nullptr && l->number != r->shown_number) {
            auto made = std::find_if(events.begin(), events.end(),
                                     [&](const auto& e) { return e.first == l->ip; });
            if (made == events.end()) {
                events.emplace_back(l->ip, new_event(s, *l));
                made = events.end() - 1;
            }
            r->datagram = made->second;
            r->datagram_fresh = true;
            r->shown_number = l->number;
        }
        if (s.health_number != health_before) r->health = s.last_health;
        deliver(s, r);  // may write, but closes no reader in here, so the list stays as it is
    }
    arm_pause(s, true);
    if (showing_changed) show_senders(s);
}

void wake(ServeHttp& s) {
    if (s.io.get_executor().running_in_this_thread()) {
        s.take_due = true;
    } else if (!s.wake_posted.exchange(true)) {
        asio::post(s.io, [&s] { take_board(s); });
    }
}

void take_if_due(ServeHttp& s) {
    if (std::exchange(s.take_due, false)) take_board(s);
}

void end_receiving(ServeHttp& s) {
    s.receive_failed = true;
    interrupt_wake();
}

void wait_for_datagrams(ServeHttp& s);

// The wait may tell of several datagrams at once, and of none again until another comes: all
// that wait are taken, a batch at a time. After a full turn the next is posted behind the work
// already due (pages, timers, connections), so a flood slows the pages but never starves them.
void take_datagrams(ServeHttp& s) {
    UdpWait got = UdpWait::Datagram;
    for (int n = 0; n < kTakeTurnReceives && got == UdpWait::Datagram; ++n) got = s.receive();
    if (got == UdpWait::Failed) {
        end_receiving(s);
        return;
    }
    take_if_due(s);
    if (got == UdpWait::Datagram) {
        asio::post(s.io, [&s] { take_datagrams(s); });
    } else {
        wait_for_datagrams(s);
    }
}

void wait_for_datagrams(ServeHttp& s) {
    s.datagrams.async_wait(asio::socket_base::wait_read, [&s](beast::error_code ec) {
        if (ec == asio::error::operation_aborted) return;
        if (ec) {
            end_receiving(s);
            return;
        }
        take_datagrams(s);
    });
}

void run_periodically(ServeHttp& s, std::chrono::nanoseconds after) {
    s.period_timer.expires_after(after);
    s.period_timer.async_wait([&s](beast::error_code ec) {
        if (ec) return;
        s.every_period();
        take_if_due(s);
        run_periodically(s, s.period);
    });
}

void tick_periodically(ServeHttp& s, std::chrono::nanoseconds after) {
    s.tick_timer.expires_after(after);
    s.tick_timer.async_wait([&s](beast::error_code ec) {
        if (ec) return;
        const bool going = s.playback.tick(now_ns());
        take_if_due(s);
        if (!going) {
            end_receiving(s);
            return;
        }
        tick_periodically(s, std::chrono::nanoseconds(s.playback.tick_ns));
    });
}

bool listen_on(ServeHttp& s, std::uint32_t ip, std::uint16_t port, std::string& error) {
    const tcp::endpoint endpoint(asio::ip::address_v4(ip), port);
    beast::error_code ec;
    s.acceptor.open(endpoint.protocol(), ec);
    // A descriptor or a SOCKET, whichever the system's type is, as the shells take it.
    if (!ec) reuse_listening_address(static_cast<std::uintptr_t>(s.acceptor.native_handle()));
    if (!ec) s.acceptor.bind(endpoint, ec);
    if (!ec) s.acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        error = "HTTP on " + endpoint.address().to_string() + ":" + std::to_string(port) + ": " +
                ec.message();
        return false;
    }
    s.port = s.acceptor.local_endpoint(ec).port();
    return true;
}

}  // namespace

void ServeHttpStop::operator()(ServeHttp* s) const {
    s->io.stop();
    if (s->thread.joinable()) s->thread.join();
    if (s->datagrams.is_open()) {
        // The socket is its owner's to close. Where it cannot be let go of, it closes here and
        // its owner is told so.
        beast::error_code ec;
        s->datagrams.release(ec);
        if (ec) s->datagrams_owner->open = false;
    }
    delete s;
}

ServeHttpPtr serve_http_start(std::uint32_t ip, std::uint16_t port, std::string& error,
                              AngleUnit angles, const std::vector<std::string>& host_names) {
    ServeHttpPtr server(new ServeHttp);
    server->angles = angles;
    server->latest.reserve(kSenderTableMax);
    if (!listen_on(*server, ip, port, error)) return nullptr;
    // Without the list, the addresses a request comes in on are taken one by one, as it comes.
    std::vector<UdpInterface> interfaces;
    std::string unlisted;
    if (!udp_interfaces(interfaces, unlisted)) {
        std::fprintf(stderr, "g1 serve: %s\n", unlisted.c_str());
    }
    std::vector<std::uint32_t> addresses;
    for (const UdpInterface& i : interfaces) addresses.push_back(i.ip);
    beast::error_code no_name;
    server->machine = this_machine(asio::ip::host_name(no_name), std::move(addresses), host_names);
    accept(*server);
    server->thread = std::thread([s = server.get()] { s->io.run(); });
    return server;
}

std::uint16_t serve_http_port(const ServeHttp& s) {
    return s.port;
}

bool serve_http_publish_datagram(ServeHttp& s, std::uint32_t from, const SenderSample& sample,
                                 std::int64_t arrival_ns) {
    if (!board_put(s.board, from, sample, arrival_ns)) return false;
    wake(s);
    return true;
}

std::uint64_t serve_http_turned_away(ServeHttp& s) {
    return board_turned_away(s.board);
}

std::size_t serve_http_sender_figures(ServeHttp& s, std::int64_t now_ns,
                                      std::span<SenderFigures, kSenderTableMax> out) {
    return board_figures(s.board, now_ns, out);
}

void serve_http_publish_links(ServeHttp& s, const std::vector<LinkFigures>& links) {
    metrics_put_links(s.metrics, links);
}

void serve_http_publish_health(ServeHttp& s, std::string event) {
    board_put_health(s.board, std::move(event));
    wake(s);
}

bool serve_http_receive(ServeHttp& s, UdpSocket& socket, std::function<UdpWait()> receive,
                        std::function<void()> every_period, std::int64_t period_ns,
                        std::string& error) {
    beast::error_code ec;
    s.datagrams.assign(asio::ip::udp::v4(),
                       static_cast<DatagramSocket::native_handle_type>(socket.handle), ec);
    if (ec) {
        error = "waiting for datagrams: " + ec.message();
        return false;
    }
    s.datagrams_owner = &socket;
    s.receive = std::move(receive);
    s.every_period = std::move(every_period);
    s.period = std::chrono::nanoseconds(period_ns);
    asio::post(s.io, [&s] {
        wait_for_datagrams(s);
        run_periodically(s, std::chrono::nanoseconds(0));
    });
    return true;
}

void serve_http_play(ServeHttp& s, ServeHttpPlayback playback) {
    // Set on the I/O thread, whose requests use them from then on.
    asio::post(s.io, [&s, playback = std::move(playback)] {
        s.every_period = playback.every_period;
        s.period = std::chrono::nanoseconds(playback.period_ns);
        s.playback = playback;
        run_periodically(s, std::chrono::nanoseconds(0));
        tick_periodically(s, std::chrono::nanoseconds(0));
    });
}

void serve_http_publish_playback(ServeHttp& s, std::string event) {
    const auto shared = std::make_shared<const std::string>(std::move(event));
    const std::vector<std::shared_ptr<Reader>> readers = s.readers;  // deliver may close one
    for (const std::shared_ptr<Reader>& r : readers) {
        r->playback = shared;
        deliver(s, r);
    }
}

bool serve_http_publish_moment(ServeHttp& s, std::uint32_t from, const SenderHistory& history,
                               const SenderSample* latest, std::int64_t arrival_ns) {
    if (!board_put_moment(s.board, from, history, latest, arrival_ns)) return false;
    wake(s);
    return true;
}

bool serve_http_receiving(ServeHttp& s, int timeout_ms) {
    // A wake may be left over from a receive that ended before anyone waited: look again.
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!s.receive_failed && !interrupt_requested()) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !interrupt_wait(static_cast<int>(left.count()))) break;
    }
    return !s.receive_failed;
}

ServeHttpSummary serve_http_stop(ServeHttpPtr server) {
    server->io.stop();
    if (server->thread.joinable()) server->thread.join();
    ServeHttpSummary summary = server->summary;
    for (std::size_t i = 0; i < server->refusals.unlogged.size(); ++i) {
        if (server->refusals.unlogged[i] == 0) continue;
        log_line(tool_log(), "g1 serve: refused %s (%llu since the last such line)", kRefused[i],
                 static_cast<unsigned long long>(server->refusals.unlogged[i]));
    }
    server.reset();
    return summary;
}
