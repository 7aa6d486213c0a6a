// Whether `g1 publish` gathers before its next wait, from how close together datagrams come.
#include "tools/g1/sinks/publish/publish_pacing.h"

void publish_pacing_note(PublishPacing& p, bool gathered, std::int64_t woke_ns, std::size_t taken,
                         bool full, std::int64_t written_ns) {
    // One that came within a gathering of the last write says the next gathering finds some too.
    const bool close = gathered || woke_ns - p.written_ns < p.gather_ns;
    p.gathering = taken > 0 && !full && close;
    if (taken > 0) p.written_ns = written_ns;
    p.next_wait_ns = p.gathering ? written_ns + p.gather_ns : 0;
}
