// HTTP/HTTPS form upload and FTP upload over libcurl.
#include <curl/curl.h>
#include <openssl/x509_vfy.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>

#include "crashlog/CrashSockets.h"
#include "crashlog/CrashWebTools.h"
#include "report/ReportText.h"

namespace crashlog {

namespace {

using report::Trim;  // leading and trailing blanks and control characters

bool FileExists(const std::string& path) {
    struct stat st {};
    return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool ReadFile(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream ss;
    ss << in.rdbuf();
    out = ss.str();
    return true;
}

void GlobalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct Body {
    const std::string* data = nullptr;
    std::size_t pos = 0;
    long long before = 0;  // bytes of earlier files (FTP)
    const TWebUpload* upload = nullptr;
};

// Hands the body out in 1024-byte pieces so that the progress moves with
// what really left.
size_t ReadPiece(char* buffer, size_t size, size_t count, void* user) {
    Body& b = *static_cast<Body*>(user);
    const std::size_t n = std::min({size * count, std::size_t(1024), b.data->size() - b.pos});
    memcpy(buffer, b.data->data() + b.pos, n);
    b.pos += n;
    if (b.upload->progress) b.upload->progress(2, b.before + (long long)b.pos);
    return n;
}

size_t Discard(char*, size_t size, size_t count, void*) {
    return size * count;
}

size_t StatusLine(char* buffer, size_t size, size_t count, void* user) {
    std::string line(buffer, size * count);
    if (line.rfind("HTTP/", 0) == 0) {
        // "HTTP/1.1 404 Not Found": the text after the code.
        const std::size_t sp1 = line.find(' ');
        const std::size_t sp2 = sp1 == std::string::npos ? sp1 : line.find(' ', sp1 + 1);
        *static_cast<std::string*>(user) = sp2 == std::string::npos ? "" : Trim(line.substr(sp2));
    }
    return size * count;
}

// libcurl's failure in the historical numbering.
int MapCurlError(CURL* curl, CURLcode rc) {
    switch (rc) {
        case CURLE_OPERATION_TIMEDOUT:
            return 12002;
        case CURLE_URL_MALFORMAT:
            return 12005;
        case CURLE_UNSUPPORTED_PROTOCOL:
            return 12006;
        case CURLE_COULDNT_RESOLVE_HOST:
            return 12007;
        case CURLE_COULDNT_RESOLVE_PROXY:
            return 12165;
        case CURLE_COULDNT_CONNECT:
            return 12029;
        case CURLE_LOGIN_DENIED:
            return 12015;
        case CURLE_GOT_NOTHING:
        case CURLE_PARTIAL_FILE:
        case CURLE_RECV_ERROR:
            return 12030;
        case CURLE_SEND_ERROR:
            return 12031;
        case CURLE_WEIRD_SERVER_REPLY:
            return 12152;
        case CURLE_FTP_WEIRD_PASV_REPLY:
        case CURLE_FTP_WEIRD_227_FORMAT:
        case CURLE_FTP_CANT_GET_HOST:
            return 12112;
        case CURLE_REMOTE_ACCESS_DENIED:
        case CURLE_UPLOAD_FAILED:
        case CURLE_QUOTE_ERROR:
        case CURLE_FTP_COULDNT_RETR_FILE:
        case CURLE_REMOTE_FILE_NOT_FOUND:
            return 12111;
        case CURLE_PEER_FAILED_VERIFICATION: {
            long verify = 0;
            curl_easy_getinfo(curl, CURLINFO_SSL_VERIFYRESULT, &verify);
            switch (verify) {
                case X509_V_OK:
                    return 12038;  // the chain was fine: the name was not
                case X509_V_ERR_CERT_HAS_EXPIRED:
                case X509_V_ERR_CERT_NOT_YET_VALID:
                    return 12037;
                case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
                case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
                case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
                case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
                case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
                    return 12045;
                case X509_V_ERR_CERT_REVOKED:
                    return 12170;
                default:
                    return 12169;
            }
        }
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_CERTPROBLEM:
            return 12169;
        case CURLE_SSL_CONNECT_ERROR:
            return 12055;
        default:
            return 12004;
    }
}

// Ends a transfer in which nothing moved for the time-out (a peer that
// never answers); a slow but live upload of a large archive goes on.
struct StallWatch {
    int timeoutMs;
    curl_off_t last = -1;
    std::chrono::steady_clock::time_point since = std::chrono::steady_clock::now();
    bool stalled = false;
};

int WatchProgress(void* user, curl_off_t dlnow, curl_off_t, curl_off_t, curl_off_t ulnow) {
    StallWatch& w = *static_cast<StallWatch*>(user);
    const auto now = std::chrono::steady_clock::now();
    if (dlnow + ulnow != w.last) {
        w.last = dlnow + ulnow;
        w.since = now;
        return 0;
    }
    if (now - w.since > std::chrono::milliseconds(w.timeoutMs)) {
        w.stalled = true;
        return 1;
    }
    return 0;
}

void CommonOptions(CURL* curl, const TWebUpload& u, StallWatch& watch) {
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, WatchProgress);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &watch);
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "CrashLog");
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, long(u.timeoutMs));
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!u.caFile.empty()) {
        // CAINFO replaces the default bundle; the system's folder keeps the
        // public authorities trusted as well.
        curl_easy_setopt(curl, CURLOPT_CAINFO, u.caFile.c_str());
        curl_easy_setopt(curl, CURLOPT_CAPATH, "/etc/ssl/certs");
    }
    if (!u.proxy.server.empty()) {
        const std::string proxy = u.proxy.server + ":" + std::to_string(u.proxy.port);
        curl_easy_setopt(curl, CURLOPT_PROXY, proxy.c_str());
        curl_easy_setopt(curl, CURLOPT_NOPROXY, "localhost,127.0.0.1,::1");
        if (!u.proxy.login.empty() || !u.proxy.password.empty()) {
            curl_easy_setopt(curl, CURLOPT_PROXYUSERNAME, u.proxy.login.c_str());
            curl_easy_setopt(curl, CURLOPT_PROXYPASSWORD, u.proxy.password.c_str());
        }
    }
}

