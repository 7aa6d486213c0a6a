// The frame API's accessors: reading one decoded message by its type, and finding one by id.
#include "plugin/kit/tessel_plugin.h"

#include "plugin/host/message_catalogue.h"

#include <algorithm>
#include <limits>

namespace {

constexpr std::size_t kWideUnits = kRecordValueSize / sizeof(char16_t);
constexpr char32_t kReplacement = 0xFFFD;  // a lone surrogate: U+FFFD, as UTF-8 encoders do

char16_t wide_unit(const TesselMessage& message, std::size_t i) {
    return static_cast<char16_t>(message.value[2 * i] | message.value[2 * i + 1] << 8);
}

bool is_high_surrogate(char32_t u) {
    return u >= 0xD800 && u <= 0xDBFF;
}
bool is_low_surrogate(char32_t u) {
    return u >= 0xDC00 && u <= 0xDFFF;
}

// Appends one character as UTF-8 when all of it fits before the terminator's place.
bool put_utf8(char32_t c, char* out, std::size_t capacity, std::size_t& length) {
    char bytes[4];
    std::size_t n = 0;
    if (c < 0x80) {
        bytes[n++] = static_cast<char>(c);
    } else if (c < 0x800) {
        bytes[n++] = static_cast<char>(0xC0 | c >> 6);
        bytes[n++] = static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        bytes[n++] = static_cast<char>(0xE0 | c >> 12);
        bytes[n++] = static_cast<char>(0x80 | (c >> 6 & 0x3F));
        bytes[n++] = static_cast<char>(0x80 | (c & 0x3F));
    } else {
        bytes[n++] = static_cast<char>(0xF0 | c >> 18);
        bytes[n++] = static_cast<char>(0x80 | (c >> 12 & 0x3F));
        bytes[n++] = static_cast<char>(0x80 | (c >> 6 & 0x3F));
        bytes[n++] = static_cast<char>(0x80 | (c & 0x3F));
    }
    if (length + n >= capacity) {
        return false;
    }
    std::copy(bytes, bytes + n, out + length);
    length += n;
    return true;
}

std::size_t wide_text(const TesselMessage& message, char* out, std::size_t capacity) {
    std::size_t length = 0;
    for (std::size_t i = 0; i < kWideUnits; ++i) {
        char32_t c = wide_unit(message, i);
        if (c == 0) {
            break;
        }
        if (is_high_surrogate(c) && i + 1 < kWideUnits &&
            is_low_surrogate(wide_unit(message, i + 1))) {
            c = 0x10000 + ((c - 0xD800) << 10) + (wide_unit(message, ++i) - 0xDC00);
        } else if (is_high_surrogate(c) || is_low_surrogate(c)) {
            c = kReplacement;
        }
        if (!put_utf8(c, out, capacity, length)) {
            break;
        }
    }
    return length;
}

// The host's 8-bit texts are taken byte for byte; a text that fills the value area has no
// terminator in the record.
std::size_t narrow_text(const TesselMessage& message, char* out, std::size_t capacity) {
    const std::uint8_t* end = std::find(message.value, message.value + kRecordValueSize, 0);
    const auto length = std::min(static_cast<std::size_t>(end - message.value), capacity - 1);
    std::copy(message.value, message.value + length, out);
    return length;
}

}  // namespace

const char* tessel_name(const TesselMessage& message) {
    return message_catalogue_name(message.id).text;
}

TesselType tessel_type(const TesselMessage& message) {
    return static_cast<TesselType>(message.data_type);
}

std::size_t tessel_doubles(const TesselMessage& message) {
    switch (tessel_type(message)) {
        case DataType::Double: return 1;
        case DataType::Vector2: return 2;
        case DataType::Vector3: return 3;
        case DataType::Vector4: return 4;
        default: return 0;
    }
}

double tessel_double(const TesselMessage& message, std::size_t index) {
    if (tessel_type(message) == DataType::Int && index == 0) {
        return static_cast<double>(record_int(message));
    }
    if (index < tessel_doubles(message)) {
        return record_double(message, index);
    }
    return std::numeric_limits<double>::quiet_NaN();
}

std::int64_t tessel_int(const TesselMessage& message) {
    return tessel_type(message) == DataType::Int ? record_int(message) : 0;
}

std::size_t tessel_text(const TesselMessage& message, char* out, std::size_t capacity) {
    if (out == nullptr || capacity == 0) {
        return 0;
    }
    std::size_t length = 0;
    if (tessel_type(message) == DataType::String) {
        length = narrow_text(message, out, capacity);
    } else if (tessel_type(message) == DataType::WideString) {
        length = wide_text(message, out, capacity);
    }
    out[length] = '\0';
    return length;
}

const TesselMessage* tessel_find(const TesselFrame& frame, std::uint64_t id) {
    for (std::size_t i = frame.messages.size(); i > 0; --i) {
        if (frame.messages[i - 1].id == id) {
            return &frame.messages[i - 1];
        }
    }
    return nullptr;
}
