// Internet connected state and the automatic dialler's requests.
#include "common/WebConnect.h"

#include <utility>

#include "CommonPlatform.h"

namespace kvo::common {
namespace {

// Bytes of the version number, highest first: 1, 1, 0, 0.
constexpr std::uint32_t kComponentVersion = 0x01010000;

InternetFunctions SystemFunctions() {
    InternetFunctions f;
    f.connectedState = [](std::uint32_t* flags) {
        if (flags) *flags = 0;
        return detail::IsConnected() ? 1 : 0;
    };
    // No system dialler exists to ask; the request is accepted and ignored.
    f.autodial = [](std::uint32_t) { return 0; };
    f.autodialHangup = [] { return 0; };
    return f;
}

InternetFunctions& Functions() {
    static InternetFunctions functions = SystemFunctions();
    return functions;
}

}  // namespace

InternetFunctions& CurrentInternetFunctions() {
    return Functions();
}

void SetInternetFunctions(InternetFunctions functions) {
    Functions() = std::move(functions);
}

void ResetInternetFunctions() {
    Functions() = SystemFunctions();
}

int InternetAutodial(std::uint32_t dialFlags) {
    const auto& f = Functions().autodial;
    return f ? f(dialFlags) : -1;
}

int InternetAutodialHangup() {
    const auto& f = Functions().autodialHangup;
    return f ? f() : -1;
}

int InternetGetConnectedState(std::uint32_t* flags) {
    const auto& f = Functions().connectedState;
    return f ? f(flags) : -1;
}

void TWebConnect::SetConnect(bool value) {
    connect_ = value;
    if (designing_ || !active_) return;
    if (value && !Connected()) {
        InternetAutodial(prompt_ ? kAutodialForceOnline : kAutodialForceUnattended);
    } else if (!value && Connected()) {
        InternetAutodialHangup();
    }
}

std::string TWebConnect::GetVersion() const {
    return std::to_string((kComponentVersion >> 24) & 0xFF) + "." +
           std::to_string((kComponentVersion >> 16) & 0xFF) + "." +
           std::to_string((kComponentVersion >> 8) & 0xFF) + "." +
           std::to_string(kComponentVersion & 0xFF);
}

void TWebConnect::SetVersion(const std::string&) {}

bool TWebConnect::Connected() const {
    std::uint32_t flags = 0;
    return InternetGetConnectedState(&flags) != 0;
}

QString TWebConnect::VersionQ() const {
    return QString::fromStdString(GetVersion());
}

void TWebConnect::SetVersionQ(const QString& value) {
    SetVersion(value.toStdString());
}

}  // namespace kvo::common
