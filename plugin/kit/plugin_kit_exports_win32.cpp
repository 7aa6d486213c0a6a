// The kit's boundary with the host: the four exports, each a thin call into the lifecycle
// (plugin_kit.h) with the author's tessel_plugin_main. The author's .def file names them, which
// is what makes the linker take this file out of the kit's library.
#include "plugin/host/plugin_interface.h"
#include "plugin/kit/plugin_kit.h"

#include <cstdint>
#include <span>

// The C++ runtime linked into the DLL sets aside a pool for exceptions thrown when memory runs
// out (about 73 KB) when it loads, and gives it back only through this call.
namespace __gnu_cxx {
void __freeres();
}  // namespace __gnu_cxx

namespace {

PluginKit g_kit;

// Destroyed when the DLL unloads: a host that loads the plug-in again (a reload on every
// rebuild) gets back what the last load took. No DllMain of the kit's, so an author may have one.
struct RuntimeRelease {
    RuntimeRelease() = default;
    RuntimeRelease(const RuntimeRelease&) = delete;
    RuntimeRelease& operator=(const RuntimeRelease&) = delete;
    ~RuntimeRelease() { __gnu_cxx::__freeres(); }
};

const RuntimeRelease g_runtime_release;

}  // namespace

extern "C" {

std::int32_t Corvane_Tessel_External_DLL_GetInterfaceVersion() noexcept {
    return kPluginInterfaceVersion;
}

bool Corvane_Tessel_External_DLL_Init(void*) noexcept {
    return plugin_kit_init(g_kit, tessel_plugin_main);
}

// Arguments 3 and 5 of the host's interface: the stream's byte length, which bounds decoding,
// and an out-stream the kit does not use.
bool Corvane_Tessel_External_DLL_Update(double dt, const std::uint8_t* stream,
                                        std::uint32_t stream_size, std::uint32_t count,
                                        std::uint8_t*, std::uint32_t* out_a,
                                        std::uint32_t* out_b) noexcept {
    if (out_a != nullptr) {
        *out_a = 0;
    }
    if (out_b != nullptr) {
        *out_b = 0;
    }
    const std::span<const std::uint8_t> bytes =
        stream != nullptr ? std::span(stream, stream_size) : std::span<const std::uint8_t>();
    return plugin_kit_update(g_kit, dt, bytes, count);
}

void Corvane_Tessel_External_DLL_Shutdown() noexcept {
    plugin_kit_shutdown(g_kit);
}

}  // extern "C"

static_assert(kMatchesHostSignature<decltype(&Corvane_Tessel_External_DLL_GetInterfaceVersion),
                                    PluginGetInterfaceVersionFn>);
static_assert(kMatchesHostSignature<decltype(&Corvane_Tessel_External_DLL_Init), PluginInitFn>);
static_assert(kMatchesHostSignature<decltype(&Corvane_Tessel_External_DLL_Update), PluginUpdateFn>);
static_assert(
    kMatchesHostSignature<decltype(&Corvane_Tessel_External_DLL_Shutdown), PluginShutdownFn>);
