// The texts of one monitor repaint and where they go, worked out without any platform call: the
// painter only draws the items. Texts are 8-bit, one byte per character U+0000 to U+00FF.
#pragma once

#include "plugin/host/frame_exchange.h"
#include "plugin/host/message_record.h"
#include "plugin/monitor/monitor_window.h"

#include <cstddef>
#include <cstdint>
#include <span>

inline constexpr std::size_t kListingTextCapacity = 255;  // terminating zero included
inline constexpr std::size_t kListingMaxTextLength = kListingTextCapacity - 1;

inline constexpr float kListingHeaderX = 10.0f;
inline constexpr float kListingHeaderY = 4.0f;
inline constexpr float kListingNumberX = 0.0f;
inline constexpr float kListingValueX = 40.0f;
inline constexpr float kListingNameX = 300.0f;
inline constexpr float kListingFirstLineY = 20.0f;
inline constexpr float kListingLineHeight = 16.0f;
inline constexpr float kListingBitmapHeight = static_cast<float>(kMonitorHeight);

// Lines go on while they start no lower than the bitmap's height.
inline constexpr std::size_t kListingMaxLines =
    static_cast<std::size_t>((kListingBitmapHeight - kListingFirstLineY) / kListingLineHeight + 1);
static_assert(kListingMaxLines == 67);

inline constexpr std::size_t kListingItemsPerLine = 3;  // line number, value, name and flags
inline constexpr std::size_t kListingMaxItems = 1 + kListingItemsPerLine * kListingMaxLines;

// `text` holds `length` characters and a terminating zero; (x, y) is its top-left corner.
struct ListingItem {
    float x;
    float y;
    std::uint16_t length;
    char text[kListingTextCapacity];
};

// The header first, then each listed record's line number, value and name with flags.
struct FrameListing {
    std::size_t count;
    ListingItem items[kListingMaxItems];
};

// Fills `listing` for one repaint of `records`, naming each record through the message
// catalogue. Allocates nothing; numbers read the same on every build and in every locale.
void frame_listing_build(FrameListing& listing, std::span<const MessageRecord> records, double dt,
                         std::uint64_t counter);

// One repaint's work before drawing: takes the latest frame out of the exchange (under its lock)
// and builds the listing from it (without the lock).
void frame_listing_take(FrameListing& listing, FrameExchange& exchange);
