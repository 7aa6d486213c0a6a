// The reload decision of `--watch`.
#include "tools/tessel_host/reload_watch.h"

ReloadWatch watch_start(const FileStamp& loaded) {
    ReloadWatch w;
    w.tried = loaded;
    return w;
}

bool watch_observe(ReloadWatch& w, const FileStamp& seen, std::chrono::nanoseconds now) {
    if (!seen.exists || seen == w.tried) {
        w.waiting = false;  // being rewritten, or back to what was tried
        return false;
    }
    if (!w.waiting || seen != w.pending) {
        w.waiting = true;
        w.pending = seen;
        w.pending_since = now;
        return false;
    }
    return now - w.pending_since >= kSteadyBeforeReload;
}

void watch_tried(ReloadWatch& w, const FileStamp& copied) {
    w.tried = copied;
    w.waiting = false;
}
