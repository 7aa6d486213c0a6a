// The message catalogue: its entries as built, and lookups by MessageId.
#include "plugin/host/message_catalogue.h"

#include "plugin/host/message_id.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <string_view>

namespace {

std::string_view name_at(std::size_t index) {
    return message_name_view(message_catalogue_entries()[index].name);
}

// True when every byte of `name` from its length to the end of the text field is zero.
bool zero_filled(const MessageName& name) {
    return std::all_of(name.text + name.length, name.text + kMessageNameCapacity,
                       [](char c) { return c == '\0'; });
}

}  // namespace

TEST(MessageCatalogue, Holds418EntriesWith398DistinctNames) {
    const auto entries = message_catalogue_entries();
    std::set<std::string_view> names;
    for (const MessageNameEntry& entry : entries) {
        names.insert(message_name_view(entry.name));
    }
    EXPECT_EQ(entries.size(), 418u);
    EXPECT_EQ(names.size(), 398u);
}

TEST(MessageCatalogue, EveryEntryIsDerivedFromItsText) {
    for (const MessageNameEntry& entry : message_catalogue_entries()) {
        const std::string_view text(entry.name.text);
        SCOPED_TRACE(text);
        EXPECT_EQ(entry.name.length, text.size());
        EXPECT_EQ(entry.id, message_id(text));
        EXPECT_TRUE(zero_filled(entry.name));
    }
}

TEST(MessageCatalogue, RepeatedNamesKeepTheirPlaces) {
    EXPECT_EQ(name_at(117), "Controls.Trim");
    EXPECT_EQ(name_at(118), "Controls.Trim");
    EXPECT_EQ(name_at(119), "Controls.Trim");
    EXPECT_EQ(name_at(172), "Simulation.PlaybackPosition");
    EXPECT_EQ(name_at(402), "Simulation.PlaybackPosition");
    EXPECT_EQ(name_at(80), "Controls.Throttle1");
    EXPECT_EQ(name_at(84), "Controls.Throttle1");
}

TEST(MessageCatalogue, NamesOfTheTelemetryMessagesStandWhereExpected) {
    EXPECT_EQ(name_at(2), "Aircraft.Pitch");
    EXPECT_EQ(name_at(3), "Aircraft.Bank");
    EXPECT_EQ(name_at(7), "Aircraft.TrueHeading");
    EXPECT_EQ(name_at(13), "Aircraft.Velocity");
    EXPECT_EQ(name_at(14), "Aircraft.AngularVelocity");
    EXPECT_EQ(name_at(15), "Aircraft.Acceleration");
    EXPECT_EQ(name_at(16), "Aircraft.Gravity");
    EXPECT_EQ(name_at(168), "Simulation.Time");
}

TEST(MessageCatalogueLookup, FindsANameRepeatedThreeTimes) {
    const MessageName name = message_catalogue_lookup(0x9b53f75121aed059ull);
    EXPECT_EQ(message_name_view(name), "Controls.Trim");
    EXPECT_EQ(name.length, 13u);
}

TEST(MessageCatalogueLookup, FindsAircraftPitchByItsId) {
    const MessageName name = message_catalogue_lookup(0x98489fca9a0c6699ull);
    EXPECT_EQ(message_name_view(name), "Aircraft.Pitch");
    EXPECT_EQ(name.length, 14u);
}

TEST(MessageCatalogueLookup, NamesWithLengthsOfTheirOwnAreFound) {
    struct Case {
        std::uint64_t id;
        std::string_view name;
    };
    const Case cases[] = {
        {0x1a511e5141cbaacdull, "View.Up"},
        {0x25fb47b55a6f1132ull, "Autopilot.SelectedVerticalSpeedZero"},
        {0xc34850d53a24d54cull, "Performance.Speed.MaximumFlapExtension"},
        {0xa950b94520f973b4ull, "Performance.Speed.MinimumFlapRetraction"},
    };
    for (const Case& c : cases) {
        const MessageName name = message_catalogue_lookup(c.id);
        EXPECT_EQ(message_name_view(name), c.name);
        EXPECT_EQ(name.length, c.name.size());
        EXPECT_TRUE(zero_filled(name)) << c.name;
    }
}

TEST(MessageCatalogueLookup, MisspeltScreenshotIsADistinctEntry) {
    EXPECT_EQ(message_name_view(message_catalogue_lookup(0x2dbeab6c246861ddull)),
              "Simulation.TakeSceenshot");
    EXPECT_EQ(message_name_view(message_catalogue_lookup(0x7e18b9ee7fffc5d5ull)),
              "Simulation.TakeScreenshot");
}

TEST(MessageCatalogueLookup, IdZeroGivesUnknown) {
    const MessageName name = message_catalogue_lookup(0);
    EXPECT_EQ(message_name_view(name), "unknown");
    EXPECT_EQ(name.length, 7u);
    EXPECT_TRUE(zero_filled(name));
}

TEST(MessageCatalogueLookup, IdOfUnknownItselfIsNoEntry) {
    ASSERT_EQ(message_id("unknown"), 0x11fe4b665c0e723bull);
    const MessageName name = message_catalogue_lookup(0x11fe4b665c0e723bull);
    EXPECT_EQ(message_name_view(name), "unknown");
    EXPECT_EQ(name.length, 7u);
}

TEST(MakeMessageName, OverlongNameKeepsItsTerminator) {
    const std::string long_name(300, 'x');
    const MessageName name = make_message_name(long_name);
    EXPECT_EQ(name.length, kMessageNameCapacity - 1);
    EXPECT_EQ(name.text[kMessageNameCapacity - 1], '\0');
}
