// The log of a long-running g1 command, written to stderr by a thread of its own: the threads
// that receive and serve only put lines into a bounded queue. When stderr blocks (a paused
// console, a pipe nobody reads) they go on; lines that find the queue full are counted and the
// count is written once stderr moves again.
#pragma once

#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string_view>
#include <thread>

inline constexpr std::size_t kLogLines = 256;
inline constexpr std::size_t kLogLineMax = 256;  // longer lines are cut

using LogSink = void (*)(std::string_view text);

struct LogLine {
    std::array<char, kLogLineMax> text{};
    std::size_t size = 0;
};

struct LogQueue {
    std::mutex lock;
    std::condition_variable changed;
    std::array<LogLine, kLogLines> lines;
    std::size_t first = 0;
    std::size_t count = 0;
    std::uint64_t dropped = 0;  // not yet reported
    std::uint64_t dropped_total = 0;
    bool writing = false;  // the writer has a line out of the queue
    bool stopping = false;
    LogSink sink = nullptr;
    std::thread writer;
};

// The process's log (never destroyed: a writer stuck on stderr may outlive main).
LogQueue& tool_log();

// Starts the writer thread; `sink` writes a line (stderr if null).
void log_start(LogQueue& log, LogSink sink = nullptr);

// The compilers check the arguments against the format: GCC as the C99 printf (MinGW's own check
// would know no %zu), clang as printf, which it takes as C99 already.
#if defined(__clang__)
#define TESSEL_LOG_FORMAT __attribute__((format(printf, 2, 3)))
#else
#define TESSEL_LOG_FORMAT __attribute__((format(gnu_printf, 2, 3)))
#endif

// Formats one line (printf-style, a newline added) and queues it, or counts it as dropped.
// Never waits for the writer.
void log_line(LogQueue& log, const char* format, ...) TESSEL_LOG_FORMAT;

// Waits up to `wait_ms` for the queue to be written out, then ends the writer. False if the
// writer is stuck in a write: it is left to the end of the process.
bool log_stop(LogQueue& log, int wait_ms);
