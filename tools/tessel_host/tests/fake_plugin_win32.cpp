// DLLs with the plug-in's exports, each with one flaw that the host must refuse or that its
// check must name (FAKE_PLUGIN_<FLAW>), and one without a flaw that notes its lifecycle in the
// file TESSEL_WITNESS_LOG names (FAKE_PLUGIN_WITNESS), for the reload test.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

#ifdef FAKE_PLUGIN_WITNESS
HMODULE self = nullptr;
void note(const char* what) {
    char log[MAX_PATH] = {};
    char path[MAX_PATH] = {};
    if (::GetEnvironmentVariableA("TESSEL_WITNESS_LOG", log, MAX_PATH) == 0) return;
    ::GetModuleFileNameA(self, path, MAX_PATH);
    if (FILE* f = std::fopen(log, "a")) {
        std::fprintf(f, "%s %s\n", what, std::strrchr(path, '\\') + 1);
        std::fclose(f);
    }
}
#else
void note(const char*) {}
#endif

}  // namespace

extern "C" {

void* volatile fake_leaked;  // kept, so the compiler cannot drop the allocation

#ifdef FAKE_PLUGIN_NEEDS_DEPENDENCY
__declspec(dllimport) int fake_middle(void);
#endif

#ifdef FAKE_PLUGIN_WITNESS
BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    self = instance;
    if (reason == DLL_PROCESS_DETACH) note("unloaded");
    return TRUE;
}
#endif

__declspec(dllexport) std::int32_t Corvane_Tessel_External_DLL_GetInterfaceVersion() {
#ifdef FAKE_PLUGIN_VERSION_3
    return 3;
#else
    return 2;
#endif
}

#if defined(FAKE_PLUGIN_DECORATED_INIT)
__declspec(dllexport) bool init(void*) __asm__("_Corvane_Tessel_External_DLL_Init@4");
bool init(void*) {
    return true;
}
#elif !defined(FAKE_PLUGIN_MANGLED_INIT)
__declspec(dllexport) bool Corvane_Tessel_External_DLL_Init(void*) {
    note("init");
#if defined(FAKE_PLUGIN_INIT_FALSE)
    return false;
#elif defined(FAKE_PLUGIN_NEEDS_DEPENDENCY)
    return fake_middle() == 1;
#elif defined(FAKE_PLUGIN_INIT_THROWS)
    throw 1;
#elif defined(FAKE_PLUGIN_THREAD_LEFT)
    ::CreateThread(
        nullptr, 0,
        [](void*) -> DWORD {
            ::Sleep(INFINITE);
            return 0;
        },
        nullptr, 0, nullptr);
#elif defined(FAKE_PLUGIN_WINDOW_LEFT)
    ::CreateWindowExA(0, "STATIC", "left open", 0, 0, 0, 10, 10, nullptr, nullptr, nullptr,
                      nullptr);
#elif defined(FAKE_PLUGIN_HANDLE_LEAK)
    ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
#elif defined(FAKE_PLUGIN_MEMORY_LEAK)
    fake_leaked = std::malloc(256 * 1024);
#endif
    return true;
}
#endif

#ifndef FAKE_PLUGIN_WITHOUT_UPDATE
__declspec(dllexport) bool Corvane_Tessel_External_DLL_Update(double, const std::uint8_t*,
                                                              std::uint32_t, std::uint32_t,
                                                              std::uint8_t*, std::uint32_t*,
                                                              std::uint32_t*) {
#if defined(FAKE_PLUGIN_UPDATE_FAULTS)
    *static_cast<volatile int*>(nullptr) = 1;
#elif defined(FAKE_PLUGIN_SLOW_UPDATE)
    ::Sleep(20);
#endif
    return true;
}
#endif

__declspec(dllexport) void Corvane_Tessel_External_DLL_Shutdown() {
    note("shutdown");
}

}  // extern "C"

#ifdef FAKE_PLUGIN_MANGLED_INIT
__declspec(dllexport) bool Corvane_Tessel_External_DLL_Init(void*) {
    return true;
}
#endif
