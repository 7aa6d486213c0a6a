// Update's cost per frame as the host sees it, against baselines timed in the same run:
// (a) the limit, a memcpy of the frame and one sendto on a socket that is already open, made
// with plain socket() and left blocking; (a') the same on a socket made as the plug-in makes
// its own, so the cost of those settings shows; and (b) the same as (a) with the socket made,
// set up, resolved and closed again for every datagram.
// Run inside the sandbox: every datagram goes to 255.255.255.255:50010, which stays on lo there.
// With --route-gone (the script deletes the broadcast route first) it times Update alone, as a
// host sees it with the cable out. With --socket-settings it times one sendto on sockets made
// each way, every setting alone, against the limit's socket and one Wine server round trip.
#include "plugin/telemetry/address_list_win32.h"
#include "plugin/telemetry/g1_datagram.h"
#include "testing/plugin_under_test_win32.h"
#include "testing/sample_frame.h"

#include <ws2tcpip.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

namespace {

constexpr std::size_t kFrameRecords = 100;
constexpr std::size_t kFrameVariants = 16;  // successive frames differ, as in flight
constexpr int kCalls = 20000;
constexpr int kBlock = 500;  // the three loops take turns, so drift hits each alike
constexpr int kWarmUpCalls = 2000;
constexpr double kUpdateGoal = 1.5;  // Update within 1.5 times the limit
constexpr std::string_view kDatagram = "G1,1500000,0,0,0,-12,0,3141,0,0,0,0,0,0,";
static_assert(kDatagram.size() == 40);

struct Frames {
    std::vector<StreamBuilder> frames;
    std::vector<std::uint8_t> copy;  // the baselines' memcpy target
};

Frames make_frames() {
    Frames f;
    for (std::uint32_t i = 0; i < kFrameVariants; ++i) {
        f.frames.push_back(sample_frame(kFrameRecords, i));
        f.copy.resize(std::max(f.copy.size(), f.frames.back().bytes.size()));
    }
    return f;
}

struct Destination {
    alignas(sockaddr_storage) char block[128] = {};
};

Destination resolve_broadcast() {
    Destination d;
    addrinfo hints = {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    AddressList found;
    if (::getaddrinfo(kG1Address, kG1Service.text, &hints, &found.first) == 0 &&
        found.first != nullptr) {
        std::memcpy(d.block, found.first->ai_addr,
                    std::min<std::size_t>(found.first->ai_addrlen, sizeof d.block));
    }
    return d;
}

// One way of making the broadcast socket: how it is created, and whether it is then switched
// to non-blocking. The settings table times each against the plain socket() of the limit.
struct SocketRecipe {
    const char* name;
    bool wsa_socket;  // WSASocketW with `flags`, else socket()
    int protocol;
    DWORD flags;
    bool non_blocking;    // ioctlsocket FIONBIO
    int send_buffer = 0;  // SO_SNDBUF in bytes; 0 leaves the system's
};

SOCKET open_socket_as(const SocketRecipe& r) {
    const SOCKET s = r.wsa_socket
                         ? ::WSASocketW(AF_INET, SOCK_DGRAM, r.protocol, nullptr, 0, r.flags)
                         : ::socket(AF_INET, SOCK_DGRAM, r.protocol);
    if (r.non_blocking) {
        u_long on = 1;
        ::ioctlsocket(s, static_cast<long>(FIONBIO), &on);
    }
    if (r.send_buffer != 0) {
        ::setsockopt(s, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&r.send_buffer),
                     sizeof r.send_buffer);
    }
    const char on = 1;
    ::setsockopt(s, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    sockaddr_in any = {};
    any.sin_family = AF_INET;
    ::bind(s, reinterpret_cast<const sockaddr*>(&any), sizeof any);
    return s;
}

// The plug-in's own settings (plugin/telemetry/g1_broadcast_win32.cpp): not inherited by the
// host's children, and a full send queue drops the datagram instead of stalling the frame.
// The limit's socket: the cheapest there is, made with socket() and left blocking.
constexpr SocketRecipe kLimitSocket = {"socket(), protocol 0 (the limit)", false, 0, 0, false};
constexpr SocketRecipe kPluginSocket = {"as the plug-in's", true, IPPROTO_UDP,
                                        WSA_FLAG_NO_HANDLE_INHERIT, true};

void send_datagram(SOCKET s, const Destination& d) {
    ::sendto(s, kDatagram.data(), static_cast<int>(kDatagram.size()), 0,
             reinterpret_cast<const sockaddr*>(d.block), sizeof d.block);
}

struct Contenders {
    const PluginBinding* plugin;
    Frames* frames;
    SOCKET open_socket;
    SOCKET plugin_socket;
    Destination destination;
};

void call_update(Contenders& c, int i) {
    send_frame(*c.plugin, c.frames->frames[static_cast<std::size_t>(i) % kFrameVariants]);
}

void copy_frame(Contenders& c, int i) {
    const StreamBuilder& f = c.frames->frames[static_cast<std::size_t>(i) % kFrameVariants];
    std::memcpy(c.frames->copy.data(), f.bytes.data(), f.bytes.size());
}

void call_limit(Contenders& c, int i) {
    copy_frame(c, i);
    send_datagram(c.open_socket, c.destination);
}

void call_limit_plugin_socket(Contenders& c, int i) {
    copy_frame(c, i);
    send_datagram(c.plugin_socket, c.destination);
}

// Every step of a datagram's set-up, as if no socket were kept from frame to frame.
void call_per_datagram(Contenders& c, int i) {
    copy_frame(c, i);
    const SOCKET s = open_socket_as(kLimitSocket);
    send_datagram(s, resolve_broadcast());
    ::closesocket(s);
}

using Contender = void (*)(Contenders&, int);

struct Timing {
    const char* name;
    Contender run;
    std::vector<double> us;  // one per call
};

double ticks_per_us() {
    LARGE_INTEGER f;
    ::QueryPerformanceFrequency(&f);
    return static_cast<double>(f.QuadPart) / 1e6;
}

void time_block(Contenders& c, Timing& t, int first, double per_us) {
    for (int i = first; i < first + kBlock; ++i) {
        LARGE_INTEGER start, end;
        ::QueryPerformanceCounter(&start);
        t.run(c, i);
        ::QueryPerformanceCounter(&end);
        t.us.push_back(static_cast<double>(end.QuadPart - start.QuadPart) / per_us);
    }
}

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    const auto rank = static_cast<std::size_t>(p * static_cast<double>(v.size()) + 0.999999);
    return v[std::clamp<std::size_t>(rank, 1, v.size()) - 1];
}

// Each contender must really put a datagram on the wire, or its figure means nothing.
bool each_sends(Contenders& c, const std::vector<Timing>& timings) {
    DatagramReceiver receiver;
    if (!receiver.bound()) {
        std::printf("cannot bind the receiver on port %u\n", unsigned{kG1Port});
        return false;
    }
    for (const Timing& t : timings) {
        receiver.drain(50);
        t.run(c, 0);
        if (!receiver.receive(2000)) {
            std::printf("%s sent no datagram: is the broadcast route on lo?\n", t.name);
            return false;
        }
    }
    return true;
}

void print_results(const std::vector<Timing>& timings, double resolution_us) {
    std::printf("%-48s %10s %10s\n", "per call", "median us", "p99 us");
    for (const Timing& t : timings) {
        std::printf("%-48s %10.2f %10.2f\n", t.name, percentile(t.us, 0.5), percentile(t.us, 0.99));
    }
    const double update = percentile(timings[0].us, 0.5);
    const double limit = percentile(timings[1].us, 0.5);
    const double limit_plugin_socket = percentile(timings[2].us, 0.5);
    const double per_datagram = percentile(timings[3].us, 0.5);
    std::printf("\nUpdate / (a) limit:             %5.2fx (goal: within %.1fx) %s\n",
                update / limit, kUpdateGoal,
                update / limit <= kUpdateGoal ? "within goal" : "MISSES goal");
    std::printf("Update / (a') plug-in's socket: %5.2fx\n", update / limit_plugin_socket);
    std::printf("(a') / (a):                     %5.2fx (the plug-in's socket settings)\n",
                limit_plugin_socket / limit);
    std::printf("Update / (b) per datagram:      %5.2fx (reported, not aimed at)\n",
                update / per_datagram);
    std::printf("(b) / (a):                      %5.2fx\n", per_datagram / limit);
    std::printf("(medians of %d calls each; timer resolution %.2f us)\n", kCalls, resolution_us);
}

// Update while every send finds no route: the plug-in must keep its socket rather than make
// one per frame.
int time_route_gone(Contenders& c) {
    send_datagram(c.open_socket, c.destination);
    if (::WSAGetLastError() != WSAENETUNREACH && ::WSAGetLastError() != WSAEHOSTUNREACH) {
        std::printf("the broadcast route is still there: --route-gone needs it deleted\n");
        return 1;
    }
    Timing update{"Update, route gone", call_update, {}};
    for (int i = 0; i < kWarmUpCalls; ++i) {
        call_update(c, i);
    }
    const double per_us = ticks_per_us();
    for (int first = 0; first < kCalls; first += kBlock) {
        time_block(c, update, first, per_us);
    }
    std::printf("%-44s %10.2f %10.2f\n", "Update (100 records, window open, route gone)",
                percentile(update.us, 0.5), percentile(update.us, 0.99));
    return 0;
}

// A Wine server round trip and nothing else: resetting an event is one request to the server
// under Wine (on Windows, one system call). A sendto that costs two of these plus a system call
// costs what the server's scheduling makes it cost, whatever the socket's settings.
void reset_event(HANDLE event) {
    ::ResetEvent(event);
}

// What one timed column of the settings table sends through.
struct SettingsColumn {
    std::size_t recipe;  // index into the recipes; the probe's index is past their end
    int made;            // the socket's place in the order of creation
    bool unicast;        // to 127.0.0.1 instead of the broadcast address
    SOCKET socket;
};

// One sendto on sockets made each way, every setting alone and then together. Each recipe makes
// kSettingsCopies sockets, made in an order that mixes the recipes (a socket's age is not its
// recipe's), and each socket sends to the broadcast address and to 127.0.0.1. All of them and
// the server round trip take turns in short blocks, and the order of the turns rotates every
// round, so neither drift nor a place in the round can decide a row.
int time_socket_settings(const Destination& broadcast) {
    constexpr DWORD kOverlapped = WSA_FLAG_OVERLAPPED;  // what socket() gives
    constexpr DWORD kNoInherit = WSA_FLAG_NO_HANDLE_INHERIT;
    constexpr int kSettingsCopies = 3;
    constexpr int kSettingsBlock = 50;
    constexpr int kSettingsCalls = 4000;  // per column
    const SocketRecipe recipes[] = {
        kLimitSocket,
        {"socket(), IPPROTO_UDP", false, IPPROTO_UDP, 0, false},
        {"socket(), FIONBIO", false, 0, 0, true},
        {"WSASocketW OVERLAPPED", true, 0, kOverlapped, false},
        {"WSASocketW OVERLAPPED|NO_HANDLE_INHERIT", true, 0, kOverlapped | kNoInherit, false},
        {"WSASocketW no OVERLAPPED", true, 0, 0, false},
        {"WSASocketW NO_HANDLE_INHERIT", true, 0, kNoInherit, false},
        {"socket(), SO_SNDBUF 4 MiB", false, 0, 0, false, 4 << 20},
        kPluginSocket,
        {"WSASocketW OVERLAPPED|NO_HANDLE_INHERIT, FIONBIO", true, 0, kOverlapped | kNoInherit,
         true},
    };
    constexpr std::size_t kRecipes = std::size(recipes);
    Destination loopback = broadcast;
    reinterpret_cast<sockaddr_in*>(loopback.block)->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);

