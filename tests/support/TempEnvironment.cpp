#include "support/TempEnvironment.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace kvo::support {

namespace fs = std::filesystem;

TempEnvironment::TempEnvironment(const std::string& prefix) {
    std::string pattern = (fs::temp_directory_path() / (prefix + "-XXXXXX")).string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) == nullptr)
        throw std::runtime_error("cannot create a temporary folder from " + pattern);
    root_ = buffer.data();
    Set("HOME", MakeDir("home"));
    Set("KESTAVO_DRIVES", Path("drives.ini"));
    Set("KESTAVO_REGISTRY", Path("registry"));
    Set("KESTAVO_SYSCONF", Path("etc"));
    Set("XDG_CONFIG_HOME", Path("config"));
    Set("XDG_DATA_HOME", Path("data"));
    Set("XDG_RUNTIME_DIR", MakeDir("run"));
    fs::permissions(Path("run"), fs::perms::owner_all, fs::perm_options::replace);
}

TempEnvironment::~TempEnvironment() {
    for (const auto& [name, value] : saved_) {
        if (value)
            ::setenv(name.c_str(), value->c_str(), 1);
        else
            ::unsetenv(name.c_str());
    }
    // A test may leave read-only folders behind; make them removable first.
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root_, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_directory(ec))
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
    fs::remove_all(root_, ec);
}

std::string TempEnvironment::MakeDir(const std::string& relative) const {
    const std::string path = Path(relative);
    fs::create_directories(path);
    return path;
}

void TempEnvironment::Remember(const std::string& name) {
    if (saved_.count(name) != 0) return;
    const char* old = ::getenv(name.c_str());
    saved_[name] = old != nullptr ? std::optional<std::string>(old) : std::nullopt;
}

void TempEnvironment::Set(const std::string& name, const std::string& value) {
    Remember(name);
    ::setenv(name.c_str(), value.c_str(), 1);
}

void TempEnvironment::Unset(const std::string& name) {
    Remember(name);
    ::unsetenv(name.c_str());
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
    const fs::path parent = fs::path(path).parent_path();
    if (!parent.empty()) fs::create_directories(parent);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

}  // namespace kvo::support
