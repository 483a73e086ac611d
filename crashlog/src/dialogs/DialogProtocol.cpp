// The dialog helper's wire format, shared by the client in the crash library
// and the helper program (which compiles this file too and links nothing
// else of the library).
//
// Frame: "KVOD", one type byte, the protocol version (u32 LE), the payload
// length (u32 LE), the payload.  Payload: records of key length (u16 LE),
// key, value length (u32 LE), value.  A frame of another version is
// refused; unknown keys are skipped, so fields can be added in a version.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "crashlog/CrashDialogs.h"

namespace crashlog {

namespace {

constexpr std::string_view kMagic = "KVOD";
constexpr std::size_t kHeaderSize = 4 + 1 + 4 + 4;
// Reports are large, but not this large: anything bigger is damage.
constexpr std::uint32_t kMaxPayload = 64u << 20;

void PutU32(std::string& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out += static_cast<char>((v >> (8 * i)) & 0xFF);
}

std::uint32_t GetU32(std::string_view in, std::size_t at) {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
        v |= static_cast<std::uint32_t>(
                 static_cast<unsigned char>(in[at + static_cast<std::size_t>(i)]))
             << (8 * i);
    return v;
}

class TRecordWriter {
  public:
    void Put(std::string_view key, std::string_view value) {
        out_ += static_cast<char>(key.size() & 0xFF);
        out_ += static_cast<char>((key.size() >> 8) & 0xFF);
        out_ += key;
        PutU32(out_, static_cast<std::uint32_t>(value.size()));
        out_ += value;
    }
    void Put(std::string_view key, bool value) { Put(key, std::string_view(value ? "1" : "0")); }
    void PutInt(std::string_view key, long long value) {
        Put(key, std::string_view(std::to_string(value)));
    }
    std::string Frame(char type) const {
        std::string frame(kMagic);
        frame += type;
        PutU32(frame, kDialogProtocolVersion);
        PutU32(frame, static_cast<std::uint32_t>(out_.size()));
        return frame + out_;
    }

  private:
    std::string out_;
};

using TRecords = std::map<std::string, std::string, std::less<>>;

bool ParseFrame(std::string_view frame, char expectedType, TRecords& records, std::string* error) {
    auto fail = [&](const char* why) {
        if (error) *error = why;
        return false;
    };
    if (frame.size() < kHeaderSize || frame.substr(0, 4) != kMagic)
        return fail("not a dialog frame");
    if (frame[4] != expectedType) return fail("unexpected frame type");
    if (GetU32(frame, 5) != kDialogProtocolVersion) return fail("unsupported protocol version");
    std::uint32_t length = GetU32(frame, 9);
    if (length != frame.size() - kHeaderSize) return fail("frame length mismatch");
    std::string_view payload = frame.substr(kHeaderSize);
    std::size_t at = 0;
    while (at < payload.size()) {
        if (payload.size() - at < 2) return fail("truncated record");
        std::size_t keyLength =
            static_cast<unsigned char>(payload[at]) |
            (static_cast<std::size_t>(static_cast<unsigned char>(payload[at + 1])) << 8);
        at += 2;
        if (payload.size() - at < keyLength + 4) return fail("truncated record");
        std::string key(payload.substr(at, keyLength));
        at += keyLength;
        std::uint32_t valueLength = GetU32(payload, at);
        at += 4;
        if (payload.size() - at < valueLength) return fail("truncated record");
        records[key] = std::string(payload.substr(at, valueLength));
        at += valueLength;
    }
    return true;
}

bool Flag(const TRecords& r, std::string_view key) {
    auto it = r.find(key);
    return it != r.end() && it->second == "1";
}

long long Int(const TRecords& r, std::string_view key) {
    auto it = r.find(key);
    if (it == r.end()) return 0;
    long long value = 0;
    bool negative = false;
    std::size_t i = 0;
    if (!it->second.empty() && it->second[0] == '-') {
        negative = true;
        i = 1;
    }
    for (; i < it->second.size() && i < 19; ++i) {
        char c = it->second[i];
        if (c < '0' || c > '9') return 0;
        value = value * 10 + (c - '0');
    }
    return negative ? -value : value;
}

std::string Str(const TRecords& r, std::string_view key) {
    auto it = r.find(key);
    return it == r.end() ? std::string() : it->second;
}

bool WriteAll(int fd, std::string_view data) {
    while (!data.empty()) {
        // MSG_NOSIGNAL: a helper that died must not take the writer with it.
        ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == ENOTSOCK) n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// Reads exactly `size` bytes before `deadline`.
bool ReadExact(int fd, char* buffer, std::size_t size,
               std::chrono::steady_clock::time_point deadline) {
    std::size_t done = 0;
    while (done < size) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd p{fd, POLLIN, 0};
        int ready = ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 1000)));
        if (ready < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (ready == 0) continue;
        ssize_t n = ::read(fd, buffer + done, size - done);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            return false;
        }
        if (n == 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

bool WriteFrame(int fd, char type, std::string_view payload) {
    std::string frame(kMagic);
    frame += type;
    PutU32(frame, kDialogProtocolVersion);
    PutU32(frame, static_cast<std::uint32_t>(payload.size()));
    frame += payload;
    return WriteAll(fd, frame);
}

bool WriteEncodedFrame(int fd, std::string_view frame) {
    return WriteAll(fd, frame);
}

std::string_view FramePayload(std::string_view frame) {
    return frame.size() >= kHeaderSize ? frame.substr(kHeaderSize) : std::string_view();
}

bool ReadFrame(int fd, int timeoutMs, char& type, std::string& frame) {
    while (true) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        char header[kHeaderSize];
        if (!ReadExact(fd, header, kHeaderSize, deadline)) return false;
        std::string_view h(header, kHeaderSize);
        if (h.substr(0, 4) != kMagic) return false;
        std::uint32_t length = GetU32(h, 9);
        if (length > kMaxPayload) return false;
        frame.assign(header, kHeaderSize);
        frame.resize(kHeaderSize + length);
        // The payload follows at once; give it its own bounded time.
        if (length &&
            !ReadExact(fd, frame.data() + kHeaderSize, length,
                       std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs)))
            return false;
        type = header[4];
        if (type != 'H') return true;
    }
}

