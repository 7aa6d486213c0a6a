// Speed of the platform-free frame path, each figure beside a baseline timed in the same run:
// decoding against a plain memcpy of the same bytes, then the G1 datagram, the catalogue, the
// monitor's listing and the frame exchange. Prints figures and ratios; it never fails on time.
#include "plugin/host/frame_decoder.h"
#include "plugin/host/frame_exchange.h"
#include "plugin/host/frame_step.h"
#include "plugin/host/message_catalogue.h"
#include "plugin/monitor/frame_listing.h"
#include "plugin/telemetry/g1_datagram.h"
#include "testing/sample_frame.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr double kDecodeGoal = 2.0;  // decoding within twice the memcpy of the same bytes
constexpr std::size_t kG1FrameRecords = 100;
constexpr std::int64_t kDecodeSizes[] = {1, 10, 100, 400};
constexpr std::int64_t kExchangeSizes[] = {1, 67, 400};
// The usual frame, and the largest decoded one, whose records no longer fit the first-level
// cache beside its stream: how the decoder writes them shows in what reads them next.
constexpr std::int64_t kFrameStepSizes[] = {kG1FrameRecords, 400};

std::vector<MessageRecord> decoded(const StreamBuilder& b) {
    std::vector<MessageRecord> records;
    decode_frame(b.bytes, b.count, records);
    return records;
}

