#include <system_error>

#include "DebugDataGen.h"
#include "crashlog/CrashOptions.h"

namespace crashlog {

bool LoadOptionsForGenerator(const std::string& path, Bytes& stream, std::string& err) {
    try {
        TCrashModuleOptions options;
        LoadOptionsTextFile(path, options);
        stream.clear();
        options.SaveToStream(stream);
        return true;
    } catch (const std::exception& e) {
        err = path + ": " + e.what();
        return false;
    }
}

}  // namespace crashlog
