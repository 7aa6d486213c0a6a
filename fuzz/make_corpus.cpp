// Writes the fuzz target's seed inputs into a directory: typical frames, the edges of the
// record format and the extremes of the G1 conversion, each built with the tests' own builder.
// Usage: make_corpus DIRECTORY
#include "fuzz/frame_input.h"
#include "testing/sample_frame.h"
#include "testing/worked_example.h"

#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>
#include <string>

namespace {

constexpr double kDt = 0.016;

bool write(const std::string& dir, const char* name, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(dir + "/" + name, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

std::vector<std::uint8_t> frame(const StreamBuilder& b, std::uint32_t count, double dt = kDt,
                                std::uint64_t counter = 1) {
    return frame_input_make(count, b.bytes, dt, counter);
}

std::vector<std::uint8_t> whole(const StreamBuilder& b) {
    return frame(b, b.count);
}

// Every G1 position at its extreme: NaN, infinities, out of range, and a wrapping time.
StreamBuilder extremes() {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    StreamBuilder b;
    b.doubles("Simulation.Time", {3000.0})
        .doubles("Aircraft.Velocity", {-inf, inf, nan})
        .doubles("Aircraft.Bank", {2147484.0})
        .doubles("Aircraft.Pitch", {-2147484.0})
        .doubles("Aircraft.TrueHeading", {1e300})
        .doubles("Aircraft.AngularVelocity", {-1e300, 0.29999999999, -0.0004})
        .doubles("Aircraft.Acceleration", {std::numeric_limits<double>::max(), -1e-300, 2147483.0})
        .doubles("Controls.Throttle", {1e300, -1e300, 1e300, -1e300});
    return b;
}

StreamBuilder texts() {
    StreamBuilder b;
    b.text("Aircraft.Name", std::string(64, 'W'))
        .text("Aircraft.NearestAirport", "EDDF")
        .wide_text("Aircraft.Name", {u'A', u'\u00e9', u'\u4e2d', 0})
        .wide_text("Aircraft.Name", {0xD83D, 0xDE00, u'x', 0xFFFF});
    return b;
}

// Size fields at and beyond the format's edges, and a data type with no value layout.
StreamBuilder odd_sizes() {
    const std::uint8_t value[64] = {1, 2, 3, 4, 5, 6, 7, 8};
    StreamBuilder b;
    b.raw(message_id("Simulation.Time"), DataType::Double, 64, value, 0)
        .raw(message_id("Aircraft.Velocity"), DataType::Vector3, 128, value, 64)
        .raw(message_id("Aircraft.Altitude"), DataType::Double, 200, value, 64)
        .raw(message_id("Aircraft.Pitch"), static_cast<DataType>(9), 72, value, 8)
        .raw(message_id("Aircraft.Bank"), DataType::Double, 40, value, 0);
    return b;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_corpus DIRECTORY\n");
        return 2;
    }
    const std::string dir = argv[1];
    StreamBuilder cut = sample_frame(10);
    cut.bytes.resize(cut.bytes.size() - 30);  // ends inside its last record
    StreamBuilder unknown;
    unknown.none("No.Such.Message", ~0ull).integer("Aircraft.Gear", -5);

    bool ok = write(dir, "empty", frame(StreamBuilder{}, 0));
    ok &= write(dir, "count_without_stream", frame(StreamBuilder{}, 1000));
    ok &= write(dir, "worked_example", whole(worked_example_frame()));
    ok &= write(dir, "typical_100", whole(sample_frame(100, 7)));
    ok &= write(dir, "listing_overflow_70", whole(sample_frame(70, 3)));
    ok &= write(dir, "count_beyond_stream", frame(sample_frame(12), 0xFFFFFFFFu));
    ok &= write(dir, "stream_cut_in_record", whole(cut));
    ok &= write(dir, "g1_extremes", frame(extremes(), 8, -1e300, ~0ull));
    ok &= write(dir, "texts", whole(texts()));
    ok &= write(dir, "odd_sizes", whole(odd_sizes()));
    ok &= write(dir, "unknown_ids", frame(unknown, 2, std::nan(""), 0));
    if (!ok) {
        std::fprintf(stderr, "make_corpus: cannot write into %s\n", dir.c_str());
        return 1;
    }
    return 0;
}
