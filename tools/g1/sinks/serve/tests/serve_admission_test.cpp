// Who `g1 serve` lets in: requests by Host, method, Accept and Sec-Fetch-Site; refusals logged
// once a period and cause.
#include "tools/g1/sinks/serve/serve_admission.h"

#include <gtest/gtest.h>

namespace {

constexpr std::uint32_t kLan = 0xc0a8010a;    // 192.168.1.10, an interface of this machine
constexpr std::uint32_t kLocal = 0x0a000005;  // 10.0.0.5, the address the request came in on
constexpr std::string_view kStream = "text/event-stream";

}  // namespace

TEST(ServeAdmission, RequestsAreJudgedByHostMethodAcceptAndSite) {
    const ThisMachine machine = this_machine("SimPC", {kLan}, {"Cockpit.Lan."});
    using V = RequestVerdict;
    using S = std::optional<std::string_view>;
    const struct {
        S host;
        std::string_view method, path, accept;
        S site;
        V verdict;
        S origin = {};
    } rows[] = {
        {"127.0.0.1:8080", "GET", "/", "", {}, V::Serve},
        {"192.168.1.10:8080", "GET", "/", "", {}, V::Serve},
        {"10.0.0.5", "GET", "/", "", {}, V::Serve},
        {"simpc", "GET", "/", "", {}, V::Serve},
        {"simpc.local.:80", "GET", "/", "", {}, V::Serve},
        {"cockpit.lan", "GET", "/", "", {}, V::Serve},
        {{}, "GET", "/", "", {}, V::NoHost},
        {"attacker.example:8080", "GET", "/events", kStream, "same-origin", V::UnknownHost},
        {"192.168.1.11", "GET", "/", "", {}, V::UnknownHost},
        {"2130706433", "GET", "/", "", {}, V::UnknownHost},  // 127.0.0.1, not in the one form
        {"[::1]:8080", "GET", "/", "", {}, V::UnknownHost},
        {"simpc:80x", "GET", "/", "", {}, V::UnknownHost},
        {"simpc.attacker.example", "GET", "/", "", {}, V::UnknownHost},
        {"127.0.0.1", "POST", "/", "", {}, V::WrongMethod},
        {"127.0.0.1", "GET", "/events", kStream, "same-origin", V::Stream},
        {"127.0.0.1", "HEAD", "/events", "text/html, Text/Event-Stream;q=0.9", {}, V::Stream},
        {"simpc", "GET", "/events", kStream, "none", V::Stream},
        {"127.0.0.1", "GET", "/events", "image/webp,*/*;q=0.8", "cross-site", V::NotAStream},
        {"127.0.0.1", "GET", "/events", "", {}, V::NotAStream},
        {"127.0.0.1", "GET", "/events", kStream, "cross-site", V::CrossSite},
        {"127.0.0.1", "GET", "/events", kStream, "same-site", V::CrossSite},
        // A replay's controls: POST from the page itself, by Sec-Fetch-Site and by Origin.
        {"simpc:8080", "POST", "/playback", "", "same-origin", V::Control, "http://simpc:8080"},
        {"127.0.0.1", "POST", "/playback", "", {}, V::Control},
        {"127.0.0.1", "POST", "/playback", "", "none", V::CrossSite},
        {"127.0.0.1", "POST", "/playback", "", "cross-site", V::CrossSite},
        {"127.0.0.1", "POST", "/playback", "", {}, V::CrossSite, "http://attacker.example"},
        {"127.0.0.1", "POST", "/playback", "", {}, V::CrossSite, "null"},
        {"attacker.example", "POST", "/playback", "", "same-origin", V::UnknownHost},
        {"127.0.0.1", "GET", "/playback", "", {}, V::Serve},  // a page's file: 404
    };
    for (const auto& row : rows) {
        const RequestFacts facts{row.method, row.path, row.host, row.accept, row.site, row.origin};
        EXPECT_EQ(request_verdict(machine, facts, kLocal), row.verdict)
            << row.host.value_or("(none)") << " " << row.method << " " << row.path << " "
            << row.accept << " " << row.site.value_or("(none)");
    }
}

TEST(ServeAdmission, RefusalsAreLoggedOncePerPeriodAndCause) {
    RefusalLog log;
    EXPECT_EQ(refusal_note(log, Refusal::Full, 5), 1u);  // the first at once
    EXPECT_EQ(refusal_note(log, Refusal::Full, 6), 0u);
    EXPECT_EQ(refusal_note(log, Refusal::Readers, 7), 1u);
    EXPECT_EQ(refusal_note(log, Refusal::Full, 5 + kRefusalLogPeriodNs), 2u);
}
