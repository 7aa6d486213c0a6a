// The broker's topics: the prefixes refused, a sender's topics and back.
#include "tools/g1/mqtt/broker_topic.h"
#include "tools/g1/mqtt/mqtt_packet.h"

#include <gtest/gtest.h>

TEST(BrokerTopic, PrefixesWithWildcardsOrEmptyLevelsAreRefused) {
    struct Row {
        const char* prefix;
        bool taken;
    };
    const std::string too_long(kBrokerPrefixMax + 1, 'a');
    for (const Row& r :
         {Row{"tessel", true}, Row{"school/hangar 2", true}, Row{"a/b/c", true}, Row{"", false},
          Row{"tessel/+", false}, Row{"te#", false}, Row{"/tessel", false}, Row{"tessel/", false},
          Row{"a//b", false}, Row{"$SYS", false}, Row{"tab\there", false},
          Row{"caf\xc3\xa9", false}, Row{too_long.c_str(), false}}) {
        std::string error;
        EXPECT_EQ(broker_prefix_check(r.prefix, error), r.taken) << r.prefix;
        EXPECT_EQ(error.empty(), r.taken) << r.prefix << ": " << error;
    }
}

TEST(BrokerTopic, ASendersTopicNamesItAndNoOtherTopicDoes) {
    const std::uint32_t ip = 0xC0A80114;  // 192.168.1.20
    EXPECT_EQ(broker_topic("school/a", ip, "g1"), "school/a/192.168.1.20/g1");
    EXPECT_EQ(broker_every_sender("school/a", "g1"), "school/a/+/g1");
    std::uint32_t got = 0;
    ASSERT_TRUE(broker_topic_sender(broker_topic("school/a", ip, "g1"), "school/a", "g1", got));
    EXPECT_EQ(got, ip);
    for (const char* other :
         {"school/a/192.168.1.20/status", "school/b/192.168.1.20/g1", "school/a/sim1/g1",
          "school/a/192.168.1.020/g1", "school/a/x/192.168.1.20/g1", "school/a//g1",
          "school/ab/192.168.1.20/g1", "school/a/192.168.1.20g1", "school/a/g1", "g1"}) {
        EXPECT_FALSE(broker_topic_sender(other, "school/a", "g1", got)) << other;
    }
}

TEST(MqttPacket, PublishesLieEndToEndWithTheirLengthInSevenBitDigits) {
    std::string out;
    mqtt_append_publish(out, "a/b", "xy", false, false);
    mqtt_append_publish(out, "t", {}, true, false);  // a retained status removed
    EXPECT_EQ(out, std::string("\x30\x07\x00\x03"
                               "a/bxy"
                               "\x31\x03\x00\x01t",
                               14));
    // 2 + 1 + 1 + 124 = 128 bytes on: two digits. MQTT 5 adds the properties' empty length.
    out.clear();
    mqtt_append_publish(out, "t", std::string(124, 'p'), false, true);
    ASSERT_EQ(out.size(), 3 + 128u);
    EXPECT_EQ(out.substr(0, 7), std::string("\x30\x80\x01\x00\x01t\x00", 7));
}
