// The socket client and the SMTP client.
//
// Connects are non-blocking with a poll so that an address that swallows
// packets costs the time-out and not the kernel's minutes of retries; the
// socket is blocking afterwards with a send time-out of the same length.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "crashlog/CrashSockets.h"

namespace crashlog {

namespace {

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : int(left);
}

in_addr Resolve(const std::string& host) {
    in_addr a{};
    if (inet_pton(AF_INET, host.c_str(), &a) == 1) return a;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* res = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &res) == 0 && res) {
        a = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr;
        freeaddrinfo(res);
    }
    return a;  // 0.0.0.0 when unresolved: the connect then fails with a clear error
}

}  // namespace

TCrashClientSocket::TCrashClientSocket(std::string host, int port, TSocketKind kind, int timeoutMs)
    : host_(std::move(host)), port_(port), kind_(kind), timeoutMs_(timeoutMs) {}

TCrashClientSocket::~TCrashClientSocket() {
    if (fd_ >= 0) ::close(fd_);
}

void TCrashClientSocket::AppendLog(std::string_view text) {
    // The log goes into error messages; a flood from the server must not
    // make it unbounded.
    if (log_.size() < 4 * kMaxReplyBytes) log_.append(text.substr(0, 4 * kMaxReplyBytes));
}

void TCrashClientSocket::Fail(std::string message) {
    if (!log_.empty() && message.find(log_) == std::string::npos)
        message += "\r\nSocket log:\r\n" + log_;
    if (OnError) OnError(*this, -1, message);
    if (Quiet) throw ECrashSilentAbort(message);
    throw ECrashSocketError(message);
}

void TCrashClientSocket::Connect() {
    if (fd_ >= 0) return;
    const int fd = ::socket(
        AF_INET, (kind_ == TSocketKind::Stream ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC, 0);
    if (fd < 0) Fail("Invalid socket: \"" + std::string(strerror(errno)) + "\".");
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(uint16_t(port_));
    sa.sin_addr = Resolve(host_);
    const int flags = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    int rc = ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    int err = rc == 0 ? 0 : errno;
    if (rc != 0 && err == EINPROGRESS) {
        pollfd p{fd, POLLOUT, 0};
        rc = ::poll(&p, 1, timeoutMs_);
        if (rc == 1) {
            socklen_t len = sizeof err;
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
        } else {
            err = ETIMEDOUT;
        }
    }
    if (err != 0) {
        ::close(fd);
        Fail("Connection error: \"" + std::string(strerror(err)) + "\"");
    }
    fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    timeval tv{timeoutMs_ / 1000, (timeoutMs_ % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    fd_ = fd;
    char line[96];
    const uint32_t ip = ntohl(sa.sin_addr.s_addr);
    snprintf(line, sizeof line, "Connected to %u.%u.%u.%u port %d\r\n", ip >> 24, (ip >> 16) & 255,
             (ip >> 8) & 255, ip & 255, port_);
    log_ = line;
}

void TCrashClientSocket::Disconnect() {
    if (fd_ < 0) return;
    const int fd = fd_;
    fd_ = -1;
    log_.clear();
    if (::close(fd) != 0) Fail("Cannot close the socket: \"" + std::string(strerror(errno)) + "\"");
}

long TCrashClientSocket::SendBuffer(const void* data, std::size_t size) {
    if (fd_ < 0) return 0;
    const ssize_t n = ::send(fd_, data, size, MSG_NOSIGNAL);
    if (n >= 0) return long(n);
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
        // With the send time-out set, this means the peer stopped reading.
        const std::string why = "Socket timeout.";
        std::string keep = log_;
        ::close(fd_);
        fd_ = -1;
        log_ = keep;
        Fail("Error into \"send\": \"" + why + "\"");
    }
    const std::string why = strerror(errno);
    std::string keep = log_;
    ::close(fd_);
    fd_ = -1;
    log_ = keep;
    Fail("Error into \"send\": \"" + why + "\"");
}

void TCrashClientSocket::SendText(std::string_view text) {
    constexpr std::size_t kChunk = 1024;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const long n = SendBuffer(text.data() + pos, std::min(kChunk, text.size() - pos));
        if (n <= 0) Fail("Error into \"send\": \"not connected\"");
        pos += std::size_t(n);
        if (OnSentProgress) OnSentProgress(*this, pos, text.size());
    }
}

long TCrashClientSocket::ReceiveAvailable() {
    if (fd_ < 0) return 0;
    int n = 0;
    if (ioctl(fd_, FIONREAD, &n) != 0) return 0;
    return n;
}

std::string TCrashClientSocket::ReceiveText(int quietMs,
                                            const std::function<bool(std::string_view)>& complete) {
    if (fd_ < 0) Fail("Error into \"recv\": \"not connected\"");
    // The whole reply, not just its first byte, must arrive within the
    // time-out: a server trickling a byte a second would otherwise hold us.
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs_);
    std::string got;
    char buf[4096];
    peerClosed_ = false;
    for (;;) {
        const int wait = got.empty() ? MsLeft(deadline) : std::min(quietMs, MsLeft(deadline));
        pollfd p{fd_, POLLIN, 0};
        const int rc = ::poll(&p, 1, wait);
        if (rc < 0 && errno == EINTR) continue;
        if (rc <= 0) {
            if (got.empty()) Fail("Socket timeout.");
            break;
        }
        const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            const std::string why = strerror(errno);
            AppendLog(got);
            Fail("Error into \"recv\": \"" + why + "\"");
        }
        if (n == 0) {
            if (got.empty()) Fail("Connection closed by the server.");
            peerClosed_ = true;
            break;
        }
        got.append(buf, std::size_t(n));
        if (got.size() > kMaxReplyBytes) {
            AppendLog(got.substr(0, 512));
            Fail("Reply too long.");
        }
        if (complete && complete(got)) break;
    }
    AppendLog(got);
    return got;
}

