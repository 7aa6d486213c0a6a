// A DLL with the plug-in's export names that the host must refuse: built once without Update
// and once reporting interface version 3.
#include <cstdint>

extern "C" {

__declspec(dllexport) std::int32_t Corvane_Tessel_External_DLL_GetInterfaceVersion() {
#ifdef FAKE_PLUGIN_VERSION_3
    return 3;
#else
    return 2;
#endif
}

__declspec(dllexport) bool Corvane_Tessel_External_DLL_Init(void*) {
    return true;
}

#ifndef FAKE_PLUGIN_WITHOUT_UPDATE
__declspec(dllexport) bool Corvane_Tessel_External_DLL_Update(double, const std::uint8_t*,
                                                              std::uint32_t, std::uint32_t,
                                                              std::uint8_t*, std::uint32_t*,
                                                              std::uint32_t*) {
    return true;
}
#endif

__declspec(dllexport) void Corvane_Tessel_External_DLL_Shutdown() {}

}  // extern "C"