std::string EncodeDialogRequest(const TDialogRequest& q) {
    TRecordWriter w;
    w.PutInt("kind", static_cast<int>(q.kind));
    for (const auto& [index, text] : q.texts)
        w.Put("text." + std::to_string(index), text);
    w.Put("message", q.message);
    w.Put("beep", q.beep);
    w.Put("send", q.send);
    w.Put("screenshot", q.screenshot);
    w.Put("terminateRequested", q.terminateRequested);
    w.Put("sendAvailable", q.sendAvailable);
    w.Put("screenshotAvailable", q.screenshotAvailable);
    w.Put("copyAvailable", q.copyAvailable);
    w.Put("showTerminateButton", q.showTerminateButton);
    w.Put("mailClientOnly", q.mailClientOnly);
    w.Put("forcedDetailed", q.forcedDetailed);
    w.PutInt("dialogFlags", q.dialogFlags);
    w.PutInt("logFlags", q.logFlags);
    w.PutInt("terminateAction", q.terminateAction);
    w.PutInt("firstTab", q.firstTab);
    w.PutInt("autoCloseSeconds", q.autoCloseSeconds);
    w.Put("supportPage", q.supportPage);
    w.Put("reproduceText", q.reproduceText);
    w.Put("userEmail", q.userEmail);
    w.Put("reportText", q.reportText);
    w.Put("generalText", q.generalText);
    w.Put("callStackText", q.callStackText);
    w.Put("modulesText", q.modulesText);
    w.Put("processesText", q.processesText);
    w.Put("assemblerText", q.assemblerText);
    w.Put("cpuText", q.cpuText);
    w.Put("generalHtml", q.generalHtml);
    w.Put("assemblerHtml", q.assemblerHtml);
    w.Put("cpuHtml", q.cpuHtml);
    w.Put("parentWindow", std::string_view(std::to_string(q.parentWindow)));
    w.Put("modal", q.modal);
    w.Put("errorIcon", q.errorIcon);
    return w.Frame('Q');
}

