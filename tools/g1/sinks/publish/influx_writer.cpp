// The InfluxDB writer: the receiving thread makes the points and queues them; a thread of its
// own takes the whole queue's front batch, writes it and retries it until it is taken or refused.
#include "tools/g1/sinks/publish/influx_writer.h"

#include "tools/g1/receive/sender_table.h"
#include "tools/g1/sinks/publish/influx_http.h"
#include "tools/g1/sinks/publish/influx_line.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <fstream>
#include <mutex>
#include <thread>

namespace {

constexpr auto kFirstBackoff = std::chrono::milliseconds(100);
constexpr auto kLastBackoff = std::chrono::seconds(2);
constexpr long kUnsupportedMediaType = 415;

struct InfluxSender {
    InfluxAnchor anchor;
    std::int64_t next_ns = 0;  // --rate: the next point's earliest arrival
};

struct Batch {
    std::string lines;
    std::size_t points = 0;
};

std::int64_t wall_clock_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

struct InfluxWriter {
    InfluxOptions options;
    InfluxHttpPtr http;
    // The receiving thread's own.
    SenderTable<InfluxSender> senders;
    std::string line;
    // Shared with the writing thread.
    std::mutex lock;
    std::condition_variable wake;
    std::deque<Batch> queue;
    std::size_t buffered = 0;  // points queued or being written
    bool idle = false;         // the writing thread waits for points
    bool closing = false;
    std::int64_t closing_by_ns = 0;
    std::string refusal;
    std::uint64_t written = 0, requests = 0, dropped = 0, retries = 0;
    std::thread thread;
};

void add_influx_options(CLI::App& command, InfluxOptions& o) {
    command.add_option("--influx", o.url,
                       "Write each datagram's values to InfluxDB at this write endpoint, "
                       "http://HOST:8086/write?db=NAME (at most --rate a second per sender "
                       "if given)");
    command.add_option("--influx-token-file", o.token_file,
                       "File whose first line is the InfluxDB token (Authorization: Token)");
}

namespace {

bool retryable(const InfluxReply& r) {
    return r.status == 0 || r.status >= 500 || r.status == 408 || r.status == 429;
}

std::string reply_text(const InfluxReply& r) {
    if (r.status == 0) return r.error;
    std::string body = r.body.substr(0, r.body.find('\n'));
    return "HTTP " + std::to_string(r.status) + (body.empty() ? "" : " " + body);
}

// Writes `b` until InfluxDB takes or refuses it, or the closing time is up. False: give up.
bool write_batch(InfluxWriter& w, const Batch& b, bool& gzip, bool& failing) {
    auto backoff = std::chrono::duration_cast<std::chrono::milliseconds>(kFirstBackoff);
    for (;;) {
        InfluxReply r = influx_http_post(*w.http, b.lines, gzip);
        if (r.status == kUnsupportedMediaType && gzip) {
            gzip = false;  // a server without gzip: the same batch again, plain
            continue;
        }
        std::unique_lock<std::mutex> hold(w.lock);
        ++w.requests;
        if (r.status >= 200 && r.status < 300) {
            if (failing)
                std::fprintf(stderr, "%s: writing to InfluxDB again\n", w.options.command.c_str());
            failing = false;
            w.written += b.points;
            return true;
        }
        if (!retryable(r)) {
            w.refusal = "InfluxDB at " + w.options.url + " refused the points: " + reply_text(r);
            return false;
        }
        if (!failing) {
            std::fprintf(stderr, "%s: cannot write to InfluxDB at %s (%s); trying again\n",
                         w.options.command.c_str(), w.options.url.c_str(), reply_text(r).c_str());
        }
        failing = true;
        ++w.retries;
        if (w.closing && receive_clock_ns() + backoff.count() * 1'000'000 > w.closing_by_ns) {
            return false;
        }
        w.wake.wait_for(hold, backoff);
        backoff = std::min(backoff * 2,
                           std::chrono::duration_cast<std::chrono::milliseconds>(kLastBackoff));
    }
}

void write_all(InfluxWriter& w) {
    bool gzip = true;
    bool failing = false;
    for (;;) {
        Batch b;
        {
            std::unique_lock<std::mutex> hold(w.lock);
            w.idle = true;
            w.wake.wait(hold, [&] { return !w.queue.empty() || w.closing; });
            w.idle = false;
            if (w.queue.empty()) return;
            b = std::move(w.queue.front());
            w.queue.pop_front();
        }
        const bool taken = write_batch(w, b, gzip, failing);
        std::lock_guard<std::mutex> hold(w.lock);
        w.buffered -= b.points;
        if (!taken) {
            w.dropped += b.points;
            return;
        }
    }
}

bool read_token(const std::string& path, std::string& token) {
    std::ifstream file(path, std::ios::binary);
    if (!file || !std::getline(file, token)) return false;
    while (!token.empty() && (token.back() == '\r' || token.back() == ' ')) token.pop_back();
    return !token.empty();
}

// Lets the thread write out the buffer, for at most kInfluxClosingNs, and waits for it.
void finish(InfluxWriter& w) {
    {
        std::lock_guard<std::mutex> hold(w.lock);
        w.closing = true;
        w.closing_by_ns = receive_clock_ns() + kInfluxClosingNs;
    }
    w.wake.notify_one();
    if (w.thread.joinable()) w.thread.join();
}

}  // namespace

InfluxWriterPtr influx_writer_start(const InfluxOptions& o, std::string& error) {
    std::string token;
    if (!o.token_file.empty() && !read_token(o.token_file, token)) {
        error = "cannot read the token file '" + o.token_file + "'";
        return nullptr;
    }
    InfluxWriterPtr w(new InfluxWriter);
    w->options = o;
    w->http = influx_http_open(o.url, token, error);
    if (!w->http) return nullptr;
    w->thread = std::thread([raw = w.get()] { write_all(*raw); });
    return w;
}

void influx_take(InfluxWriter& w, std::uint32_t sender, const Received& got, std::int64_t at_ns) {
    InfluxSender& s = sender_state(w.senders, sender);
    const std::int64_t time_ns = influx_time_ns(s.anchor, got.time_us, at_ns, wall_clock_ns());
    if (w.options.rate_hz > 0) {
        if (at_ns < s.next_ns) return;
        const auto period_ns = static_cast<std::int64_t>(1e9 / w.options.rate_hz);
        // On the rate's grid while datagrams come faster; a new grid after a pause, so no burst.
        s.next_ns = at_ns - s.next_ns >= period_ns ? at_ns + period_ns : s.next_ns + period_ns;
    }
    w.line.clear();
    influx_line(w.line, sender, display_texts(got.parsed.fields, got.time_us, w.options.angles),
                time_ns);
    std::lock_guard<std::mutex> hold(w.lock);
    if (w.buffered >= kInfluxBufferPoints) {
        ++w.dropped;
        return;
    }
    if (w.queue.empty() || w.queue.back().points >= kInfluxBatchPoints) w.queue.emplace_back();
    w.queue.back().lines += w.line;
    ++w.queue.back().points;
    ++w.buffered;
}

void influx_flush(InfluxWriter& w) {
    std::lock_guard<std::mutex> hold(w.lock);
    if (w.idle && !w.queue.empty()) w.wake.notify_one();
}

std::string influx_refusal(InfluxWriter& w) {
    std::lock_guard<std::mutex> hold(w.lock);
    return w.refusal;
}

void InfluxWriterStop::operator()(InfluxWriter* w) const {
    finish(*w);
    delete w;
}

std::string influx_writer_close(InfluxWriterPtr w) {
    InfluxWriter& raw = *w;
    finish(raw);
    const std::uint64_t left = raw.buffered;
    char text[256];
    std::snprintf(text, sizeof text,
                  "%s: wrote %llu points to InfluxDB in %llu requests, %llu retried; dropped %llu "
                  "points (buffer full or unwritten at the end)",
                  raw.options.command.c_str(), static_cast<unsigned long long>(raw.written),
                  static_cast<unsigned long long>(raw.requests),
                  static_cast<unsigned long long>(raw.retries),
                  static_cast<unsigned long long>(raw.dropped + left));
    return text;
}
