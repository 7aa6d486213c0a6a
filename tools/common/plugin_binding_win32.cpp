// Loading and checking a plug-in DLL.
#include "tools/common/plugin_binding_win32.h"

namespace {

template <typename Fn>
bool resolve(HMODULE module, const char* name, Fn& fn, std::string& missing) {
    fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
    if (fn == nullptr) {
        missing += missing.empty() ? name : std::string(", ") + name;
    }
    return fn != nullptr;
}

std::string system_message(DWORD code) {
    char text[256] = {};
    const DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                     nullptr, code, 0, text, sizeof text, nullptr);
    std::string s(text, n);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == '.')) s.pop_back();
    return "error " + std::to_string(code) + (s.empty() ? "" : ": " + s);
}

bool check_exports(PluginBinding& p, std::string& error) {
    std::string missing;
    resolve(p.module, kExportGetInterfaceVersion, p.get_interface_version, missing);
    resolve(p.module, kExportInit, p.init, missing);
    resolve(p.module, kExportUpdate, p.update, missing);
    resolve(p.module, kExportShutdown, p.shutdown, missing);
    if (!missing.empty()) {
        error = "not a plug-in: missing export " + missing;
        return false;
    }
    const std::int32_t version = p.get_interface_version();
    if (version != kPluginInterfaceVersion) {
        error = "not a plug-in for this host: interface version " + std::to_string(version) +
                "; this host drives version " + std::to_string(kPluginInterfaceVersion);
        return false;
    }
    return true;
}

}  // namespace

bool plugin_bind(const std::string& path, PluginBinding& p, std::string& error) {
    p = PluginBinding{};
    // The full path, so a DLL of the same name beside tessel-host.exe or in the system
    // directory is not loaded instead, and the plug-in's own dependencies are found beside it.
    char full[MAX_PATH] = {};
    const DWORD n = ::GetFullPathNameA(path.c_str(), MAX_PATH, full, nullptr);
    const std::string where = n > 0 && n < MAX_PATH ? std::string(full, n) : path;
    p.module = ::LoadLibraryExA(where.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (p.module == nullptr) {
        error = "cannot load " + path + " (" + system_message(::GetLastError()) + ")";
        return false;
    }
    if (!check_exports(p, error)) {
        error = path + ": " + error;
        plugin_unbind(p);
        return false;
    }
    return true;
}

void plugin_unbind(PluginBinding& p) {
    if (p.module != nullptr) {
        ::FreeLibrary(p.module);
    }
    p = PluginBinding{};
}

UpdateResult plugin_update(const PluginBinding& p, double dt, const std::uint8_t* stream,
                           std::uint32_t stream_size, std::uint32_t count) {
    constexpr std::uint32_t kUnwritten = 0xDEADBEEF;
    UpdateResult r{false, kUnwritten, kUnwritten};
    r.returned = p.update(dt, stream, stream_size, count, nullptr, &r.out_a, &r.out_b);
    return r;
}
