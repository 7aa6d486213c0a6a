// Decodes the host's message stream into 128-byte records, bounded by the stream's byte length.
#include "plugin/host/frame_decoder.h"

#include <algorithm>
#include <array>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#ifndef TESSEL_DECODE_VECTOR_BYTES
#define TESSEL_DECODE_VECTOR_BYTES 32
#endif

namespace {

// The widest vectors a run may use; the build can lower it to measure a processor without them.
constexpr unsigned kWidestVector = TESSEL_DECODE_VECTOR_BYTES;

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

// Copies n bytes (below 64) without reading past them and without a call for the variable
// length: two moves of the largest power of two not above n, the second ending where n does.
template <std::size_t Width>
void copy_both_ends(std::uint8_t* to, const std::uint8_t* from, std::uint32_t n) {
    std::memcpy(to, from, Width);
    std::memcpy(to + n - Width, from + n - Width, Width);
}

void copy_short(std::uint8_t* to, const std::uint8_t* from, std::uint32_t n) {
    if (n >= 32) {
        copy_both_ends<32>(to, from, n);
    } else if (n >= 16) {
        copy_both_ends<16>(to, from, n);
    } else if (n >= 8) {
        copy_both_ends<8>(to, from, n);
    } else if (n >= 4) {
        copy_both_ends<4>(to, from, n);
    } else if (n >= 2) {
        copy_both_ends<2>(to, from, n);
    } else if (n == 1) {
        *to = *from;
    }
}

// Where a run of records decoded from the start of the stream ended.
struct Run {
    std::size_t records = 0;
    std::size_t position = 0;  // where the record after the run starts
};

// The stream's length as far as a run reads it: below 2^32, so that the single-record decoder
// can go on from wherever a run ends.
std::size_t run_length(std::span<const std::uint8_t> stream) {
    return std::min<std::size_t>(stream.size(), UINT32_MAX);
}

// The records that lie where the last frame's did. A host sends the same messages in the same
// order frame after frame, so the sizes that `records` still holds from the last frame say
// where each record starts before its own size field is read: the copies no longer wait one
// after another on each size. Every size is still read and checked. The run ends at the first
// size that differs from the last frame's or lies outside 64 to 128, at the last frame's
// count, or where a whole 128 bytes no longer follow; the single-record decoder goes on there
// (one record at most: two take 128 bytes). Inlined into each run below, so that it compiles
// to the widest moves that run's instructions allow.
template <void (*CopyRecord)(MessageRecord&, const std::uint8_t*, std::uint32_t)>
[[gnu::always_inline]] inline Run run_as_before(std::span<const std::uint8_t> stream,
                                                MessageRecord* records, std::size_t known) {
    const std::uint8_t* at = stream.data();
    std::size_t remaining = run_length(stream);
    MessageRecord* record = records;
    MessageRecord* const end = records + known;
// Four records a turn: the loop's own work otherwise shows beside the moves. Without
// optimisation the compiler ignores the annotation, and warns that it does.
#if defined(__OPTIMIZE__)
#pragma GCC unroll 4
#endif
    for (; record != end && remaining >= kRecordSize; ++record) {
        // Where the value ends comes from the last frame's size, so that the moves need not
        // wait for this frame's, which is read and compared meanwhile.
        const std::uint16_t expected = record->size;  // the last frame's, before it is overwritten
        const std::uint32_t kept = expected - kRecordHeaderSize;  // wraps for a size below 64
        std::uint16_t size;
        std::memcpy(&size, at + offsetof(MessageRecord, size), sizeof size);
        if (size != expected || kept > kRecordValueSize) {
            break;
        }
        CopyRecord(*record, at, kept);
        at += expected;
        remaining -= expected;
    }
    return {static_cast<std::size_t>(record - records),
            static_cast<std::size_t>(at - stream.data())};
}

void copy_record(MessageRecord& record, const std::uint8_t* at, std::uint32_t kept) {
    std::memcpy(&record, at, kRecordHeaderSize);
    copy_value_masked(record.value, at + kRecordHeaderSize, kept);
}

Run decode_as_before(std::span<const std::uint8_t> stream, MessageRecord* records,
                     std::size_t known) {
    return run_as_before<copy_record>(stream, records, known);
}

#if defined(__x86_64__)
// The same run in 32-byte moves, two for a header and two for a value, spelled out: left
// to itself the compiler moves a header 16 bytes at a time. The value's mask is computed, not
// loaded: byte i is kept where i < kept.
[[gnu::target("avx2")]] void copy_record_avx2(MessageRecord& record, const std::uint8_t* at,
                                              std::uint32_t kept) {
    const __m256i low =
        _mm256_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20,
                         21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31);
    const __m256i high = _mm256_add_epi8(low, _mm256_set1_epi8(32));
    const __m256i limit = _mm256_set1_epi8(static_cast<char>(kept));
    const auto* from = reinterpret_cast<const __m256i*>(at);
    auto* to = reinterpret_cast<__m256i*>(&record);
    _mm256_store_si256(to, _mm256_loadu_si256(from));
    _mm256_store_si256(to + 1, _mm256_loadu_si256(from + 1));
    _mm256_store_si256(
        to + 2, _mm256_and_si256(_mm256_loadu_si256(from + 2), _mm256_cmpgt_epi8(limit, low)));
    _mm256_store_si256(
        to + 3, _mm256_and_si256(_mm256_loadu_si256(from + 3), _mm256_cmpgt_epi8(limit, high)));
}

