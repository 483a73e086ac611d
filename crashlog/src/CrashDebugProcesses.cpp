#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <fstream>
#include <sstream>

#include "crashlog/CrashDebug.h"

namespace crashlog {

uint32_t PriorityClassOfBasePriority(int base) {
    if (base == 0) return 0;
    if (base < 6) return 0x40;     // idle
    if (base < 8) return 0x4000;   // below normal
    if (base < 10) return 0x20;    // normal
    if (base < 13) return 0x8000;  // above normal
    if (base > 23) return 0x100;   // real time
    return 0x80;                   // high
}

namespace {

// The scheduler's nice value and policy expressed as the base priority the
// report's priority classes are defined on.
int BasePriorityOf(int nice, int policy) {
    if (policy == 1 || policy == 2) return 24;  // FIFO and round-robin
    if (nice >= 15) return 4;
    if (nice > 0) return 6;
    if (nice == 0) return 8;
    if (nice >= -10) return 10;
    return 13;
}

}  // namespace

void TCrashProcessesList::Refresh(const std::string& procRoot) {
    Items.clear();
    DIR* dir = opendir(procRoot.c_str());
    if (!dir) return;
    while (dirent* de = readdir(dir)) {
        std::string name = de->d_name;
        if (name.empty() || !std::all_of(name.begin(), name.end(), ::isdigit)) continue;
        std::string base = procRoot + "/" + name;
        std::ifstream status(base + "/status");
        if (!status) continue;  // gone, or not ours to open
        TCrashProcessInfo p;
        if (std::from_chars(name.data(), name.data() + name.size(), p.ProcessId).ec != std::errc())
            continue;
        std::string line;
        while (std::getline(status, line)) {
            std::istringstream in(line);
            std::string key;
            in >> key;
            if (key == "Threads:") in >> p.Threads;
            if (key == "VmRSS:") {
                uint64_t kb = 0;
                in >> kb;
                p.Memory = kb * 1024;
            }
            if (key == "Name:" && p.Name.empty()) std::getline(in >> std::ws, p.Name);
        }
        char exe[4096];
        ssize_t n = readlink((base + "/exe").c_str(), exe, sizeof exe - 1);
        if (n > 0) {
            p.Name.assign(exe, size_t(n));
            ReadVersionNote(p.Name, p.Version, p.Description);
        }
        // stat: fields after the command's closing bracket; nice is the 19th
        // field, policy the 41st.
        std::ifstream stat(base + "/stat");
        std::string s((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        auto close = s.rfind(')');
        if (close != std::string::npos) {
            std::istringstream in(s.substr(close + 2));
            std::vector<std::string> f;
            std::string tok;
            while (in >> tok)
                f.push_back(tok);
            // f[0] is field 3 (state).
            int nice = f.size() > 16 ? std::atoi(f[16].c_str()) : 0;
            int policy = f.size() > 38 ? std::atoi(f[38].c_str()) : 0;
            p.PriorityClass = PriorityClassOfBasePriority(BasePriorityOf(nice, policy));
        }
        Items.push_back(std::move(p));
    }
    closedir(dir);
    std::sort(Items.begin(), Items.end(),
              [](const auto& a, const auto& b) { return a.ProcessId < b.ProcessId; });
}

}  // namespace crashlog
