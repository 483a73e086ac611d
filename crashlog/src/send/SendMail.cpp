// The report e-mail: its text, the SMTP session per recipient, and the MX
// look-up for direct delivery.
#include <arpa/inet.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

#include "crashlog/CrashOptions.h"
#include "crashlog/CrashSockets.h"
#include "report/ReportText.h"

namespace crashlog {

namespace {

using report::Trim;  // leading and trailing blanks and control characters

bool ReadFile(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream ss;
    ss << in.rdbuf();
    out = ss.str();
    return true;
}

std::string Upper(std::string s) {
    for (char& c : s)
        c = char(toupper(static_cast<unsigned char>(c)));
    return s;
}

std::string ExtensionOf(const std::string& name) {
    const std::size_t dot = name.rfind('.');
    const std::size_t slash = name.rfind('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
    return name.substr(dot);
}

std::string LocalHostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || !name[0]) return "localhost";
    return name;
}

// The user's full name from the account database, else the login name.
std::string UserDisplayName() {
    if (const passwd* pw = getpwuid(getuid())) {
        std::string gecos = pw->pw_gecos ? pw->pw_gecos : "";
        gecos = gecos.substr(0, gecos.find(','));
        if (!Trim(gecos).empty()) return Trim(gecos);
        if (pw->pw_name) return pw->pw_name;
    }
    const char* user = getenv("USER");
    return user ? user : "";
}

}  // namespace

