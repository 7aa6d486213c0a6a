// The web side of `g1 serve` over real TCP connections on 127.0.0.1: the page's files, the
// event stream, and a reader that stops reading.
#include "tools/g1/serve_http.h"

#include "tools/common/udp.h"
#include "tools/g1/serve_event.h"

#include <gtest/gtest.h>
#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>

#include <atomic>
#include <chrono>
#include <thread>

namespace asio = boost::asio;
namespace http = boost::beast::http;
using tcp = asio::ip::tcp;
using namespace std::chrono_literals;

namespace {

struct Server {
    Server() {
        std::string error;
        server = serve_http_start(kLoopbackIp, 0, error);
        EXPECT_TRUE(server) << error;
    }
    ServeHttpPtr server;
    std::uint16_t port() const { return serve_http_port(*server); }
};

std::int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

http::response<http::string_body> get(std::uint16_t port, const char* target) {
    asio::io_context io;
    tcp::socket socket(io);
    socket.connect({asio::ip::address_v4::loopback(), port});
    http::request<http::empty_body> request(http::verb::get, target, 11);
    request.set(http::field::host, "127.0.0.1");
    request.keep_alive(false);
    http::write(socket, request);
    boost::beast::flat_buffer buffer;
    http::response<http::string_body> response;
    http::read(socket, buffer, response);
    return response;
}

// A datagram of 127.0.0.1 whose velocity x is `n` thousandths.
void publish(ServeHttp& server, std::int32_t n) {
    SenderSample sample;
    sample.fields[1] = n;
    serve_http_publish_datagram(server, kLoopbackIp, sample, now_ns());
}

// A reader of /events on a plain socket; `receive_buffer` set before connecting, if given.
struct StreamReader {
    StreamReader(std::uint16_t port, int receive_buffer = 0) : socket(io) {
        socket.open(tcp::v4());
        if (receive_buffer > 0) {
            socket.set_option(asio::socket_base::receive_buffer_size(receive_buffer));
        }
        socket.connect({asio::ip::address_v4::loopback(), port});
        asio::write(
            socket,
            asio::buffer(std::string_view("GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")));
    }
    // Reads until `text` has come or the time is up; everything read stays in `received`.
    bool read_until(std::string_view text, std::chrono::milliseconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (received.find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() > end || !read_some()) return false;
        }
        return true;
    }
    bool read_some() {
        char chunk[65536];
        boost::system::error_code ec;
        socket.non_blocking(true);
        const std::size_t n = socket.read_some(asio::buffer(chunk), ec);
        if (ec == asio::error::would_block) {
            std::this_thread::sleep_for(1ms);
            return true;
        }
        if (ec) return false;
        received.append(chunk, n);
        return true;
    }
    asio::io_context io;
    tcp::socket socket;
    std::string received;
};

std::size_t count_of(const std::string& text, std::string_view what) {
    std::size_t count = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++count;
    }
    return count;
}

}  // namespace

TEST(ServeHttp, ServesThePageItsScriptAndStyleAndNothingElse) {
    Server s;
    const auto page = get(s.port(), "/");
    EXPECT_EQ(page.result(), http::status::ok);
    EXPECT_EQ(page[http::field::content_type], "text/html; charset=utf-8");
    EXPECT_EQ(page["Content-Security-Policy"], "default-src 'self'");
    EXPECT_NE(page.body().find("data-stat=\"state\""), std::string::npos);
    EXPECT_EQ(get(s.port(), "/app.js?v=1")[http::field::content_type],
              "text/javascript; charset=utf-8");
    EXPECT_EQ(get(s.port(), "/style.css").result(), http::status::ok);
    EXPECT_EQ(get(s.port(), "/../etc/passwd").result(), http::status::not_found);
}

TEST(ServeHttp, NewReaderGetsTheFieldsAndTheLatestValuesThenEveryNewDatagram) {
    Server s;
    publish(*s.server, 1);
    serve_http_publish_health(*s.server, health_event({}, AngleUnit::Radians, 50010));
    // The server's one I/O thread takes what was handed to it before the connection it accepts
    // after: the reader's greeting already holds the datagram.
    StreamReader reader(s.port());
    ASSERT_TRUE(reader.read_until("event: last\ndata: {\"n\":1,", 2s)) << reader.received;
    EXPECT_NE(reader.received.find("Content-Type: text/event-stream"), std::string::npos);
    EXPECT_NE(reader.received.find("event: health\n"), std::string::npos);
    // The field table comes before any values: the page builds its rows from it.
    EXPECT_LT(reader.received.find("event: fields\n"), reader.received.find("event: health\n"));
    publish(*s.server, 2);
    EXPECT_TRUE(reader.read_until("event: datagram\ndata: {\"n\":2,", 2s)) << reader.received;
    const ServeHttpSummary summary = serve_http_stop(std::move(s.server));
    EXPECT_EQ(summary.readers, 1u);
    EXPECT_EQ(summary.dropped, 0u);
    EXPECT_EQ(summary.latency.count, 1u);  // the datagram written as it came, not the greeting
}

TEST(ServeHttp, ReaderThatStopsReadingIsDroppedWhileTheOthersGoOn) {
    Server s;
    StreamReader sleeper(s.port(), 4096);
    StreamReader awake(s.port());
    ASSERT_TRUE(sleeper.read_until("retry:", 2s));  // then it reads no more
    ASSERT_TRUE(awake.read_until("retry:", 2s));
    std::atomic<bool> publishing{true};
    std::thread sender([&] {
        // At 100 Hz, paced to 60 events a second, the sleeper's buffers fill within two seconds.
        for (std::int32_t n = 1; publishing; ++n) {
            publish(*s.server, n);
            std::this_thread::sleep_for(10ms);
        }
    });
    // Paced at 60 a second, this many events span the sleeper's filling, its 3 s of grace, and
    // then some.
    constexpr std::size_t kEventsPastTheDrop = 8 * 60;
    const auto give_up = std::chrono::steady_clock::now() + 60s;
    std::size_t events = 0;
    while (events < kEventsPastTheDrop && std::chrono::steady_clock::now() < give_up) {
        const std::size_t scanned = awake.received.size();
        if (!awake.read_some()) break;
        events += count_of(awake.received.substr(scanned), "event: datagram");
    }
    publishing = false;
    sender.join();
    const ServeHttpSummary summary = serve_http_stop(std::move(s.server));
    EXPECT_EQ(summary.dropped, 1u);
    EXPECT_GE(events, kEventsPastTheDrop);
}
