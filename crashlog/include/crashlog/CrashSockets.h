// The library's own small blocking network clients: a socket client, an
// SMTP client on top of it, the message text of a report e-mail and the MX
// look-up by a DNS query of our own.  Nothing here is a general networking
// layer; it knows just enough to hand one report to one mail server.
//
// Every wait is bounded by the client's time-out, and a reply that grows
// past kMaxReplyBytes is refused, so a broken or hostile server can neither
// hold a crashing program nor exhaust its memory.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace crashlog {

class ECrashSocketError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};
// Raised instead of ECrashSocketError by a quiet client.
class ECrashSilentAbort : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

enum class TSocketKind { Stream, Datagram };

class TCrashClientSocket {
  public:
    using TSentProgress =
        std::function<void(TCrashClientSocket&, std::size_t sent, std::size_t total)>;
    using TSocketErrorEvent = std::function<void(TCrashClientSocket&, int, const std::string&)>;

    TCrashClientSocket(std::string host, int port, TSocketKind kind, int timeoutMs);
    virtual ~TCrashClientSocket();
    TCrashClientSocket(const TCrashClientSocket&) = delete;
    TCrashClientSocket& operator=(const TCrashClientSocket&) = delete;

    virtual void Connect();
    virtual void Disconnect();
    bool Connected() const { return fd_ >= 0; }

    // Bytes sent (0 when not connected, -1 when the socket would block).
    long SendBuffer(const void* data, std::size_t size);
    void SendText(std::string_view text);
    // Bytes waiting to be read.
    long ReceiveAvailable();
    // Waits up to the time-out for the first data, then reads on while more
    // arrives within `quietMs`; `complete`, when given, ends the read early
    // once the text received so far is a whole answer.  "Socket timeout."
    // when nothing came.
    std::string ReceiveText(int quietMs = 1000,
                            const std::function<bool(std::string_view)>& complete = {});

    const std::string& Log() const { return log_; }
    const std::string& Host() const { return host_; }
    int Port() const { return port_; }
    int TimeoutMs() const { return timeoutMs_; }

    TSentProgress OnSentProgress;
    TSocketErrorEvent OnError;
    bool Quiet = false;

    static constexpr std::size_t kMaxReplyBytes = 64 * 1024;

  protected:
    // Appends the session log (unless the message holds it already), tells
    // the error callback and raises.
    [[noreturn]] void Fail(std::string message);
    void AppendLog(std::string_view text);

    std::string host_;
    int port_;
    TSocketKind kind_;
    int timeoutMs_;
    int fd_ = -1;
    std::string log_;
    bool peerClosed_ = false;  // the last read ended because the peer closed
};

class TCrashClientSMTP : public TCrashClientSocket {
  public:
    TCrashClientSMTP(std::string host, int port, int timeoutMs = 30000);
    // Connects and expects the greeting 220.
    void Connect() override;
    // Reads one reply; raises with the session log unless its code is one of
    // `accepted`.  Returns the reply text.
    std::string ExpectReply(const std::vector<int>& accepted);
    // Sends `text` (CRLF added when missing) in 1024-byte chunks, then reads
    // the reply.
    std::string Command(std::string text, const std::vector<int>& accepted);
};

// ---- the message ---------------------------------------------------------------

// Standard base64 (RFC 4648 alphabet, "=" padding), one line.
std::string Base64Encode(std::string_view data);
// Every run of control characters becomes one blank.
std::string SanitizeHeader(std::string_view text);
// "Thu, 10 Dec 2026 14:25:02 +0100" for a local time and its offset from UTC.
std::string MailDateText(std::int64_t unixSeconds, int utcOffsetSeconds);
// Splits at "," and ";", trims, drops empty parts.
std::vector<std::string> SplitRecipients(std::string_view text);

struct TMailAttachment {
    std::string path;
    std::string displayName;
};

struct TMailMessage {
    std::string from;  // the From header as built by MakeFromHeader
    std::string to;
    std::string subject;
    std::string body;
    std::vector<TMailAttachment> attachments;  // missing files are skipped
    std::int64_t dateUnix = 0;                 // 0: now
    int utcOffsetSeconds = 0;
    std::uint64_t messageNumber = 0;  // the Message-ID's number
};
inline constexpr const char* kMailBoundary = "=_xcjvnxkbhvfkxzhfdbvzldjhfv";
// The whole DATA text, dot-stuffed, ending in the terminating "." line.
std::string BuildMailMessage(const TMailMessage& message);

// The From header: a sender with a double quote or "<" as it is, else
// "\"display name\" <sender>".
std::string MakeFromHeader(std::string_view sender, std::string_view displayName);
// The address between "<" and ">" of `"name" <address>`, else the header.
std::string EnvelopeSender(std::string_view fromHeader);

// ---- the session ---------------------------------------------------------------

struct TSmtpRequest {
    bool direct = false;  // look each recipient's exchanger up, port directPort
    int directPort = 25;
    std::string sender;
    std::string senderDisplayName;  // empty: the logged-on user's name
    std::string server;
    int port = 25;
    std::vector<TMailAttachment> attachments;
    std::string body;
    // Follows the body as it stands: a report's own text keeps any "%NAME%"
    // it holds, where the body's variables are expanded.
    std::string bodyTail;
    std::string subject;
    std::string recipients;
    std::string login;
    std::string password;
    int timeoutMs = 30000;
    // DNS servers for the direct route ("host" or "host:port"); empty: the
    // system's.
    std::vector<std::string> dnsServers;
    std::string localHostName;  // empty: gethostname()
    // Status text index (112 resolving, 114 connecting, 115 connected, 116
    // sending) with the recipient's number and the count, and the percent of
    // the message sent.
    std::function<void(int textIndex, int current, int total)> status;
    std::function<void(int percent)> progress;
};
struct TSmtpResult {
    bool ok = false;
    std::string error;  // "[SMTP] ..." of the last failure; empty when none
    std::vector<std::string> sessionLogs;
};
// One session per recipient; ok when at least one recipient was served.
TSmtpResult SmtpSend(const TSmtpRequest& request);

// ---- MX look-up --------------------------------------------------------------

// The DNS servers of /etc/resolv.conf (skipping 0.0.0.0).
std::vector<std::string> SystemDnsServers();
// The first exchanger of the address's domain.  `servers` empty: the
// system's servers followed by one fixed public server.  Raises
// ECrashSocketError "Cannot resolve the \"domain\" MX record.".
std::string LookupMx(std::string_view address, int timeoutMs,
                     const std::vector<std::string>& servers = {});
// The query packet and the answer parser, exposed for tests.
std::string BuildMxQuery(std::string_view domain);
// The first exchanger name in `answer`; empty when none can be read.
std::string ParseMxAnswer(std::string_view answer);

}  // namespace crashlog
