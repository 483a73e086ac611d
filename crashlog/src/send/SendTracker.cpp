// Tracker page exchanges: the connection with its cookies and redirects,
// form scraping, and the issue tracker driven through its pages.
#include <curl/curl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

#include "crashlog/CrashWebTools.h"
#include "report/ReportText.h"

namespace crashlog {

namespace {

std::string Lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        c = char(tolower(static_cast<unsigned char>(c)));
    return out;
}

using report::Trim;  // leading and trailing blanks and control characters

std::size_t FindNoCase(std::string_view hay, std::string_view needle, std::size_t from = 0) {
    if (needle.empty() || hay.size() < needle.size()) return std::string_view::npos;
    for (std::size_t i = from; i + needle.size() <= hay.size(); ++i) {
        std::size_t k = 0;
        while (k < needle.size() && tolower(static_cast<unsigned char>(hay[i + k])) ==
                                        tolower(static_cast<unsigned char>(needle[k])))
            ++k;
        if (k == needle.size()) return i;
    }
    return std::string_view::npos;
}

// The end of a tag that starts at `start` ('>' outside quoted values).
std::size_t TagEnd(std::string_view page, std::size_t start) {
    char quote = 0;
    for (std::size_t i = start; i < page.size(); ++i) {
        const char c = page[i];
        if (quote) {
            if (c == quote) quote = 0;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '>') {
            return i;
        }
    }
    return std::string_view::npos;
}

// Attributes of one tag, names lower-cased, quotes removed.
std::vector<std::pair<std::string, std::string>> Attributes(std::string_view tag) {
    std::vector<std::pair<std::string, std::string>> out;
    std::size_t i = tag.find(' ');
    while (i != std::string_view::npos && i < tag.size()) {
        while (i < tag.size() && (isspace(static_cast<unsigned char>(tag[i])) || tag[i] == '/'))
            ++i;
        const std::size_t nameStart = i;
        while (i < tag.size() && tag[i] != '=' && !isspace(static_cast<unsigned char>(tag[i])) &&
               tag[i] != '>')
            ++i;
        if (i == nameStart) break;
        std::string name = Lower(tag.substr(nameStart, i - nameStart));
        std::string value;
        if (i < tag.size() && tag[i] == '=') {
            ++i;
            if (i < tag.size() && (tag[i] == '"' || tag[i] == '\'')) {
                const char q = tag[i++];
                const std::size_t end = tag.find(q, i);
                value = std::string(tag.substr(i, end == std::string_view::npos ? end : end - i));
                i = end == std::string_view::npos ? tag.size() : end + 1;
            } else {
                const std::size_t start = i;
                while (i < tag.size() && !isspace(static_cast<unsigned char>(tag[i])) &&
                       tag[i] != '>')
                    ++i;
                value = std::string(tag.substr(start, i - start));
            }
        }
        out.emplace_back(std::move(name), std::move(value));
    }
    return out;
}

bool Attribute(std::string_view tag, const std::string& name, std::string& value) {
    for (auto& [n, v] : Attributes(tag))
        if (n == name) {
            value = v;
            return true;
        }
    return false;
}

bool HasAttribute(std::string_view tag, const std::string& name) {
    std::string ignored;
    return Attribute(tag, name, ignored);
}

// The first tag "<kind " whose name= is `name`: its start and end.
bool FindNamedTag(std::string_view page, std::string_view kind, std::string_view name,
                  std::size_t& start, std::size_t& end) {
    for (std::size_t at = FindNoCase(page, kind); at != std::string_view::npos;
         at = FindNoCase(page, kind, at + 1)) {
        const std::size_t close = TagEnd(page, at);
        if (close == std::string_view::npos) return false;
        std::string n;
        if (Attribute(page.substr(at, close - at), "name", n) && Lower(n) == Lower(name)) {
            start = at;
            end = close;
            return true;
        }
    }
    return false;
}

struct Option {
    std::string value, text;
    bool selected = false;
};

std::vector<Option> Options(std::string_view page, std::string_view name) {
    std::vector<Option> out;
    std::size_t start, end;
    if (!FindNamedTag(page, "<select ", name, start, end)) return out;
    const std::size_t stop = FindNoCase(page, "</select>", end);
    const std::string_view body = page.substr(
        end + 1, stop == std::string_view::npos ? std::string_view::npos : stop - end - 1);
    for (std::size_t at = FindNoCase(body, "<option"); at != std::string_view::npos;
         at = FindNoCase(body, "<option", at + 1)) {
        const std::size_t close = TagEnd(body, at);
        if (close == std::string_view::npos) break;
        const std::string_view tag = body.substr(at, close - at);
        Option o;
        const bool hasValue = Attribute(tag, "value", o.value);
        o.selected = HasAttribute(tag, "selected");
        std::size_t textEnd = body.find('<', close + 1);
        o.text =
            Trim(body.substr(close + 1, textEnd == std::string_view::npos ? std::string_view::npos
                                                                          : textEnd - close - 1));
        if (!hasValue) o.value = DecodeEntities(o.text);
        out.push_back(std::move(o));
    }
    return out;
}

// Visible option text with entity-like "&...;" runs dropped.
std::string DropEntities(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '&') {
            const std::size_t semi = text.find(';', i);
            if (semi != std::string_view::npos && semi - i <= 8) {
                i = semi;
                continue;
            }
        }
        out += text[i];
    }
    return Trim(out);
}

