// One HTTP connection to InfluxDB's write endpoint, used by one thread. The HTTP client library
// stays in influx_http_curl.cpp; a build without it links influx_absent.cpp, whose open fails
// with a message.
#pragma once

#include <memory>
#include <string>
#include <string_view>

struct InfluxHttp;
struct InfluxHttpClose {
    void operator()(InfluxHttp* http) const;
};
using InfluxHttpPtr = std::unique_ptr<InfluxHttp, InfluxHttpClose>;

// `url` is the write endpoint (http://HOST:8086/write?db=NAME); `token`, if not empty, goes as
// "Authorization: Token TOKEN".
InfluxHttpPtr influx_http_open(const std::string& url, const std::string& token,
                               std::string& error);

struct InfluxReply {
    long status = 0;    // the HTTP status; 0 when there was no answer
    std::string error;  // why there was no answer (connection refused, timed out...)
    std::string body;   // what the server said, for a refusal
};

// POSTs `lines`, gzipped when `gzip` and they are long enough to gain by it; waits for the
// answer at most kInfluxAnswerMs.
InfluxReply influx_http_post(InfluxHttp& http, std::string_view lines, bool gzip);

inline constexpr long kInfluxAnswerMs = 10'000;
inline constexpr long kInfluxConnectMs = 2'000;
