// The limit that `g1 serve` is measured against (bench/serve_bench.sh): the least a receiver can
// do to get each datagram to N stream readers. It takes each datagram and writes one ready-made
// event of the size of serve's to every reader, one write each: no parsing, no JSON, no second
// thread. It times, as serve does, from just after the receive to each event written, and on
// SIGINT prints serve's closing figures in serve's words, so the script reads both alike.
// With --calibrate it prints instead what a system call, such a write and a thread's wake-up
// cost on this machine, and ends.
// Usage: serve_limit UDP_PORT HTTP_PORT EVENT_BYTES | serve_limit --calibrate EVENT_BYTES
#include "tools/g1/sinks/serve/latency_histogram.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

constexpr std::string_view kName = "serve limit";
constexpr std::string_view kRequestEnd = "\r\n\r\n";
constexpr std::string_view kStreamHeader =
    "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-cache\r\n"
    "Connection: close\r\n\r\n";
constexpr std::string_view kEventStart = "event: datagram\ndata: {\"pad\":\"";
constexpr std::string_view kEventEnd = "\"}\n\n";
constexpr int kReaderSendBuffer = 8 * 1024;  // as serve sets it
constexpr int kCalibrationCalls = 20000;
constexpr int kPacedWakeUps = 120;
constexpr long kPacedPerSecond = 60;
constexpr std::size_t kDatagramBytes = 2048;
constexpr std::size_t kRequestBytes = 4096;

volatile sig_atomic_t interrupted = 0;

std::int64_t now_ns() {
    timespec t;
    ::clock_gettime(CLOCK_MONOTONIC, &t);  // the clock of serve's steady_clock
    return std::int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec;
}

sockaddr_in loopback(std::uint16_t port, bool any) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(any ? INADDR_ANY : INADDR_LOOPBACK);
    return a;
}

int open_bound(int type, std::uint16_t port, bool any) {
    const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const sockaddr_in a = loopback(port, any);
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 ||
        (type == SOCK_STREAM && ::listen(fd, 128) != 0)) {
        std::perror("serve limit: socket");
        std::exit(1);
    }
    return fd;
}

void set_reader_options(int fd) {
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kReaderSendBuffer, sizeof kReaderSendBuffer);
}

std::int64_t cpu_ns(clockid_t clock) {
    timespec t;
    ::clock_gettime(clock, &t);
    return std::int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec;
}

// Medians, so that the calls during which another program had the core do not count.
double median_us(std::vector<std::int64_t>& ns) {
    std::ranges::nth_element(ns, ns.begin() + static_cast<std::ptrdiff_t>(ns.size() / 2));
    return static_cast<double>(ns[ns.size() / 2]) / 1000;
}

struct HandOver {
    double round_trip_us = 0;  // median, wall time
    double cpu_us = 0;         // mean CPU time of the process per hand-over
};

// Two threads pass a byte back and forth through two pipes, each sleeping in its read: every
// pass is a write, a wake-up and a read, back to back.
HandOver hand_over() {
    int there[2];
    int back[2];
    if (::pipe(there) != 0 || ::pipe(back) != 0) return {};
    std::thread echo([&] {
        char byte;
        for (int i = 0; i < kCalibrationCalls; ++i) {
            if (::read(there[0], &byte, 1) != 1 || ::write(back[1], &byte, 1) != 1) break;
        }
    });
    std::vector<std::int64_t> trips;
    const std::int64_t cpu_start = cpu_ns(CLOCK_PROCESS_CPUTIME_ID);
    char byte = 'g';
    for (int i = 0; i < kCalibrationCalls; ++i) {
        const std::int64_t start = now_ns();
        if (::write(there[1], &byte, 1) != 1 || ::read(back[0], &byte, 1) != 1) break;
        trips.push_back(now_ns() - start);
    }
    const std::int64_t cpu = cpu_ns(CLOCK_PROCESS_CPUTIME_ID) - cpu_start;
    echo.join();
    for (const int fd : {there[0], there[1], back[0], back[1]}) ::close(fd);
    if (trips.empty()) return {};
    return {median_us(trips), static_cast<double>(cpu) / 1000 / (2.0 * kCalibrationCalls)};
}

