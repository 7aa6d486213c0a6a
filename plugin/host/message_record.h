// The 128-byte message record the host streams to the plug-in, and its value-type codes.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

static_assert(std::endian::native == std::endian::little, "records are little-endian on the wire");

enum class DataType : std::uint8_t {
    Void = 0,
    Int = 1,
    Double = 2,
    Vector2 = 3,
    Vector3 = 4,
    Vector4 = 5,
    WideString = 6,
    String = 7,
};

inline constexpr std::uint32_t kRecordHeaderSize = 64;
inline constexpr std::uint32_t kRecordValueSize = 64;
inline constexpr std::uint32_t kRecordSize = kRecordHeaderSize + kRecordValueSize;

// Field by field as the wire lays it out; every field sits at its natural alignment, so the
// struct is the wire layout itself and a header is copied in with one memcpy. Aligned to 64
// bytes in memory, so that the header and the value area each fill one cache line and a copy
// of either never straddles two.
struct alignas(64) MessageRecord {
    std::uint8_t marker0;                  // 0: kRecordMarker in built records; never checked
    std::uint8_t marker1;                  // 1: the same
    std::uint16_t size;                    // 2: header plus value bytes in the stream
    std::uint8_t reserved0[12];            // 4
    std::uint64_t id;                      // 16: MessageId of the name
    std::uint8_t reserved1;                // 24
    std::uint8_t data_type;                // 25: DataType code, carried through unchecked
    std::uint8_t reserved2;                // 26: 1 in built records; never read
    std::uint8_t reserved3[29];            // 27
    std::uint64_t flags;                   // 56
    std::uint8_t value[kRecordValueSize];  // 64: zero beyond the bytes received
};

static_assert(sizeof(MessageRecord) == kRecordSize);
static_assert(offsetof(MessageRecord, size) == 2);
static_assert(offsetof(MessageRecord, id) == 16);
static_assert(offsetof(MessageRecord, data_type) == 25);
static_assert(offsetof(MessageRecord, flags) == 56);
static_assert(offsetof(MessageRecord, value) == kRecordHeaderSize);

inline constexpr std::uint8_t kRecordMarker = 0xAA;
// The flags a message usually carries: the tracked records have them (the time has flags of its
// own), and written streams stamp them on the records that are not tracked.
inline constexpr std::uint64_t kUsualFlags = 0x02000040;

// A header as records are built rather than decoded (the tracked messages, streams written for
// the emulator and the tests): both markers, byte 26 set, the other reserved bytes and the
// value area zero.
constexpr MessageRecord make_record(std::uint64_t id, DataType type, std::uint16_t size,
                                    std::uint64_t flags) {
    MessageRecord record{};
    record.marker0 = kRecordMarker;
    record.marker1 = kRecordMarker;
    record.size = size;
    record.id = id;
    record.data_type = static_cast<std::uint8_t>(type);
    record.reserved2 = 1;
    record.flags = flags;
    return record;
}

// The value area read as the index-th double (0 to 7), little-endian IEEE 754.
inline double record_double(const MessageRecord& record, std::size_t index) {
    double v;
    std::memcpy(&v, record.value + index * sizeof(double), sizeof v);
    return v;
}

inline std::int64_t record_int(const MessageRecord& record) {
    std::int64_t v;
    std::memcpy(&v, record.value, sizeof v);
    return v;
}
