// The PUBLISH packet's bytes: the fixed header with its variable-length remaining length, the
// topic's length and bytes, MQTT 5's empty properties, the payload.
#include "tools/g1/mqtt/mqtt_packet.h"

#include <cstdint>

namespace {

constexpr char kPublishQos0 = 0x30;
constexpr char kRetainFlag = 0x01;
constexpr std::size_t kLengthDigitBits = 7;
constexpr std::size_t kLengthDigitMask = 0x7F;
constexpr char kLengthMoreFollows = static_cast<char>(0x80);

}  // namespace

void mqtt_append_publish(std::string& out, std::string_view topic, std::string_view payload,
                         bool retain, bool v5) {
    const std::size_t properties = v5 ? 1 : 0;  // their length, 0, as one byte
    std::size_t remaining = 2 + topic.size() + properties + payload.size();
    out += static_cast<char>(kPublishQos0 | (retain ? kRetainFlag : 0));
    do {
        char digit = static_cast<char>(remaining & kLengthDigitMask);
        remaining >>= kLengthDigitBits;
        if (remaining > 0) digit = static_cast<char>(digit | kLengthMoreFollows);
        out += digit;
    } while (remaining > 0);
    out += static_cast<char>((topic.size() >> 8) & 0xFF);
    out += static_cast<char>(topic.size() & 0xFF);
    out += topic;
    if (v5) out += '\0';
    out += payload;
}
