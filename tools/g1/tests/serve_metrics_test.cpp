// g1 serve's /metrics text: what Prometheus reads of each sender and of the server.
#include "tools/g1/serve_metrics.h"

#include <gtest/gtest.h>

#include <sstream>
#include <vector>

TEST(ServeMetrics, EachSenderGivenHasItsSamplesUnderFamiliesWithHelpAndType) {
    MetricsSender shown{{}, true, {}};
    shown.link.ip = 0x0A000005;
    shown.link.datagrams = 601;
    shown.link.frames_lost = 12;
    shown.link.gap_p99_s = 0.0334;
    G1Fields fields{};
    fields[4] = kG1ValueScale;  // bank: 1 rad
    shown.values = display_texts(fields, 2'500'000, AngleUnit::Radians);
    MetricsSender quiet{{}, false, {}};  // only malformed datagrams so far
    quiet.link.ip = 0x0A000009;
    MetricsServer server;
    server.pages = 3;
    server.refusals[static_cast<std::size_t>(Refusal::Request)] = 4;
    const std::vector<MetricsSender> senders{shown, quiet};
    const std::string text = metrics_text(senders, server);
    for (const char* line : {
             "g1_datagrams_total{sender=\"10.0.0.5\"} 601\n",
             "g1_frames_lost_total{sender=\"10.0.0.5\"} 12\n",
             "g1_gap_seconds{sender=\"10.0.0.5\",quantile=\"0.99\"} 0.0334\n",
             "g1_value{sender=\"10.0.0.5\",field=\"bank\"} 57.3\n",
             "g1_value{sender=\"10.0.0.5\",field=\"time_s\"} 2.500\n",
             "g1_datagrams_total{sender=\"10.0.0.9\"} 0\n",
             "g1_pages_connected 3\n",
             "g1_refusals_total{cause=\"request\"} 4\n",
         }) {
        EXPECT_NE(text.find(line), std::string::npos) << line << text;
    }
    EXPECT_EQ(text.find("g1_value{sender=\"10.0.0.9\""), std::string::npos);
    // Every sample follows its family's HELP and TYPE.
    std::istringstream lines(text);
    std::string line, help, type;
    while (std::getline(lines, line)) {
        if (line.starts_with("# HELP ")) help = line.substr(7, line.find(' ', 7) - 7);
        if (line.starts_with("# TYPE ")) type = line.substr(7, line.find(' ', 7) - 7);
        if (line.starts_with("#")) continue;
        const std::string name = line.substr(0, line.find_first_of("{ "));
        EXPECT_TRUE(name.starts_with(type) && help == type) << line;
    }
    // A sender no longer given is gone from the text.
    EXPECT_EQ(metrics_text({&shown, 1}, server).find("10.0.0.9"), std::string::npos);
}
