// Decodes the host's message stream into 128-byte records, bounded by the stream's byte length.
#include "plugin/host/frame_decoder.h"

#include <algorithm>
#include <cstring>

bool decode_record(std::span<const std::uint8_t> stream, std::uint32_t& position,
                   MessageRecord& record) {
    const std::size_t available = position <= stream.size() ? stream.size() - position : 0;
    if (available < kRecordHeaderSize) {
        return false;
    }
    std::uint16_t size;
    std::memcpy(&size, stream.data() + position + offsetof(MessageRecord, size), sizeof size);
    if (size < kRecordHeaderSize || size > available) {
        return false;
    }
    const std::uint32_t kept = std::min<std::uint32_t>(size - kRecordHeaderSize, kRecordValueSize);
    std::memcpy(&record, stream.data() + position, kRecordHeaderSize + kept);
    std::memset(record.value + kept, 0, kRecordValueSize - kept);
    position += size;
    return true;
}

void decode_frame(std::span<const std::uint8_t> stream, std::uint32_t count,
                  std::vector<MessageRecord>& records) {
    records.clear();
    // Every record takes at least a header, so the stream bounds how many can follow.
    const std::size_t most = std::min<std::size_t>(count, stream.size() / kRecordHeaderSize);
    if (records.capacity() < most) {
        records.reserve(most);
    }
    std::uint32_t position = 0;
    for (std::size_t i = 0; i < most; ++i) {
        MessageRecord& record = records.emplace_back();
        if (!decode_record(stream, position, record)) {
            records.pop_back();
            return;
        }
    }
}
