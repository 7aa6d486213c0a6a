// The eight messages whose values feed the G1 datagram, as records fixed when the plug-in is built.
#pragma once

#include "plugin/host/message_id.h"
#include "plugin/host/message_record.h"

#include <array>
#include <cstdint>

struct TrackedMessage {
    const char* name;
    MessageRecord record;
};

inline constexpr std::uint64_t kTimeFlags = 0x06000040;

constexpr MessageRecord make_tracked_record(std::uint64_t id, DataType type, std::uint64_t flags) {
    return make_record(id, type, kRecordHeaderSize, flags);
}

namespace tracked {
inline constexpr std::uint64_t kPitch = message_id("Aircraft.Pitch");
inline constexpr std::uint64_t kBank = message_id("Aircraft.Bank");
inline constexpr std::uint64_t kTrueHeading = message_id("Aircraft.TrueHeading");
inline constexpr std::uint64_t kVelocity = message_id("Aircraft.Velocity");
inline constexpr std::uint64_t kAngularVelocity = message_id("Aircraft.AngularVelocity");
inline constexpr std::uint64_t kAcceleration = message_id("Aircraft.Acceleration");
inline constexpr std::uint64_t kGravity = message_id("Aircraft.Gravity");
inline constexpr std::uint64_t kTime = message_id("Simulation.Time");
}  // namespace tracked

static_assert(tracked::kPitch == 0x98489fca9a0c6699ull);
static_assert(tracked::kBank == 0xdccdbce630a0100full);
static_assert(tracked::kTrueHeading == 0x4c341a177375d9edull);
static_assert(tracked::kVelocity == 0x977c869390c770a0ull);
static_assert(tracked::kAngularVelocity == 0xc333841907d74f04ull);
static_assert(tracked::kAcceleration == 0x5cad5229cdb3b849ull);
static_assert(tracked::kGravity == 0xd103f0ee1074e81dull);
static_assert(tracked::kTime == 0x9ca7fb58f287a1f3ull);

// In stored order, each with the DataType the host sends it with. The gather knows by id how
// many doubles each one gives (one, or three for a vector) and reads them whatever DataType a
// record claims.
inline constexpr std::array<TrackedMessage, 8> kTrackedMessages = {{
    {"Aircraft.Pitch", make_tracked_record(tracked::kPitch, DataType::Double, kUsualFlags)},
    {"Aircraft.Bank", make_tracked_record(tracked::kBank, DataType::Double, kUsualFlags)},
    {"Aircraft.TrueHeading",
     make_tracked_record(tracked::kTrueHeading, DataType::Double, kUsualFlags)},
    {"Aircraft.Velocity", make_tracked_record(tracked::kVelocity, DataType::Vector3, kUsualFlags)},
    {"Aircraft.AngularVelocity",
     make_tracked_record(tracked::kAngularVelocity, DataType::Vector3, kUsualFlags)},
    {"Aircraft.Acceleration",
     make_tracked_record(tracked::kAcceleration, DataType::Vector3, kUsualFlags)},
    {"Aircraft.Gravity", make_tracked_record(tracked::kGravity, DataType::Vector3, kUsualFlags)},
    {"Simulation.Time", make_tracked_record(tracked::kTime, DataType::Double, kTimeFlags)},
}};

// True for the ids whose records feed the datagram.
constexpr bool is_tracked_message(std::uint64_t id) {
    for (const TrackedMessage& m : kTrackedMessages) {
        if (m.record.id == id) {
            return true;
        }
    }
    return false;
}
