// The support reports' HTTP exchange over libcurl, and the debugger test.
#include <curl/curl.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

#include "SupportDetail.h"

namespace kvo::common::detail {
namespace {

using SteadyClock = std::chrono::steady_clock;

struct Transfer {
    std::string reply;
    SteadyClock::time_point lastActivity = SteadyClock::now();
};

size_t OnBody(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    t->reply.append(data, size * count);
    t->lastActivity = SteadyClock::now();
    return size * count;
}

size_t OnHeader(char*, size_t size, size_t count, void* user) {
    static_cast<Transfer*>(user)->lastActivity = SteadyClock::now();
    return size * count;
}

struct EasyDeleter {
    void operator()(CURL* h) const { curl_easy_cleanup(h); }
};
struct MultiDeleter {
    void operator()(CURLM* m) const { curl_multi_cleanup(m); }
};
struct ListDeleter {
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

void Check(CURLcode rc) {
    if (rc != CURLE_OK) throw std::runtime_error(curl_easy_strerror(rc));
}

}  // namespace

std::string PostReport(const std::string& url, const std::string& body,
                       const ReportTimeouts& timeouts) {
    static std::once_flag init;
    std::call_once(init, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });

    std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
    std::unique_ptr<CURLM, MultiDeleter> multi(curl_multi_init());
    if (!easy || !multi) throw std::runtime_error("HTTP client unavailable");
    CURL* h = easy.get();

    std::unique_ptr<curl_slist, ListDeleter> headers;
    for (const char* line : {"Content-Type: application/x-www-form-urlencoded", "Expect:"}) {
        curl_slist* next = curl_slist_append(headers.get(), line);
        if (!next) throw std::runtime_error("out of memory");
        (void)headers.release();
        headers.reset(next);
    }

    Transfer transfer;
    Check(curl_easy_setopt(h, CURLOPT_URL, url.c_str()));
    Check(curl_easy_setopt(h, CURLOPT_POST, 1L));
    Check(curl_easy_setopt(h, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_0)));
    Check(curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(body.size())));
    Check(curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.data()));
    Check(curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get()));
    Check(curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, long(timeouts.connectMs)));
    // The report goes straight to its server, like every other part of the
    // suite, whatever proxy the environment names.
    Check(curl_easy_setopt(h, CURLOPT_PROXY, ""));
    Check(curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L));
    Check(curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L));
    Check(curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &OnBody));
    Check(curl_easy_setopt(h, CURLOPT_WRITEDATA, &transfer));
    Check(curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &OnHeader));
    Check(curl_easy_setopt(h, CURLOPT_HEADERDATA, &transfer));

    if (curl_multi_add_handle(multi.get(), h) != CURLM_OK)
        throw std::runtime_error("HTTP client unavailable");
    struct Detach {
        CURLM* m;
        CURL* h;
        ~Detach() { curl_multi_remove_handle(m, h); }
    } detach{multi.get(), h};

    // The read time-out is the longest silence once connected; libcurl has
    // no per-read limit of its own, so the loop watches for it.
    const auto readLimit = std::chrono::milliseconds(timeouts.readMs);
    bool connected = false;
    curl_off_t sent = 0;
    int running = 1;
    while (true) {
        if (curl_multi_perform(multi.get(), &running) != CURLM_OK)
            throw std::runtime_error("HTTP transfer failed");
        if (!running) break;
        const auto now = SteadyClock::now();
        if (!connected) {
            curl_off_t connectTime = 0;
            curl_easy_getinfo(h, CURLINFO_CONNECT_TIME_T, &connectTime);
            if (connectTime > 0) connected = true;
            transfer.lastActivity = now;
        } else {
            curl_off_t up = 0;
            curl_easy_getinfo(h, CURLINFO_SIZE_UPLOAD_T, &up);
            if (up != sent) {
                sent = up;
                transfer.lastActivity = now;
            }
            if (now - transfer.lastActivity > readLimit) throw std::runtime_error("Read timed out");
        }
        if (curl_multi_poll(multi.get(), nullptr, 0, 20, nullptr) != CURLM_OK)
            throw std::runtime_error("HTTP transfer failed");
    }

    int pending = 0;
    CURLcode result = CURLE_OK;
    while (CURLMsg* msg = curl_multi_info_read(multi.get(), &pending))
        if (msg->msg == CURLMSG_DONE && msg->easy_handle == h) result = msg->data.result;
    Check(result);
    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    if (status < 200 || status > 299)
        throw std::runtime_error("HTTP/1.0 " + std::to_string(status));
    return std::move(transfer.reply);
}

bool UnderDebugger() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("TracerPid:", 0) == 0) {
            std::size_t pos = line.find_first_not_of(" \t", 10);
            return pos != std::string::npos && line.compare(pos, 1, "0") != 0;
        }
    }
    return false;
}

}  // namespace kvo::common::detail
