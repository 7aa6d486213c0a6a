// Decodes the host's message stream into 128-byte records, bounded by the stream's byte length.
#include "plugin/host/frame_decoder.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace {

// 64 bytes of ones, then 64 of zeros: the 64 bytes from (64 - kept) on keep the first `kept`
// bytes of a value area and clear the rest.
constexpr auto kKeepWindow = [] {
    std::array<std::uint8_t, 2 * kRecordValueSize> window{};
    for (std::size_t i = 0; i < kRecordValueSize; ++i) {
        window[i] = 0xFF;
    }
    return window;
}();

// The value area from a full 64 bytes of stream under a mask: no branch on the size and no
// variable-length library call, so it compiles to a few vector instructions.
void copy_value_masked(std::uint8_t* __restrict value, const std::uint8_t* __restrict source,
                       std::uint32_t kept) {
    const std::uint8_t* keep = kKeepWindow.data() + kRecordValueSize - kept;
    for (std::size_t i = 0; i < kRecordValueSize; ++i) {
        value[i] = source[i] & keep[i];
    }
}

}  // namespace

bool decode_record(std::span<const std::uint8_t> stream, std::uint32_t& position,
                   MessageRecord& record) {
    const std::size_t available = position <= stream.size() ? stream.size() - position : 0;
    if (available < kRecordHeaderSize) {
        return false;
    }
    const std::uint8_t* at = stream.data() + position;
    std::uint16_t size;
    std::memcpy(&size, at + offsetof(MessageRecord, size), sizeof size);
    if (size < kRecordHeaderSize || size > available) {
        return false;
    }
    const std::uint32_t kept = std::min<std::uint32_t>(size - kRecordHeaderSize, kRecordValueSize);
    std::memcpy(&record, at, kRecordHeaderSize);
    if (available >= kRecordSize) {
        copy_value_masked(record.value, at + kRecordHeaderSize, kept);
    } else {  // near the end of the stream: never read past it
        std::memcpy(record.value, at + kRecordHeaderSize, kept);
        std::memset(record.value + kept, 0, kRecordValueSize - kept);
    }
    position += size;
    return true;
}

void decode_frame(std::span<const std::uint8_t> stream, std::uint32_t count,
                  std::vector<MessageRecord>& records) {
    // Every record takes at least a header, so the stream bounds how many can follow. Sized
    // once for that many and decoded in place, then cut to what decoded: records left from the
    // last frame are overwritten without being cleared first.
    const std::size_t most = std::min<std::size_t>(count, stream.size() / kRecordHeaderSize);
    records.resize(most);
    MessageRecord* const out = records.data();
    std::uint32_t position = 0;
    std::size_t decoded = 0;
    while (decoded < most && decode_record(stream, position, out[decoded])) {
        ++decoded;
    }
    records.resize(decoded);
}
