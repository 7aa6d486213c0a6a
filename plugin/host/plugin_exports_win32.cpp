// The plug-in's boundary with the host: the load hook, the four exports and the plug-in-wide
// state they share.
#include "plugin/host/frame_exchange.h"
#include "plugin/host/frame_step.h"
#include "plugin/host/plugin_interface.h"
#include "plugin/monitor/window_thread_win32.h"
#include "plugin/telemetry/g1_broadcast.h"

#include <windows.h>

#include <cstdint>
#include <span>
#include <vector>

// The C++ runtime linked into the DLL sets aside a pool for exceptions thrown when memory runs
// out (about 73 KB) when it loads, and gives it back only through this call.
namespace __gnu_cxx {
void __freeres();
}  // namespace __gnu_cxx

namespace {

struct PluginState {
    HINSTANCE module = nullptr;
    std::vector<MessageRecord> records;  // the current frame, storage kept from frame to frame
    FrameExchange exchange;
};

PluginState g_plugin;

// On FreeLibrary, not at process exit: a host that unloads the plug-in, with or without
// Shutdown, and loads it again gets back what the last load took.
void release_at_unload() {
    g1_broadcast_close();
    window_thread_release();
    __gnu_cxx::__freeres();
}

}  // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved) noexcept {
    if (reason == DLL_PROCESS_ATTACH) {
        g_plugin.module = module;
    }
    if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
        release_at_unload();
    }
    return TRUE;
}

std::int32_t Corvane_Tessel_External_DLL_GetInterfaceVersion() noexcept {
    return kPluginInterfaceVersion;
}

bool Corvane_Tessel_External_DLL_Init(void*) noexcept {
    return window_thread_start(g_plugin.module, g_plugin.exchange);
}

// Arguments 3 and 5 of the host's interface: the stream's byte length, which bounds decoding,
// and an out-stream the plug-in does not use.
bool Corvane_Tessel_External_DLL_Update(double dt, const std::uint8_t* stream,
                                        std::uint32_t stream_size, std::uint32_t count,
                                        std::uint8_t*, std::uint32_t* out_a,
                                        std::uint32_t* out_b) noexcept {
    bool handled = true;
    G1Text datagram{};
    try {
        const std::span<const std::uint8_t> bytes =
            stream != nullptr ? std::span(stream, stream_size) : std::span<const std::uint8_t>();
        datagram = frame_step(bytes, count, dt, g_plugin.records, g_plugin.exchange);
    } catch (...) {
        // Only growing the frame's storage can throw; no exception may cross into the host, and
        // such a frame sends nothing.
        g_plugin.records.clear();
        handled = false;
    }
    if (out_a != nullptr) {
        *out_a = 0;
    }
    if (out_b != nullptr) {
        *out_b = 0;
    }
    g1_broadcast(datagram);
    return handled;
}

void Corvane_Tessel_External_DLL_Shutdown() noexcept {
    window_thread_stop();
    g1_broadcast_close();
}

}  // extern "C"

static_assert(kMatchesHostSignature<decltype(&Corvane_Tessel_External_DLL_GetInterfaceVersion),
                                    PluginGetInterfaceVersionFn>);
static_assert(kMatchesHostSignature<decltype(&Corvane_Tessel_External_DLL_Init), PluginInitFn>);
static_assert(kMatchesHostSignature<decltype(&Corvane_Tessel_External_DLL_Update), PluginUpdateFn>);
static_assert(
    kMatchesHostSignature<decltype(&Corvane_Tessel_External_DLL_Shutdown), PluginShutdownFn>);
