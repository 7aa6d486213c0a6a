// Short sleeps that end close to when they were asked to: `g1 publish` gathers datagrams for
// under a millisecond, which the system's leeway on a sleep would otherwise lengthen.
#pragma once

// For the calling thread (POSIX) or, where the timer's tick is the system's, the process
// (Windows, until it ends).
void precise_sleeps();