    std::vector<SettingsColumn> columns;
    int made = 0;
    for (int copy = 0; copy < kSettingsCopies; ++copy) {
        for (std::size_t n = 0; n < kRecipes; ++n) {
            // Every other pass makes the recipes in reverse, so no recipe is always the oldest.
            const std::size_t k = copy % 2 == 0 ? n : kRecipes - 1 - n;
            const SOCKET s = open_socket_as(recipes[k]);
            columns.push_back({k, made, false, s});
            columns.push_back({k, made, true, s});
            ++made;
        }
    }
    columns.push_back({kRecipes, -1, false, INVALID_SOCKET});  // the server round trip
    auto run_column = [&](const SettingsColumn& c) {
        if (c.socket == INVALID_SOCKET) {
            reset_event(event);
        } else {
            send_datagram(c.socket, c.unicast ? loopback : broadcast);
        }
    };
    for (const SettingsColumn& c : columns) {
        for (int i = 0; i < kSettingsBlock; ++i) {
            run_column(c);
        }
    }
    std::vector<std::vector<double>> us(columns.size());
    const double per_us = ticks_per_us();
    for (int round = 0; round * kSettingsBlock < kSettingsCalls; ++round) {
        for (std::size_t n = 0; n < columns.size(); ++n) {
            const std::size_t k = (n + static_cast<std::size_t>(round) * 7) % columns.size();
            for (int i = 0; i < kSettingsBlock; ++i) {
                LARGE_INTEGER start, end;
                ::QueryPerformanceCounter(&start);
                run_column(columns[k]);
                ::QueryPerformanceCounter(&end);
                us[k].push_back(static_cast<double>(end.QuadPart - start.QuadPart) / per_us);
            }
        }
    }

