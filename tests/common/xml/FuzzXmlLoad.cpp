// Any bytes given to the loader must end in a document or one of the model's
// exceptions, and whatever loads must write out and load back.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string_view>

#include "common/XmlClasses.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kvo::common;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    TXmlDDocument doc;
    try {
        // The first byte picks the switches so that every path is reached.
        const bool useString = size == 0 || (data[0] & 1) != 0;
        if (useString) {
            doc.LoadFromString(text);
        } else {
            std::istringstream stream{std::string(text)};
            doc.LoadFromStream(stream, (data[0] & 2) != 0, (data[0] & 4) != 0);
        }
    } catch (const EXmlDParseError&) {
        return 0;
    } catch (const EXmlDError&) {
        return 0;
    }
    std::ostringstream formatted;
    doc.SaveToStream(formatted, true);
    const std::string compact = doc.SaveToString();
    if (doc.DocumentElement() == nullptr) return 0;  // a blank text loads as nothing
    // What the writer produced from a loaded tree must load again (a
    // document type may declare what the tree no longer satisfies, so
    // without validation).
    TXmlDDocument again;
    std::istringstream reread(compact);
    try {
        again.LoadFromStream(reread, false, true);
    } catch (const EXmlDParseError& e) {
        std::fprintf(stderr, "written text does not load: %s (line %d, %d)\n%s\n",
                     e.Reason().c_str(), e.Line(), e.LinePos(), compact.c_str());
        std::abort();
    }
    return 0;
}
