// `g1 relay` against socat as a user would run it (`socat -u UDP4-RECV:PORT UDP4-SENDTO:...`):
// both forward the same stream of valid G1 broadcasts to one receiver on loopback, at 1000 and
// 10000 datagrams a second and at the highest rate each sustains without loss. Prints loss,
// forwarding latency (kernel arrival at the receiver less the send call) at p50 and p99, the
// forwarder's CPU time per datagram, and the ratios. Linux only, and only inside the sandbox:
// the stream is broadcast. Nothing passes or fails on time.
// Usage: relay_bench G1_PROGRAM SOCAT_PROGRAM
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

// Each forwarder takes the broadcasts on its own port and sends them on to 127.0.0.1 on the next.
constexpr std::uint16_t kRelayPort = 50110;
constexpr std::uint16_t kSocatPort = 50120;
constexpr std::uint32_t kBroadcastIp = 0xFFFFFFFF;
constexpr std::uint32_t kLoopbackIp = 0x7F000001;
constexpr unsigned kBatch = 64;
constexpr double kFixedRates[] = {1000, 10000};
constexpr double kFixedTrialS = 1.0;
constexpr double kSearchTrialS = 0.5;
constexpr double kSearchStart = 20000;
constexpr double kSearchCeiling = 2.56e6;
constexpr int kBisections = 4;
constexpr double kSenderKeptUp = 0.95;  // a trial whose sender fell further behind says nothing
// Datagrams due this soon are sent now, several in one call, so the sender never spins.
constexpr std::int64_t kSendAheadNs = 200'000;
constexpr std::int64_t kDrainIdleNs = 300'000'000;
constexpr std::int64_t kDrainLongestNs = 2'000'000'000;
constexpr int kBufferBytes = 4 << 20;

std::int64_t now_ns() {
    timespec t;
    ::clock_gettime(CLOCK_REALTIME, &t);  // the clock of the kernel's receive timestamps
    return std::int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec;
}

