// Formats the monitor's header and record lines with a small bounded writer of its own, so the
// texts come out the same under every C runtime and in every locale.
#include "plugin/monitor/frame_listing.h"

#include "plugin/host/message_catalogue.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <string_view>

namespace {

constexpr int kDtDecimals = 6;
constexpr int kValueDecimals = 3;
constexpr std::size_t kLineNumberWidth = 3;
constexpr std::size_t kWideValueUnits = kRecordValueSize / sizeof(char16_t);
constexpr unsigned kFirstWideOnlyUnit = 256;  // units from here on have no 8-bit character
constexpr char kWideOnlyStandIn = '?';

// A sign, every integer digit of the largest double, the point and the most decimals used.
constexpr std::size_t kFixedMaxChars =
    1 + (std::numeric_limits<double>::max_exponent10 + 1) + 1 + kDtDecimals;

ListingItem& start_item(FrameListing& listing, float x, float y) {
    ListingItem& item = listing.items[listing.count++];
    item.x = x;
    item.y = y;
    item.length = 0;
    item.text[0] = '\0';
    return item;
}

// What does not fit is dropped without a trace, as a bounded formatter cuts its output.
void append(ListingItem& item, std::string_view text) {
    const std::size_t taken = std::min(text.size(), kListingMaxTextLength - item.length);
    std::memcpy(item.text + item.length, text.data(), taken);
    item.length = static_cast<std::uint16_t>(item.length + taken);
    item.text[item.length] = '\0';
}

void append(ListingItem& item, char c) {
    append(item, std::string_view(&c, 1));
}

template <typename Integer>
void append_integer(ListingItem& item, Integer value) {
    char digits[std::numeric_limits<Integer>::digits10 + 2];  // every digit and a sign
    const char* end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    append(item, std::string_view(digits, static_cast<std::size_t>(end - digits)));
}

void append_right_aligned(ListingItem& item, std::uint32_t value, std::size_t width) {
    char digits[std::numeric_limits<std::uint32_t>::digits10 + 1];
    const char* end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    const auto length = static_cast<std::size_t>(end - digits);
    for (std::size_t i = length; i < width; ++i) {
        append(item, ' ');
    }
    append(item, std::string_view(digits, length));
}

// printf's "%.Nf" in the C locale, except that NaN reads "nan" whatever its sign bit, where C
// runtimes differ.
void append_fixed(ListingItem& item, double value, int decimals) {
    if (std::isnan(value)) {
        append(item, "nan");
        return;
    }
    char text[kFixedMaxChars];
    const auto [end, error] =
        std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals);
    if (error == std::errc{}) {
        append(item, std::string_view(text, static_cast<std::size_t>(end - text)));
    }
}

void append_vector(ListingItem& item, const MessageRecord& record, std::size_t count) {
    append(item, "v=(");
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) {
            append(item, ' ');
        }
        append_fixed(item, record_double(record, i), kValueDecimals);
    }
    append(item, ')');
}

// A text that fills the whole value area has no terminator in the record.
void append_string(ListingItem& item, const MessageRecord& record) {
    const std::uint8_t* end = std::find(record.value, record.value + kRecordValueSize, 0);
    append(item, "s='");
    append(item, std::string_view(reinterpret_cast<const char*>(record.value),
                                  static_cast<std::size_t>(end - record.value)));
    append(item, '\'');
}

// Each UTF-16 unit on its own, so both halves of a surrogate pair become stand-ins.
void append_wide_string(ListingItem& item, const MessageRecord& record) {
    append(item, "s='");
    for (std::size_t i = 0; i < kWideValueUnits; ++i) {
        const unsigned unit = record.value[2 * i] | unsigned{record.value[2 * i + 1]} << 8;
        if (unit == 0) {
            break;
        }
        append(item, unit < kFirstWideOnlyUnit ? static_cast<char>(unit) : kWideOnlyStandIn);
    }
    append(item, '\'');
}

void append_value(ListingItem& item, const MessageRecord& record) {
    switch (static_cast<DataType>(record.data_type)) {
        case DataType::Void: append(item, "void"); return;
        case DataType::Int:
            append(item, "v=");
            append_integer(item, record_int(record));
            return;
        case DataType::Double:
            append(item, "v=");
            append_fixed(item, record_double(record, 0), kValueDecimals);
            return;
        case DataType::Vector2: append_vector(item, record, 2); return;
        case DataType::Vector3: append_vector(item, record, 3); return;
        case DataType::Vector4: append_vector(item, record, 4); return;
        case DataType::WideString: append_wide_string(item, record); return;
        case DataType::String: append_string(item, record); return;
    }
    // A code with no value layout shows itself rather than leave the column blank.
    append(item, "type=");
    append_integer(item, unsigned{record.data_type});
}

void append_header(FrameListing& listing, std::size_t records, double dt, std::uint64_t counter) {
    ListingItem& item = start_item(listing, kListingHeaderX, kListingHeaderY);
    append(item, "messages = ");
    append_integer(item, std::uint64_t{records});
    append(item, "  dt=");
    append_fixed(item, dt, kDtDecimals);
    append(item, "  counter=");
    append_integer(item, counter);
}

void append_line(FrameListing& listing, const MessageRecord& record, std::size_t index) {
    const float y = kListingFirstLineY + kListingLineHeight * static_cast<float>(index);

    ListingItem& number = start_item(listing, kListingNumberX, y);
    append_right_aligned(number, static_cast<std::uint32_t>(index + 1), kLineNumberWidth);
    append(number, ':');

    append_value(start_item(listing, kListingValueX, y), record);

    ListingItem& name = start_item(listing, kListingNameX, y);
    const MessageName found = message_catalogue_lookup(record.id);
    append(name, '\'');
    append(name, message_name_view(found));
    append(name, "'  flags=");
    append_integer(name, record.flags);
}

}  // namespace

void frame_listing_build(FrameListing& listing, std::span<const MessageRecord> records, double dt,
                         std::uint64_t counter) {
    listing.count = 0;
    append_header(listing, records.size(), dt, counter);
    const std::size_t lines = std::min(records.size(), kListingMaxLines);
    for (std::size_t i = 0; i < lines; ++i) {
        append_line(listing, records[i], i);
    }
}

void frame_listing_take(FrameListing& listing, FrameExchange& exchange) {
    const TakenFrame frame = frame_exchange_take(exchange);
    frame_listing_build(listing, frame.records, frame.dt, frame.counter);
}
