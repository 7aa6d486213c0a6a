// The InfluxDB writer's HTTP in a build without the HTTP client library (the Windows one, for
// now): opening fails with a message.
#include "tools/g1/sinks/publish/influx_http.h"

void InfluxHttpClose::operator()(InfluxHttp*) const {}

InfluxHttpPtr influx_http_open(const std::string&, const std::string&, std::string& error) {
    error = "--influx is in the Linux build of g1";
    return nullptr;
}

InfluxReply influx_http_post(InfluxHttp&, std::string_view, bool) {
    return {0, "--influx is in the Linux build of g1", {}};
}
