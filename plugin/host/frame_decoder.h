// Decodes the host's message stream into 128-byte records, bounded by the stream's byte length.
#pragma once

#include "plugin/host/message_record.h"

#include <cstdint>
#include <span>
#include <vector>

// Decodes the record at `position` into `record` and moves `position` past it. Returns false,
// leaving `position` as it was, when the record cannot be a message (size field below 64) or
// does not lie wholly inside the stream. A size above 128 keeps the first 64 value bytes; the
// next record still starts where the size field says.
bool decode_record(std::span<const std::uint8_t> stream, std::uint32_t& position,
                   MessageRecord& record);

// Empties `records` (keeping its storage) and appends up to `count` records from the start of
// the stream; the first record that does not decode ends the frame.
void decode_frame(std::span<const std::uint8_t> stream, std::uint32_t count,
                  std::vector<MessageRecord>& records);
