// Windows has no cork: the batch's writes go as they come, joined only where the connection's
// own coalescing of small writes joins them.
#include "tools/g1/mqtt/stream_writes.h"

void hold_stream_writes(std::uintptr_t, bool) {}
