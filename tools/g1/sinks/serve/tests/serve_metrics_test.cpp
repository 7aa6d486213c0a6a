// g1 serve's /metrics text (its format as a whole: promtool in scripts/checks/metrics.sh).
#include "tools/g1/sinks/serve/serve_metrics.h"

#include <gtest/gtest.h>

TEST(ServeMetrics, EachSenderGivenHasItsFiguresAndValuesInThePagesUnits) {
    G1Fields fields{};
    fields[4] = kG1ValueScale;  // bank: 1 rad
    const MetricsSender shown{
        {.ip = 0x0A000005, .datagrams = 601, .frames_lost = 12, .gap_p99_s = 0.0334},
        true,
        display_texts(fields, 2'500'000, AngleUnit::Radians)};
    const MetricsSender quiet{{.ip = 0x0A000009}, false, {}};  // only malformed ones so far
    MetricsServer server;
    server.refusals[static_cast<std::size_t>(Refusal::Request)] = 4;
    const MetricsSender both[] = {shown, quiet};
    const std::string text = metrics_text(both, server);
    for (const char* line : {
             "g1_datagrams_total{sender=\"10.0.0.5\"} 601\n",
             "g1_frames_lost_total{sender=\"10.0.0.5\"} 12\n",
             "g1_gap_seconds{sender=\"10.0.0.5\",quantile=\"0.99\"} 0.0334\n",
             "g1_value{sender=\"10.0.0.5\",field=\"bank\"} 57.3\n",
             "g1_datagrams_total{sender=\"10.0.0.9\"} 0\n",
             "g1_refusals_total{cause=\"request\"} 4\n",
         }) {
        EXPECT_NE(text.find(line), std::string::npos) << line << text;
    }
    // A sender no longer given is gone from the text.
    EXPECT_EQ(metrics_text({&shown, 1}, server).find("10.0.0.9"), std::string::npos);
}
