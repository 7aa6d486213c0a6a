// How the fuzz target reads one input, and how the seed generator writes one: a fixed prefix
// with the record count, the stream's stated size, the time step and the paint counter, then
// the stream's bytes.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

inline constexpr std::size_t kFrameInputPrefix = 24;

struct FrameInput {
    std::uint32_t count;
    double dt;
    std::uint64_t counter;
    std::span<const std::uint8_t> stream;  // as long as the stated size allows
};

// A short input reads as zeros where its prefix is missing. The stated size picks any length
// from 0 to all the bytes there are, so the stream can end anywhere, even inside a record.
inline FrameInput frame_input_parse(const std::uint8_t* data, std::size_t size) {
    std::uint8_t prefix[kFrameInputPrefix] = {};
    std::memcpy(prefix, data, std::min(size, kFrameInputPrefix));
    FrameInput in{};
    std::uint32_t stated;
    std::memcpy(&in.count, prefix, 4);
    std::memcpy(&stated, prefix + 4, 4);
    std::memcpy(&in.dt, prefix + 8, 8);
    std::memcpy(&in.counter, prefix + 16, 8);
    const std::size_t available = size > kFrameInputPrefix ? size - kFrameInputPrefix : 0;
    const std::size_t length = stated % (available + 1);
    in.stream = std::span(data + std::min(size, kFrameInputPrefix), length);
    return in;
}

// The input that parses back to the given values and the whole stream.
inline std::vector<std::uint8_t> frame_input_make(std::uint32_t count,
                                                  std::span<const std::uint8_t> stream, double dt,
                                                  std::uint64_t counter) {
    std::vector<std::uint8_t> out(kFrameInputPrefix);
    const auto stated = static_cast<std::uint32_t>(stream.size());
    std::memcpy(out.data(), &count, 4);
    std::memcpy(out.data() + 4, &stated, 4);
    std::memcpy(out.data() + 8, &dt, 8);
    std::memcpy(out.data() + 16, &counter, 8);
    out.insert(out.end(), stream.begin(), stream.end());
    return out;
}