TWebResult CurlFailure(CURL* curl, CURLcode rc, const char* errorBuffer, bool stalled) {
    TWebResult r;
    if (stalled) return {12002, WebErrorText(12002)};
    r.code = MapCurlError(curl, rc);
    // A peer that answers without an HTTP status line is reported by
    // libcurl as an unsupported protocol version; it is an unreadable reply.
    if (rc == CURLE_UNSUPPORTED_PROTOCOL && strstr(errorBuffer, "HTTP/0.9")) r.code = 12152;
    // libcurl checks the name itself and reports it without a verify code.
    if (rc == CURLE_PEER_FAILED_VERIFICATION && strstr(errorBuffer, "subject name")) r.code = 12038;
    r.errorText = WebErrorText(r.code);
    if (r.errorText.empty() || r.code == 12004)
        r.errorText = errorBuffer && *errorBuffer ? errorBuffer : curl_easy_strerror(rc);
    return r;
}

}  // namespace

TWebAddress ParseWebAddress(std::string_view text) {
    TWebAddress a;
    std::string s = Trim(text);
    s += '/';
    // The port: digits between the last ":" and the first "/" after it.
    const std::size_t schemeEnd = s.find("://");
    std::size_t hostStart = 0;
    if (schemeEnd != std::string::npos) {
        const std::string scheme = s.substr(0, schemeEnd);
        const bool ok = !scheme.empty() && std::all_of(scheme.begin(), scheme.end(), [](char c) {
            return isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.';
        });
        if (ok) {
            a.scheme = scheme;
            hostStart = schemeEnd + 3;
        }
    }
    std::size_t slash = s.find('/', hostStart);
    std::string authority = s.substr(hostStart, slash - hostStart);
    std::string rest = s.substr(slash + 1);
    if (!rest.empty()) rest.pop_back();  // the "/" added above
    a.path = rest;
    const std::size_t atSign = authority.rfind('@');
    if (atSign != std::string::npos) {
        const std::string user = authority.substr(0, atSign);
        authority = authority.substr(atSign + 1);
        const std::size_t colon = user.find(':');
        a.login = user.substr(0, colon);
        if (colon != std::string::npos) a.password = user.substr(colon + 1);
    }
    const std::size_t colon = authority.rfind(':');
    if (colon != std::string::npos && colon + 1 < authority.size() &&
        std::all_of(authority.begin() + long(colon) + 1, authority.end(),
                    [](char c) { return c >= '0' && c <= '9'; }) &&
        authority.size() - colon - 1 <= 5) {
        a.port = std::stoi(authority.substr(colon + 1));
        authority.resize(colon);
    }
    a.host = authority;
    return a;
}

