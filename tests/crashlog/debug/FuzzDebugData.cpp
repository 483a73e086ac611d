// Random bytes through every reader of stored debug data.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "crashlog/CrashDebug.h"
#include "crashlog/CrashDebugData.h"

using namespace crashlog;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ByteSpan in(data, size);
    if (auto r = ParseLibraryData(in)) {
        TCrashNameDecoder names(r->Version, DebugKeyFromPassword(""), true);
        (void)LookupLine(r->DebugData, r->Version, names, 0x100);
    }
    (void)ParseAppendedLibraryData(in);
    if (size >= 6) {
        // The first bytes choose a data version and an offset; the rest is
        // taken as decoded debug data.
        uint16_t version = uint16_t(data[0] | data[1] << 8);
        uint32_t offset = uint32_t(data[2] | data[3] << 8 | data[4] << 16 | data[5] << 24);
        ByteSpan debug = in.subspan(6);
        for (bool valid : {true, false}) {
            TCrashNameDecoder names(version, DebugKeyFromPassword("k"), valid);
            auto slow = LookupLine(debug, version, names, offset);
            // The decoded table a module keeps must answer the same, here and
            // just around the offset.
            TCrashLineTable table(debug, version, names);
            auto fast = table.Lookup(offset);
            if (slow.has_value() != fast.has_value() ||
                (slow && (slow->Line != fast->Line || slow->ProcName != fast->ProcName ||
                          slow->ClassName != fast->ClassName || slow->UnitName != fast->UnitName ||
                          slow->ProcLine != fast->ProcLine)))
                __builtin_trap();
            for (uint32_t near : {offset - 1, offset + 1, offset + 7})
                (void)table.Lookup(near);
        }
    }
    TCLDebugInfoMap map("fuzz", 0x10000, 0);
    TCLLocationInfo info;
    if (map.Load(std::string_view(reinterpret_cast<const char*>(data), size)))
        (void)map.Locate(0x11000 + (size & 0xFFF), info);
    TCLDebugInfoJedy jdbg("fuzz", 0x10000, 0);
    if (jdbg.Load(in)) (void)jdbg.Locate(0x11000 + (size & 0xFFF), info);
    return 0;
}
