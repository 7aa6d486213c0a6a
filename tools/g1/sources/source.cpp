// The one step that every command's loop takes on its source.
#include "tools/g1/sources/source.h"

#include <cstdio>

ReceiveStep source_step(G1Source& source, int timeout_ms, const ReceiveHandler& handle) {
    if (source.ended()) return ReceiveStep::Stop;
    if (source.wait(timeout_ms, handle) == UdpWait::Failed) return ReceiveStep::Failed;
    return ReceiveStep::GoOn;
}

void source_close(const char* command, G1Source& source) {
    const std::string words = source.close();
    if (!words.empty()) std::fprintf(stderr, "%s: %s\n", command, words.c_str() + 2);
}
