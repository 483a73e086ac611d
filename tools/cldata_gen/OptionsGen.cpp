#include <fstream>

#include "DebugDataGen.h"

namespace crashlog {

bool LoadOptionsForGenerator(const std::string& path, Bytes& stream, std::string& err) {
    std::ifstream f(path);
    if (!f) {
        err = "cannot read options file " + path;
        return false;
    }
    // Until the options text has a reader the data carries an empty stream,
    // which loads as the defaults.
    stream.clear();
    return true;
}

}  // namespace crashlog
