// tessel_plugin.h: the plug-in kit's frame API, for writing a plug-in for the Corvane Tessel host
// in one source file. Link Tessel::plugin_kit (find_package(TesselPluginKit)) and export the four
// host functions with the kit's .def file; the kit defines them.
//
// Lifecycle. The kit owns the DLL's boundary with the host and calls three functions of yours:
//
//   host loads the DLL       nothing of yours runs
//   host asks the version    the kit answers 2
//   host calls Init          the kit calls your tessel_plugin_main() for a TesselPlugin, then its
//                            `started`; false from `started` makes Init fail
//   host calls Update        once a frame: the kit decodes the frame's messages into plain
//                            records and calls `frame` with them
//   host calls Shutdown      the kit calls `stopped`
//   (a later Init starts again from tessel_plugin_main(); Update outside Init and Shutdown
//   calls nothing of yours)
//
// Every call comes on the host's thread, one at a time; the host waits for each, so keep
// `frame` short. Any of the three functions may be null. The kit opens no window and starts no
// thread: a plug-in that wants one makes it in `started` and ends it in `stopped`.
//
// Errors are return values: `started` returns false when the plug-in cannot run. An exception
// that leaves one of your functions is caught by the kit and never reaches the host: from
// `started` Init returns false, from `frame` that frame's Update returns false, from `stopped`
// it is dropped. The accessors below throw nothing and answer a question that does not fit the
// message (a double of a text, say) with NaN, 0 or an empty text.
//
// The kit allocates nothing per frame: messages are decoded into storage kept from frame to
// frame. A frame and its messages are valid during the `frame` call only: copy what you keep.
//
// The smallest plug-in:
//
//   #include <tessel_plugin.h>
//   static void frame(const TesselFrame& f, void*) { /* f.messages, f.dt */ }
//   TesselPlugin tessel_plugin_main() { return {nullptr, frame, nullptr, nullptr}; }
#pragma once

#include "plugin/host/message_id.h"
#include "plugin/host/message_record.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

// One decoded message: the host's 128-byte record (plugin/host/message_record.h), read through
// the accessors below. Its `id` is the hash of its name (tessel_id).
using TesselMessage = MessageRecord;

// The value's type: DataType::Void, Int, Double, Vector2, Vector3, Vector4, WideString, String.
using TesselType = DataType;

// One frame of the host, as `frame` receives it.
struct TesselFrame {
    std::span<const TesselMessage> messages;  // in the order the host sent them
    double dt;                                // seconds since the previous frame
    std::uint64_t number;                     // 1 for the first frame after Init
    std::uint32_t announced;  // messages the host announced; more than messages.size() when the
                              // stream ended early or held a malformed message
};

// What your tessel_plugin_main() returns: your three functions and a pointer handed to each.
struct TesselPlugin {
    bool (*started)(void* user);
    void (*frame)(const TesselFrame& frame, void* user);
    void (*stopped)(void* user);
    void* user;
};

// Yours: called at every Init, before `started`.
TesselPlugin tessel_plugin_main();

// The id of a message name, as the host sends it: tessel_id("Aircraft.Altitude").
constexpr std::uint64_t tessel_id(std::string_view name) {
    return message_id(name);
}

// The message's name from the kit's catalogue of known names, or "unknown". The text is the
// catalogue's own and stays valid while the plug-in is loaded.
const char* tessel_name(const TesselMessage& message);

TesselType tessel_type(const TesselMessage& message);

// How many doubles the value holds: 1 for Double, 2 to 4 for the vectors, 0 otherwise.
std::size_t tessel_doubles(const TesselMessage& message);

// The index-th double of a Double or vector value (x, y, z, w), or an Int's value as a double
// (index 0); NaN for any other type or index.
double tessel_double(const TesselMessage& message, std::size_t index);

// An Int's value; 0 for any other type.
std::int64_t tessel_int(const TesselMessage& message);

// A text value into `out`: a String's bytes as they are, a WideString as UTF-8 (a lone surrogate
// as U+FFFD). Always terminated when `capacity` is not 0; a WideString that does not fit is cut
// at a whole character. Returns the bytes written before the terminator: 0 for any other type.
std::size_t tessel_text(const TesselMessage& message, char* out, std::size_t capacity);

// The frame's last message with this id (the latest value), or null when it has none.
const TesselMessage* tessel_find(const TesselFrame& frame, std::uint64_t id);
