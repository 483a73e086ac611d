// Any bytes loaded as a log file: splitting, field reads, edits and the XML
// form must neither crash nor read out of bounds.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "crashlog/CrashLogFile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    static std::string path = [] {
        char tmpl[] = "/tmp/fuzz-log-XXXXXX";
        return std::string(::mkdtemp(tmpl)) + "/fuzz.clf";
    }();
    {
        int fd = ::creat(path.c_str(), 0644);
        if (fd < 0) return 0;
        (void)!::write(fd, text.data(), text.size());
        ::close(fd);
    }
    crashlog::TLogFile log(path);
    for (int i = 0; i < log.Count(); ++i) {
        (void)log.GetField("2.7", i);
        (void)log.GetField("1.3", i);
        log.SetField("2.8", "2", i, "Count");
        log.SetField("2.6", "a: b\r\n\r\nc", i, "Message");
    }
    (void)log.FindEntry({"2.7"}, {"1A2B"});
    (void)log.XmlText();
    // With a password, protected names in the call stack are deciphered.
    log.SetPassword("fuzz");
    (void)log.XmlText();
    return 0;
}
