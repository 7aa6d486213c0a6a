// The host emulator's stream file: the frames a host sent, kept so they can be sent again.
//
// Version 1, little-endian throughout:
//   file header, 16 bytes: magic "TSTREAM" 0x1A (8 bytes), version u32 = 1, flags u32 = 0
//   then frames until the end of the file, each:
//     time step f64 (seconds, finite, 0 to 60), record count u32, byte length u32 (at most
//     16 MiB), then that many bytes: `count` records laid end to end, each a 64-byte header and
//     the value bytes its size field announces (size 64 or more), filling the length exactly.
// A reader refuses anything else: another magic, another version, flags it does not know, a
// frame cut short or records that do not fill their frame.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <span>
#include <string>
#include <vector>

inline constexpr std::array<std::uint8_t, 8> kStreamMagic = {'T', 'S', 'T', 'R',
                                                             'E', 'A', 'M', 0x1A};
inline constexpr std::uint32_t kStreamVersion = 1;
inline constexpr std::size_t kStreamHeaderSize = 16;
inline constexpr std::size_t kStreamFrameHeaderSize = 16;
inline constexpr std::uint32_t kStreamMaxFrameBytes = 16u << 20;
inline constexpr double kStreamMaxTimeStep = 60.0;

struct StreamFrame {
    double dt = 0.0;
    std::uint32_t count = 0;
    std::vector<std::uint8_t> bytes;
};

bool stream_write_header(std::ostream& out);
bool stream_write_frame(std::ostream& out, const StreamFrame& frame);

// Where a reader stands, for the messages of its errors.
struct StreamReader {
    std::istream* in;
    std::uint64_t offset = 0;
    std::uint64_t frames = 0;
};

enum class StreamRead { Frame, End, Error };

// Reads and checks the file header: Frame when it is good, Error (with `error`) otherwise.
StreamRead stream_read_header(StreamReader& reader, std::string& error);
StreamRead stream_read_frame(StreamReader& reader, StreamFrame& frame, std::string& error);

// The whole file, checked to its end before anything is sent.
bool stream_file_load(const std::string& path, std::vector<StreamFrame>& frames,
                      std::string& error);

// Whether `count` records fill `bytes` exactly; the reason if not.
bool stream_records_fill(std::span<const std::uint8_t> bytes, std::uint32_t count,
                         std::string& error);