    // Per recipe: all its sockets' calls together, then the spread of its sockets' medians.
    auto pooled = [&](std::size_t recipe, bool unicast) {
        std::vector<double> all;
        for (std::size_t k = 0; k < columns.size(); ++k) {
            if (columns[k].recipe == recipe && columns[k].unicast == unicast) {
                all.insert(all.end(), us[k].begin(), us[k].end());
            }
        }
        return all;
    };
    auto spread = [&](std::size_t recipe, bool unicast) {
        double low = 1e300, high = 0;
        for (std::size_t k = 0; k < columns.size(); ++k) {
            if (columns[k].recipe == recipe && columns[k].unicast == unicast) {
                low = std::min(low, percentile(us[k], 0.5));
                high = std::max(high, percentile(us[k], 0.5));
            }
        }
        return std::pair{low, high};
    };
    const double limit = percentile(pooled(0, false), 0.5);
    std::printf("sendto, %d sockets made each way (medians; p99 of the broadcast)\n",
                kSettingsCopies);
    std::printf("%-50s %9s %8s %9s %7s %13s\n", "socket made with", "broadcast", "p99", "127.0.0.1",
                "/limit", "its sockets");
    for (std::size_t r = 0; r < kRecipes; ++r) {
        const std::vector<double> b = pooled(r, false);
        const auto [low, high] = spread(r, false);
        std::printf("%-50s %9.2f %8.2f %9.2f %6.2fx %6.2f-%-6.2f\n", recipes[r].name,
                    percentile(b, 0.5), percentile(b, 0.99), percentile(pooled(r, true), 0.5),
                    percentile(b, 0.5) / limit, low, high);
    }
    const double round_trip = percentile(us.back(), 0.5);
    std::printf("%-50s %9.2f %8.2f\n", "one Wine server round trip (ResetEvent)", round_trip,
                percentile(us.back(), 0.99));
    std::printf("limit / round trip: %.2f (%d calls a column in blocks of %d, %d columns)\n",
                limit / round_trip, kSettingsCalls, kSettingsBlock,
                static_cast<int>(columns.size()));
    for (std::size_t k = 0; k + 1 < columns.size(); k += 2) {
        ::closesocket(columns[k].socket);
    }
    ::CloseHandle(event);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const bool route_gone = argc == 2 && std::string_view(argv[1]) == "--route-gone";
    const bool socket_settings = argc == 2 && std::string_view(argv[1]) == "--socket-settings";
    WinsockSession winsock;
    PluginBinding plugin = plugin_load();
    if (!winsock.started || plugin.update == nullptr) {
        std::printf("cannot start Winsock or load %s\n", kPluginDllName);
        return 1;
    }
    Frames frames = make_frames();
    Contenders c{&plugin, &frames, open_socket_as(kLimitSocket), open_socket_as(kPluginSocket),
                 resolve_broadcast()};
    std::vector<Timing> timings = {
        {"Update (100 records, window open)", call_update, {}},
        {"(a) limit: memcpy + sendto on open socket", call_limit, {}},
        {"(a') the same, socket set up as the plug-in's", call_limit_plugin_socket, {}},
        {"(b) memcpy + socket..closesocket per frame", call_per_datagram, {}},
    };
    if (socket_settings) {
        const int status = time_socket_settings(c.destination);
        plugin_unbind(plugin);
        return status;
    }
    plugin.init(nullptr);
    if (route_gone) {
        const int status = time_route_gone(c);
        plugin.shutdown();
        plugin_unbind(plugin);
        return status;
    }
    if (!each_sends(c, timings)) {
        plugin.shutdown();
        return 1;
    }
    for (Timing& t : timings) {
        for (int i = 0; i < kWarmUpCalls; ++i) {
            t.run(c, i);
        }
        t.us.reserve(kCalls);
    }
    const double per_us = ticks_per_us();
    for (int first = 0; first < kCalls; first += kBlock) {
        for (Timing& t : timings) {
            time_block(c, t, first, per_us);
        }
    }
    plugin.shutdown();
    ::closesocket(c.open_socket);
    ::closesocket(c.plugin_socket);
    std::printf("frame: %zu records, %zu bytes\n", kFrameRecords, frames.frames[0].bytes.size());
    print_results(timings, 1.0 / per_us);
    plugin_unbind(plugin);
    return 0;
}
