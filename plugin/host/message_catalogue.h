// The fixed catalogue of message names the plug-in knows, for turning a MessageId back into a
// readable name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

inline constexpr std::size_t kMessageNameCapacity = 256;  // characters, terminating zero included
inline constexpr std::size_t kMessageCatalogueSize = 418;
inline constexpr std::size_t kMessageCatalogueDistinctNames = 398;

// Every byte after the name is zero, so `text` is always a terminated string.
struct MessageName {
    std::uint32_t length;
    char text[kMessageNameCapacity];
};

struct MessageNameEntry {
    MessageName name;
    std::uint64_t id;
};

// A name longer than the capacity keeps its first 255 characters, so the terminator survives.
constexpr MessageName make_message_name(std::string_view name) {
    MessageName result{};
    const std::size_t length =
        name.size() < kMessageNameCapacity ? name.size() : kMessageNameCapacity - 1;
    result.length = static_cast<std::uint32_t>(length);
    for (std::size_t i = 0; i < length; ++i) {
        result.text[i] = name[i];
    }
    return result;
}

constexpr std::string_view message_name_view(const MessageName& name) {
    return {name.text, name.length};
}

// The name of the first entry, in catalogue order, whose id is `id`; "unknown" if none has it.
// Reads only immutable data, so any thread may call it at any time.
MessageName message_catalogue_lookup(std::uint64_t id);

// The same name, as the catalogue's own copy, which lives as long as the program.
const MessageName& message_catalogue_name(std::uint64_t id);

// All entries in catalogue order, repeated names included.
std::span<const MessageNameEntry> message_catalogue_entries();