// ---- SMTP ------------------------------------------------------------------------

namespace {

// A reply is whole once its last line ("ddd text" without the "-" that
// announces more lines) has its line end.
bool SmtpReplyComplete(std::string_view text) {
    if (text.size() < 2 || text.back() != '\n') return false;
    std::size_t end = text.size() - 1;
    if (end > 0 && text[end - 1] == '\r') --end;
    const std::size_t start = text.rfind('\n', end == 0 ? 0 : end - 1);
    const std::string_view line =
        text.substr(start == std::string_view::npos ? 0 : start + 1,
                    end - (start == std::string_view::npos ? 0 : start + 1));
    if (line.size() < 3) return false;
    for (int i = 0; i < 3; ++i)
        if (line[std::size_t(i)] < '0' || line[std::size_t(i)] > '9') return false;
    return line.size() == 3 || line[3] == ' ';
}

int ReplyCode(std::string_view reply) {
    int code = 0;
    std::size_t i = 0;
    for (; i < reply.size() && i < 9 && reply[i] >= '0' && reply[i] <= '9'; ++i)
        code = code * 10 + (reply[i] - '0');
    return i == 0 ? -1 : code;
}

}  // namespace

TCrashClientSMTP::TCrashClientSMTP(std::string host, int port, int timeoutMs)
    : TCrashClientSocket(std::move(host), port, TSocketKind::Stream, timeoutMs) {}

void TCrashClientSMTP::Connect() {
    TCrashClientSocket::Connect();
    ExpectReply({220});
}

std::string TCrashClientSMTP::ExpectReply(const std::vector<int>& accepted) {
    const std::string reply = ReceiveText(1000, SmtpReplyComplete);
    if (peerClosed_ && !SmtpReplyComplete(reply)) Fail("Connection closed by the server.");
    const int code = ReplyCode(reply);
    for (int a : accepted)
        if (a == code) return reply;
    Fail(log_);
}

std::string TCrashClientSMTP::Command(std::string text, const std::vector<int>& accepted) {
    if (text.size() < 2 || text.compare(text.size() - 2, 2, "\r\n") != 0) text += "\r\n";
    SendText(text);
    AppendLog(text);
    return ExpectReply(accepted);
}

}  // namespace crashlog