size_t Collect(char* data, size_t size, size_t count, void* user) {
    static_cast<std::string*>(user)->append(data, size * count);
    return size * count;
}

bool ReadFile(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream ss;
    ss << in.rdbuf();
    out = ss.str();
    return true;
}

std::string FileNameOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::string UrlEncode(std::string_view text) {
    std::string out;
    for (unsigned char c : text) {
        if (isalnum(c) && c < 128) {
            out += char(c);
        } else {
            char hex[4];
            snprintf(hex, sizeof hex, "%%%02X", c);
            out += hex;
        }
    }
    return out;
}

std::string DecodeEntities(std::string_view text) {
    static const std::pair<const char*, const char*> kNamed[] = {{"&amp;", "&"},  {"&quot;", "\""},
                                                                 {"&lt;", "<"},   {"&gt;", ">"},
                                                                 {"&nbsp;", " "}, {"&apos;", "'"}};
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '&') {
            bool done = false;
            for (const auto& [entity, value] : kNamed) {
                if (text.substr(i, strlen(entity)) == entity) {
                    out += value;
                    i += strlen(entity) - 1;
                    done = true;
                    break;
                }
            }
            if (done) continue;
            if (text.substr(i, 2) == "&#") {
                std::size_t k = i + 2;
                unsigned long code = 0;
                while (k < text.size() && k < i + 9 && isdigit(static_cast<unsigned char>(text[k])))
                    code = code * 10 + unsigned(text[k++] - '0');
                if (k < text.size() && text[k] == ';' && k > i + 2 && code > 0 && code < 256) {
                    out += char(code);
                    i = k;
                    continue;
                }
            }
        }
        out += text[i];
    }
    return out;
}

bool FindInputValue(std::string_view page, std::string_view name, std::string& value) {
    std::size_t start, end;
    if (!FindNamedTag(page, "<input ", name, start, end)) return false;
    if (!Attribute(page.substr(start, end - start), "value", value)) value.clear();
    value = DecodeEntities(value);
    return true;
}

bool FindTextArea(std::string_view page, std::string_view name, std::string& value) {
    std::size_t start, end;
    if (!FindNamedTag(page, "<textarea ", name, start, end)) return false;
    const std::size_t stop = FindNoCase(page, "</textarea>", end);
    if (stop == std::string_view::npos) return false;
    value = DecodeEntities(Trim(page.substr(end + 1, stop - end - 1)));
    return true;
}

bool FindSelectedOption(std::string_view page, std::string_view name, std::string& value) {
    for (const Option& o : Options(page, name))
        if (o.selected) {
            value = DecodeEntities(o.value);
            return true;
        }
    return FindInputValue(page, name, value);
}

bool FindOptionByText(std::string_view page, std::string_view name, std::string_view text,
                      std::string& value) {
    for (const Option& o : Options(page, name))
        if (Lower(DropEntities(o.text)) == Lower(Trim(text))) {
            value = DecodeEntities(o.value);
            return true;
        }
    return FindSelectedOption(page, name, value);
}

// ---- the connection ----------------------------------------------------------------

THTTPConnectionBase::THTTPConnectionBase(const TWebAddress& address, const TProxyRecord& proxy,
                                         std::string login, std::string password,
                                         std::string caFile, int timeoutMs)
    : host_(address.host),
      login_(std::move(login)),
      password_(std::move(password)),
      caFile_(std::move(caFile)),
      proxy_(proxy),
      timeoutMs_(timeoutMs) {
    https_ = Lower(address.scheme) == "https";
    port_ = address.port ? address.port : (https_ ? 443 : 80);
    std::string path = address.path;
    const std::size_t query = path.find('?');
    if (query != std::string::npos) path.resize(query);
    while (!path.empty() && path.front() == '/')
        path.erase(0, 1);
    if (!path.empty() && path.back() != '/') path += '/';
    basePath_ = "/" + path;
}

THTTPConnectionBase::~THTTPConnectionBase() {
    Disconnect();
}

bool THTTPConnectionBase::Connect() {
    if (curl_) return true;
    Status(0, 0);
    curl_global_init(CURL_GLOBAL_DEFAULT);
    curl_ = curl_easy_init();
    if (!curl_) return false;
    CURL* c = static_cast<CURL*>(curl_);
    curl_easy_setopt(c, CURLOPT_COOKIEFILE, "");  // the login lives in cookies
    curl_easy_setopt(c, CURLOPT_USERAGENT, "CrashLog");
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, long(timeoutMs_));
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, long(timeoutMs_) * 4);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!caFile_.empty()) {
        curl_easy_setopt(c, CURLOPT_CAINFO, caFile_.c_str());
        curl_easy_setopt(c, CURLOPT_CAPATH, "/etc/ssl/certs");
    }
    if (!proxy_.server.empty()) {
        const std::string p =
            proxy_.server + ":" + std::to_string(proxy_.port ? proxy_.port : 8080);
        curl_easy_setopt(c, CURLOPT_PROXY, p.c_str());
        curl_easy_setopt(c, CURLOPT_NOPROXY, "localhost,127.0.0.1,::1");
        curl_easy_setopt(c, CURLOPT_PROXYUSERNAME, proxy_.login.c_str());
        curl_easy_setopt(c, CURLOPT_PROXYPASSWORD, proxy_.password.c_str());
    }
    Status(1, 0);
    return true;
}

