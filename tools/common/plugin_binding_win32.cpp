// Loading and checking a plug-in DLL.
#include "tools/common/plugin_binding_win32.h"

#include <string_view>
#include <vector>

namespace {

template <typename Fn>
bool resolve(HMODULE module, const char* name, Fn& fn, std::string& missing) {
    fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
    if (fn == nullptr) {
        missing += missing.empty() ? name : std::string(", ") + name;
    }
    return fn != nullptr;
}

// `message` with every insert (%1 to %99, with or without a !format!) replaced by `insert`.
std::string with_inserts(std::string_view message, std::string_view insert) {
    std::string s;
    for (std::size_t i = 0; i < message.size(); ++i) {
        const auto digit = [&](std::size_t at) {
            return at < message.size() && message[at] >= '0' && message[at] <= '9';
        };
        if (message.substr(i, 2) == "%%") {  // a percent sign, kept as the system wrote it
            s += message.substr(i++, 2);
            continue;
        }
        if (message[i] != '%' || !digit(i + 1) || message[i + 1] == '0') {
            s += message[i];
            continue;
        }
        std::size_t end = i + 2;
        if (digit(end)) ++end;
        if (end < message.size() && message[end] == '!') {
            const std::size_t close = message.find('!', end + 1);
            if (close != std::string_view::npos) end = close + 1;
        }
        s += insert;
        i = end - 1;
    }
    return s;
}

std::wstring wide(const std::string& s) {
    const int n =
        ::MultiByteToWideChar(CP_ACP, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring w(static_cast<std::size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
    return w;
}

bool check_version(PluginBinding& p, std::string& error) {
    const std::int32_t version = p.get_interface_version();
    if (version != kPluginInterfaceVersion) {
        error = "not a plug-in for this host: interface version " + std::to_string(version) +
                "; this host drives version " + std::to_string(kPluginInterfaceVersion);
        return false;
    }
    return true;
}

}  // namespace

HMODULE plugin_load_library(const std::string& path, DWORD& error) {
    // The full path, so a DLL of the same name beside tessel-host.exe or in the system
    // directory is not loaded instead, and the plug-in's own dependencies are found beside it.
    const std::wstring given = wide(path);
    std::vector<wchar_t> full(32768);
    const DWORD n =
        ::GetFullPathNameW(given.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    const std::wstring where = n > 0 && n < full.size() ? std::wstring(full.data(), n) : given;
    const HMODULE module = ::LoadLibraryExW(where.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    error = module == nullptr ? ::GetLastError() : 0;
    return module;
}

bool plugin_find_exports(PluginBinding& p, std::string& missing) {
    missing.clear();
    resolve(p.module, kExportGetInterfaceVersion, p.get_interface_version, missing);
    resolve(p.module, kExportInit, p.init, missing);
    resolve(p.module, kExportUpdate, p.update, missing);
    resolve(p.module, kExportShutdown, p.shutdown, missing);
    return missing.empty();
}

std::string system_message(DWORD code, const std::string& insert) {
    char text[512] = {};
    // Inserts are left as they are and filled here: a message may have any number of them, and
    // FormatMessage would read one argument for each.
    const DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                     nullptr, code, 0, text, sizeof text, nullptr);
    std::string s = with_inserts(std::string_view(text, n), insert);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == '.')) s.pop_back();
    return "error " + std::to_string(code) + (s.empty() ? "" : ": " + s);
}

bool plugin_bind(const std::string& path, PluginBinding& p, std::string& error) {
    p = PluginBinding{};
    DWORD code = 0;
    p.module = plugin_load_library(path, code);
    if (p.module == nullptr) {
        error = "cannot load " + path + " (" + system_message(code, path) + ")";
        return false;
    }
    std::string missing;
    if (!plugin_find_exports(p, missing)) {
        error = path + ": not a plug-in: missing export " + missing;
        plugin_unbind(p);
        return false;
    }
    if (!check_version(p, error)) {
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
