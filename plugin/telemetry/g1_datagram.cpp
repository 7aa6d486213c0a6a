// Gathering, scaling and formatting of the G1 datagram.
#include "plugin/telemetry/g1_datagram.h"

#include "plugin/telemetry/tracked_messages.h"

#include <cfloat>
#include <charconv>
#include <limits>

// The conversion's results depend on products rounded to single precision.
static_assert(FLT_EVAL_METHOD == 0, "float arithmetic must not carry excess precision");

namespace {

// Exactly representable in single precision, as the conversion needs them.
constexpr float kValueScale = kG1ValueScale;
constexpr float kTimeScale = kG1TimeScale;

void take_vector(const MessageRecord& record, double (&out)[3]) {
    for (std::size_t i = 0; i < 3; ++i) {
        out[i] = record_double(record, i);
    }
}

}  // namespace

TelemetrySample g1_gather(std::span<const MessageRecord> records) {
    TelemetrySample s{};
    for (const MessageRecord& record : records) {
        switch (record.id) {
            case tracked::kTime: s.time = record_double(record, 0); break;
            case tracked::kBank: s.bank = record_double(record, 0); break;
            case tracked::kPitch: s.pitch = record_double(record, 0); break;
            case tracked::kTrueHeading: s.true_heading = record_double(record, 0); break;
            case tracked::kVelocity: take_vector(record, s.velocity); break;
            case tracked::kAngularVelocity: take_vector(record, s.angular_velocity); break;
            case tracked::kAcceleration: take_vector(record, s.acceleration); break;
            default: break;  // Aircraft.Gravity is recognised and gives nothing, like any other id
        }
    }
    return s;
}

std::int32_t g1_scale(double value) {
    const double p = static_cast<float>(value) * kValueScale;
    if (!(p > -2147483649.0 && p < 2147483648.0)) {
        return std::numeric_limits<std::int32_t>::min();
    }
    return static_cast<std::int32_t>(p);
}

std::int32_t g1_scale_time(double time) {
    const double p = static_cast<float>(time) * kTimeScale;
    if (!(p > -9223372036854775808.0 && p < 9223372036854775808.0)) {
        return 0;  // the low 32 bits of INT64_MIN
    }
    const auto wide = static_cast<std::int64_t>(p);
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::uint64_t>(wide)));
}

G1Fields g1_fields(const TelemetrySample& s) {
    return {g1_scale_time(s.time),
            g1_scale(s.velocity[0]),
            g1_scale(s.velocity[1]),
            g1_scale(s.velocity[2]),
            g1_scale(s.bank),
            g1_scale(s.pitch),
            g1_scale(s.true_heading),
            g1_scale(s.angular_velocity[0]),
            g1_scale(s.angular_velocity[1]),
            g1_scale(s.angular_velocity[2]),
            g1_scale(s.acceleration[0]),
            g1_scale(s.acceleration[1]),
            g1_scale(s.acceleration[2])};
}

G1Text g1_format(const G1Fields& fields) {
    G1Text text;
    char* out = text.bytes;
    char* const end = text.bytes + sizeof text.bytes;
    for (char c : kG1Tag) {
        *out++ = c;
    }
    for (std::int32_t field : fields) {
        out = std::to_chars(out, end, field).ptr;  // 13 fields of at most 11 digits always fit
        *out++ = ',';
    }
    text.length = static_cast<std::size_t>(out - text.bytes);
    return text;
}

G1Text g1_datagram(std::span<const MessageRecord> records) {
    if (records.empty()) {
        return G1Text{{}, 0};
    }
    return g1_format(g1_fields(g1_gather(records)));
}
