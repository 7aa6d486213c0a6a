// Linux: a thread's sleeps may end up to its timer slack late, 50 microseconds unless set.
#include "tools/common/sleep_precision.h"

#include <sys/prctl.h>

namespace {

constexpr unsigned long kTimerSlackNs = 1'000;

}  // namespace

void precise_sleeps() {
    ::prctl(PR_SET_TIMERSLACK, kTimerSlackNs, 0, 0, 0);
}