void THTTPConnectionBase::Disconnect() {
    if (!curl_) return;
    Status(8, 0);
    curl_easy_cleanup(static_cast<CURL*>(curl_));
    curl_ = nullptr;
    Status(9, 0);
}

void THTTPConnectionBase::SetPage(std::string page, TRequestMethod method) {
    page_ = std::move(page);
    method_ = method;
    fields_.clear();
    files_.clear();
}

void THTTPConnectionBase::AddField(const std::string& name, const std::string& value) {
    for (auto& f : fields_)
        if (f.first == name) {
            f.second = value;
            return;
        }
    fields_.emplace_back(name, value);
}

void THTTPConnectionBase::AddFile(const std::string& name, const std::string& path) {
    files_.emplace_back(name, path);
}

std::string THTTPConnectionBase::Field(const std::string& name) const {
    for (const auto& f : fields_)
        if (f.first == name) return f.second;
    return {};
}

bool THTTPConnectionBase::CopyInput(const std::string& name) {
    std::string v;
    if (!FindInputValue(response_.Body, name, v)) return false;
    AddField(name, v);
    return true;
}
bool THTTPConnectionBase::CopyText(const std::string& name) {
    std::string v;
    if (!FindTextArea(response_.Body, name, v)) return false;
    AddField(name, v);
    return true;
}
bool THTTPConnectionBase::CopySelected(const std::string& name) {
    std::string v;
    if (!FindSelectedOption(response_.Body, name, v)) return false;
    AddField(name, v);
    return true;
}
bool THTTPConnectionBase::CopyOptionByText(const std::string& name, const std::string& text) {
    std::string v;
    if (!FindOptionByText(response_.Body, name, text, v)) return false;
    AddField(name, v);
    return true;
}

bool THTTPConnectionBase::Holds(std::string_view text) const {
    return response_.Body.find(text) != std::string::npos;
}

bool THTTPConnectionBase::Exchange(const std::string& url, TRequestMethod method,
                                   std::string& finalUrl) {
    CURL* c = static_cast<CURL*>(curl_);
    std::string body, query, headers, boundary;
    for (const auto& [n, v] : fields_) {
        if (!query.empty()) query += '&';
        query += UrlEncode(n) + "=" + UrlEncode(v);
    }
    std::string target = url;
    curl_slist* list = nullptr;
    if (method == TRequestMethod::Get) {
        if (!query.empty()) target += (target.find('?') == std::string::npos ? "?" : "&") + query;
        curl_easy_setopt(c, CURLOPT_HTTPGET, 1L);
    } else {
        if (method == TRequestMethod::PostUrlEncoded) {
            body = query;
            list = curl_slist_append(list, "Content-Type: application/x-www-form-urlencoded");
        } else {
            boundary = MakeBoundary();
            for (const auto& [n, v] : fields_)
                body += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + n +
                        "\"\r\n\r\n" + v + "\r\n";
            for (const auto& [n, path] : files_) {
                std::string data;
                const bool ok = ReadFile(path, data);
                body += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + n +
                        "\"; filename=\"" + (ok ? FileNameOf(path) : "") +
                        "\"\r\nContent-Type: application/octet-stream\r\n\r\n" + data + "\r\n";
            }
            body += "--" + boundary + "--\r\n";
            list = curl_slist_append(
                list, ("Content-Type: multipart/form-data; boundary=" + boundary).c_str());
        }
        curl_easy_setopt(c, CURLOPT_POST, 1L);
        curl_easy_setopt(c, CURLOPT_POSTFIELDS, body.data());
        curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(body.size()));
    }
    if (!login_.empty() || !password_.empty()) {
        std::string credentials = login_ + ":" + password_;
        std::string b64;
        static const char* k = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        for (std::size_t i = 0; i < credentials.size(); i += 3) {
            uint32_t v = uint32_t(uint8_t(credentials[i])) << 16;
            if (i + 1 < credentials.size()) v |= uint32_t(uint8_t(credentials[i + 1])) << 8;
            if (i + 2 < credentials.size()) v |= uint8_t(credentials[i + 2]);
            b64 += k[v >> 18];
            b64 += k[(v >> 12) & 63];
            b64 += i + 1 < credentials.size() ? k[(v >> 6) & 63] : '=';
            b64 += i + 2 < credentials.size() ? k[v & 63] : '=';
        }
        list = curl_slist_append(list, ("Authorization: Basic " + b64).c_str());
    }
    list = curl_slist_append(list, "Expect:");
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, list);
    curl_easy_setopt(c, CURLOPT_URL, target.c_str());
    std::string received;
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, Collect);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &received);
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, Collect);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, &headers);
    Status(6, 0);
    const CURLcode rc = curl_easy_perform(c);
    curl_slist_free_all(list);
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, nullptr);
    Status(6, 100);
    response_ = {};
    if (rc != CURLE_OK) {
        response_.ErrorCode = rc == CURLE_COULDNT_CONNECT            ? 12029
                              : rc == CURLE_OPERATION_TIMEDOUT       ? 12002
                              : rc == CURLE_COULDNT_RESOLVE_HOST     ? 12007
                              : rc == CURLE_PEER_FAILED_VERIFICATION ? 12045
                                                                     : 12030;
        response_.ErrorText = WebErrorText(response_.ErrorCode);
        return false;
    }
    long status = 0;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
    response_.StatusCode = int(status);
    response_.Headers = headers;
    // The last status line's text.
    const std::size_t line = headers.rfind("HTTP/");
    if (line != std::string::npos) {
        const std::size_t eol = headers.find("\r\n", line);
        const std::string first = headers.substr(line, eol - line);
        const std::size_t sp = first.find(' ', first.find(' ') + 1);
        if (sp != std::string::npos) response_.StatusText = first.substr(sp + 1);
    }
    for (char& ch : received)
        if (static_cast<unsigned char>(ch) < 32) ch = ' ';
    response_.Body = std::move(received);
    finalUrl = target;
    return true;
}

