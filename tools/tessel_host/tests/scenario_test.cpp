// The built-in scenarios' frames: every data type, the unknown id, the datagram's values.
#include "tools/tessel_host/scenario.h"

#include "plugin/host/frame_decoder.h"
#include "plugin/host/message_catalogue.h"
#include "plugin/telemetry/g1_datagram.h"

#include <gtest/gtest.h>

#include <set>

namespace {

std::vector<MessageRecord> decoded(const StreamFrame& frame) {
    std::vector<MessageRecord> records;
    decode_frame(frame.bytes, frame.count, records);
    return records;
}

StreamFrame frame_after(Scenario& scenario, int frames) {
    StreamFrame frame;
    for (int i = 0; i < frames; ++i) scenario_frame(scenario, 1.0 / 60.0, frame);
    return frame;
}

}  // namespace

TEST(Scenario, CircuitFrameHoldsEveryDataTypeAndAnUncataloguedId) {
    Scenario circuit = scenario_start(ScenarioKind::Circuit);
    const std::vector<MessageRecord> records = decoded(frame_after(circuit, 1));
    std::set<int> types;
    int unknown = 0;
    for (const MessageRecord& r : records) {
        types.insert(r.data_type);
        unknown += message_name_view(message_catalogue_lookup(r.id)) == "unknown";
    }
    EXPECT_EQ(types, (std::set<int>{0, 1, 2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(unknown, 1);
}

TEST(Scenario, FramesDecodeToTheirFullRecordCount) {
    for (ScenarioKind kind : {ScenarioKind::Circuit, ScenarioKind::Stress}) {
        Scenario s = scenario_start(kind);
        const StreamFrame frame = frame_after(s, 3);
        std::string error;
        EXPECT_TRUE(stream_records_fill(frame.bytes, frame.count, error)) << error;
        EXPECT_EQ(decoded(frame).size(), frame.count);
    }
}

TEST(Scenario, StressFramesHold400Records) {
    Scenario stress = scenario_start(ScenarioKind::Stress);
    EXPECT_EQ(frame_after(stress, 2).count, kStressRecords);
}

TEST(Scenario, DatagramCarriesTheFlightModelsValues) {
    Scenario circuit = scenario_start(ScenarioKind::Circuit);
    const StreamFrame frame = frame_after(circuit, 60 * 6);  // turning crosswind
    const TelemetrySample sample = g1_gather(decoded(frame));
    const FlightState& f = circuit.flight;
    EXPECT_EQ(sample.time, f.time);
    EXPECT_EQ(sample.bank, f.bank);
    EXPECT_EQ(sample.pitch, f.pitch);
    EXPECT_EQ(sample.true_heading, f.heading);
    EXPECT_EQ(sample.velocity[2], f.velocity[2]);
    EXPECT_EQ(sample.angular_velocity[2], f.angular_velocity[2]);
    EXPECT_EQ(sample.acceleration[0], f.acceleration[0]);
    EXPECT_LT(f.bank, -0.5);
}

TEST(Scenario, StressFramesGiveTheSameDatagramAsTheCircuit) {
    Scenario circuit = scenario_start(ScenarioKind::Circuit);
    Scenario stress = scenario_start(ScenarioKind::Stress);
    const auto text = [](Scenario& s) {
        return std::string(g1_datagram(decoded(frame_after(s, 240))).view());
    };
    EXPECT_EQ(text(stress), text(circuit));
}
