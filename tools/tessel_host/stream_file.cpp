// Writing and checked reading of the stream file.
#include "tools/tessel_host/stream_file.h"

#include "plugin/host/message_record.h"

#include <cmath>
#include <cstring>
#include <fstream>
#include <istream>
#include <ostream>

namespace {

template <typename T>
void put(std::uint8_t*& at, T value) {
    std::memcpy(at, &value,
                sizeof value);  // the format and every supported target are little-endian
    at += sizeof value;
}

template <typename T>
T take(const std::uint8_t*& at) {
    T value;
    std::memcpy(&value, at, sizeof value);
    at += sizeof value;
    return value;
}

// Reads exactly `size` bytes or says how many there were.
std::size_t read_some(StreamReader& r, void* into, std::size_t size) {
    r.in->read(static_cast<char*>(into), static_cast<std::streamsize>(size));
    const auto got = static_cast<std::size_t>(r.in->gcount());
    r.offset += got;
    return got;
}

std::string at_frame(const StreamReader& r) {
    return "frame " + std::to_string(r.frames + 1) + " (byte " + std::to_string(r.offset) + ")";
}

bool frame_header_ok(const StreamReader& r, double dt, std::uint32_t count, std::uint32_t length,
                     std::string& error) {
    if (!std::isfinite(dt) || dt < 0.0 || dt > kStreamMaxTimeStep) {
        error = at_frame(r) + ": time step " + std::to_string(dt) + " is not 0 to 60 seconds";
    } else if (length > kStreamMaxFrameBytes) {
        error = at_frame(r) + ": " + std::to_string(length) + " bytes, more than a frame may hold";
    } else if (count > length / kRecordHeaderSize) {
        error = at_frame(r) + ": " + std::to_string(count) + " records cannot fit in " +
                std::to_string(length) + " bytes";
    } else {
        return true;
    }
    return false;
}

}  // namespace

bool stream_write_header(std::ostream& out) {
    std::uint8_t header[kStreamHeaderSize];
    std::uint8_t* at = header;
    std::memcpy(at, kStreamMagic.data(), kStreamMagic.size());
    at += kStreamMagic.size();
    put<std::uint32_t>(at, kStreamVersion);
    put<std::uint32_t>(at, 0);
    out.write(reinterpret_cast<const char*>(header), sizeof header);
    return static_cast<bool>(out);
}

bool stream_write_frame(std::ostream& out, const StreamFrame& frame) {
    std::uint8_t header[kStreamFrameHeaderSize];
    std::uint8_t* at = header;
    put<double>(at, frame.dt);
    put<std::uint32_t>(at, frame.count);
    put<std::uint32_t>(at, static_cast<std::uint32_t>(frame.bytes.size()));
    out.write(reinterpret_cast<const char*>(header), sizeof header);
    out.write(reinterpret_cast<const char*>(frame.bytes.data()),
              static_cast<std::streamsize>(frame.bytes.size()));
    return static_cast<bool>(out);
}

StreamRead stream_read_header(StreamReader& r, std::string& error) {
    std::uint8_t header[kStreamHeaderSize];
    const std::size_t got = read_some(r, header, sizeof header);
    if (got < kStreamMagic.size() ||
        std::memcmp(header, kStreamMagic.data(), kStreamMagic.size()) != 0) {
        error = "not a stream file (it does not start with the stream file's magic)";
        return StreamRead::Error;
    }
    if (got < sizeof header) {
        error = "truncated: the file header is cut after " + std::to_string(got) + " bytes";
        return StreamRead::Error;
    }
    const std::uint8_t* at = header + kStreamMagic.size();
    const auto version = take<std::uint32_t>(at);
    const auto flags = take<std::uint32_t>(at);
    if (version != kStreamVersion) {
        error = "stream file version " + std::to_string(version) + "; this host reads version " +
                std::to_string(kStreamVersion);
        return StreamRead::Error;
    }
    if (flags != 0) {
        error = "stream file flags " + std::to_string(flags) + " are unknown to version 1";
        return StreamRead::Error;
    }
    return StreamRead::Frame;
}

StreamRead stream_read_frame(StreamReader& r, StreamFrame& frame, std::string& error) {
    std::uint8_t header[kStreamFrameHeaderSize];
    const std::size_t got = read_some(r, header, sizeof header);
    if (got == 0) {
        return StreamRead::End;
    }
    if (got < sizeof header) {
        error = "truncated: " + at_frame(r) + " has " + std::to_string(got) + " of its " +
                std::to_string(sizeof header) + " header bytes";
        return StreamRead::Error;
    }
    const std::uint8_t* at = header;
    const auto dt = take<double>(at);
    const auto count = take<std::uint32_t>(at);
    const auto length = take<std::uint32_t>(at);
    if (!frame_header_ok(r, dt, count, length, error)) {
        return StreamRead::Error;
    }
    frame.dt = dt;
    frame.count = count;
    frame.bytes.resize(length);
    const std::size_t body = read_some(r, frame.bytes.data(), length);
    if (body < length) {
        error = "truncated: " + at_frame(r) + " announces " + std::to_string(length) +
                " bytes and has " + std::to_string(body);
        return StreamRead::Error;
    }
    if (!stream_records_fill(frame.bytes, count, error)) {
        error = at_frame(r) + ": " + error;
        return StreamRead::Error;
    }
    ++r.frames;
    return StreamRead::Frame;
}

bool stream_records_fill(std::span<const std::uint8_t> bytes, std::uint32_t count,
                         std::string& error) {
    std::size_t position = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (bytes.size() - position < kRecordHeaderSize) {
            error = "record " + std::to_string(i + 1) + " of " + std::to_string(count) +
                    " lies beyond the frame's bytes";
            return false;
        }
        std::uint16_t size;
        std::memcpy(&size, bytes.data() + position + offsetof(MessageRecord, size), sizeof size);
        if (size < kRecordHeaderSize || size > bytes.size() - position) {
            error = "record " + std::to_string(i + 1) + " has size " + std::to_string(size) +
                    ", which does not fit the frame";
            return false;
        }
        position += size;
    }
    if (position != bytes.size()) {
        error = std::to_string(bytes.size() - position) + " bytes follow the last record";
        return false;
    }
    return true;
}

bool stream_file_load(const std::string& path, std::vector<StreamFrame>& frames,
                      std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open " + path;
        return false;
    }
    StreamReader reader{&in};
    if (stream_read_header(reader, error) != StreamRead::Frame) {
        error = path + ": " + error;
        return false;
    }
    frames.clear();
    StreamFrame frame;
    StreamRead read;
    while ((read = stream_read_frame(reader, frame, error)) == StreamRead::Frame) {
        frames.push_back(std::move(frame));
        frame = StreamFrame{};
    }
    if (read == StreamRead::Error) {
        error = path + ": " + error;
        return false;
    }
    return true;
}
