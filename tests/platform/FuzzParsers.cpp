// Any bytes given to the INI parser or the version-note reader must be
// handled without a crash, and an INI text must come back unchanged when
// nothing was written to it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string_view>

#include "platform/Ini.h"
#include "platform/VersionNote.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    (void)kvo::platform::ParseVersionNote(std::span<const unsigned char>(data, size));

    std::string_view text(reinterpret_cast<const char*>(data), size);
    kvo::platform::IniFile ini;
    ini.Parse(text);
    if (ini.Text() != text) std::abort();
    for (const auto& section : ini.Sections())
        for (const auto& key : ini.Keys(section)) {
            (void)ini.ReadInteger(section, key, 0);
            ini.WriteString(section, key, "x");
        }
    ini.WriteString("New", "Key", "1");
    if (ini.ReadString("new", "key", "") != "1") std::abort();
    if (!ini.Sections().empty()) ini.EraseSection(ini.Sections().front());
    return 0;
}