bool DecodeDialogRequest(std::string_view frame, TDialogRequest& q, std::string* error) {
    TRecords r;
    if (!ParseFrame(frame, 'Q', r, error)) return false;
    q = TDialogRequest{};
    q.kind = static_cast<TDialogKind>(Int(r, "kind"));
    for (const auto& [key, value] : r) {
        if (key.rfind("text.", 0) == 0) {
            TRecords one{{"n", key.substr(5)}};
            long long index = Int(one, "n");
            if (index >= 0 && index < 1000) q.texts[static_cast<int>(index)] = value;
        }
    }
    q.message = Str(r, "message");
    q.beep = Flag(r, "beep");
    q.send = Flag(r, "send");
    q.screenshot = Flag(r, "screenshot");
    q.terminateRequested = Flag(r, "terminateRequested");
    q.sendAvailable = Flag(r, "sendAvailable");
    q.screenshotAvailable = Flag(r, "screenshotAvailable");
    q.copyAvailable = Flag(r, "copyAvailable");
    q.showTerminateButton = Flag(r, "showTerminateButton");
    q.mailClientOnly = Flag(r, "mailClientOnly");
    q.forcedDetailed = Flag(r, "forcedDetailed");
    q.dialogFlags = static_cast<std::uint16_t>(Int(r, "dialogFlags"));
    q.logFlags = static_cast<std::uint8_t>(Int(r, "logFlags"));
    q.terminateAction = static_cast<std::uint8_t>(Int(r, "terminateAction"));
    q.firstTab = static_cast<std::uint8_t>(Int(r, "firstTab"));
    q.autoCloseSeconds = static_cast<std::uint32_t>(Int(r, "autoCloseSeconds"));
    q.supportPage = Str(r, "supportPage");
    q.reproduceText = Str(r, "reproduceText");
    q.userEmail = Str(r, "userEmail");
    q.reportText = Str(r, "reportText");
    q.generalText = Str(r, "generalText");
    q.callStackText = Str(r, "callStackText");
    q.modulesText = Str(r, "modulesText");
    q.processesText = Str(r, "processesText");
    q.assemblerText = Str(r, "assemblerText");
    q.cpuText = Str(r, "cpuText");
    q.generalHtml = Str(r, "generalHtml");
    q.assemblerHtml = Str(r, "assemblerHtml");
    q.cpuHtml = Str(r, "cpuHtml");
    q.parentWindow = static_cast<std::uint64_t>(Int(r, "parentWindow"));
    q.modal = r.count("modal") ? Flag(r, "modal") : true;
    q.errorIcon = Flag(r, "errorIcon");
    return true;
}

std::string EncodeDialogResult(const TDialogResult& a) {
    TRecordWriter w;
    w.Put("shown", a.shown);
    w.Put("send", a.send);
    w.Put("screenshot", a.screenshot);
    w.Put("copy", a.copy);
    w.Put("terminateRequested", a.terminateRequested);
    w.Put("cancelled", a.cancelled);
    w.Put("customButton", a.customButton);
    w.PutInt("nextKind", static_cast<int>(a.nextKind));
    w.PutInt("dialogFlags", a.dialogFlags);
    w.Put("userEmail", a.userEmail);
    w.Put("emailChanged", a.emailChanged);
    w.Put("reproduceText", a.reproduceText);
    w.Put("warning", a.warning);
    return w.Frame('R');
}

bool DecodeDialogResult(std::string_view frame, TDialogResult& a, std::string* error) {
    TRecords r;
    if (!ParseFrame(frame, 'R', r, error)) return false;
    a = TDialogResult{};
    a.shown = Flag(r, "shown");
    a.send = Flag(r, "send");
    a.screenshot = Flag(r, "screenshot");
    a.copy = Flag(r, "copy");
    a.terminateRequested = Flag(r, "terminateRequested");
    a.cancelled = Flag(r, "cancelled");
    a.customButton = Flag(r, "customButton");
    a.nextKind = static_cast<TDialogKind>(Int(r, "nextKind"));
    a.dialogFlags = static_cast<std::uint16_t>(Int(r, "dialogFlags"));
    a.userEmail = Str(r, "userEmail");
    a.emailChanged = Flag(r, "emailChanged");
    a.reproduceText = Str(r, "reproduceText");
    a.warning = Str(r, "warning");
    return true;
}

}  // namespace crashlog
