// The options stream: the binary form of an options object (private to the
// library; the public entry points are SaveToStream and LoadFromStream).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "crashlog/CrashOptions.h"

namespace crashlog {

// Appends the current layout (version 6020) to `out`.
void WriteOptionsStream(const TCrashModuleOptions& options, ByteBuffer& out);

// Reads the layout of library data `version`; stops quietly at the end of
// `data`.  Returns the number of bytes consumed.  Does not run the change
// step: the caller holds a batch.
std::size_t ReadOptionsStream(TCrashModuleOptions& options, std::span<const std::uint8_t> data,
                              std::uint16_t version);

// Whether library data of `version` (below 6000) stores customized text
// `index`; data from 6000 on stores all of them.
bool OldDataHasText(std::uint16_t version, int index);

// Grants the stream code access to the fields outside TCrashOptionValues.
struct OptionsStreamAccess {
    static std::string& MailBody(TCrashModuleOptions& o) { return o.mailBody_; }
    static std::string& TextLanguage(TCrashModuleOptions& o) { return o.textLanguage_; }
    static std::string& Text(TCrashModuleOptions& o, int i) {
        return o.texts_[static_cast<std::size_t>(i)];
    }
    static TCrashOptionValues& Values(TCrashModuleOptions& o) { return o.values_; }
};

}  // namespace crashlog
