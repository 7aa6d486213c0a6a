// Arbitrary bytes as a host frame: a stream with any record count and byte length goes through
// the decoder, the G1 datagram and the monitor's listing, as Update and a repaint take it.
// AddressSanitizer catches any read outside the stream; the checks below catch wrong output.
#include "fuzz/frame_input.h"
#include "plugin/host/frame_step.h"
#include "plugin/monitor/frame_listing.h"
#include "plugin/telemetry/g1_datagram.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace {

void require(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "frame_fuzz: %s\n", what);
        std::abort();
    }
}

// Each record is the stream's header bytes, then the value bytes its size field announces (at
// most 64), then zeros; records follow one another as their size fields say.
void check_records(std::span<const std::uint8_t> stream, std::uint32_t count,
                   const std::vector<MessageRecord>& records) {
    require(records.size() <= count, "more records than the count");
    std::size_t position = 0;
    for (const MessageRecord& r : records) {
        require(position + r.size <= stream.size() && r.size >= kRecordHeaderSize,
                "a record that does not lie inside the stream");
        const std::size_t kept =
            std::min<std::size_t>(r.size - kRecordHeaderSize, kRecordValueSize);
        require(std::memcmp(&r, stream.data() + position, kRecordHeaderSize + kept) == 0,
                "a record differs from its bytes in the stream");
        for (std::size_t i = kept; i < kRecordValueSize; ++i) {
            require(r.value[i] == 0, "a value byte beyond the payload is not zero");
        }
        position += r.size;
    }
    if (records.size() == count) {
        return;
    }
    // Decoding stopped early, so the next record must be one that cannot be decoded.
    const std::size_t left = stream.size() - position;
    std::uint16_t size = 0;
    if (left >= kRecordHeaderSize) {
        std::memcpy(&size, stream.data() + position + offsetof(MessageRecord, size), sizeof size);
    }
    require(left < kRecordHeaderSize || size < kRecordHeaderSize || size > left,
            "decoding stopped before a record it could decode");
}

bool is_int32_text(std::string_view s) {
    const std::size_t digits = s.size() - (s.starts_with('-') ? 1 : 0);
    if (digits == 0 || digits > 10 || s == "-0" || (digits > 1 && s[s.size() - digits] == '0')) {
        return false;
    }
    for (char c : s.substr(s.size() - digits)) {
        if (c < '0' || c > '9') return false;
    }
    const long long v = std::strtoll(std::string(s).c_str(), nullptr, 10);
    return v >= -2147483648LL && v <= 2147483647LL;
}

void check_datagram(const G1Text& datagram, std::size_t records) {
    const std::string_view text = datagram.view();
    if (records == 0) {
        require(text.empty(), "a frame without records gives a datagram");
        return;
    }
    require(text.starts_with(kG1Tag), "the datagram lacks its tag");
    require(text.size() >= kG1MinLength && text.size() <= kG1MaxLength,
            "the datagram's length is out of range");
    require(text.ends_with(','), "the datagram does not end with a comma");
    std::size_t fields = 0;
    std::string_view rest = text.substr(kG1Tag.size());
    while (!rest.empty()) {
        const std::size_t comma = rest.find(',');
        require(is_int32_text(rest.substr(0, comma)), "a field is not a 32-bit decimal");
        rest.remove_prefix(comma + 1);
        ++fields;
    }
    require(fields == kG1FieldCount, "the datagram does not hold 13 fields");
}

void check_listing(const FrameListing& listing, std::size_t records) {
    require(listing.count == 1 + kListingItemsPerLine * std::min(records, kListingMaxLines),
            "the listing has the wrong number of texts");
    for (std::size_t i = 0; i < listing.count; ++i) {
        const ListingItem& item = listing.items[i];
        require(item.length <= kListingMaxTextLength, "a listing text is longer than 254");
        require(std::strlen(item.text) == item.length, "a listing text's length is wrong");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const FrameInput input = frame_input_parse(data, size);
    // The stream in a block of its own, exactly as long as its stated size, so that the
    // sanitizer reports any read past its end.
    const auto stream = std::make_unique<std::uint8_t[]>(input.stream.size());
    std::memcpy(stream.get(), input.stream.data(), input.stream.size());
    const std::span<const std::uint8_t> bytes(stream.get(), input.stream.size());

    static std::vector<MessageRecord> records;  // kept across inputs, as Update keeps them
    static FrameExchange exchange;
    const G1Text datagram = frame_step(bytes, input.count, input.dt, records, exchange);
    check_records(bytes, input.count, records);
    check_datagram(datagram, records.size());

    static FrameListing listing;  // 55 kB, kept off the stack as the window thread keeps it
    frame_listing_build(listing, records, input.dt, input.counter);
    check_listing(listing, records.size());
    return 0;
}
