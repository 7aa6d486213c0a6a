// When `g1 publish` waits for datagrams next, so that a batch of them shares one waking and one
// write: a datagram after a quiet spell goes at once; while they come closer together than the
// gathering, each wait begins a gathering after the write before it and takes what came meanwhile.
// A gathering that found nothing ends them: a timer's waking with nothing to take costs as much
// as a datagram's own.
#pragma once

#include <cstddef>
#include <cstdint>

struct PublishPacing {
    std::int64_t gather_ns = 0;
    bool gathering = false;  // the next wait sleeps until next_wait_ns, then takes without waiting
    std::int64_t next_wait_ns = 0;
    std::int64_t written_ns = 0;  // when the last batch was written
};

// A wait ended at `woke_ns` with `taken` datagrams (`gathered`: the gathering's take found them;
// `full`: as many as a wait takes, so more are waiting), their writes done by `written_ns`.
void publish_pacing_note(PublishPacing& pacing, bool gathered, std::int64_t woke_ns,
                         std::size_t taken, bool full, std::int64_t written_ns);
