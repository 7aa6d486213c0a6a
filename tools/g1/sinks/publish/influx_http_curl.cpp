// The InfluxDB writer's HTTP on libcurl: one easy handle, so one kept-alive connection, and the
// body gzipped with zlib at its fastest level, one stream reused.
#include "tools/g1/sinks/publish/influx_http.h"

#include <curl/curl.h>
#include <zlib.h>

namespace {

// Below this a body gains too little by gzip to pay for it.
constexpr std::size_t kGzipFromBytes = 1024;

std::size_t keep_answer(char* data, std::size_t size, std::size_t count, void* body) {
    static_cast<std::string*>(body)->append(data, size * count);
    return size * count;
}

}  // namespace

struct InfluxHttp {
    CURL* curl = nullptr;
    curl_slist* plain = nullptr;
    curl_slist* gzipped = nullptr;
    z_stream zip{};
    bool zip_ready = false;
    std::string packed;
    std::string answer;
    char error[CURL_ERROR_SIZE] = {};
};

void InfluxHttpClose::operator()(InfluxHttp* h) const {
    if (h->curl) curl_easy_cleanup(h->curl);
    curl_slist_free_all(h->plain);
    curl_slist_free_all(h->gzipped);
    if (h->zip_ready) deflateEnd(&h->zip);
    delete h;
}

InfluxHttpPtr influx_http_open(const std::string& url, const std::string& token,
                               std::string& error) {
    if (url.rfind("http://", 0) != 0 && url.rfind("https://", 0) != 0) {
        error =
            "--influx takes the write endpoint, http://HOST:8086/write?db=NAME, not '" + url + "'";
        return nullptr;
    }
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
        error = "the HTTP client library did not start";
        return nullptr;
    }
    InfluxHttpPtr h(new InfluxHttp);
    h->zip_ready = deflateInit2(&h->zip, Z_BEST_SPEED, Z_DEFLATED, MAX_WBITS + 16, 8,
                                Z_DEFAULT_STRATEGY) == Z_OK;
    h->curl = curl_easy_init();
    if (!h->curl || !h->zip_ready) {
        error = "the HTTP client library did not start";
        return nullptr;
    }
    // No "Expect: 100-continue": it would hold every larger batch for a round trip.
    for (const char* header : {"Content-Type: text/plain; charset=utf-8", "Expect:"}) {
        h->plain = curl_slist_append(h->plain, header);
        h->gzipped = curl_slist_append(h->gzipped, header);
    }
    h->gzipped = curl_slist_append(h->gzipped, "Content-Encoding: gzip");
    if (!token.empty()) {
        const std::string authorization = "Authorization: Token " + token;
        h->plain = curl_slist_append(h->plain, authorization.c_str());
        h->gzipped = curl_slist_append(h->gzipped, authorization.c_str());
    }
    curl_easy_setopt(h->curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h->curl, CURLOPT_POST, 1L);
    curl_easy_setopt(h->curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h->curl, CURLOPT_TIMEOUT_MS, kInfluxAnswerMs);
    curl_easy_setopt(h->curl, CURLOPT_CONNECTTIMEOUT_MS, kInfluxConnectMs);
    curl_easy_setopt(h->curl, CURLOPT_WRITEFUNCTION, keep_answer);
    curl_easy_setopt(h->curl, CURLOPT_WRITEDATA, &h->answer);
    curl_easy_setopt(h->curl, CURLOPT_ERRORBUFFER, h->error);
    return h;
}

namespace {

bool pack(InfluxHttp& h, std::string_view lines) {
    if (deflateReset(&h.zip) != Z_OK) return false;
    h.packed.resize(deflateBound(&h.zip, lines.size()));
    h.zip.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(lines.data()));
    h.zip.avail_in = static_cast<uInt>(lines.size());
    h.zip.next_out = reinterpret_cast<Bytef*>(h.packed.data());
    h.zip.avail_out = static_cast<uInt>(h.packed.size());
    if (deflate(&h.zip, Z_FINISH) != Z_STREAM_END) return false;
    h.packed.resize(h.zip.total_out);
    return true;
}

}  // namespace

InfluxReply influx_http_post(InfluxHttp& h, std::string_view lines, bool gzip) {
    const bool packed = gzip && lines.size() >= kGzipFromBytes && pack(h, lines);
    const std::string_view body = packed ? std::string_view(h.packed) : lines;
    curl_easy_setopt(h.curl, CURLOPT_HTTPHEADER, packed ? h.gzipped : h.plain);
    curl_easy_setopt(h.curl, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(h.curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    h.answer.clear();
    h.error[0] = '\0';
    InfluxReply reply;
    const CURLcode done = curl_easy_perform(h.curl);
    if (done != CURLE_OK) {
        reply.error = h.error[0] ? h.error : curl_easy_strerror(done);
        return reply;
    }
    curl_easy_getinfo(h.curl, CURLINFO_RESPONSE_CODE, &reply.status);
    reply.body = h.answer;
    return reply;
}