bool THTTPConnectionBase::Run() {
    if (!curl_ && !Connect()) return false;
    const std::string base = std::string(https_ ? "https" : "http") + "://" + host_ + ":" +
                             std::to_string(port_) + basePath_;
    std::string url = base + page_;
    TRequestMethod method = method_;
    std::string finalUrl;
    for (int hop = 0; hop < 10; ++hop) {
        if (!Exchange(url, method, finalUrl)) return false;
        std::string next;
        auto header = [&](std::string_view name) -> std::string {
            const std::size_t at =
                FindNoCase(response_.Headers, std::string("\n") + std::string(name) + ":");
            if (at == std::string::npos) return {};
            const std::size_t start = at + name.size() + 2;
            const std::size_t eol = response_.Headers.find("\r\n", start);
            return Trim(std::string_view(response_.Headers).substr(start, eol - start));
        };
        if (response_.StatusCode >= 301 && response_.StatusCode <= 303) {
            next = header("Location");
        } else if (response_.StatusCode == 200) {
            const std::string refresh = header("Refresh");
            const std::size_t at = FindNoCase(refresh, "url=");
            if (at != std::string::npos) next = Trim(refresh.substr(at + 4));
        }
        if (next.empty()) break;
        // Resolve the new page against the current one.
        CURLU* u = curl_url();
        curl_url_set(u, CURLUPART_URL, finalUrl.c_str(), 0);
        curl_url_set(u, CURLUPART_URL, next.c_str(), 0);
        char* resolved = nullptr;
        curl_url_get(u, CURLUPART_URL, &resolved, 0);
        url = resolved ? resolved : next;
        curl_free(resolved);
        curl_url_cleanup(u);
        fields_.clear();
        files_.clear();
        method = TRequestMethod::Get;
    }
    // The page name: the last path segment without the query.
    std::string path = finalUrl.substr(0, finalUrl.find('?'));
    response_.PageName = path.substr(path.rfind('/') + 1);
    Status(7, 0);
    return true;
}

// ---- the tracker ------------------------------------------------------------------

std::string IncreaseCounter(const std::string& title, const std::string& version) {
    const std::string prefix = "[v" + version + " - ";
    if (title.rfind(prefix, 0) != 0) return title;
    std::size_t i = prefix.size();
    int n = 0;
    const std::size_t start = i;
    while (i < title.size() && i < start + 5 && isdigit(static_cast<unsigned char>(title[i])))
        n = n * 10 + (title[i++] - '0');
    if (i == start || i >= title.size() || title[i] != ']' || n >= 9999) return title;
    return prefix + std::to_string(n + 1) + title.substr(i);
}

std::string TrackerFailureText(int result, const THTTPResponse& response) {
    static const char* kTexts[] = {
        "Unknown error.",          "Invalid login request.",  "Invalid selection request.",
        "Invalid search request.", "Invalid insert request.", "Invalid modify request."};
    const std::string text = result >= 2 && result <= 7 ? kTexts[result - 2] : kTexts[0];
    return text + "\r\n\r\nError Code: " + std::to_string(response.ErrorCode) +
           "\r\nError Message: \"" + response.ErrorText + "\"";
}