std::string WebErrorText(int code) {
    static const std::pair<int, const char*> kTexts[] = {
        {12002, "The request has timed out."},
        {12003, "An extended error was returned from the server."},
        {12004, "An internal error has occurred."},
        {12005, "The URL is invalid."},
        {12006, "The URL scheme could not be recognized, or is not supported."},
        {12007, "The server name could not be resolved."},
        {12013, "User name incorrect."},
        {12014, "Password incorrect."},
        {12015, "Log on request failed."},
        {12016, "The requested operation is invalid."},
        {12020, "The request cannot be made via a proxy."},
        {12028, "The requested item could not be located."},
        {12029, "The attempt to connect to the server failed."},
        {12030, "The connection with the server has been terminated."},
        {12031, "The connection with the server has been reset."},
        {12033, "The request to the proxy was invalid."},
        {12037, "SSL certificate date is bad."},
        {12038, "SSL certificate host name field is incorrect."},
        {12039,
         "The application is moving from a non-SSL to an SSL connection because of a "
         "redirect."},
        {12040,
         "The application is moving from an SSL to an non-SSL connection because of a "
         "redirect."},
        {12041, "The content is not entirely secure."},
        {12042,
         "The application is posting and attempting to change multiple lines of text on a "
         "server that is not secure."},
        {12043, "The application is posting data to a server that is not secure."},
        {12044, "The server is requesting client authentication."},
        {12045,
         "The function is unfamiliar with the Certificate Authority that generated the "
         "server's certificate."},
        {12052,
         "The data being submitted to an SSL connection is being redirected to a non-SSL "
         "connection."},
        {12055, "The SSL certificate contains errors."},
        {12111, "FTP session aborted."},
        {12112, "Passive mode is not available on the server."},
        {12133, "The end of the data has been reached."},
        {12150, "The requested header could not be located."},
        {12151, "The server did not return any headers."},
        {12152, "The server response could not be parsed."},
        {12153, "The supplied header is invalid."},
        {12160, "The HTTP request was not redirected."},
        {12161, "The HTTP cookie requires confirmation."},
        {12162, "The HTTP cookie was declined by the server."},
        {12163, "The Internet connection has been lost."},
        {12164, "The Web site or server indicated is unreachable."},
        {12165, "The designated proxy server cannot be reached."},
        {12166, "There was an error in the automatic proxy configuration script."},
        {12167, "The automatic proxy configuration script could not be downloaded."},
        {12168, "The redirection requires user confirmation."},
        {12169, "SSL certificate is invalid."},
        {12170, "SSL certificate was revoked."},
        {12171, "The function failed due to a security check."},
    };
    for (const auto& [c, text] : kTexts)
        if (c == code) return text;
    return {};
}

std::string MakeBoundary() {
    std::random_device rd;
    char tail[16];
    snprintf(tail, sizeof tail, "%04X%04X%04X", rd() & 0xFFFF, rd() & 0xFFFF, rd() & 0xFFFF);
    return std::string(27, '-') + tail;
}

std::string BuildUploadBody(const TWebUpload& u, const std::string& boundary) {
    std::string body;
    for (const std::string& field : u.customFields) {
        const std::size_t eq = field.find('=');
        const std::string name = field.substr(0, eq);
        const std::string value = eq == std::string::npos ? "" : field.substr(eq + 1);
        body += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + name +
                "\";\r\n\r\n" + value + "\r\n";
    }
    for (std::size_t i = 0; i < u.paths.size(); ++i) {
        std::string data;
        if (!FileExists(u.paths[i]) || !ReadFile(u.paths[i], data)) continue;
        const std::string& name = i < u.displayNames.size() ? u.displayNames[i] : u.paths[i];
        body += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"cl_upload_file_" +
                std::to_string(i) + "\"; filename=\"" + name +
                "\";\r\nContent-Type: application/octet-stream\r\n\r\n";
        body += data;
        body += "\r\n";
    }
    body += "--" + boundary + "--\r\n";
    return body;
}

