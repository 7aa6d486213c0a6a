// `g1 listen`: its options and its loop; prints each datagram in units as it arrives.
#include "tools/common/udp.h"
#include "tools/g1/command.h"
#include "tools/g1/sinks/text/listen.h"

#include <cstdio>
#include <memory>

namespace {

constexpr const char* kListenName = "g1 listen";

struct ListenOptions {
    SourceTexts source;
    bool csv = false;
    std::vector<std::string> from;
    ReceiveLimits limits;
};

int run_listen(const ListenOptions& o) {
    ListenStats stats;
    G1Source in;
    if (!make_sender_filter(kListenName, o.from, stats.receiver.from)) return kExitFailed;
    if (const int rc = source_open(kListenName, o.source, 1, in); rc != 0) return rc;
    std::fprintf(stderr, "%s: %s; from %s\n", kListenName, in.text.c_str(),
                 sender_filter_text(stats.receiver.from).c_str());
    const ListenFormat format = o.csv ? ListenFormat::Csv : ListenFormat::Table;
    std::fputs(listen_header(format).c_str(), stdout);
    std::fflush(stdout);
    const auto take = [&](const UdpDatagram& d, std::span<const char> bytes, std::int64_t at_ns) {
        const ListenLines lines =
            listen_take(stats, format, {bytes.data(), bytes.size()}, d.from.ip, at_ns);
        std::fputs(lines.out.c_str(), stdout);
        std::fputs(lines.err.c_str(), stderr);
        std::fflush(stdout);
    };
    const int rc = receive_run(
        kListenName, o.limits, [&] { return stats.receiver.counts.datagrams; },
        [&](int timeout_ms) { return source_step(in, timeout_ms, take); });
    source_close(kListenName, in);
    std::fprintf(stderr, "%s: %s", kListenName, listen_summary(stats).c_str());
    return rc;
}

}  // namespace

G1Command add_listen_command(CLI::App& app) {
    const auto o = std::make_shared<ListenOptions>();
    CLI::App* command = app.add_subcommand(
        "listen", "Print each datagram in units (time in seconds, the rest divided by 1000)");
    add_source_options(*command, o->source, kEverySource);
    command->add_flag("--csv", o->csv, "Comma-separated values instead of a table");
    add_from_option(*command, o->from);
    add_limit_options(*command, o->limits, "datagrams");
    return {command, [o] { return run_listen(*o); }};
}
