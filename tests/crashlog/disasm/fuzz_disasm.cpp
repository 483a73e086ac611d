// Random bytes through both decoders: every decode must stay inside the
// bytes it is given (the copy below ends exactly where the input does, so
// the address sanitizer sees any read past it) and must move on.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "crashlog/CrashDisasm.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const crashlog::TDisAsm decoders[] = {crashlog::TDisAsm(crashlog::TDisAsmMode::Bits32),
                                                 crashlog::TDisAsm(crashlog::TDisAsmMode::Bits64)};
    if (size == 0) return 0;
    auto copy = std::make_unique<std::uint8_t[]>(size);
    std::memcpy(copy.get(), data, size);
    for (const crashlog::TDisAsm& d : decoders) {
        for (std::size_t at = 0; at < size;) {
            int length = 0;
            const std::string text = d.Disassemble(copy.get() + at, size - at, 0x1000 + at, length);
            if (length < 1 || static_cast<std::size_t>(length) > size - at || text.empty()) {
                std::abort();
            }
            at += static_cast<std::size_t>(length);
        }
    }
    return 0;
}
