// A typical host frame for benchmarks, soak runs and fuzz seeds: the eight tracked messages
// first, then other catalogue messages of every value type, cycling through the catalogue.
#pragma once

#include "plugin/host/message_catalogue.h"
#include "plugin/telemetry/tracked_messages.h"
#include "tools/message_stream/stream_builder.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

// Keeps the first `records` records of the stream.
inline void sample_frame_cut(StreamBuilder& b, std::size_t records) {
    std::size_t end = 0;
    for (std::size_t i = 0; i < records && i < b.count; ++i) {
        std::uint16_t size;
        std::memcpy(&size, b.bytes.data() + end + offsetof(MessageRecord, size), sizeof size);
        end += size;
    }
    b.bytes.resize(end);
    b.count = static_cast<std::uint32_t>(std::min<std::size_t>(records, b.count));
}

// A frame of `records` records, values varied by `seed` so that successive frames differ as a
// flying aircraft's do. From eight records on, it holds every tracked message.
inline StreamBuilder sample_frame(std::size_t records, std::uint32_t seed = 0) {
    const double t = 1.0 + seed * 0.016;
    StreamBuilder b;
    b.doubles("Simulation.Time", {t})
        .doubles("Aircraft.Pitch", {0.05 + t * 1e-4})
        .doubles("Aircraft.Bank", {-0.0125})
        .doubles("Aircraft.TrueHeading", {3.141592653589793})
        .doubles("Aircraft.Velocity", {61.7, -0.4, 2.25 * t})
        .doubles("Aircraft.AngularVelocity", {0.001, -0.002, 0.003})
        .doubles("Aircraft.Acceleration", {0.12, 0.0, -9.81})
        .doubles("Aircraft.Gravity", {0.0, 0.0, -9.81});
    const auto entries = message_catalogue_entries();
    std::size_t entry = 0;
    for (std::size_t i = b.count; i < records; ++i) {
        while (is_tracked_message(entries[entry % entries.size()].id)) {
            ++entry;
        }
        const std::string_view name = message_name_view(entries[entry++ % entries.size()].name);
        switch (i % 5) {
            case 0: b.doubles(name, {t * static_cast<double>(i)}, kUsualFlags); break;
            case 1: b.doubles(name, {1.0, 2.0, static_cast<double>(i)}, kUsualFlags); break;
            case 2: b.integer(name, static_cast<std::int64_t>(i) - 50); break;
            case 3: b.text(name, "EDDF 25C"); break;
            default: b.none(name); break;
        }
    }
    sample_frame_cut(b, records);
    return b;
}
