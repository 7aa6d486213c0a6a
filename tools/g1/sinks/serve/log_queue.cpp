// The log queue and its writer thread.
#include "tools/g1/sinks/serve/log_queue.h"

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>

namespace {

void write_stderr(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

void run_writer(LogQueue& log) {
    std::unique_lock held(log.lock);
    for (;;) {
        log.changed.wait(held, [&] { return log.count > 0 || log.dropped > 0 || log.stopping; });
        if (log.count == 0 && log.dropped == 0) return;  // stopping, and all written
        LogLine line;
        if (log.count > 0) {
            line = log.lines[log.first];
            log.first = (log.first + 1) % log.lines.size();
            --log.count;
        } else {
            const int n = std::snprintf(line.text.data(), line.text.size(),
                                        "g1: %llu log lines dropped while stderr was not read\n",
                                        static_cast<unsigned long long>(log.dropped));
            line.size = std::min(static_cast<std::size_t>(std::max(n, 0)), line.text.size() - 1);
            log.dropped = 0;
        }
        log.writing = true;
        held.unlock();
        log.sink({line.text.data(), line.size});
        held.lock();
        log.writing = false;
        log.changed.notify_all();
    }
}

}  // namespace

LogQueue& tool_log() {
    static LogQueue* log = new LogQueue;
    return *log;
}

void log_start(LogQueue& log, LogSink sink) {
    log.sink = sink != nullptr ? sink : write_stderr;
    log.writer = std::thread([&log] { run_writer(log); });
}

void log_line(LogQueue& log, const char* format, ...) {
    LogLine line;
    std::va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(line.text.data(), line.text.size() - 1, format, args);
    va_end(args);
    line.size = std::min(static_cast<std::size_t>(std::max(n, 0)), line.text.size() - 2);
    line.text[line.size++] = '\n';
    {
        const std::lock_guard held(log.lock);
        if (log.count == log.lines.size()) {
            ++log.dropped;
            ++log.dropped_total;
            return;
        }
        log.lines[(log.first + log.count) % log.lines.size()] = line;
        ++log.count;
    }
    log.changed.notify_all();
}

bool log_stop(LogQueue& log, int wait_ms) {
    if (!log.writer.joinable()) return true;
    std::unique_lock held(log.lock);
    const bool written = log.changed.wait_for(held, std::chrono::milliseconds(wait_ms), [&] {
        return log.count == 0 && log.dropped == 0 && !log.writing;
    });
    log.stopping = true;
    held.unlock();
    log.changed.notify_all();
    if (!written) {
        log.writer.detach();
        return false;
    }
    log.writer.join();
    return true;
}
