// Calling a plug-in's export so that what escapes it does not end the host: an access violation,
// a C++ exception or another structured exception that no frame handles, and an abort (what
// std::terminate ends in). The call is abandoned where it failed and the caller learns what
// happened and where. The plug-in is broken from then on: the caller calls it no more and does
// not unload it (its state may be half changed, its locks held).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

struct GuardedCall {
    bool returned = true;
    std::uint32_t code = 0;  // the exception code; 0 for an abort
    // "an access violation (writing address 0x0) in plug.dll+0x1a2b", "a C++ exception", ...
    std::string what;
};

// Only on the thread that calls it, one call at a time.
GuardedCall guarded_call(const std::function<void()>& call);