std::string Base64Encode(std::string_view data) {
    static const char* kAlphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((data.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 2 < data.size(); i += 3) {
        const uint32_t v = uint32_t(uint8_t(data[i])) << 16 | uint32_t(uint8_t(data[i + 1])) << 8 |
                           uint8_t(data[i + 2]);
        out += kAlphabet[v >> 18];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += kAlphabet[v & 63];
    }
    if (i < data.size()) {
        uint32_t v = uint32_t(uint8_t(data[i])) << 16;
        if (i + 1 < data.size()) v |= uint32_t(uint8_t(data[i + 1])) << 8;
        out += kAlphabet[v >> 18];
        out += kAlphabet[(v >> 12) & 63];
        out += i + 1 < data.size() ? kAlphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::string SanitizeHeader(std::string_view text) {
    std::string out;
    bool inRun = false;
    for (char c : text) {
        if (static_cast<unsigned char>(c) < 32) {
            if (!inRun) out += ' ';
            inRun = true;
        } else {
            out += c;
            inRun = false;
        }
    }
    return out;
}

std::string MailDateText(std::int64_t unixSeconds, int utcOffsetSeconds) {
    static const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                    "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const time_t local = time_t(unixSeconds + utcOffsetSeconds);
    tm t{};
    gmtime_r(&local, &t);
    const int hours = int(std::lround(utcOffsetSeconds / 3600.0)) % 100;
    char zone[16];
    snprintf(zone, sizeof zone, "%c%02d00", hours < 0 ? '-' : '+', hours < 0 ? -hours : hours);
    char line[96];
    snprintf(line, sizeof line, "%s, %d %s %d %02d:%02d:%02d %s", kDays[t.tm_wday], t.tm_mday,
             kMonths[t.tm_mon], t.tm_year + 1900, t.tm_hour, t.tm_min, t.tm_sec, zone);
    return line;
}

std::vector<std::string> SplitRecipients(std::string_view text) {
    std::vector<std::string> out;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == ',' || text[i] == ';') {
            std::string part = Trim(text.substr(start, i - start));
            if (!part.empty()) out.push_back(std::move(part));
            start = i + 1;
        }
    }
    return out;
}

std::string MakeFromHeader(std::string_view sender, std::string_view displayName) {
    if (sender.find('"') != std::string_view::npos || sender.find('<') != std::string_view::npos)
        return SanitizeHeader(sender);
    return "\"" + std::string(displayName) + "\" <" + SanitizeHeader(sender) + ">";
}

std::string EnvelopeSender(std::string_view fromHeader) {
    const std::size_t at = fromHeader.find("\" <");
    if (at == std::string_view::npos) return std::string(fromHeader);
    std::string_view rest = fromHeader.substr(at + 3);
    if (!rest.empty()) rest.remove_suffix(1);
    return std::string(rest);
}

std::string BuildMailMessage(const TMailMessage& m) {
    const std::string boundary = kMailBoundary;
    std::string text;
    std::int64_t when = m.dateUnix;
    int offset = m.utcOffsetSeconds;
    if (when == 0) {
        const time_t now = time(nullptr);
        tm lt{};
        localtime_r(&now, &lt);
        when = now;
        offset = int(lt.tm_gmtoff);
    }
    text += "Date: " + MailDateText(when, offset) + "\r\n";
    text += "From: " + m.from + "\r\n";
    text += "Subject: " + SanitizeHeader(m.subject) + "\r\n";
    text += "To: <" + SanitizeHeader(m.to) + ">\r\n";
    text +=
        "Content-Type: multipart/mixed; boundary=\"" + boundary + "\";\r\nMIME-Version: 1.0\r\n";
    text += "Message-ID: <" + std::to_string(m.messageNumber) + "@crashlog.invalid>\r\n";
    text += "\r\nThis is a multi-part message in MIME format\r\n\r\n--" + boundary +
            "\r\nContent-Type: text/plain\r\nContent-Transfer-Encoding: 7bit\r\n\r\n";
    text += m.body;
    text += "\r\n";
    for (const TMailAttachment& a : m.attachments) {
        std::string data;
        if (a.path.empty() || !ReadFile(a.path, data)) continue;
        const std::string type =
            Upper(ExtensionOf(a.displayName.empty() ? a.path : a.displayName)) == ".PNG"
                ? "image/png"
                : "application/octet-stream";
        const std::string& name = a.displayName.empty() ? a.path : a.displayName;
        text += "\r\n--" + boundary + "\r\nContent-Type: " + type + ";\r\n        name=\"" + name +
                "\"\r\nContent-Transfer-Encoding: base64\r\nContent-Disposition: "
                "attachment;\r\n        filename=\"" +
                name + "\"\r\n\r\n";
        const std::string b64 = Base64Encode(data);
        for (std::size_t i = 0; i < b64.size(); i += 80) {
            if (i) text += "\r\n";
            text.append(b64, i, 80);
        }
        text += "\r\n";
    }
    text += "--" + boundary + "--\r\n";
    // Transparency: a line that starts with "." would otherwise end the
    // message early or lose its dot.
    std::string out;
    out.reserve(text.size() + text.size() / 64 + 8);
    bool lineStart = true;
    for (char c : text) {
        if (lineStart && c == '.') out += '.';
        out += c;
        lineStart = c == '\n';
    }
    out += ".\r\n";
    return out;
}

// ---- the session ---------------------------------------------------------------

TSmtpResult SmtpSend(const TSmtpRequest& r) {
    TSmtpResult result;
    const std::vector<std::string> recipients = SplitRecipients(r.recipients);
    const int port = r.direct ? r.directPort : r.port;
    const std::string subject = ExpandVariables(r.subject);
    const std::string body = ExpandVariables(r.body) + r.bodyTail;
    const std::string host = r.localHostName.empty() ? LocalHostName() : r.localHostName;
    const int total = int(recipients.size());
    for (int i = 0; i < total; ++i) {
        const std::string& to = recipients[std::size_t(i)];
        if (r.progress) r.progress(0);
        std::string server = r.server, login = r.login, password = r.password;
        if (r.direct) {
            if (r.status) r.status(112, i + 1, total);
            try {
                server = LookupMx(to, 30000, r.dnsServers);
            } catch (const std::exception& e) {
                result.ok = false;
                result.error = std::string("[SMTP] ") + e.what();
                return result;
            }
            login.clear();
            password.clear();
        }
        bool served = false;
        TCrashClientSMTP client(server, port, r.timeoutMs);
        try {
            if (r.status) r.status(114, i + 1, total);
            client.Connect();
            const std::string from = MakeFromHeader(
                r.sender, r.senderDisplayName.empty() ? UserDisplayName() : r.senderDisplayName);
            const std::string envelope = EnvelopeSender(from);
            if (r.status) r.status(115, i + 1, total);
            if (!login.empty() || !password.empty()) {
                client.Command("EHLO " + host, {250});
                client.Command("RSET", {250});
                // A server without AUTH answers 500 or 502: the message then
                // goes out unauthenticated.
                client.Command("AUTH LOGIN", {334, 500, 502});
                client.Command(Base64Encode(login), {334, 500, 502});
                client.Command(Base64Encode(password), {235, 500, 502});
            } else {
                client.Command("HELO " + host, {250});
                client.Command("RSET", {250});
            }
            client.Command("MAIL FROM:<" + envelope + ">", {250});
            if (r.status) r.status(116, i + 1, total);
            client.Command("RCPT TO:<" + to + ">", {250, 251});
            client.Command("DATA", {354});
            TMailMessage m;
            m.from = from;
            m.to = to;
            m.subject = subject;
            m.body = body;
            m.attachments = r.attachments;
            m.messageNumber = std::uint64_t(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                std::chrono::steady_clock::now().time_since_epoch())
                                                .count());
            client.OnSentProgress = [&](TCrashClientSocket&, std::size_t sent, std::size_t all) {
                if (r.progress && all) r.progress(int(sent * 100 / all));
            };
            client.Command(BuildMailMessage(m), {250});
            client.OnSentProgress = nullptr;
            served = true;
        } catch (const std::exception& e) {
            result.error = std::string("[SMTP] ") + e.what();
        }
        result.sessionLogs.push_back(client.Log());
        result.ok = result.ok || served;
    }
    return result;
}