// The CPU time a thread spends per wake-up when it is woken at a datagram's pace, 60 times a
// second, sleeping in a read in between (as a receiver does): its own CPU clock over the run.
double paced_wake_up_us() {
    int wake[2];
    if (::pipe(wake) != 0) return 0;
    std::int64_t spent = 0;
    std::thread sleeper([&] {
        const std::int64_t start = cpu_ns(CLOCK_THREAD_CPUTIME_ID);
        char byte;
        for (int i = 0; i < kPacedWakeUps; ++i) {
            if (::read(wake[0], &byte, 1) != 1) break;
        }
        spent = cpu_ns(CLOCK_THREAD_CPUTIME_ID) - start;
    });
    const char byte = 'g';
    for (int i = 0; i < kPacedWakeUps; ++i) {
        const timespec period{0, 1'000'000'000 / kPacedPerSecond};
        ::nanosleep(&period, nullptr);
        if (::write(wake[1], &byte, 1) != 1) break;
    }
    sleeper.join();
    ::close(wake[0]);
    ::close(wake[1]);
    return static_cast<double>(spent) / 1000 / kPacedWakeUps;
}

// What the system costs here, apart from any server: a bare system call, one write of the event
// to a loopback TCP reader (its reading end drained after each, outside the timing), one
// hand-over to a sleeping thread, and a wake-up at a datagram's pace.
void print_calibration(const std::string& event) {
    std::vector<std::int64_t> calls;
    for (int i = 0; i < kCalibrationCalls; ++i) {
        const std::int64_t start = now_ns();
        ::syscall(SYS_getppid);
        calls.push_back(now_ns() - start);
    }

    const int listener = open_bound(SOCK_STREAM, 0, false);
    sockaddr_in a{};
    socklen_t length = sizeof a;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &length);
    const int writer = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::connect(writer, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        std::perror("serve limit: calibration");
        std::exit(1);
    }
    const int reader = ::accept(listener, nullptr, nullptr);
    set_reader_options(writer);
    std::vector<char> sink(event.size());
    std::vector<std::int64_t> writes;
    for (int i = 0; i < kCalibrationCalls; ++i) {
        const std::int64_t start = now_ns();
        const ssize_t wrote = ::write(writer, event.data(), event.size());
        writes.push_back(now_ns() - start);
        for (ssize_t left = wrote; left > 0;) {
            const ssize_t got = ::read(reader, sink.data(), static_cast<std::size_t>(left));
            if (got <= 0) break;
            left -= got;
        }
    }
    ::close(reader);
    ::close(writer);
    ::close(listener);
    const HandOver h = hand_over();
    std::printf(
        "one system call %.2f us; one write of a %zu-byte event to a loopback TCP reader %.2f us "
        "(medians of %d); one hand-over to a thread sleeping in a read, back to back: %.1f us, "
        "%.1f us of CPU; a thread woken %lld times a second from its read: %.1f us of its CPU "
        "per wake-up (mean of %d)\n",
        median_us(calls), event.size(), median_us(writes), kCalibrationCalls, h.round_trip_us / 2,
        h.cpu_us, static_cast<long long>(kPacedPerSecond), paced_wake_up_us(), kPacedWakeUps);
}

// A connection that has not yet sent its whole request, or a reader of the stream.
struct Peer {
    int fd = -1;
    std::string request;
    bool reading_stream = false;
};

void close_peer(Peer& p) {
    ::close(p.fd);
    p.fd = -1;
}

// Takes what the peer sent: a request up to its blank line, then nothing but its leaving.
void take_from(Peer& p) {
    std::array<char, kRequestBytes> buffer;
    const ssize_t got = ::read(p.fd, buffer.data(), buffer.size());
    if (got <= 0) {
        if (got == 0 || (errno != EAGAIN && errno != EINTR)) close_peer(p);
        return;
    }
    if (p.reading_stream) return;
    p.request.append(buffer.data(), static_cast<std::size_t>(got));
    if (p.request.find(kRequestEnd) == std::string::npos) {
        if (p.request.size() > kRequestBytes) close_peer(p);
        return;
    }
    if (::write(p.fd, kStreamHeader.data(), kStreamHeader.size()) !=
        static_cast<ssize_t>(kStreamHeader.size())) {
        close_peer(p);
        return;
    }
    p.reading_stream = true;
    set_reader_options(p.fd);
}

}  // namespace

