// The HTTP server of `g1 serve` on Boost.Beast. One I/O thread owns every connection and every
// reader. The receiver leaves each sender's latest datagram on the senders' board and wakes the
// thread with at most one posted handler at a time; the thread takes what changed.
#include "tools/g1/serve_http.h"

#include "tools/common/udp.h"
#include "tools/g1/listening_socket.h"
#include "tools/g1/log_queue.h"
#include "tools/g1/serve_event.h"
#include "tools/g1/serve_pacer.h"
#include "tools/g1/web_assets.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
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
#include <thread>
#include <vector>

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace {

constexpr std::string_view kEventsPath = "/events";
constexpr std::string_view kIndexPath = "/index.html";
constexpr std::size_t kMaxReaders = 64;  // beyond, a page is told to come back later
constexpr auto kRequestTimeout = std::chrono::seconds(10);
constexpr std::int64_t kStalledNs = 3'000'000'000;  // a write pending this long: the page sleeps
constexpr auto kWatchPeriod = std::chrono::milliseconds(250);
// A reader's kernel send buffer: about a second of events. A page that falls further behind is
// coalesced or dropped rather than fed stale values.
constexpr int kReaderSendBuffer = 8 * 1024;
constexpr std::string_view kRetry = "retry: 1000\n\n";      // how soon a page reconnects
constexpr std::string_view kPolicy = "default-src 'self'";  // the page loads nothing from elsewhere

std::int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

struct DatagramEvent {
    std::string text;
    std::int64_t arrival_ns;
};

struct Reader {
    explicit Reader(tcp::socket s) : socket(std::move(s)), pace_timer(socket.get_executor()) {}
    tcp::socket socket;
    std::string peer;
    std::uint32_t chosen = 0;        // the sender the page asked for; 0: the default one
    std::uint32_t showing = 0;       // the sender of the events it gets
    std::uint64_t shown_number = 0;  // that sender's latest datagram handed to it
    std::string greeting;            // what a new reader gets first
    std::shared_ptr<const DatagramEvent> datagram;  // the latest not yet written
    std::shared_ptr<const std::string> health;
    std::shared_ptr<const DatagramEvent> writing_datagram;  // kept alive while written
    std::shared_ptr<const std::string> writing_health;
    std::string writing_greeting;
    bool writing = false;
    std::int64_t write_started_ns = 0;
    EventPacer pacer;
    asio::steady_timer pace_timer;
    bool pace_armed = false;
    bool closed = false;
    std::array<char, 512> discard{};  // a reader has nothing more to say; read and dropped
};

struct Connection {
    explicit Connection(tcp::socket s) : stream(std::move(s)) {}
    beast::tcp_stream stream;
    beast::flat_buffer buffer;
    http::request<http::empty_body> request;
};

std::string peer_text(const tcp::socket& socket) {
    beast::error_code ec;
    const tcp::endpoint peer = socket.remote_endpoint(ec);
    return ec ? std::string("a page")
              : peer.address().to_string() + ":" + std::to_string(peer.port());
}

}  // namespace

struct ServeHttp {
    asio::io_context io{1};
    asio::executor_work_guard<asio::io_context::executor_type> work{io.get_executor()};
    tcp::acceptor acceptor{io};
    asio::steady_timer watch{io};
    std::vector<std::shared_ptr<Reader>> readers;
    AngleUnit angles = AngleUnit::Radians;
    SenderBoard board;                     // written by the receiver, under its lock
    std::atomic<bool> wake_posted{false};  // a take is posted and has not yet begun
    std::vector<SenderLatest> latest;      // the board as last taken
    std::string health_text;
    std::uint64_t health_number = 0;
    std::unique_ptr<SenderHistory> history = std::make_unique<SenderHistory>();  // a new page's
    std::shared_ptr<const std::string> last_health;
    ServeHttpSummary summary;
    std::uint16_t port = 0;
    std::thread thread;
};

