// The HTTP server of `g1 serve` on Boost.Beast. One I/O thread owns every connection and every
// reader; the receiver reaches it only through posted handlers, so nothing here takes a lock.
#include "tools/g1/serve_http.h"

#include "tools/g1/listening_socket.h"
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
    std::string greeting;                           // what a new reader gets first
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
    std::shared_ptr<const DatagramEvent> last_datagram;
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
    std::fprintf(stderr, "g1 serve: page %s %s (%zu open)\n", r->peer.c_str(), why,
                 s.readers.size());
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

std::string greeting_for(const ServeHttp& s) {
    std::string text(kRetry);
    text += fields_event();
    if (s.last_health) text += *s.last_health;
    if (s.last_datagram) text += as_last_datagram_event(s.last_datagram->text);
    return text;
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
            r->greeting = greeting_for(s);
            s.readers.push_back(r);
            ++s.summary.readers;
            std::fprintf(stderr, "g1 serve: page %s opened the stream (%zu open)\n",
                         r->peer.c_str(), s.readers.size());
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

void publish_datagram(ServeHttp& s, const std::shared_ptr<const DatagramEvent>& event) {
    s.last_datagram = event;
    for (const std::shared_ptr<Reader>& r : s.readers) {
        r->datagram = event;
        deliver(s, r);  // completes later, never in here, so the list stays as it is
    }
}

void publish_health(ServeHttp& s, const std::shared_ptr<const std::string>& event) {
    s.last_health = event;
    for (const std::shared_ptr<Reader>& r : s.readers) {
        r->health = event;
        deliver(s, r);
    }
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

ServeHttpPtr serve_http_start(std::uint32_t ip, std::uint16_t port, std::string& error) {
    ServeHttpPtr server(new ServeHttp);
    if (!listen_on(*server, ip, port, error)) return nullptr;
    accept(*server);
    watch_readers(*server);
    server->thread = std::thread([s = server.get()] { s->io.run(); });
    return server;
}

std::uint16_t serve_http_port(const ServeHttp& s) {
    return s.port;
}

void serve_http_publish_datagram(ServeHttp& s, std::string event, std::int64_t arrival_ns) {
    auto shared =
        std::make_shared<const DatagramEvent>(DatagramEvent{std::move(event), arrival_ns});
    asio::post(s.io, [&s, shared] { publish_datagram(s, shared); });
}

void serve_http_publish_health(ServeHttp& s, std::string event) {
    auto shared = std::make_shared<const std::string>(std::move(event));
    asio::post(s.io, [&s, shared] { publish_health(s, shared); });
}

ServeHttpSummary serve_http_stop(ServeHttpPtr server) {
    server->io.stop();
    if (server->thread.joinable()) server->thread.join();
    ServeHttpSummary summary = server->summary;
    server.reset();
    return summary;
}
