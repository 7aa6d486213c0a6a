// Flying a scenario on the receive clock, paced as the host emulator paces its frames: a frame
// every 1/rate, and after falling behind by more than a frame, on from now rather than in a
// burst. Each frame is decoded and made into its datagram by the plug-in's own functions.
#include "tools/g1/sources/fly_source.h"

#include "plugin/host/frame_decoder.h"
#include "plugin/telemetry/g1_datagram.h"
#include "tools/tessel_host/scenario.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

namespace {

struct Flying {
    Scenario scenario;
    double step_s = 0.0;
    std::int64_t period_ns = 0;
    std::uint64_t drop_every = 0;
    std::size_t capacity = 1;
    bool started = false;
    std::int64_t due_ns = 0;
    std::uint64_t made = 0;
    std::uint64_t dropped = 0;
    StreamFrame frame;
    std::vector<MessageRecord> records;
};

void sleep_to(std::int64_t at_ns) {
    const std::int64_t now_ns = receive_clock_ns();
    if (at_ns > now_ns) std::this_thread::sleep_for(std::chrono::nanoseconds(at_ns - now_ns));
}

UdpWait fly(Flying& f, int timeout_ms, const ReceiveHandler& handle) {
    std::int64_t now_ns = receive_clock_ns();
    if (!f.started) {
        f.started = true;
        f.due_ns = now_ns;
    }
    const std::int64_t deadline_ns = now_ns + std::int64_t{timeout_ms} * 1'000'000;
    std::size_t handed = 0;
    bool any = false;
    while (handed < f.capacity) {
        if (f.due_ns > now_ns) {
            if (handed > 0) break;
            if (f.due_ns > deadline_ns) {
                sleep_to(deadline_ns);
                return UdpWait::Timeout;
            }
            sleep_to(f.due_ns);
            now_ns = receive_clock_ns();
        }
        if (now_ns - f.due_ns > f.period_ns) f.due_ns = now_ns;  // fell behind: no burst
        f.due_ns += f.period_ns;
        ++handed;
        scenario_frame(f.scenario, f.step_s, f.frame);
        decode_frame(f.frame.bytes, f.frame.count, f.records);
        const G1Text datagram = g1_datagram(f.records);
        if (datagram.length == 0) continue;
        if (f.drop_every != 0 && ++f.made % f.drop_every == 0) {
            ++f.dropped;
            continue;
        }
        any = true;
        handle({datagram.length, kFlySender, false}, {datagram.bytes, datagram.length}, now_ns);
    }
    return any ? UdpWait::Datagram : UdpWait::Timeout;
}

}  // namespace

bool fly_source_open(const FlyOptions& o, std::size_t capacity, G1Source& source,
                     std::string& error) {
    ScenarioKind kind = ScenarioKind::Circuit;
    if (!scenario_from_name(o.scenario, kind)) {
        error = "no scenario " + o.scenario + " (circuit or stress)";
        return false;
    }
    const auto f = std::make_shared<Flying>();
    f->scenario = scenario_start(kind);
    f->step_s = 1.0 / o.rate_hz;
    f->period_ns = static_cast<std::int64_t>(1e9 / o.rate_hz);
    f->drop_every = o.drop_every;
    f->capacity = std::max<std::size_t>(capacity, 1);
    char text[96];
    std::snprintf(text, sizeof text, "flying the %s scenario at %g Hz", o.scenario.c_str(),
                  o.rate_hz);
    source = G1Source{};
    source.text = text;
    source.hint = SourceHint::Fly;
    source.on_demand = true;
    source.wait = [f](int timeout_ms, const ReceiveHandler& handle) {
        return fly(*f, timeout_ms, handle);
    };
    source.left_out = [f] { return f->dropped; };
    source.close = [f] {
        return f->dropped == 0 ? std::string()
                               : "; " + std::to_string(f->dropped) + " left out on purpose";
    };
    return true;
}
