// MQTT's QoS 0 PUBLISH packet as the wire has it, so that a publisher can lay a batch of them end
// to end in one buffer and hand the connection the whole batch in one write.
#pragma once

#include <string>
#include <string_view>

// Appends PUBLISH of `payload` on `topic` at QoS 0 to `out`: for MQTT 3.1.1, or for MQTT 5 with
// no properties. The topic is the caller's to check (a topic name, no wildcards, under 64 KiB).
void mqtt_append_publish(std::string& out, std::string_view topic, std::string_view payload,
                         bool retain, bool v5);
