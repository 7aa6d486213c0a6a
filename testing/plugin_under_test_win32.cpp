// Test support on Windows: the plug-in under test, its frames and its datagrams.
#include "testing/plugin_under_test_win32.h"

#include <windows.h>

#include <vector>

namespace {

constexpr std::size_t kLargestDatagram = 65535;

}  // namespace

std::string path_beside_this_program(const std::string& file_name) {
    char path[MAX_PATH] = {};
    ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    const std::string s(path);
    return s.substr(0, s.find_last_of("\\/") + 1) + file_name;
}

PluginBinding plugin_load() {
    PluginBinding plugin;
    std::string error;
    plugin_bind(path_beside_this_program(kPluginDllName), plugin, error);
    return plugin;
}

UpdateResult send_frame(const PluginBinding& plugin, const StreamBuilder& frame) {
    return plugin_update(plugin, kTestTimeStep, frame.bytes.data(),
                         static_cast<std::uint32_t>(frame.bytes.size()), frame.count);
}

WinsockSession::WinsockSession() {
    std::string error;
    started = udp_startup(error);
}

WinsockSession::~WinsockSession() {
    if (started) {
        udp_cleanup();
    }
}

DatagramReceiver::DatagramReceiver(std::uint16_t port) {
    std::string error;
    udp_open({0, port}, true, socket, error);
}

DatagramReceiver::~DatagramReceiver() {
    udp_close(socket);
}

std::optional<std::string> DatagramReceiver::receive(int timeout_ms) const {
    std::vector<char> buffer(kLargestDatagram);
    UdpDatagram got;
    if (udp_receive(socket, buffer, got, timeout_ms) != UdpWait::Datagram) {
        return std::nullopt;
    }
    return std::string(buffer.data(), got.length);
}

int DatagramReceiver::drain(int quiet_ms) const {
    int n = 0;
    while (receive(quiet_ms)) {
        ++n;
    }
    return n;
}