TWebResult HttpUpload(const TWebUpload& u) {
    if (u.paths.empty()) return {};
    GlobalInit();
    const std::string boundary = MakeBoundary();
    const std::string body = BuildUploadBody(u, boundary);
    if (u.progress) u.progress(0, (long long)body.size());
    CURL* curl = curl_easy_init();
    if (!curl) return {-1, "Cannot find the \"libcurl\" library."};
    char errorBuffer[CURL_ERROR_SIZE] = {};
    const int port = u.port ? u.port : (u.https ? 443 : 80);
    std::string path = u.path;
    while (!path.empty() && path.front() == '/')
        path.erase(0, 1);
    const std::string url = std::string(u.https ? "https" : "http") + "://" + u.host + ":" +
                            std::to_string(port) + "/" + path;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorBuffer);
    StallWatch watch{u.timeoutMs};
    CommonOptions(curl, u, watch);
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(body.size()));
    Body b{&body, 0, 0, &u};
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, ReadPiece);
    curl_easy_setopt(curl, CURLOPT_READDATA, &b);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Discard);
    std::string statusText;
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, StatusLine);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &statusText);
    curl_slist* headers = nullptr;
    headers = curl_slist_append(
        headers, ("Content-Type: multipart/form-data; boundary=" + boundary).c_str());
    if (!u.login.empty() || !u.password.empty())
        headers = curl_slist_append(
            headers, ("Authorization: Basic " + Base64Encode(u.login + ":" + u.password)).c_str());
    headers = curl_slist_append(headers, "Expect:");
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    if (u.progress) u.progress(1, 0);
    const CURLcode rc = curl_easy_perform(curl);
    TWebResult r;
    if (rc != CURLE_OK) {
        r = CurlFailure(curl, rc, errorBuffer, watch.stalled);
    } else {
        long status = 0;
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
        if (status == 200) {
            r.code = 0;
        } else {
            r.code = status > 0 ? int(status) : 2147483647;
            r.errorText = statusText;
        }
    }
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    return r;
}

TWebResult FtpUpload(const TWebUpload& u) {
    if (u.paths.empty()) return {};
    GlobalInit();
    long long total = 0;
    for (const std::string& p : u.paths) {
        struct stat st {};
        if (FileExists(p) && stat(p.c_str(), &st) == 0) total += st.st_size;
    }
    if (u.progress) u.progress(0, total);
    std::string folder = u.path;
    while (!folder.empty() && folder.front() == '/')
        folder.erase(0, 1);
    if (!folder.empty() && folder.back() != '/') folder += '/';
    const int port = u.port ? u.port : 21;
    long long done = 0;
    bool connected = false;
    for (std::size_t i = 0; i < u.paths.size(); ++i) {
        std::string data;
        if (!FileExists(u.paths[i]) || !ReadFile(u.paths[i], data)) continue;
        CURL* curl = curl_easy_init();
        if (!curl) return {-1, "Cannot find the \"libcurl\" library."};
        char errorBuffer[CURL_ERROR_SIZE] = {};
        const std::string& name = i < u.displayNames.size() ? u.displayNames[i] : u.paths[i];
        char* escaped = curl_easy_escape(curl, name.c_str(), int(name.size()));
        const std::string url =
            "ftp://" + u.host + ":" + std::to_string(port) + "/" + folder + escaped;
        curl_free(escaped);
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorBuffer);
        StallWatch watch{u.timeoutMs};
        CommonOptions(curl, u, watch);
        if (!u.login.empty()) {
            curl_easy_setopt(curl, CURLOPT_USERNAME, u.login.c_str());
            curl_easy_setopt(curl, CURLOPT_PASSWORD, u.password.c_str());
        }
        curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(curl, CURLOPT_TRANSFERTEXT, 0L);
        curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE, curl_off_t(data.size()));
        Body b{&data, 0, done, &u};
        curl_easy_setopt(curl, CURLOPT_READFUNCTION, ReadPiece);
        curl_easy_setopt(curl, CURLOPT_READDATA, &b);
        if (!connected && u.progress) u.progress(1, 0);
        connected = true;
        const CURLcode rc = curl_easy_perform(curl);
        if (rc != CURLE_OK) {
            TWebResult r = CurlFailure(curl, rc, errorBuffer, watch.stalled);
            curl_easy_cleanup(curl);
            return r;
        }
        curl_easy_cleanup(curl);
        done += (long long)data.size();
    }
    return {};
}

std::string WebFailureText(const std::string& route, const TWebResult& r) {
    std::string text = route + " error code: " + std::to_string(r.code);
    if (r.code == -1)
        text += " - Cannot find the \"libcurl\" library.";
    else
        text += " (" + r.errorText + ")";
    return text;
}

}  // namespace crashlog