int main(int argc, char** argv) {
    const bool calibrate = argc == 3 && std::string_view(argv[1]) == "--calibrate";
    if (argc != 4 && !calibrate) {
        std::fprintf(stderr,
                     "usage: serve_limit UDP_PORT HTTP_PORT EVENT_BYTES\n"
                     "       serve_limit --calibrate EVENT_BYTES\n");
        return 2;
    }
    const std::size_t framing = kEventStart.size() + kEventEnd.size();
    const auto event_bytes = std::max(framing, static_cast<std::size_t>(std::atol(argv[argc - 1])));
    std::string event(kEventStart);
    event.append(event_bytes - framing, 'x');
    event += kEventEnd;
    if (calibrate) {
        print_calibration(event);
        return 0;
    }
    const auto udp_port = static_cast<std::uint16_t>(std::atoi(argv[1]));
    const auto http_port = static_cast<std::uint16_t>(std::atoi(argv[2]));

    struct sigaction on_interrupt {};
    on_interrupt.sa_handler = [](int) { interrupted = 1; };
    ::sigaction(SIGINT, &on_interrupt, nullptr);  // no SA_RESTART: poll returns at once
    ::signal(SIGPIPE, SIG_IGN);                   // a reader that left fails its write instead

    const int udp = open_bound(SOCK_DGRAM, udp_port, true);
    const int listener = open_bound(SOCK_STREAM, http_port, false);
    std::fprintf(stderr, "%.*s: events at http://127.0.0.1:%u/events\n",
                 static_cast<int>(kName.size()), kName.data(), static_cast<unsigned>(http_port));

    std::vector<Peer> peers;
    std::vector<pollfd> waits;
    LatencyHistogram latency;
    std::uint64_t datagrams = 0;
    std::uint64_t short_writes = 0;
    std::array<char, kDatagramBytes> datagram;
    while (!interrupted) {
        std::erase_if(peers, [](const Peer& p) { return p.fd < 0; });
        waits.assign({{udp, POLLIN, 0}, {listener, POLLIN, 0}});
        for (const Peer& p : peers) waits.push_back({p.fd, POLLIN, 0});
        if (::poll(waits.data(), waits.size(), -1) < 0) continue;  // EINTR: look at the flag
        if (waits[0].revents & POLLIN) {
            if (::recv(udp, datagram.data(), datagram.size(), 0) >= 0) {
                const std::int64_t arrival = now_ns();
                ++datagrams;
                for (const Peer& p : peers) {
                    if (!p.reading_stream) continue;
                    if (::write(p.fd, event.data(), event.size()) !=
                        static_cast<ssize_t>(event.size())) {
                        ++short_writes;
                        continue;
                    }
                    latency_note(latency, now_ns() - arrival);
                }
            }
        }
        if (waits[1].revents & POLLIN) {
            const int fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd >= 0) peers.push_back({fd, {}, false});
        }
        for (std::size_t i = 2; i < waits.size(); ++i) {
            if (waits[i].revents != 0) take_from(peers[i - 2]);
        }
    }
    std::fprintf(stderr,
                 "%.*s: %llu datagrams, %llu writes short or failed; arrival to event written: "
                 "p50 %lld us, p99 %lld us over %llu events\n",
                 static_cast<int>(kName.size()), kName.data(),
                 static_cast<unsigned long long>(datagrams),
                 static_cast<unsigned long long>(short_writes),
                 static_cast<long long>(latency_percentile_us(latency, 0.50)),
                 static_cast<long long>(latency_percentile_us(latency, 0.99)),
                 static_cast<unsigned long long>(latency.count));
    return 0;
}