namespace {

// The custom fields all but the last four lines into the form, when
// there are at least five.
void AddCustomFields(THTTPConnectionBase& c, const std::vector<std::string>& lines) {
    if (lines.size() < 5) return;
    for (std::size_t i = 0; i + 4 < lines.size(); ++i) {
        const std::size_t eq = lines[i].find('=');
        c.AddField(lines[i].substr(0, eq), eq == std::string::npos ? "" : lines[i].substr(eq + 1));
    }
}

std::string CustomValue(const std::vector<std::string>& lines, const std::string& name) {
    for (const std::string& l : lines)
        if (l.rfind(name + "=", 0) == 0) return l.substr(name.size() + 1);
    return {};
}

int Mantis(THTTPConnectionBase& c, const TTrackerRequest& r) {
    const std::string title = "[v" + r.version + " - 1]: " + r.bugType + " (" + r.bugId + ")";
    const std::string search = r.bugType + " (" + r.bugId + ")";
    std::string description = r.bugText;
    if (!r.reproduceText.empty()) description += "\r\n\r\n---\r\n\r\n" + r.reproduceText;

    c.Status(2, 0);
    c.SetPage("login.php", TRequestMethod::PostUrlEncoded);
    c.AddField("return", "login_select_proj_page.php");
    c.AddField("username", r.login);
    c.AddField("password", r.password);
    if (!c.Run() || !c.PageIs("login_select_proj_page.php") || !c.Holds("name=\"project_id\""))
        return trLogin;

    c.Status(3, 0);
    std::string project;
    if (!FindOptionByText(c.Response().Body, "project_id", r.project, project)) return trSelection;
    c.SetPage("set_project.php", TRequestMethod::PostUrlEncoded);
    c.AddField("project_id", project);
    if (!c.Run() || !c.PageIs("my_view_page.php") ||
        !(c.Holds(">" + r.project + "</option>") || c.Holds(" " + r.project + "</option>")))
        return trSelection;

    c.Status(4, 0);
    c.SetPage("view_all_set.php?f=3", TRequestMethod::PostUrlEncoded);
    c.AddField("type", "1");
    c.AddField("page_number", "1");
    c.AddField("view_type", "simple");
    c.AddField("search", search);
    if (!c.Run() || !c.PageIs("view_all_bug_page.php") ||
        !(c.Holds("name=\"reset_query_button\"") || c.Holds("name=\"source_query_id\"")))
        return trSearch;

    const std::string& list = c.Response().Body;
    std::size_t link = list.find("bug_update_page.php?bug_id=");
    std::size_t linkLen = strlen("bug_update_page.php?bug_id=");
    if (link == std::string::npos) {
        link = list.find("bug_update_advanced_page.php?bug_id=");
        linkLen = strlen("bug_update_advanced_page.php?bug_id=");
    }
    if (link == std::string::npos) {
        c.SetPage("bug_report_advanced_page.php", TRequestMethod::Get);
        if (!c.Run() || !c.Holds("name=\"file\" type=\"file\"")) return trInsert;
        const std::string page = c.Response().Body;
        c.SetPage("bug_report.php", TRequestMethod::PostMultipart);
        // Copies read the form page kept above, not the (empty) new one.
        auto copy = [&](const std::string& name, bool selected) {
            std::string v;
            if (selected ? FindSelectedOption(page, name, v) : FindInputValue(page, name, v))
                c.AddField(name, v);
        };
        auto byText = [&](const std::string& name, const std::string& text) {
            std::string v;
            if (FindOptionByText(page, name, text, v)) c.AddField(name, v);
        };
        copy("m_id", false);
        copy("project_id", false);
        byText("handler_id", r.assignee);
        byText("category", r.category);
        c.AddField("reproducibility", "10");
        copy("severity", true);
        copy("priority", true);
        copy("platform", false);
        c.AddField("os", CustomValue(r.customFields, "CL_OSType"));
        c.AddField("os_build", CustomValue(r.customFields, "CL_OSBuild"));
        c.AddField("build", r.version);
        c.AddField("summary", title);
        c.AddField("description", description);
        c.AddField("steps_to_reproduce", CustomValue(r.customFields, "CL_ReproduceText"));
        c.AddField("additional_info", "");
        c.AddField("view_state", "10");
        copy("report_stay", false);
        copy("bug_report_token", false);
        AddCustomFields(c, r.customFields);
        c.AddFile("file", r.archive);
        if (!c.Run() || !c.PageIs("bug_report.php") || !c.Holds("href=\"view.php?id="))
            return trInsert;
        return trSuccess;
    }

    c.Status(5, 0);
    std::size_t idEnd = link + linkLen;
    while (idEnd < list.size() && isdigit(static_cast<unsigned char>(list[idEnd])))
        ++idEnd;
    const std::string id = list.substr(link + linkLen, idEnd - link - linkLen);
    c.SetPage("bug_update_page.php", TRequestMethod::Get);
    c.AddField("bug_id", id);
    if (!c.Run() || !c.Holds("name=\"severity\"")) return trModify;
    const std::string page = c.Response().Body;
    c.SetPage("bug_update.php", TRequestMethod::PostUrlEncoded);
    std::string status, summary;
    if ((FindSelectedOption(page, "status", status) || FindInputValue(page, "status", status)) &&
        (status == "80" || status == "90"))
        return trClosed;
    if (!FindInputValue(page, "summary", summary)) return trModify;
    const std::string increased = IncreaseCounter(summary, r.version);
    if (increased == summary && summary.rfind("[v" + r.version + " - 9999]", 0) == 0)
        return trSuccess;  // the counter is full: the entry stays as it is
    auto copy = [&](const std::string& name, int kind) {
        std::string v;
        const bool found = kind == 0   ? FindInputValue(page, name, v)
                           : kind == 1 ? FindSelectedOption(page, name, v)
                                       : FindTextArea(page, name, v);
        if (found) c.AddField(name, v);
    };
    copy("bug_id", 0);
    copy("update_mode", 0);
    for (const char* s : {"category", "severity", "reproducibility", "reporter_id", "view_state",
                          "handler_id", "priority", "resolution"})
        copy(s, 1);
    c.AddField("summary", increased);
    copy("description", 2);
    copy("additional_information", 2);
    copy("bugnote_text", 2);
    c.AddField("build", r.version);
    copy("bug_update_token", 0);
    AddCustomFields(c, r.customFields);
    if (!c.Run() || !(c.PageIs("bug_update.php") || c.PageIs("view.php")) ||
        !c.Holds("href=\"view.php?id="))
        return trModify;
    return trSuccess;
}

// The text after `marker` up to the first byte that is not a letter or
// digit (an entry id, an action token).
std::string TokenAfter(const std::string& page, const std::string& marker, std::size_t from = 0) {
    const std::size_t at = page.find(marker, from);
    if (at == std::string::npos) return {};
    std::size_t end = at + marker.size();
    while (end < page.size() && isalnum(static_cast<unsigned char>(page[end])))
        ++end;
    return page.substr(at + marker.size(), end - at - marker.size());
}

// The entry id in a result list: after the cell marker, then the link.
std::string EntryId(const std::string& list, const std::string& cell, const std::string& link) {
    std::size_t from = list.find(cell);
    if (from == std::string::npos) from = 0;
    return TokenAfter(list, link, from);
}

struct Texts {
    std::string title, search, description;
};
Texts MakeTexts(const TTrackerRequest& r) {
    Texts t;
    t.title = "[v" + r.version + " - 1]: " + r.bugType + " (" + r.bugId + ")";
    t.search = r.bugType + " (" + r.bugId + ")";
    t.description = r.bugText;
    if (!r.reproduceText.empty()) t.description += "\r\n\r\n---\r\n\r\n" + r.reproduceText;
    return t;
}

// Copies from a page kept aside (the connection's last page moves on).
struct PageCopy {
    THTTPConnectionBase& c;
    const std::string page;
    void Input(const std::string& name) {
        std::string v;
        if (FindInputValue(page, name, v)) c.AddField(name, v);
    }
    void Selected(const std::string& name) {
        std::string v;
        if (FindSelectedOption(page, name, v)) c.AddField(name, v);
    }
    void Text(const std::string& name) {
        std::string v;
        if (FindTextArea(page, name, v)) c.AddField(name, v);
    }
    void ByText(const std::string& name, const std::string& text) {
        std::string v;
        if (FindOptionByText(page, name, text, v)) c.AddField(name, v);
    }
};

int Bugzilla(THTTPConnectionBase& c, const TTrackerRequest& r) {
    const Texts t = MakeTexts(r);
    c.Status(2, 0);
    c.SetPage("enter_bug.cgi", TRequestMethod::PostUrlEncoded);
    c.AddField("project", r.project);
    c.AddField("Bugzilla_login", r.login);
    c.AddField("Bugzilla_password", r.password);
    if (!c.Run() || (c.PageIs("enter_bug.cgi") && c.Holds("relogin.cgi"))) return trLogin;

    c.Status(4, 0);
    c.SetPage("buglist.cgi", TRequestMethod::Get);
    c.AddField("query_format", "specific");
    c.AddField("order", "relevance desc");
    c.AddField("bug_status", "__all__");
    c.AddField("product", r.project);
    c.AddField("content", " (" + r.bugId + ")");
    if (!c.Run() || !c.Holds("href=\"query.cgi?")) return trSearch;

    const std::string list = c.Response().Body;
    if (list.find("show_bug.cgi?id=") == std::string::npos) {
        c.Status(3, 0);
        c.SetPage("enter_bug.cgi", TRequestMethod::Get);
        c.AddField("product", r.project);
        if (!c.Run() || !c.Holds("action=\"post_bug.cgi\"")) return trSelection;
        PageCopy p{c, c.Response().Body};
        c.SetPage("post_bug.cgi", TRequestMethod::PostUrlEncoded);
        p.Input("product");
        if (p.page.find("<option value=\"" + r.version + "\">") != std::string::npos)
            c.AddField("version", r.version);
        else
            p.Selected("version");
        std::string component;
        if (FindSelectedOption(p.page, "component", component))
            c.AddField("component", component);
        else if (const std::size_t at = p.page.find("components[0] = \"");
                 at != std::string::npos) {
            const std::size_t start = at + strlen("components[0] = \"");
            c.AddField("component", p.page.substr(start, p.page.find('"', start) - start));
        }
        for (const char* n :
             {"rep_platform", "op_sys", "priority", "bug_severity", "target_milestone"})
            p.Selected(n);
        p.Input("bug_status");
        c.AddField("assigned_to", r.assignee.empty() ? r.login : r.assignee);
        for (const char* n : {"qa_contact", "cc", "estimated_time", "deadline", "bug_file_loc"})
            p.Input(n);
        c.AddField("short_desc", t.title);
        c.AddField("comment", t.description);
        for (const char* n : {"keywords", "dependson", "blocked"})
            p.Input(n);
        c.AddField("form_name", "enter_bug");
        p.Selected("bug_status");
        AddCustomFields(c, r.customFields);
        if (!c.Run() || !c.PageIs("post_bug.cgi") || !c.Holds("show_bug.cgi?id=")) return trInsert;
        std::string id;
        if (!FindInputValue(c.Response().Body, "id", id)) return trInsert;
        c.SetPage("attachment.cgi", TRequestMethod::PostMultipart);
        c.AddField("bugid", id);
        c.AddField("action", "insert");
        c.AddField("description", "FILE");
        c.AddField("contenttypemethod", "list");
        c.AddField("contenttypeselection", "application/octet-stream");
        c.AddField("contenttypeentry", "");
        for (int i = 1; i <= 4; ++i)
            c.AddField("flag_type-" + std::to_string(i), "X");
        c.AddField("comment", "");
        c.AddFile("data", r.archive);
        if (!c.Run() || !c.PageIs("attachment.cgi")) return trInsert;
        return trSuccess;
    }

    c.Status(5, 0);
    const std::string id = EntryId(list, "<td style=\"white-space: nowrap\">", "show_bug.cgi?id=");
    c.SetPage("show_bug.cgi", TRequestMethod::Get);
    c.AddField("id", id);
    if (!c.Run() ||
        !(c.Holds("name=\"form_name\"") || c.Holds("type=\"hidden\" id=\"component\"") ||
          c.Holds("select id=\"component\" name=\"component\"")))
        return trModify;
    PageCopy p{c, c.Response().Body};
    if (p.page.find("value=\"reopen\"") != std::string::npos ||
        p.page.find("value=\"reopened\"") != std::string::npos)
        return trClosed;
    std::string title;
    FindInputValue(p.page, "short_desc", title);
    c.SetPage("process_bug.cgi", TRequestMethod::PostUrlEncoded);
    for (const char* n : {"delta_ts", "longdesclength", "id", "alias"})
        p.Input(n);
    c.AddField("bug_file_loc", "");
    for (const char* n : {"product", "component", "rep_platform", "op_sys", "version", "priority",
                          "bug_severity", "target_milestone"})
        p.Selected(n);
    if (p.page.find("<option value=\"" + r.version + "\">") != std::string::npos)
        c.AddField("version", r.version);
    for (const char* n :
         {"newcc", "cc", "qa_contact", "bug_file_loc", "status_whiteboard", "keywords"})
        p.Input(n);
    c.AddField("flag_type-6", "X");
    for (const char* n : {"requestee_type-6", "dependson", "blocked"})
        p.Input(n);
    p.Text("comment");
    c.AddField("knob", "none");
    p.Selected("resolution");
    for (const char* n : {"dup_id", "assigned_to", "form_name"})
        p.Input(n);
    c.AddField("short_desc", IncreaseCounter(title, r.version));
    AddCustomFields(c, r.customFields);
    if (!c.Run() || !c.PageIs("process_bug.cgi") || !c.Holds("show_bug.cgi?id=")) return trModify;
    return trSuccess;
}

// Every input and select of a page with its current value.
void CopyWholeForm(THTTPConnectionBase& c, const std::string& page) {
    for (std::size_t at = FindNoCase(page, "<input "); at != std::string::npos;
         at = FindNoCase(page, "<input ", at + 1)) {
        const std::size_t close = TagEnd(page, at);
        if (close == std::string::npos) break;
        std::string name, value, type;
        const std::string_view tag = std::string_view(page).substr(at, close - at);
        if (!Attribute(tag, "name", name) || name.empty()) continue;
        Attribute(tag, "type", type);
        if (Lower(type) == "file" || Lower(type) == "submit") continue;
        Attribute(tag, "value", value);
        c.AddField(name, DecodeEntities(value));
    }
    for (std::size_t at = FindNoCase(page, "<select "); at != std::string::npos;
         at = FindNoCase(page, "<select ", at + 1)) {
        const std::size_t close = TagEnd(page, at);
        if (close == std::string::npos) break;
        std::string name, value;
        if (Attribute(std::string_view(page).substr(at, close - at), "name", name) &&
            FindSelectedOption(page, name, value))
            c.AddField(name, value);
    }
}

int FogBugz(THTTPConnectionBase& c, const TTrackerRequest& r) {
    const Texts t = MakeTexts(r);
    c.Status(2, 0);
    c.SetPage("default.asp", TRequestMethod::PostUrlEncoded);
    c.AddField("pre", "preLogon");
    c.AddField("sPerson", r.login);
    c.AddField("sPassword", r.password);
    c.AddField("fRememberPassword", "0");
    const std::string trial = CustomValue(r.customFields, "FogBugzTrialID");
    if (!trial.empty()) c.AddField("ID", trial);
    if (!c.Run() || !c.PageIs("default.asp") || !c.Holds("pre=preLogOff")) return trLogin;

    c.Status(4, 0);
    c.SetPage("default.asp", TRequestMethod::Get);
    c.AddField("pre", "preSearch");
    c.AddField("pg", "pgList");
    c.AddField("pgBack", "pgSearch");
    c.AddField("search", "1");
    c.AddField("bAlsoSearchClosedBugs", "ON");
    c.AddField("searchFor", t.search);
    if (!c.Run() || !c.Holds("searchFor=")) return trSearch;

    const std::string list = c.Response().Body;
    const bool existing = list.find("default.asp?pg=pgeditbug") != std::string::npos ||
                          list.find("default.asp?pgx=EV&amp;ixBug=") != std::string::npos;
    std::string id;
    if (existing) {
        c.Status(5, 0);
        id = EntryId(list, "<td style=\"white-space: nowrap\">", "ixBug=");
        c.SetPage("default.asp", TRequestMethod::Get);
        c.AddField("pg", "pgEditBug");
        c.AddField("command", "edit");
        c.AddField("ixBug", id);
        if (!c.Run() || !c.Holds("name=\"OK\"")) return trModify;
    } else {
        c.Status(3, 0);
        c.SetPage("default.asp", TRequestMethod::Get);
        c.AddField("command", "new");
        c.AddField("pg", "pgEditBug");
        if (!c.Run() || !c.PageIs("default.asp")) return trInsert;
    }
    PageCopy p{c, c.Response().Body};
    const std::string token = TokenAfter(p.page, "sActionToken=");
    c.SetPage(token.empty() ? "default.asp?pre=preSubmitBug"
                            : "default.asp?pre=preSubmitBug&sActionToken=" + token,
              TRequestMethod::PostMultipart);
    if (existing) {
        if (p.page.find("default.asp?pg=pgEditReleaseNotes") != std::string::npos) return trClosed;
        CopyWholeForm(c, p.page);
        p.Text("sEvent");
        c.AddField("sTitle", IncreaseCounter(c.Field("sTitle"), r.version));
        c.AddField("ixBug", id);
        c.AddField("sVersion", r.version);
        AddCustomFields(c, r.customFields);
        if (!c.Run() || !c.Holds("command=resolve")) return trModify;
        return trSuccess;
    }
    for (const char* n : {"command", "dtTimeStamp", "ixBug", "ixBugEventLatest",
                          "ixPersonLastOwner", "ixDiscussTopic", "ixScreenshot", "sOriginalTitle"})
        p.Input(n);
    c.AddField("sTitle", t.title);
    c.AddField("sEvent", t.description);
    p.ByText("ixProject", r.project);
    p.ByText("ixArea", r.project + ": " + r.category);
    p.ByText("ixPersonAssignedTo", r.assignee);
    p.Selected("ixCategory");
    p.Selected("ixFixFor");
    c.AddField("ixPriority", "1");
    p.Input("sDueDate");
    p.Input("sDueTime");
    c.AddField("hrsCurrEstNew", "");
    for (const char* n : {"hrsElapsedNew", "omitAtt", "fIEFileBrowse"})
        p.Input(n);
    c.AddField("sVersion", r.version);
    p.Input("sComputer");
    p.Input("dblTimeStamp");
    AddCustomFields(c, r.customFields);
    if (!r.archive.empty()) {
        c.AddField("nFileCount", "1");
        c.AddFile("File1", r.archive);
    } else {
        c.AddField("nFileCount", "0");
    }
    if (!c.Run() || !c.PageIs("default.asp") || !c.Holds("command=resolve")) return trInsert;
    return trSuccess;
}

}  // namespace

