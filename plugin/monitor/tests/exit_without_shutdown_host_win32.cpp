// A host that starts the monitor and leaves without Shutdown: it returns from main while the
// window is open, having unloaded the plug-in first when asked to.
// Usage: exit_without_shutdown_host EXIT_CODE [unload]
#include "testing/monitor_window_win32.h"
#include "testing/plugin_under_test_win32.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr int kWindowMs = 4000;
// Distinct from any exit code a test asks for.
constexpr int kUsage = 90;
constexpr int kNoPlugin = 91;
constexpr int kNoWindow = 92;

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        return kUsage;
    }
    const PluginBinding plugin = plugin_load();
    if (plugin.init == nullptr || !plugin.init(nullptr)) {
        return kNoPlugin;
    }
    const bool open = wait_until(kWindowMs, [] {
        const HWND window = monitor_window_find();
        return window != nullptr && ::IsWindowVisible(window);
    });
    if (!open) {
        return kNoWindow;
    }
    if (argc > 2 && std::strcmp(argv[2], "unload") == 0) {
        ::FreeLibrary(plugin.module);
    }
    return std::atoi(argv[1]);
}