// ---- MX ------------------------------------------------------------------------------

std::vector<std::string> SystemDnsServers() {
    std::vector<std::string> out;
    std::ifstream in("/etc/resolv.conf");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream ls(line);
        std::string key, value;
        if (ls >> key >> value && key == "nameserver" && value != "0.0.0.0") out.push_back(value);
    }
    return out;
}

std::string BuildMxQuery(std::string_view domain) {
    std::string q("AA\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00", 12);
    std::size_t start = 0;
    while (start <= domain.size()) {
        std::size_t dot = domain.find('.', start);
        if (dot == std::string_view::npos) dot = domain.size();
        const std::string_view label = domain.substr(start, std::min<std::size_t>(dot - start, 63));
        if (!label.empty()) {
            q += char(label.size());
            q.append(label);
        }
        start = dot + 1;
    }
    q += std::string("\x00\x00\x0f\x00\x01", 5);
    return q;
}

namespace {

// Reads a possibly compressed name at `pos`; false when it runs off the
// packet or loops.
bool ReadName(std::string_view p, std::size_t pos, std::string& name) {
    name.clear();
    for (int jumps = 0; jumps < 32;) {
        if (pos >= p.size()) return false;
        const uint8_t len = uint8_t(p[pos]);
        if (len == 0) return !name.empty();
        if (len >= 192) {
            if (pos + 1 >= p.size()) return false;
            pos = std::size_t(len & 63) * 256 + uint8_t(p[pos + 1]);
            ++jumps;
            continue;
        }
        if (pos + 1 + len > p.size()) return false;
        if (!name.empty()) name += '.';
        name.append(p.substr(pos + 1, len));
        pos += 1 + len;
        if (name.size() > 255) return false;
    }
    return false;
}

// The position after a name; npos when it runs off the packet.
std::size_t SkipName(std::string_view p, std::size_t pos) {
    while (pos < p.size()) {
        const uint8_t len = uint8_t(p[pos]);
        if (len == 0) return pos + 1;
        if (len >= 192) return pos + 2 <= p.size() ? pos + 2 : std::string_view::npos;
        pos += 1 + len;
    }
    return std::string_view::npos;
}

}  // namespace

std::string ParseMxAnswer(std::string_view p) {
    if (p.size() < 12 || p[0] != 'A' || p[1] != 'A') return {};
    const int answers = uint8_t(p[6]) * 256 + uint8_t(p[7]);
    std::size_t pos = SkipName(p, 12);
    if (pos == std::string_view::npos || pos + 4 > p.size()) return {};
    pos += 4;
    for (int i = 0; i < answers; ++i) {
        pos = SkipName(p, pos);
        if (pos == std::string_view::npos || pos + 10 > p.size()) return {};
        const int type = uint8_t(p[pos]) * 256 + uint8_t(p[pos + 1]);
        const std::size_t length = std::size_t(uint8_t(p[pos + 8])) * 256 + uint8_t(p[pos + 9]);
        const std::size_t data = pos + 10;
        if (data + length > p.size()) return {};
        std::string name;
        if (type == 15 && length > 2 && ReadName(p, data + 2, name)) return name;
        pos = data + length;
    }
    return {};
}

std::string LookupMx(std::string_view address, int timeoutMs,
                     const std::vector<std::string>& servers) {
    const std::size_t at = address.find('@');
    const std::string domain =
        at == std::string_view::npos ? std::string() : std::string(address.substr(at + 1));
    const int base = (timeoutMs + 150) / 3;
    std::vector<std::string> list = servers;
    if (list.empty()) {
        list = SystemDnsServers();
        list.push_back("9.9.9.9");
    }
    const std::string query = BuildMxQuery(domain);
    for (const std::string& entry : list) {
        std::string host = entry;
        int port = 53;
        const std::size_t colon = entry.rfind(':');
        if (colon != std::string::npos && entry.find(':') == colon) {
            host = entry.substr(0, colon);
            port = atoi(entry.c_str() + colon + 1);
        }
        for (int attempt = 0; attempt < 3 && !domain.empty(); ++attempt) {
            try {
                TCrashClientSocket s(host, port, TSocketKind::Datagram, attempt * 100 + base);
                s.Connect();
                s.SendText(query);
                const std::string answer = s.ReceiveText(0, [](std::string_view) { return true; });
                const std::string mx = ParseMxAnswer(answer);
                if (!mx.empty()) return mx;
            } catch (const ECrashSocketError&) {
                // the next attempt, then the next server
            }
        }
    }
    throw ECrashSocketError("Cannot resolve the \"" + domain + "\" MX record.");
}

}  // namespace crashlog
