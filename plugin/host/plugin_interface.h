// The host's interface to a plug-in: the export names and their signatures, shared by the
// plug-in itself, the host emulator and the tests that load the DLL.
#pragma once

#include <cstdint>
#include <type_traits>

inline constexpr std::int32_t kPluginInterfaceVersion = 2;

inline constexpr const char* kExportGetInterfaceVersion =
    "Corvane_Tessel_External_DLL_GetInterfaceVersion";
inline constexpr const char* kExportInit = "Corvane_Tessel_External_DLL_Init";
inline constexpr const char* kExportUpdate = "Corvane_Tessel_External_DLL_Update";
inline constexpr const char* kExportShutdown = "Corvane_Tessel_External_DLL_Shutdown";

using PluginGetInterfaceVersionFn = std::int32_t (*)();
// One pointer-sized argument that the plug-in does not read.
using PluginInitFn = bool (*)(void*);
// Time step, stream, stream length in bytes, record count, out-stream (unused), two out-values
// that the plug-in sets to zero. Returns true for a handled frame.
using PluginUpdateFn = bool (*)(double, const std::uint8_t*, std::uint32_t, std::uint32_t,
                                std::uint8_t*, std::uint32_t*, std::uint32_t*);
using PluginShutdownFn = void (*)();

// True when an export has the host's signature and promises that nothing is thrown across it.
template <typename Fn>
struct PluginNoexceptOf;
template <typename R, typename... Args>
struct PluginNoexceptOf<R (*)(Args...)> {
    using type = R (*)(Args...) noexcept;
};
template <typename Export, typename HostFn>
inline constexpr bool kMatchesHostSignature =
    std::is_same_v<Export, typename PluginNoexceptOf<HostFn>::type>;