void sleep_until(std::int64_t when_ns) {
    const std::int64_t left = when_ns - now_ns();
    if (left > 0) {
        const timespec t{static_cast<time_t>(left / 1'000'000'000),
                         static_cast<long>(left % 1'000'000'000)};
        ::nanosleep(&t, nullptr);
    }
}

std::string namespace_of(const char* link) {
    char target[128] = {};
    return ::readlink(link, target, sizeof target - 1) > 0 ? target : "";
}

// As the sandbox's own scripts judge it: a network namespace other than the one the sandbox was
// started from (which it names in TESSEL_OUTER_NETNS) and other than the machine's (which it
// names in TESSEL_MACHINE_NETNS, since PID 1 is the sandbox itself in its PID namespace).
bool inside_sandbox() {
    const char* outer = std::getenv("TESSEL_OUTER_NETNS");
    const char* machine = std::getenv("TESSEL_MACHINE_NETNS");
    const std::string own = namespace_of("/proc/self/ns/net");
    return outer != nullptr && machine != nullptr && !own.empty() && own != outer && own != machine;
}

sockaddr_in address(std::uint32_t ip, std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(ip);
    return a;
}

struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

// The forwarder's CPU time so far, from the scheduler's own count in nanoseconds.
std::int64_t cpu_ns(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/schedstat");
    std::int64_t ns = 0;
    in >> ns;
    return ns;
}

struct Forwarder {
    std::string name;
    std::vector<std::string> argv;
    pid_t pid = -1;
};

bool start(Forwarder& f) {
    std::vector<char*> args;
    for (std::string& a : f.argv) args.push_back(a.data());
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    ::posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const int rc = ::posix_spawn(&f.pid, args[0], &actions, nullptr, args.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    return rc == 0;
}

void stop(Forwarder& f) {
    ::kill(f.pid, SIGINT);
    for (int i = 0; i < 50; ++i) {
        if (::waitpid(f.pid, nullptr, WNOHANG) == f.pid) return;
        ::usleep(20'000);
    }
    ::kill(f.pid, SIGKILL);
    ::waitpid(f.pid, nullptr, 0);
}

struct Trial {
    double asked = 0;
    double sent_rate = 0;
    std::uint64_t sent = 0;
    std::uint64_t received = 0;
    double p50_us = 0;
    double p99_us = 0;
    double cpu_ns_per_datagram = 0;
    bool lossless() const { return received == sent; }
    bool kept_up() const { return sent_rate >= asked * kSenderKeptUp; }
};

std::string datagram(std::uint32_t trial, std::uint32_t seq) {
    return "G1," + std::to_string(seq) + "," + std::to_string(trial) +
           ",0,-2000,12,-5,90000,0,0,0,0,0,0,";
}

// The sequence number and trial of a forwarded datagram, as `datagram` wrote them.
bool read_datagram(const char* bytes, std::size_t length, std::uint32_t& trial,
                   std::uint32_t& seq) {
    const char* end = bytes + length;
    if (length < 4 || std::memcmp(bytes, "G1,", 3) != 0) return false;
    auto [p, ec] = std::from_chars(bytes + 3, end, seq);
    if (ec != std::errc() || p == end || *p != ',') return false;
    return std::from_chars(p + 1, end, trial).ec == std::errc();
}

// One forwarder with its ports, its receiver and what was measured of it.
struct Lane {
    Forwarder forwarder;
    std::uint16_t port = 0;  // it takes the broadcasts here, and sends to 127.0.0.1:port + 1
    Fd receiver;
    std::vector<Trial> fixed;
    std::optional<Trial> highest;
    // The search: doubling from kSearchStart until a trial loses datagrams, then bisecting
    // between the last lossless rate and the first lossy one.
    double next = kSearchStart, good = 0, bad = 0;
    int bisections = 0;
    bool searched = false;
    bool sender_bound = false;  // the sender could go no faster: `highest` is a lower bound
};

struct Bench {
    Fd sender;
    std::uint32_t trial_id = 0;
};

bool open_receiver(Lane& lane) {
    lane.receiver.fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    const int on = 1;
    ::setsockopt(lane.receiver.fd, SOL_SOCKET, SO_RCVBUF, &kBufferBytes, sizeof kBufferBytes);
    ::setsockopt(lane.receiver.fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    const timeval wait{0, 50'000};
    ::setsockopt(lane.receiver.fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    const sockaddr_in here = address(kLoopbackIp, static_cast<std::uint16_t>(lane.port + 1));
    return lane.receiver.fd >= 0 &&
           ::bind(lane.receiver.fd, reinterpret_cast<const sockaddr*>(&here), sizeof here) == 0;
}

bool open_sender(Bench& b) {
    b.sender.fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    const int on = 1;
    ::setsockopt(b.sender.fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    ::setsockopt(b.sender.fd, SOL_SOCKET, SO_SNDBUF, &kBufferBytes, sizeof kBufferBytes);
    return b.sender.fd >= 0;
}

// Takes forwarded datagrams of trial `id` until the sender is done and the line has been quiet
// for a while; records each one's kernel arrival time.
void receive(int fd, std::uint32_t id, std::vector<std::int64_t>& arrived,
             const std::atomic<bool>& sender_done) {
    char bytes[kBatch][256];
    iovec parts[kBatch];
    alignas(cmsghdr) char control[kBatch][CMSG_SPACE(sizeof(timespec))];
    mmsghdr messages[kBatch];
    std::int64_t quiet_since = 0, done_at = 0;
    while (true) {
        for (unsigned i = 0; i < kBatch; ++i) {
            parts[i] = {bytes[i], sizeof bytes[i]};
            messages[i] = {};
            messages[i].msg_hdr.msg_iov = &parts[i];
            messages[i].msg_hdr.msg_iovlen = 1;
            messages[i].msg_hdr.msg_control = control[i];
            messages[i].msg_hdr.msg_controllen = sizeof control[i];
        }
        const int n = ::recvmmsg(fd, messages, kBatch, MSG_WAITFORONE, nullptr);
        const std::int64_t now = now_ns();
        for (int i = 0; i < n; ++i) {
            std::uint32_t trial = 0, seq = 0;
            if (!read_datagram(bytes[i], messages[i].msg_len, trial, seq) || trial != id ||
                seq >= arrived.size() || arrived[seq] != 0) {
                continue;
            }
            arrived[seq] = now;
            for (cmsghdr* c = CMSG_FIRSTHDR(&messages[i].msg_hdr); c != nullptr;
                 c = CMSG_NXTHDR(&messages[i].msg_hdr, c)) {
                if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                    timespec t;
                    std::memcpy(&t, CMSG_DATA(c), sizeof t);
                    arrived[seq] = std::int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec;
                }
            }
        }
        if (n > 0) quiet_since = now;
        if (!sender_done) continue;
        if (done_at == 0) done_at = quiet_since = now;
        if (now - quiet_since > kDrainIdleNs || now - done_at > kDrainLongestNs) return;
    }
}

// Sends `count` datagrams of trial `id` at `rate` to the broadcast address and `port`; returns
// how long that took.
std::int64_t send_paced(const Bench& b, std::uint16_t port, std::uint32_t id, double rate,
                        std::size_t count, std::vector<std::int64_t>& sent) {
    std::vector<std::string> texts(count);
    for (std::size_t i = 0; i < count; ++i) texts[i] = datagram(id, static_cast<std::uint32_t>(i));
    const sockaddr_in to = address(kBroadcastIp, port);
    const std::int64_t start = now_ns() + 10'000'000;
    const double step_ns = 1e9 / rate;
    const auto due_at = [&](std::size_t i) {
        return start + static_cast<std::int64_t>(static_cast<double>(i) * step_ns);
    };
    std::size_t next = 0;
    while (next < count) {
        sleep_until(due_at(next) - kSendAheadNs);
        const std::int64_t now = now_ns();
        std::size_t due = next;
        while (due < count && due - next < kBatch && due_at(due) <= now + kSendAheadNs) ++due;
        iovec parts[kBatch];
        mmsghdr messages[kBatch] = {};
        for (std::size_t i = next; i < due; ++i) {
            parts[i - next] = {texts[i].data(), texts[i].size()};
            messages[i - next].msg_hdr.msg_name = const_cast<sockaddr_in*>(&to);
            messages[i - next].msg_hdr.msg_namelen = sizeof to;
            messages[i - next].msg_hdr.msg_iov = &parts[i - next];
            messages[i - next].msg_hdr.msg_iovlen = 1;
        }
        const int n = ::sendmmsg(b.sender.fd, messages, static_cast<unsigned>(due - next), 0);
        for (int i = 0; i < std::max(n, 0); ++i) sent[next + static_cast<std::size_t>(i)] = now;
        next += n > 0 ? static_cast<std::size_t>(n) : 1;  // a failed send counts as lost
    }
    return now_ns() - start;
}

double percentile(std::vector<double>& values, double p) {
    if (values.empty()) return 0;
    const auto at = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1));
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(at),
                     values.end());
    return values[at];
}

Trial run_trial(Bench& b, const Lane& lane, double rate, double seconds) {
    const auto count = static_cast<std::size_t>(rate * seconds);
    const std::uint32_t id = ++b.trial_id;
    std::vector<std::int64_t> sent(count, 0), arrived(count, 0);
    std::atomic<bool> sender_done = false;
    const std::int64_t cpu_before = cpu_ns(lane.forwarder.pid);
    std::thread receiver([&] { receive(lane.receiver.fd, id, arrived, sender_done); });
    const std::int64_t took_ns = send_paced(b, lane.port, id, rate, count, sent);
    sender_done = true;
    receiver.join();
    const std::int64_t cpu = cpu_ns(lane.forwarder.pid) - cpu_before;

    Trial t;
    t.asked = rate;
    t.sent = count;
    t.sent_rate =
        static_cast<double>(count) * 1e9 / static_cast<double>(std::max<std::int64_t>(took_ns, 1));
    std::vector<double> latency_us;
    for (std::size_t i = 0; i < count; ++i) {
        if (arrived[i] == 0 || sent[i] == 0) continue;
        ++t.received;
        latency_us.push_back(static_cast<double>(arrived[i] - sent[i]) / 1e3);
    }
    t.p50_us = percentile(latency_us, 0.50);
    t.p99_us = percentile(latency_us, 0.99);
    t.cpu_ns_per_datagram =
        static_cast<double>(cpu) / static_cast<double>(std::max<std::uint64_t>(t.received, 1));
    return t;
}

void print(const Lane& lane, const char* what, const Trial& t) {
    std::printf("%-9s %-7s %9.0f %9.0f %7llu %9.1f %9.1f %10.0f\n", lane.forwarder.name.c_str(),
                what, t.asked, t.sent_rate, static_cast<unsigned long long>(t.sent - t.received),
                t.p50_us, t.p99_us, t.cpu_ns_per_datagram);
    std::fflush(stdout);
}

// Waits until the forwarder passes datagrams on (it has bound its port).
bool ready(Bench& b, const Lane& lane) {
    for (int i = 0; i < 50; ++i) {
        if (run_trial(b, lane, 100, 0.02).received > 0) return true;
    }
    return false;
}

// One step of the lane's search, from the trial at `lane.next`.
void search_step(Lane& lane, const Trial& t) {
    if (t.lossless() && (!lane.highest || t.sent_rate > lane.highest->sent_rate)) {
        lane.highest = t;
    }
    if (!t.kept_up()) {
        lane.sender_bound = lane.searched = t.lossless();
        if (t.lossless()) return;
    }
    if (t.lossless() && t.kept_up()) {
        lane.good = lane.next;
    } else {
        lane.bad = lane.next;
    }
    if (lane.bad == 0) {
        lane.next *= 2;
        lane.searched = lane.next > kSearchCeiling;
    } else {
        lane.searched = lane.good == 0 || lane.bisections++ == kBisections;
        lane.next = (lane.good + lane.bad) / 2;
    }
}

double ratio(double a, double b) {
    return b > 0 ? a / b : 0;
}

void print_ratios(const Lane& relay, const Lane& socat) {
    std::printf("\n%-22s %12s %12s %8s\n", "", "g1 relay", "socat", "ratio");
    for (std::size_t k = 0; k < std::size(kFixedRates); ++k) {
        const Trial& r = relay.fixed[k];
        const Trial& s = socat.fixed[k];
        const std::string at = "at " + std::to_string(static_cast<int>(kFixedRates[k])) + "/s: ";
        std::printf("%-22s %12llu %12llu\n", (at + "lost").c_str(),
                    static_cast<unsigned long long>(r.sent - r.received),
                    static_cast<unsigned long long>(s.sent - s.received));
        std::printf("%-22s %12.1f %12.1f %8.2f\n", (at + "p50 us").c_str(), r.p50_us, s.p50_us,
                    ratio(r.p50_us, s.p50_us));
        std::printf("%-22s %12.1f %12.1f %8.2f\n", (at + "p99 us").c_str(), r.p99_us, s.p99_us,
                    ratio(r.p99_us, s.p99_us));
        std::printf("%-22s %12.0f %12.0f %8.2f\n", (at + "CPU ns/dg").c_str(),
                    r.cpu_ns_per_datagram, s.cpu_ns_per_datagram,
                    ratio(r.cpu_ns_per_datagram, s.cpu_ns_per_datagram));
    }
    const double relay_best = relay.highest ? relay.highest->sent_rate : 0;
    const double socat_best = socat.highest ? socat.highest->sent_rate : 0;
    std::printf("%-22s %12.0f %12.0f %8.2f\n", "highest lossless /s", relay_best, socat_best,
                ratio(relay_best, socat_best));
    for (const Lane* lane : {&relay, &socat}) {
        if (lane->sender_bound) {
            std::printf("(%s: the sender could go no faster; its figure is a lower bound)\n",
                        lane->forwarder.name.c_str());
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: relay_bench G1_PROGRAM SOCAT_PROGRAM\n");
        return 2;
    }
    if (!inside_sandbox()) {
        std::fprintf(stderr, "relay_bench: it broadcasts; run it inside the sandbox only\n");
        return 2;
    }
    const auto to = [](std::uint16_t port) { return "127.0.0.1:" + std::to_string(port + 1); };
    const std::string relay_in = std::to_string(kRelayPort);
    const std::string socat_in = std::to_string(kSocatPort);
    Lane lanes[2];
    // The bench is one sender flooding: the relay's caps are lifted to their highest, so what is
    // measured is forwarding, as socat does it.
    lanes[0].forwarder = {"g1 relay",
                          {argv[1], "relay", "--port", relay_in, "--to", to(kRelayPort),
                           "--max-rate", "1000000", "--max-total-rate", "1000000"}};
    lanes[0].port = kRelayPort;
    lanes[1].forwarder = {
        "socat", {argv[2], "-u", "UDP4-RECV:" + socat_in, "UDP4-SENDTO:" + to(kSocatPort)}};
    lanes[1].port = kSocatPort;

    Bench b;
    int rc = 0;
    if (!open_sender(b)) {
        std::fprintf(stderr, "relay_bench: cannot open the sender: %s\n", std::strerror(errno));
        return 1;
    }
    for (Lane& lane : lanes) {
        if (!open_receiver(lane) || !start(lane.forwarder)) {
            std::fprintf(stderr, "relay_bench: cannot set up %s: %s\n", lane.forwarder.name.c_str(),
                         std::strerror(errno));
            rc = 1;
        }
    }
    for (Lane& lane : lanes) {
        if (rc == 0 && !ready(b, lane)) {
            std::fprintf(stderr, "relay_bench: %s did not start forwarding\n",
                         lane.forwarder.name.c_str());
            rc = 1;
        }
    }
    if (rc == 0) {
        // The two take turns at each rate, so a change in the machine's load falls on both.
        std::printf("%-9s %-7s %9s %9s %7s %9s %9s %10s\n", "forwarder", "trial", "asked/s",
                    "sent/s", "lost", "p50 us", "p99 us", "CPU ns/dg");
        for (double rate : kFixedRates) {
            for (Lane& lane : lanes) {
                const Trial t = run_trial(b, lane, rate, kFixedTrialS);
                lane.fixed.push_back(t);
                print(lane, "fixed", t);
                if (t.lossless()) {
                    lane.good = rate;  // where the search bisects from, should 20000 lose
                    lane.highest = t;
                }
            }
        }
        while (!lanes[0].searched || !lanes[1].searched) {
            for (Lane& lane : lanes) {
                if (lane.searched) continue;
                const Trial t = run_trial(b, lane, lane.next, kSearchTrialS);
                print(lane, "search", t);
                search_step(lane, t);
            }
        }
        print_ratios(lanes[0], lanes[1]);
    }
    for (Lane& lane : lanes) {
        if (lane.forwarder.pid > 0) stop(lane.forwarder);
    }
    return rc;
}