void BM_Memcpy(benchmark::State& state) {
    const StreamBuilder b = sample_frame(static_cast<std::size_t>(state.range(0)));
    std::vector<std::uint8_t> copy(b.bytes.size());
    for (auto _ : state) {
        std::memcpy(copy.data(), b.bytes.data(), b.bytes.size());
        benchmark::DoNotOptimize(copy.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(b.bytes.size()));
}

// The decoded frame's size: every record takes 128 bytes in memory however short in the stream.
void BM_MemcpyRecords(benchmark::State& state) {
    const std::size_t bytes = static_cast<std::size_t>(state.range(0)) * sizeof(MessageRecord);
    const std::vector<std::uint8_t> from(bytes);
    std::vector<std::uint8_t> copy(bytes);
    for (auto _ : state) {
        std::memcpy(copy.data(), from.data(), bytes);
        benchmark::DoNotOptimize(copy.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes));
}

void BM_Decode(benchmark::State& state) {
    const StreamBuilder b = sample_frame(static_cast<std::size_t>(state.range(0)));
    std::vector<MessageRecord> records;
    for (auto _ : state) {
        decode_frame(b.bytes, b.count, records);
        benchmark::DoNotOptimize(records.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(b.bytes.size()));
}

// Every frame laid out unlike the one before (the same records, one place on): no record is
// where the last frame had one, so each waits on the size of the one before.
void BM_DecodeNewLayout(benchmark::State& state) {
    const auto records = static_cast<std::size_t>(state.range(0));
    const StreamBuilder same = sample_frame(records);
    StreamBuilder moved = sample_frame(records + 1);
    std::uint16_t first_size;
    std::memcpy(&first_size, moved.bytes.data() + offsetof(MessageRecord, size), sizeof first_size);
    moved.bytes.erase(moved.bytes.begin(), moved.bytes.begin() + first_size);
    moved.count -= 1;
    const StreamBuilder* frames[] = {&same, &moved};
    std::vector<MessageRecord> decoded_records;
    std::size_t turn = 0;
    for (auto _ : state) {
        const StreamBuilder& b = *frames[turn++ % 2];
        decode_frame(b.bytes, b.count, decoded_records);
        benchmark::DoNotOptimize(decoded_records.data());
        benchmark::ClobberMemory();
    }
}

void BM_G1Gather(benchmark::State& state) {
    const std::vector<MessageRecord> records = decoded(sample_frame(kG1FrameRecords));
    for (auto _ : state) {
        benchmark::DoNotOptimize(g1_gather(records));
    }
}

void BM_G1Convert(benchmark::State& state) {
    TelemetrySample sample = g1_gather(decoded(sample_frame(kG1FrameRecords)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(sample);
        benchmark::DoNotOptimize(g1_fields(sample));
    }
}

void BM_G1Format(benchmark::State& state) {
    G1Fields fields = g1_fields(g1_gather(decoded(sample_frame(kG1FrameRecords))));
    for (auto _ : state) {
        benchmark::DoNotOptimize(fields);
        benchmark::DoNotOptimize(g1_format(fields));
    }
}

void BM_G1Datagram(benchmark::State& state) {
    const std::vector<MessageRecord> records = decoded(sample_frame(kG1FrameRecords));
    for (auto _ : state) {
        benchmark::DoNotOptimize(g1_datagram(records));
    }
}

// The whole frame as Update handles it, less the send: decode, publish, compose the datagram.
void BM_FrameStep(benchmark::State& state) {
    const StreamBuilder b = sample_frame(static_cast<std::size_t>(state.range(0)));
    std::vector<MessageRecord> records;
    FrameExchange exchange;
    for (auto _ : state) {
        benchmark::DoNotOptimize(frame_step(b.bytes, b.count, 0.016, records, exchange));
        benchmark::ClobberMemory();
    }
}

void lookup(benchmark::State& state, std::uint64_t id) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(id);
        benchmark::DoNotOptimize(message_catalogue_lookup(id));
    }
}

void BM_CatalogueFirstEntry(benchmark::State& state) {
    lookup(state, message_catalogue_entries().front().id);
}

void BM_CatalogueLastEntry(benchmark::State& state) {
    lookup(state, message_catalogue_entries().back().id);
}

void BM_CatalogueNotFound(benchmark::State& state) {
    lookup(state, message_id("No.Such.Message"));
}

void BM_Listing67Lines(benchmark::State& state) {
    const std::vector<MessageRecord> records = decoded(sample_frame(kListingMaxLines));
    static FrameListing listing;  // 55 kB: kept off the stack, as the painter keeps it
    for (auto _ : state) {
        frame_listing_build(listing, records, 0.016, 1);
        benchmark::DoNotOptimize(listing.count);
        benchmark::ClobberMemory();
    }
}

void BM_Publish(benchmark::State& state) {
    const std::vector<MessageRecord> records =
        decoded(sample_frame(static_cast<std::size_t>(state.range(0))));
    FrameExchange exchange;
    for (auto _ : state) {
        frame_exchange_publish(exchange, records, 0.016);
        benchmark::ClobberMemory();
    }
}

// Marking the frame fresh without copying one in makes every take do its swap.
void BM_Take(benchmark::State& state) {
    const std::vector<MessageRecord> records =
        decoded(sample_frame(static_cast<std::size_t>(state.range(0))));
    FrameExchange exchange;
    frame_exchange_publish(exchange, records, 0.016);
    frame_exchange_take(exchange);
    frame_exchange_publish(exchange, records, 0.016);
    for (auto _ : state) {
        exchange.fresh = true;
        benchmark::DoNotOptimize(frame_exchange_take(exchange));
    }
}

void register_benchmarks() {
    for (std::int64_t n : kDecodeSizes) {
        benchmark::RegisterBenchmark("Memcpy", BM_Memcpy)->Arg(n);
        benchmark::RegisterBenchmark("MemcpyRecords", BM_MemcpyRecords)->Arg(n);
        benchmark::RegisterBenchmark("Decode", BM_Decode)->Arg(n);
    }
    benchmark::RegisterBenchmark("DecodeNewLayout", BM_DecodeNewLayout)->Arg(kG1FrameRecords);
    benchmark::RegisterBenchmark("G1Gather", BM_G1Gather);
    benchmark::RegisterBenchmark("G1Convert", BM_G1Convert);
    benchmark::RegisterBenchmark("G1Format", BM_G1Format);
    benchmark::RegisterBenchmark("G1Datagram", BM_G1Datagram);
    for (std::int64_t n : kFrameStepSizes) {
        benchmark::RegisterBenchmark("FrameStep", BM_FrameStep)->Arg(n);
    }
    benchmark::RegisterBenchmark("CatalogueFirstEntry", BM_CatalogueFirstEntry);
    benchmark::RegisterBenchmark("CatalogueLastEntry", BM_CatalogueLastEntry);
    benchmark::RegisterBenchmark("CatalogueNotFound", BM_CatalogueNotFound);
    benchmark::RegisterBenchmark("Listing67Lines", BM_Listing67Lines);
    for (std::int64_t n : kExchangeSizes) {
        benchmark::RegisterBenchmark("Publish", BM_Publish)->Arg(n);
        benchmark::RegisterBenchmark("Take", BM_Take)->Arg(n);
    }
}

using Figures = std::map<std::string, double>;  // "Decode/100" -> CPU ns per iteration

// The library's hook for reading results is a reporter. This one keeps each benchmark's CPU
// time for the ratios (on a shared machine the wall-clock time also counts the other programs
// that ran meanwhile) and prints one plain row per benchmark: its median when runs are repeated.
struct KeepingReporter : benchmark::ConsoleReporter {
    Figures figures;

    KeepingReporter() : ConsoleReporter(OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        std::vector<Run> shown;
        for (const Run& run : runs) {
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            const bool single = run.run_type == Run::RT_Iteration && run.repetitions <= 1;
            if (run.error_occurred || !(median || single)) {
                continue;
            }
            std::string name = run.run_name.function_name;
            if (!run.run_name.args.empty()) {
                name += '/';
                name += run.run_name.args;
            }
            figures[name] =
                run.GetAdjustedCPUTime() * 1e9 / benchmark::GetTimeUnitMultiplier(run.time_unit);
            shown.push_back(run);
        }
        if (!shown.empty()) {
            ConsoleReporter::ReportRuns(shown);
        }
    }
};

std::string with_arg(std::string name, std::int64_t arg) {
    name += '/';
    name += std::to_string(arg);
    return name;
}

void print_ratios(const Figures& figures) {
    if (figures.count(with_arg("Decode", kDecodeSizes[0])) == 0) {
        return;  // filtered out
    }
    std::printf(
        "\nDecoding against memcpy of the stream's bytes (goal: within %.1fx), and against\n"
        "memcpy of the decoded records' 128 bytes each (CPU time)\n",
        kDecodeGoal);
    std::printf("%8s %12s %12s %12s %9s %9s %14s\n", "records", "memcpy ns", "records ns",
                "decode ns", "/memcpy", "/records", "ns per record");
    for (std::int64_t n : kDecodeSizes) {
        const auto copy = figures.find(with_arg("Memcpy", n));
        const auto records = figures.find(with_arg("MemcpyRecords", n));
        const auto decode = figures.find(with_arg("Decode", n));
        if (copy == figures.end() || records == figures.end() || decode == figures.end()) {
            continue;  // filtered out
        }
        const double ratio = decode->second / copy->second;
        std::printf("%8lld %12.1f %12.1f %12.1f %8.2fx %8.2fx %14.2f  %s\n",
                    static_cast<long long>(n), copy->second, records->second, decode->second, ratio,
                    decode->second / records->second, decode->second / static_cast<double>(n),
                    ratio <= kDecodeGoal ? "within goal" : "MISSES goal");
    }
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    register_benchmarks();
    KeepingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    print_ratios(reporter.figures);
    return 0;
}