int SubmitToTracker(int webMode, const TTrackerRequest& request, THTTPResponse& response) {
    THTTPConnectionBase connection(ParseWebAddress(request.address), request.proxy, std::string(),
                                   std::string(), request.caFile, request.timeoutMs);
    connection.OnStatus = request.status;
    if (!connection.Connect()) {
        response.ErrorCode = 12004;
        response.ErrorText = "Cannot create an HTTP connection with the host: " + connection.Host();
        return trUnknown;
    }
    int result = trUnknown;
    try {
        result = webMode == 4   ? Bugzilla(connection, request)
                 : webMode == 5 ? FogBugz(connection, request)
                 : webMode == 6 ? Mantis(connection, request)
                                : trUnknown;
    } catch (const std::exception&) {
        result = trUnknown;
    }
    response = connection.Response();
    connection.Disconnect();
    return result;
}

int SubmitToMantis(const TTrackerRequest& request, THTTPResponse& response,
                   THTTPConnectionBase* connection) {
    std::unique_ptr<THTTPConnectionBase> own;
    if (!connection) {
        own = std::make_unique<THTTPConnectionBase>(ParseWebAddress(request.address), request.proxy,
                                                    std::string(), std::string(), request.caFile,
                                                    request.timeoutMs);
        connection = own.get();
    }
    if (!connection->Connect()) {
        response.ErrorCode = 12004;
        response.ErrorText = "Cannot create an HTTP connection with the host: " +
                             ParseWebAddress(request.address).host;
        return trUnknown;
    }
    int result = trUnknown;
    try {
        result = Mantis(*connection, request);
    } catch (const std::exception&) {
        result = trUnknown;
    }
    response = connection->Response();
    connection->Disconnect();
    return result;
}

}  // namespace crashlog
