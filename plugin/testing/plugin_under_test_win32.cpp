// Test support on Windows: the plug-in DLL loaded as a host loads it, and a UDP receiver.
#include "plugin/testing/plugin_under_test_win32.h"

#include <string>

namespace {

template <typename Fn>
Fn resolve(HMODULE module, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

}  // namespace

std::string path_beside_this_program(const char* file_name) {
    char path[MAX_PATH] = {};
    ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string s(path);
    return s.substr(0, s.find_last_of("\\/") + 1) + file_name;
}

PluginUnderTest plugin_load() {
    PluginUnderTest p;
    p.module = ::LoadLibraryA(path_beside_this_program(kPluginDllName).c_str());
    if (p.module == nullptr) {
        return p;
    }
    p.get_interface_version =
        resolve<PluginGetInterfaceVersionFn>(p.module, kExportGetInterfaceVersion);
    p.init = resolve<PluginInitFn>(p.module, kExportInit);
    p.update = resolve<PluginUpdateFn>(p.module, kExportUpdate);
    p.shutdown = resolve<PluginShutdownFn>(p.module, kExportShutdown);
    return p;
}

void plugin_unload(PluginUnderTest& plugin) {
    if (plugin.module != nullptr) {
        ::FreeLibrary(plugin.module);
    }
    plugin = PluginUnderTest{};
}

UpdateResult plugin_update(const PluginUnderTest& plugin, double dt, const std::uint8_t* stream,
                           std::uint32_t stream_size, std::uint32_t count) {
    UpdateResult r{false, 0xDEADBEEF, 0xDEADBEEF};
    r.returned = plugin.update(dt, stream, stream_size, count, nullptr, &r.out_a, &r.out_b);
    return r;
}

WinsockSession::WinsockSession() {
    WSADATA data;
    started = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

WinsockSession::~WinsockSession() {
    if (started) {
        ::WSACleanup();
    }
}

DatagramReceiver::DatagramReceiver(std::uint16_t port) {
    socket = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (socket == INVALID_SOCKET) {
        return;
    }
    const BOOL on = TRUE;
    ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on), sizeof on);
    const int buffer = 8 << 20;
    ::setsockopt(socket, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&buffer),
                 sizeof buffer);
    sockaddr_in any = {};
    any.sin_family = AF_INET;
    any.sin_port = ::htons(port);
    any.sin_addr.s_addr = INADDR_ANY;
    if (::bind(socket, reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0) {
        ::closesocket(socket);
        socket = INVALID_SOCKET;
    }
}

DatagramReceiver::~DatagramReceiver() {
    if (socket != INVALID_SOCKET) {
        ::closesocket(socket);
    }
}

std::optional<std::string> DatagramReceiver::receive(int timeout_ms) const {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(socket, &readable);
    timeval timeout{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    if (::select(0, &readable, nullptr, nullptr, &timeout) != 1) {
        return std::nullopt;
    }
    char buffer[4096];
    const int n = ::recv(socket, buffer, sizeof buffer, 0);
    if (n < 0) {
        return std::nullopt;
    }
    return std::string(buffer, static_cast<std::size_t>(n));
}

int DatagramReceiver::drain(int quiet_ms) const {
    int n = 0;
    while (receive(quiet_ms)) {
        ++n;
    }
    return n;
}
