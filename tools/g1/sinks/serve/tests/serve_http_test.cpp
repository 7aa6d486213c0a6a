// The web side of `g1 serve` over real TCP connections on 127.0.0.1: the page's files, the
// event stream, and a reader that stops reading.
#include "tools/g1/sinks/serve/serve_http.h"

#include "tools/common/udp.h"
#include "tools/g1/sinks/serve/serve_admission.h"
#include "tools/g1/sinks/serve/serve_event.h"
#include "tools/g1/sinks/serve/serve_pacer.h"

#include <gtest/gtest.h>
#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>

#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <numeric>
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

std::size_t count_of(const std::string& text, std::string_view what) {
    std::size_t count = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++count;
    }
    return count;
}

constexpr std::string_view kStreamRequest =
    "GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: text/event-stream\r\n\r\n";

// A client on a plain socket that sends `request` (if any) from `from` (any of 127.0.0.0/8);
// `receive_buffer` set before connecting, if given.
struct StreamReader {
    StreamReader(std::uint16_t port, int receive_buffer = 0,
                 std::string_view request = kStreamRequest,
                 asio::ip::address_v4 from = asio::ip::address_v4::loopback())
        : socket(io) {
        socket.open(tcp::v4());
        if (receive_buffer > 0) {
            socket.set_option(asio::socket_base::receive_buffer_size(receive_buffer));
        }
        socket.bind({from, 0});
        socket.connect({asio::ip::address_v4::loopback(), port});
        if (!request.empty()) asio::write(socket, asio::buffer(request));
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
    bool read_until_size(std::size_t size, std::chrono::milliseconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (received.size() < size) {
            if (std::chrono::steady_clock::now() > end || !read_some()) return false;
        }
        return true;
    }
    bool read_until_count(std::string_view text, std::size_t count,
                          std::chrono::milliseconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (count_of(received, text) < count) {
            if (std::chrono::steady_clock::now() > end || !read_some()) return false;
        }
        return true;
    }
    // Reads until the server closes the connection; false if it has not within `limit`.
    bool read_to_end(std::chrono::milliseconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (read_some()) {
            if (std::chrono::steady_clock::now() > end) return false;
        }
        return true;
    }
    asio::io_context io;
    tcp::socket socket;
    std::string received;
};

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

// A datagram held back for the page's pace goes once the stream pauses, not late with the next
// health event, which would spend the turn of the datagram after it.
TEST(ServeHttp, AHeldDatagramWaitsForThePauseNotForTheHealth) {
    Server s;
    StreamReader reader(s.port());
    ASSERT_TRUE(reader.read_until("event: fields\n", 2s)) << reader.received;
    const auto written = [&](std::int32_t n, std::chrono::milliseconds limit) {
        return reader.read_until("\"n\":" + std::to_string(n) + ",", limit);
    };
    // Two datagrams 10 ms apart leave the page due again some 7 ms later: the third, sent at
    // once, is held (unless the machine was slow enough to make it due: then again).
    std::int32_t n = 0;
    for (int attempt = 0; attempt < 5; ++attempt) {
        std::this_thread::sleep_for(40ms);  // the pace's whole burst back
        publish(*s.server, ++n);
        ASSERT_TRUE(written(n, 2s)) << reader.received;
        std::this_thread::sleep_for(10ms);
        publish(*s.server, ++n);
        ASSERT_TRUE(written(n, 2s)) << reader.received;
        const std::int64_t held_at = now_ns();
        publish(*s.server, ++n);
        if (written(n, 8ms)) continue;  // due at once, not held
        // Due by now, the stream not paused: the health goes alone.
        serve_http_publish_health(*s.server, health_event({}, AngleUnit::Radians, 50010));
        ASSERT_TRUE(written(n, 2s)) << reader.received;
        EXPECT_GE(now_ns() - held_at, kWriteIntervalNs) << reader.received;
        return;
    }
    FAIL() << "no datagram was held in 5 attempts";
}

// Datagrams taken on the server's own thread: each reaches the page with the period's health,
// a failed receive ends receiving, and the socket is still its owner's afterwards.
TEST(ServeHttp, ReceivesOnItsOwnThreadUntilReceivingFails) {
    Server s;
    std::string error;
    UdpSocket in;
    UdpSocket out;
    ASSERT_TRUE(udp_open({kLoopbackIp, 0}, false, in, error)) << error;
    ASSERT_TRUE(udp_open({kLoopbackIp, 0}, false, out, error)) << error;
    const UdpAddress to = udp_local_address(in);
    std::array<char, 16> buffer{};
    std::int32_t taken = 0;
    const auto receive = [&] {
        UdpDatagram got;
        if (const UdpWait wait = udp_receive(in, buffer, got, 0); wait != UdpWait::Datagram) {
            return wait;
        }
        if (got.length != 1 || buffer[0] != 'd') return UdpWait::Failed;  // "stop" ends it
        publish(*s.server, ++taken);
        return UdpWait::Datagram;
    };
    const auto health = [&] {
        serve_http_publish_health(*s.server, health_event({}, AngleUnit::Radians, to.port));
    };
    ASSERT_TRUE(serve_http_receive(*s.server, in, receive, health, 50'000'000, error)) << error;
    StreamReader reader(s.port());
    ASSERT_TRUE(reader.read_until("event: health\n", 2s)) << reader.received;
    for (std::int32_t n = 1; n <= 3; ++n) {
        ASSERT_TRUE(udp_send(out, to, std::span<const char>("d", 1)));
        const std::string wanted = "\"n\":" + std::to_string(n) + ",";
        ASSERT_TRUE(reader.read_until(wanted, 2s)) << n << reader.received;
    }
    EXPECT_TRUE(serve_http_receiving(*s.server, 0));
    ASSERT_TRUE(udp_send(out, to, std::span<const char>("stop", 4)));
    EXPECT_FALSE(serve_http_receiving(*s.server, 2000));
    serve_http_stop(std::move(s.server));
    ASSERT_TRUE(in.open);
    ASSERT_TRUE(udp_send(out, to, std::span<const char>("d", 1)));
    UdpDatagram got;
    EXPECT_EQ(udp_receive(in, buffer, got, 2000), UdpWait::Datagram);
    udp_close(in);
    udp_close(out);
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

TEST(ServeHttp, AnswersKeepToTheirOwnSiteAndHeadOfTheStreamOpensNoReader) {
    Server s;
    const struct {
        std::string_view request, status;
        std::string has;
    } rows[] = {
        {"GET / HTTP/1.1\r\nHost: attacker.example:8080\r\n\r\n", "403", "--host NAME"},
        {"GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: */*\r\n\r\n", "406", ""},
        {"GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: text/event-stream\r\n"
         "Sec-Fetch-Site: cross-site\r\n\r\n",
         "403", ""},
        {"HEAD /events HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: text/event-stream\r\n"
         "Connection: close\r\n\r\n",
         "200", "text/event-stream\r\n"},
        // As its GET would, with the length of the file and nothing after the header.
        {"HEAD /style.css HTTP/1.1\r\nHost: LocalHost\r\nConnection: close\r\n\r\n", "200",
         "Content-Length: " + std::to_string(get(s.port(), "/style.css").body().size())},
        // Kept alive after the answer, then closed for waiting too long for a next request.
        {"GET /style.css HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", "200", "text/css"},
        // The metrics keep to the page's rules.
        {"GET /metrics HTTP/1.1\r\nHost: attacker.example\r\n\r\n", "403", "--host NAME"},
        {"GET /metrics HTTP/1.1\r\nHost: localhost:9\r\nConnection: close\r\n\r\n", "200",
         "text/plain; version=0.0.4"},
    };
    for (const auto& row : rows) {
        StreamReader client(s.port(), 0, row.request);
        EXPECT_TRUE(client.read_to_end(30s)) << row.request;
        EXPECT_TRUE(client.received.starts_with("HTTP/1.1 " + std::string(row.status)))
            << row.request << client.received;
        EXPECT_NE(client.received.find(row.has), std::string::npos) << client.received;
        EXPECT_NE(client.received.find("Cross-Origin-Resource-Policy: same-origin\r\n"),
                  std::string::npos);
        if (row.request.starts_with("HEAD")) {
            EXPECT_TRUE(client.received.ends_with("\r\n\r\n"));
        }
    }
    EXPECT_EQ(serve_http_stop(std::move(s.server)).readers, 0u);
}

TEST(ServeHttp, IdleConnectionsPastTheCapsGiveWayToAPage) {
    Server s;
    // From seven addresses of 127.0.0.0/8, this machine's own among them: more than the server
    // keeps in all and from any one address. They send nothing.
    constexpr std::uint32_t kAddresses = 7, kEach = kMaxConnectionsPerAddress + 12;
    asio::io_context io;
    std::vector<tcp::socket> idle;
    for (std::uint32_t i = 0; i < kAddresses * kEach; ++i) {
        idle.emplace_back(io).open(tcp::v4());
        idle.back().bind({asio::ip::address_v4(kLoopbackIp + i % kAddresses), 0});
        idle.back().connect({asio::ip::address_v4::loopback(), s.port()});
        idle.back().non_blocking(true);
    }
    StreamReader page(s.port());  // from 127.0.0.1, which has its share already
    publish(*s.server, 1);
    ASSERT_TRUE(page.read_until("data: {\"n\":1,", 5s)) << page.received;
    // Those the server made way with are closed; the page and the rest are within the caps.
    std::array<std::size_t, kAddresses> open{1};
    for (std::size_t i = 0; i < idle.size(); ++i) {
        char byte = 0;
        boost::system::error_code ec;
        idle[i].read_some(asio::buffer(&byte, 1), ec);
        open[i % kAddresses] += ec == asio::error::would_block;
    }
    for (const std::size_t count : open) EXPECT_LE(count, kMaxConnectionsPerAddress);
    EXPECT_LE(std::accumulate(open.begin(), open.end(), std::size_t{0}), kMaxConnections);
}

TEST(ServeHttp, ABurstOfStreamRequestsOpensNoMoreReadersThanTheCap) {
    Server s;
    constexpr std::size_t kTurnedAway = 36;
    std::vector<std::unique_ptr<StreamReader>> burst;
    for (std::uint32_t i = 0; i < kMaxReaders + kTurnedAway; ++i) {
        burst.push_back(std::make_unique<StreamReader>(s.port(), 0, "",
                                                       asio::ip::address_v4(kLoopbackIp + i % 4)));
    }
    for (auto& reader : burst) asio::write(reader->socket, asio::buffer(kStreamRequest));
    std::size_t opened = 0, refused = 0;
    for (auto& reader : burst) {
        ASSERT_TRUE(reader->read_until("\r\n\r\n", 5s)) << reader->received;
        opened += reader->received.starts_with("HTTP/1.1 200 OK\r\n");
        refused += reader->received.starts_with("HTTP/1.1 503 Service Unavailable\r\n");
    }
    EXPECT_EQ(opened, kMaxReaders);
    EXPECT_EQ(refused, kTurnedAway);
}

// Out of descriptors, with connections waiting to be accepted, the server pauses between tries.
TEST(ServeHttp, OutOfDescriptorsTheServerWaitsInsteadOfSpinning) {
    Server s;
    asio::io_context io;
    std::vector<tcp::socket> flood;
    for (int i = 0; i < 100; ++i) flood.emplace_back(io).open(tcp::v4());
    // A new descriptor takes the lowest free number: every one up to the last is in use.
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    const rlimit none_left{static_cast<rlim_t>(flood.back().native_handle()) + 1, limit.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &none_left), 0);
    for (tcp::socket& socket : flood) socket.connect({asio::ip::address_v4::loopback(), s.port()});
    // The process's CPU time over the span is the server's: this thread sleeps through it.
    const std::clock_t before = std::clock();
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(3s);
    const double used = static_cast<double>(std::clock() - before) / CLOCKS_PER_SEC;
    const std::chrono::duration<double> span = std::chrono::steady_clock::now() - start;
    setrlimit(RLIMIT_NOFILE, &limit);
    EXPECT_LT(used / span.count(), 0.2) << used << " s of CPU in " << span.count() << " s";
}

// A receive step that never runs out, as on a machine slower than its flood: the server takes
// it in batches, so the pages are answered, the health goes out and stopping ends it at once.
TEST(ServeHttp, AnEndlessFloodLeavesThePagesTheHealthAndTheStopTheirTurns) {
    Server s;
    std::string error;
    UdpSocket in;
    UdpSocket out;
    ASSERT_TRUE(udp_open({kLoopbackIp, 0}, false, in, error)) << error;
    ASSERT_TRUE(udp_open({kLoopbackIp, 0}, false, out, error)) << error;
    std::atomic<bool> flooding{true};
    std::int32_t taken = 0;
    ServeHttp* server = s.server.get();  // still there while it stops
    const auto receive = [&] {
        if (!flooding) return UdpWait::Failed;
        publish(*server, ++taken);
        return UdpWait::Datagram;
    };
    const auto health = [&] {
        serve_http_publish_health(*server, health_event({}, AngleUnit::Radians, 50010));
    };
    ASSERT_TRUE(serve_http_receive(*server, in, receive, health, 100'000'000, error)) << error;
    // One datagram wakes the wait; the step never reads it, and never runs dry.
    ASSERT_TRUE(udp_send(out, udp_local_address(in), std::span<const char>("d", 1)));
    // Bounds an old loop that never yields: the test then fails instead of hanging.
    std::thread backstop([&] {
        for (int i = 0; i < 100 && flooding; ++i) std::this_thread::sleep_for(100ms);
        flooding = false;
    });
    StreamReader file(s.port(), 0, "GET /style.css HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    EXPECT_TRUE(file.read_until("\r\n\r\n", 1s));
    StreamReader page(s.port());
    EXPECT_TRUE(page.read_until("event: datagram\n", 2s)) << page.received.substr(0, 200);
    const std::size_t healths = count_of(page.received, "event: health\n");
    EXPECT_TRUE(page.read_until_count("event: health\n", healths + 1, 2s)) << "no health";
    const auto stopping = std::chrono::steady_clock::now();
    serve_http_stop(std::move(s.server));
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, 2s);
    EXPECT_TRUE(flooding) << "the flood had to be ended for the server to answer";
    flooding = false;
    backstop.join();
    udp_close(in);
    udp_close(out);
}

// More senders than the table holds, in turn, while a page that does not read yet shows the
// default one: the first 64 keep their places, so its sender is set once and what waits for it
// does not grow with churn.
TEST(ServeHttp, ARoundRobinOfMoreSendersThanTheTableKeepsThePagesSender) {
    for (const std::uint32_t senders : {65u, 200u}) {
        Server s;
        StreamReader page(s.port(), 4096);
        ASSERT_TRUE(page.read_until("retry:", 2s));
        for (std::int64_t round = 0; round < 20; ++round) {
            for (std::uint32_t i = 0; i < senders; ++i) {
                SenderSample sample;
                sample.time_us = round * kHistoryStepUs;
                serve_http_publish_datagram(*s.server, 0x0a000001 + i, sample, now_ns());
            }
        }
        // Whatever waited is written once the page reads.
        page.read_until("never comes", 1500ms);
        EXPECT_EQ(count_of(page.received, "event: history\n"), 1u) << senders;
        EXPECT_EQ(count_of(page.received, "\"sender\":\"10.0.0.1\""),
                  count_of(page.received, "\"sender\":\""))
            << senders;
        // The others were turned away, every time, and counted.
        EXPECT_EQ(serve_http_turned_away(*s.server), (senders - kSenderTableMax) * 20);
    }
}

// Two addresses that hold every stream they can, and six whose connections ask for files and
// read none of the answers, leave room for a page from elsewhere.
TEST(ServeHttp, NoFewAddressesHoldEveryReaderOrEveryConnection) {
    Server s;
    std::vector<std::unique_ptr<StreamReader>> held;
    for (std::uint32_t i = 0; i < 2 * kMaxConnectionsPerAddress; ++i) {
        held.push_back(std::make_unique<StreamReader>(
            s.port(), 0, kStreamRequest, asio::ip::address_v4(kLoopbackIp + 1 + i % 2)));
    }
    for (auto& reader : held) ASSERT_TRUE(reader->read_until("\r\n\r\n", 5s));
    StreamReader page(s.port(), 0, kStreamRequest, asio::ip::address_v4(kLoopbackIp + 3));
    EXPECT_TRUE(page.read_until("retry:", 2s)) << page.received;
    held.clear();
    // Many requests at once, whose answers fill both sides' buffers, on every connection.
    std::string requests;
    for (int i = 0; i < 40; ++i) requests += "GET /app.js HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    for (std::uint32_t i = 0; i < 6 * kMaxConnectionsPerAddress; ++i) {
        held.push_back(std::make_unique<StreamReader>(
            s.port(), 4096, requests, asio::ip::address_v4(kLoopbackIp + 4 + i % 6)));
    }
    // Once they hold every place (a page is turned away), one gives way within a few seconds,
    // not the five a kept connection waits for its next request.
    const auto page_opens = [&] {  // and stays open, filling any place left
        auto late = std::make_unique<StreamReader>(s.port(), 0, kStreamRequest,
                                                   asio::ip::address_v4(kLoopbackIp + 10));
        if (!late->read_until("retry:", 500ms)) return false;
        held.push_back(std::move(late));
        return true;
    };
    for (auto& connection : held) connection->read_until("HTTP/1.1 200", 2s);  // answers begun
    bool opened = true;
    for (auto full_by = std::chrono::steady_clock::now() + 5s;
         opened && std::chrono::steady_clock::now() < full_by;) {
        opened = page_opens();  // the places of any that waited for a request, or closed
    }
    ASSERT_FALSE(opened);
    const auto give_up = std::chrono::steady_clock::now() + 4s;
    while (!opened && std::chrono::steady_clock::now() < give_up) {
        opened = page_opens();
        if (!opened) std::this_thread::sleep_for(100ms);  // refused: the next try
    }
    EXPECT_TRUE(opened);
}

// Reading a request and writing its answer have deadlines of their own: a peer that asks for
// more than the buffers hold and then pauses longer than a request may wait still gets all of it.
TEST(ServeHttp, AnAnswerHasItsOwnDeadlineAfterItsRequestsWait) {
    Server s;
    const std::string request = "GET /app.js HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    const std::size_t length = get(s.port(), "/app.js").body().size();
    StreamReader client(s.port(), 0, request);
    ASSERT_TRUE(client.read_until("\r\n\r\n", 2s));
    const std::size_t answer = client.received.find("\r\n\r\n") + 4 + length;
    // More than the system buffers (megabytes on loopback), so writing waits for the reader.
    constexpr std::size_t kRequests = 300;
    std::string more;
    for (std::size_t i = 0; i < kRequests; ++i) more += request;
    asio::write(client.socket, asio::buffer(more));
    std::this_thread::sleep_for(6s);  // past the 5 s a kept connection waits for a request
    client.read_until_size((kRequests + 1) * answer, 5s);
    EXPECT_EQ(client.received.size(), (kRequests + 1) * answer);
}
