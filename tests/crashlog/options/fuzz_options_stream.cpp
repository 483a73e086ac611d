// Feeds arbitrary bytes to the options stream reader under every layout.
#include <cstddef>
#include <cstdint>
#include <span>

#include "crashlog/CrashOptions.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    // The first two bytes choose the container version, so old layouts are
    // reached as often as the current one.
    const auto version = static_cast<std::uint16_t>(data[0] | (data[1] << 8));
    std::span<const std::uint8_t> body(data + 2, size - 2);
    crashlog::TCrashModuleOptions options;
    const std::size_t used = options.LoadFromStream(body, version);
    if (used > body.size()) __builtin_trap();
    // Whatever was read must survive a write and a read in the current layout.
    crashlog::TCrashModuleOptions copy;
    const auto bytes = options.SaveToBytes();
    copy.LoadFromStream(bytes);
    if (copy.SaveToBytes() != bytes) __builtin_trap();
    return 0;
}
