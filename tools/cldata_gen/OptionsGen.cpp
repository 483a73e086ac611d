#include <system_error>

#include "DebugDataGen.h"
#include "crashlog/CrashOptions.h"

namespace crashlog {

bool LoadOptionsForGenerator(const std::string& path, Bytes& stream, uint8_t& leakFlags,
                             std::string& err) {
    try {
        TCrashModuleOptions options;
        LoadOptionsTextFile(path, options);
        stream.clear();
        options.SaveToStream(stream);
        leakFlags = options.LeakFlags();
        return true;
    } catch (const std::exception& e) {
        err = path + ": " + e.what();
        return false;
    }
}

}  // namespace crashlog