// The same in 16-byte moves, which every x86-64 processor has.
void copy_record_sse2(MessageRecord& record, const std::uint8_t* at, std::uint32_t kept) {
    const __m128i limit = _mm_set1_epi8(static_cast<char>(kept));
    const auto* from = reinterpret_cast<const __m128i*>(at);
    auto* to = reinterpret_cast<__m128i*>(&record);
    for (int i = 0; i < 4; ++i) {
        _mm_store_si128(to + i, _mm_loadu_si128(from + i));
    }
    __m128i index = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    for (int i = 4; i < 8; ++i) {
        _mm_store_si128(to + i,
                        _mm_and_si128(_mm_loadu_si128(from + i), _mm_cmpgt_epi8(limit, index)));
        index = _mm_add_epi8(index, _mm_set1_epi8(16));
    }
}

Run decode_as_before_sse2(std::span<const std::uint8_t> stream, MessageRecord* records,
                          std::size_t known) {
    return run_as_before<copy_record_sse2>(stream, records, known);
}

[[gnu::target("avx2")]] Run decode_as_before_avx2(std::span<const std::uint8_t> stream,
                                                  MessageRecord* records, std::size_t known) {
    return run_as_before<copy_record_avx2>(stream, records, known);
}

Run decode_run(std::span<const std::uint8_t> stream, MessageRecord* records, std::size_t known) {
    // Reads flags that the compiler's runtime sets at start-up; they count a feature only
    // where the system saves its registers too.
    if (kWidestVector >= 32 && __builtin_cpu_supports("avx2")) {
        return decode_as_before_avx2(stream, records, known);
    }
    if (kWidestVector >= 16) {
        return decode_as_before_sse2(stream, records, known);
    }
    return decode_as_before(stream, records, known);
}
#else
Run decode_run(std::span<const std::uint8_t> stream, MessageRecord* records, std::size_t known) {
    return decode_as_before(stream, records, known);
}
#endif

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
    } else {
        // Near the stream's end, where 64 bytes from the value's start would run past it.
        std::memset(record.value, 0, kRecordValueSize);
        copy_short(record.value, at + kRecordHeaderSize, kept);
    }
    position += size;
    return true;
}

void decode_frame(std::span<const std::uint8_t> stream, std::uint32_t count,
                  std::vector<MessageRecord>& records) {
    // Every record takes at least a header, so the stream bounds how many can follow. Sized
    // once for that many and decoded in place, then cut to what decoded: records left from the
    // last frame are overwritten without being cleared first, and their sizes lead the run.
    const std::size_t last_frame = records.size();
    const std::size_t most = std::min<std::size_t>(count, stream.size() / kRecordHeaderSize);
    records.resize(most);
    MessageRecord* const out = records.data();
    const Run run = decode_run(stream, out, std::min(most, last_frame));
    std::size_t decoded = run.records;
    auto position = static_cast<std::uint32_t>(run.position);
    while (decoded < most && decode_record(stream, position, out[decoded])) {
        ++decoded;
    }
    records.resize(decoded);
}