namespace {

void close_reader(ServeHttp& s, const std::shared_ptr<Reader>& r, const char* why) {
    if (r->closed) return;
    r->closed = true;
    beast::error_code ignored;
    r->socket.shutdown(tcp::socket::shutdown_both, ignored);
    r->socket.close(ignored);
    r->pace_timer.cancel();
    std::erase(s.readers, r);
    log_line(tool_log(), "g1 serve: page %s %s (%zu open)", r->peer.c_str(), why, s.readers.size());
}

void deliver(ServeHttp& s, const std::shared_ptr<Reader>& r);

void on_written(ServeHttp& s, const std::shared_ptr<Reader>& r, beast::error_code ec) {
    r->writing = false;
    if (ec) {
        close_reader(s, r, "left");
        return;
    }
    if (r->writing_datagram) {
        const std::int64_t us = (now_ns() - r->writing_datagram->arrival_ns) / 1000;
        LatencyHistogram& h = s.summary.latency;
        const auto last = static_cast<std::int64_t>(h.us.size() - 1);
        ++h.us[static_cast<std::size_t>(std::clamp<std::int64_t>(us, 0, last))];
        ++h.count;
    }
    r->writing_datagram.reset();
    r->writing_health.reset();
    r->writing_greeting.clear();
    deliver(s, r);
}

// A reader that is not yet due gets its pending events with the next datagram after it is due,
// so a faster stream is thinned to whole datagrams written as they arrive, without delay. Only
// if the stream pauses does the timer write them, an interval after they were due.
void wait_for_pace(ServeHttp& s, const std::shared_ptr<Reader>& r, std::int64_t now) {
    if (r->pace_armed) return;
    r->pace_armed = true;
    r->pace_timer.expires_after(
        std::chrono::nanoseconds(pacer_wait_ns(r->pacer, now) + kWriteIntervalNs));
    r->pace_timer.async_wait([&s, r](beast::error_code ec) {
        r->pace_armed = false;
        if (!ec) deliver(s, r);
    });
}

// Writes what is pending, unless a write is under way (its end brings the next one).
void deliver(ServeHttp& s, const std::shared_ptr<Reader>& r) {
    if (r->closed || r->writing) return;
    const std::int64_t now = now_ns();
    // Only datagrams are paced; the greeting and the twice-a-second health go at once, so they
    // never take a datagram's turn.
    const bool datagram_due = r->datagram && pacer_take(r->pacer, now);
    if (r->datagram && !datagram_due) wait_for_pace(s, r, now);
    if (!datagram_due && !r->health && r->greeting.empty()) return;
    r->writing = true;
    r->write_started_ns = now;
    r->writing_greeting = std::move(r->greeting);
    r->greeting.clear();
    r->writing_health = std::move(r->health);
    if (datagram_due) r->writing_datagram = std::move(r->datagram);
    std::array<asio::const_buffer, 3> buffers{
        asio::buffer(r->writing_greeting),
        r->writing_health ? asio::buffer(*r->writing_health) : asio::const_buffer(),
        r->writing_datagram ? asio::buffer(r->writing_datagram->text) : asio::const_buffer(),
    };
    asio::async_write(r->socket, buffers,
                      [&s, r](beast::error_code ec, std::size_t) { on_written(s, r, ec); });
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

void watch_readers(ServeHttp& s) {
    s.watch.expires_after(kWatchPeriod);
    s.watch.async_wait([&s](beast::error_code ec) {
        if (ec) return;
        const std::int64_t now = now_ns();
        const std::vector<std::shared_ptr<Reader>> readers = s.readers;
        for (const std::shared_ptr<Reader>& r : readers) {
            if (r->writing && now - r->write_started_ns > kStalledNs) {
                ++s.summary.dropped;
                close_reader(s, r, "dropped: it took no data for 3 s");
            }
        }
        watch_readers(s);
    });
}

const SenderLatest* find_sender(const ServeHttp& s, std::uint32_t ip) {
    for (const SenderLatest& l : s.latest) {
        if (l.ip == ip) return &l;
    }
    return nullptr;
}

std::string event_of(const ServeHttp& s, const SenderLatest& l) {
    return datagram_event(kDatagramEvent, l.number,
                          display_texts(l.sample.fields, l.sample.time_us, s.angles), l.ip);
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
    r.showing = r.chosen != 0 ? r.chosen : default_sender(s.latest);
    return text + introduction(s, r, true);
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

void start_reader(ServeHttp& s, const std::shared_ptr<Connection>& c) {
    auto response =
        std::make_shared<http::response<http::empty_body>>(http::status::ok, c->request.version());
    response->set(http::field::content_type, "text/event-stream");
    response->set(http::field::cache_control, "no-cache");
    response->keep_alive(false);  // the stream ends when the connection does
    auto serializer = std::make_shared<http::response_serializer<http::empty_body>>(*response);
    c->stream.expires_never();
    http::async_write_header(
        c->stream, *serializer, [&s, c, response, serializer](beast::error_code ec, std::size_t) {
            if (ec) return;
            auto r = std::make_shared<Reader>(c->stream.release_socket());
            beast::error_code ignored;
            r->socket.set_option(tcp::no_delay(true), ignored);
            r->socket.set_option(asio::socket_base::send_buffer_size(kReaderSendBuffer), ignored);
            r->peer = peer_text(r->socket);
            r->chosen = chosen_sender(c->request.target());
            r->greeting = greeting_for(s, *r);
            s.readers.push_back(r);
            ++s.summary.readers;
            log_line(tool_log(), "g1 serve: page %s opened the stream (%zu open)", r->peer.c_str(),
                     s.readers.size());
            deliver(s, r);
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

void read_request(ServeHttp& s, const std::shared_ptr<Connection>& c);

template <class Body>
void send(ServeHttp& s, const std::shared_ptr<Connection>& c,
          std::shared_ptr<http::response<Body>> response) {
    response->set(http::field::server, "g1 serve");
    response->set("X-Content-Type-Options", "nosniff");
    response->keep_alive(c->request.keep_alive());
    response->prepare_payload();
    http::async_write(c->stream, *response, [&s, c, response](beast::error_code ec, std::size_t) {
        if (ec || !response->keep_alive()) {
            beast::error_code ignored;
            c->stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
            return;
        }
        read_request(s, c);
    });
}

void send_text(ServeHttp& s, const std::shared_ptr<Connection>& c, http::status status,
               std::string text) {
    auto response =
        std::make_shared<http::response<http::string_body>>(status, c->request.version());
    response->set(http::field::content_type, "text/plain; charset=utf-8");
    response->body() = std::move(text);
    send(s, c, std::move(response));
}

void answer(ServeHttp& s, const std::shared_ptr<Connection>& c) {
    const http::verb method = c->request.method();
    if (method != http::verb::get && method != http::verb::head) {
        send_text(s, c, http::status::method_not_allowed, "g1 serve answers GET only\n");
        return;
    }
    std::string_view target = c->request.target();
    target = target.substr(0, target.find('?'));
    if (target == kEventsPath) {
        if (s.readers.size() >= kMaxReaders) {
            send_text(s, c, http::status::service_unavailable, "too many pages are open\n");
        } else {
            start_reader(s, c);
        }
        return;
    }
    const WebAsset* asset = find_asset(target);
    if (asset == nullptr) {
        send_text(s, c, http::status::not_found, "no such page\n");
        return;
    }
    auto response = std::make_shared<http::response<http::span_body<const char>>>(
        http::status::ok, c->request.version());
    response->set(http::field::content_type, asset->content_type);
    response->set(http::field::cache_control, "no-cache");
    response->set("Content-Security-Policy", kPolicy);
    if (method == http::verb::get) {
        response->body() = {asset->body.data(), asset->body.size()};
    }
    send(s, c, std::move(response));
}

void read_request(ServeHttp& s, const std::shared_ptr<Connection>& c) {
    c->request = {};
    c->stream.expires_after(kRequestTimeout);
    http::async_read(c->stream, c->buffer, c->request, [&s, c](beast::error_code ec, std::size_t) {
        if (!ec) answer(s, c);
    });
}

void accept(ServeHttp& s) {
    s.acceptor.async_accept([&s](beast::error_code ec, tcp::socket socket) {
        if (ec == asio::error::operation_aborted) return;
        if (!ec) read_request(s, std::make_shared<Connection>(std::move(socket)));
        accept(s);
    });
}

// Takes what the receiver left on the board and hands each reader its sender's latest datagram
// (one event per sender, shared by its readers) and the health if it is new.
void take_board(ServeHttp& s) {
    s.wake_posted = false;  // before taking: what is put from now on posts another take
    const std::uint64_t health_before = s.health_number;
    board_take(s.board, s.latest, s.health_text, s.health_number);
    if (s.health_number != health_before) {
        s.last_health = std::make_shared<const std::string>(s.health_text);
    }
    const std::uint32_t fallback = default_sender(s.latest);
    std::vector<std::pair<std::uint32_t, std::shared_ptr<const DatagramEvent>>> events;
    for (const std::shared_ptr<Reader>& r : s.readers) {
        const std::uint32_t wanted = r->chosen != 0 ? r->chosen : fallback;
        if (wanted != r->showing) {
            // A page on the default sender whose sender has gone from the board: the next one.
            r->showing = wanted;
            r->greeting += introduction(s, *r, false);
            r->datagram.reset();
        }
        const SenderLatest* l = find_sender(s, r->showing);
        if (l != nullptr && l->number != r->shown_number) {
            auto made = std::find_if(events.begin(), events.end(),
                                     [&](const auto& e) { return e.first == l->ip; });
            if (made == events.end()) {
                events.emplace_back(l->ip, std::make_shared<const DatagramEvent>(
                                               DatagramEvent{event_of(s, *l), l->arrival_ns}));
                made = events.end() - 1;
            }
            r->datagram = made->second;
            r->shown_number = l->number;
        }
        if (s.health_number != health_before) r->health = s.last_health;
        deliver(s, r);  // completes later, never in here, so the list stays as it is
    }
}

void wake(ServeHttp& s) {
    if (!s.wake_posted.exchange(true)) asio::post(s.io, [&s] { take_board(s); });
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

std::int64_t latency_percentile_us(const LatencyHistogram& h, double fraction) {
    if (h.count == 0) return 0;
    const auto wanted = static_cast<std::uint64_t>(fraction * static_cast<double>(h.count));
    std::uint64_t seen = 0;
    for (std::size_t us = 0; us < h.us.size(); ++us) {
        seen += h.us[us];
        if (seen > wanted || seen == h.count) return static_cast<std::int64_t>(us);
    }
    return static_cast<std::int64_t>(h.us.size() - 1);
}

void ServeHttpStop::operator()(ServeHttp* s) const {
    s->io.stop();
    if (s->thread.joinable()) s->thread.join();
    delete s;
}

ServeHttpPtr serve_http_start(std::uint32_t ip, std::uint16_t port, std::string& error,
                              AngleUnit angles) {
    ServeHttpPtr server(new ServeHttp);
    server->angles = angles;
    server->latest.reserve(kSenderTableMax);
    if (!listen_on(*server, ip, port, error)) return nullptr;
    accept(*server);
    watch_readers(*server);
    server->thread = std::thread([s = server.get()] { s->io.run(); });
    return server;
}

std::uint16_t serve_http_port(const ServeHttp& s) {
    return s.port;
}

void serve_http_publish_datagram(ServeHttp& s, std::uint32_t from, const SenderSample& sample,
                                 std::int64_t arrival_ns) {
    board_put(s.board, from, sample, arrival_ns);
    wake(s);
}

std::size_t serve_http_sender_figures(ServeHttp& s, std::int64_t now_ns,
                                      std::span<SenderFigures, kSenderTableMax> out) {
    return board_figures(s.board, now_ns, out);
}

void serve_http_publish_health(ServeHttp& s, std::string event) {
    board_put_health(s.board, std::move(event));
    wake(s);
}

ServeHttpSummary serve_http_stop(ServeHttpPtr server) {
    server->io.stop();
    if (server->thread.joinable()) server->thread.join();
    ServeHttpSummary summary = server->summary;
    server.reset();
    return summary;
}
