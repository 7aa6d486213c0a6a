// Writes host message streams, for the host emulator, the tests, the benchmarks and the fuzz
// seeds: records laid end to end, each a 64-byte header and as many value bytes as its size
// field announces.
#pragma once

#include "plugin/host/message_id.h"
#include "plugin/host/message_record.h"

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string_view>
#include <vector>

struct StreamBuilder {
    std::vector<std::uint8_t> bytes;
    std::uint32_t count = 0;

    // Appends a header with the given id, type, flags and size field, then `value` (which may be
    // shorter or longer than size - 64, to build malformed streams).
    StreamBuilder& raw(std::uint64_t id, DataType type, std::uint16_t size, const void* value,
                       std::size_t value_length, std::uint64_t flags = 0) {
        const MessageRecord header = make_record(id, type, size, flags);
        const auto* h = reinterpret_cast<const std::uint8_t*>(&header);
        bytes.insert(bytes.end(), h, h + kRecordHeaderSize);
        const auto* v = static_cast<const std::uint8_t*>(value);
        bytes.insert(bytes.end(), v, v + value_length);
        ++count;
        return *this;
    }

    StreamBuilder& message(std::uint64_t id, DataType type, const void* value, std::size_t length,
                           std::uint64_t flags = 0) {
        return raw(id, type, static_cast<std::uint16_t>(kRecordHeaderSize + length), value, length,
                   flags);
    }

    StreamBuilder& doubles(std::string_view name, std::initializer_list<double> values,
                           std::uint64_t flags = 0) {
        static constexpr DataType by_count[] = {DataType::Void, DataType::Double, DataType::Vector2,
                                                DataType::Vector3, DataType::Vector4};
        const DataType type = values.size() < 5 ? by_count[values.size()] : DataType::Vector4;
        return message(message_id(name), type, values.begin(), values.size() * sizeof(double),
                       flags);
    }

    StreamBuilder& integer(std::string_view name, std::int64_t v, std::uint64_t flags = 0) {
        return message(message_id(name), DataType::Int, &v, sizeof v, flags);
    }

    StreamBuilder& text(std::string_view name, std::string_view s, std::uint64_t flags = 0) {
        return message(message_id(name), DataType::String, s.data(), s.size(), flags);
    }

    StreamBuilder& wide_text(std::string_view name, std::initializer_list<char16_t> units,
                             std::uint64_t flags = 0) {
        return message(message_id(name), DataType::WideString, units.begin(),
                       units.size() * sizeof(char16_t), flags);
    }

    StreamBuilder& none(std::string_view name, std::uint64_t flags = 0) {
        return message(message_id(name), DataType::Void, nullptr, 0, flags);
    }
};
