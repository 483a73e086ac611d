// The machine's values for the report's general part, from Linux's own
// sources.  Every query may fail: its item then stays empty.

#include <arpa/inet.h>
#include <dirent.h>
#include <dlfcn.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <pwd.h>
#include <sys/statvfs.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include "crashlog/CrashReport.h"
#include "report/ReportText.h"

namespace crashlog {

using namespace report;

namespace {

// ---- files ------------------------------------------------------------------------

std::string ReadSmallFile(const std::string& path, size_t limit = 1 << 20) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return {};
    std::string s(limit, '\0');
    f.read(s.data(), std::streamsize(limit));
    s.resize(size_t(f.gcount()));
    return s;
}

bool FileExists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}

std::string Under(const TCrashSystemSources& src, std::string_view path) {
    std::string root = src.Root.empty() ? std::string("/") : src.Root;
    if (root.ends_with('/')) root.pop_back();
    return root + std::string(path);
}

// "Key: value" or "KEY=value" lines; the value trimmed and unquoted.
std::string FindKey(std::string_view text, std::string_view key, char separator) {
    for (const std::string& line : SplitLines(text)) {
        const size_t sep = line.find(separator);
        if (sep == std::string::npos || Trim(line.substr(0, sep)) != key) continue;
        std::string v = Trim(line.substr(sep + 1));
        if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
            v = v.substr(1, v.size() - 2);
        return v;
    }
    return {};
}

std::string ProcDir(const TCrashSystemSources& src) {
    return src.ProcessId ? "/proc/" + std::to_string(src.ProcessId) : std::string("/proc/self");
}

// ---- user -------------------------------------------------------------------------

void GatherUser(const TCrashSystemSources& src, TCrashSystemValues& v) {
    const std::string status = ReadSmallFile(Under(src, ProcDir(src) + "/status"));
    std::string uidText = FindKey(status, "Uid", ':');
    uid_t uid = geteuid();
    if (!uidText.empty()) {
        // Real, effective, saved, file system: the effective one runs the process.
        std::istringstream in(uidText);
        unsigned long real = 0, effective = 0;
        if (in >> real >> effective) uid = uid_t(effective);
    }
    passwd pw{};
    passwd* found = nullptr;
    std::vector<char> buf(16384);
    if (getpwuid_r(uid, &pw, buf.data(), buf.size(), &found) == 0 && found) {
        v.UserId = Cut(found->pw_name ? found->pw_name : "", 255);
        // The full name is the first field of the comment field.
        const std::string gecos = found->pw_gecos ? found->pw_gecos : "";
        v.UserName = Trim(std::string_view(gecos).substr(0, gecos.find(',')));
    }
    const std::string prm = FindKey(status, "CapPrm", ':');
    const std::string eff = FindKey(status, "CapEff", ':');
    if (!prm.empty())
        v.Privileges = FormatPrivileges(std::strtoull(prm.c_str(), nullptr, 16),
                                        std::strtoull(eff.c_str(), nullptr, 16));
}

// ---- computer ------------------------------------------------------------------------

std::string ThisLibraryPath() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&GatherSystemValues), &info) && info.dli_fname)
        return info.dli_fname;
    return {};
}

std::string Processor(const TCrashSystemSources& src) {
    const std::string cpu = ReadSmallFile(Under(src, "/proc/cpuinfo"), 64 * 1024);
    std::string name = FindKey(cpu, "model name", ':');
    if (name.empty()) name = FindKey(cpu, "Model", ':');  // ARM boards name it so
    if (!name.empty()) return Trim(name);
    const std::string vendor = Trim(FindKey(cpu, "vendor_id", ':'));
    if (vendor.empty()) return "Unknown processor";
    const std::string family = FindKey(cpu, "cpu family", ':');
    const std::string model = FindKey(cpu, "model", ':');
    const std::string stepping = FindKey(cpu, "stepping", ':');
    if (family.empty()) return vendor;
    return vendor + " - Family " + family + " Model " + model + " Stepping " + stepping;
}

// The name of a PCI vendor and device from the system's id list.
std::string PciName(unsigned vendor, unsigned device) {
    char v[8], d[8];
    std::snprintf(v, sizeof v, "%04x", vendor);
    std::snprintf(d, sizeof d, "%04x", device);
    for (const char* path : {"/usr/share/misc/pci.ids", "/usr/share/hwdata/pci.ids"}) {
        std::ifstream f(path);
        if (!f) continue;
        std::string line, vendorName;
        while (std::getline(f, line)) {
            if (line.empty() || line[0] == '#') continue;
            if (line[0] != '\t') {
                if (!vendorName.empty()) break;
                if (line.starts_with(v)) vendorName = Trim(line.substr(4));
            } else if (!vendorName.empty() && line.size() > 6 && line[1] != '\t' &&
                       line.compare(1, 4, d) == 0) {
                return vendorName + " " + Trim(line.substr(5));
            }
        }
        if (!vendorName.empty()) return vendorName;
    }
    return {};
}

std::string VideoCard(const TCrashSystemSources& src) {
    const std::string drm = Under(src, "/sys/class/drm");
    DIR* dir = opendir(drm.c_str());
    if (!dir) return {};
    std::vector<std::string> cards;
    while (dirent* e = readdir(dir)) {
        const std::string n = e->d_name;
        if (n.starts_with("card") && n.find('-') == std::string::npos) cards.push_back(n);
    }
    closedir(dir);
    std::sort(cards.begin(), cards.end());
    for (const std::string& card : cards) {
        const std::string dev = drm + "/" + card + "/device";
        const std::string vendorText = Trim(ReadSmallFile(dev + "/vendor"));
        if (vendorText.empty()) continue;
        const unsigned vendor = unsigned(std::strtoul(vendorText.c_str(), nullptr, 16));
        const unsigned device =
            unsigned(std::strtoul(Trim(ReadSmallFile(dev + "/device")).c_str(), nullptr, 16));
        std::string description = PciName(vendor, device);
        if (description.empty()) {
            char id[32];
            std::snprintf(id, sizeof id, "PCI %04X:%04X", vendor, device);
            description = id;
        }
        char link[512];
        const ssize_t n = readlink((dev + "/driver").c_str(), link, sizeof link - 1);
        std::string driver = n > 0 ? FileNameOf(std::string_view(link, size_t(n))) : "";
        const std::string version =
            Trim(ReadSmallFile(Under(src, "/sys/module/" + driver + "/version")));
        if (!version.empty()) driver += " " + version;
        const std::uint64_t vram =
            std::strtoull(Trim(ReadSmallFile(dev + "/mem_info_vram_total")).c_str(), nullptr, 10);
        std::string out = Trim(description) + " (driver " + driver;
        if (vram) out += " - RAM " + std::to_string(vram >> 20) + " MB";
        return out + ")";
    }
    return {};
}

// The default printer as CUPS keeps it, and its driver from the printer's
// description file.
std::string Printer(const TCrashSystemSources& src) {
    std::string name;
    if (const char* p = std::getenv("PRINTER"); p && *p && src.Root == "/") name = p;
    auto fromOptions = [](const std::string& text) {
        for (const std::string& line : SplitLines(text)) {
            std::istringstream in(line);
            std::string word, printer;
            if (in >> word >> printer && word == "Default")
                return printer.substr(0, printer.find('/'));
        }
        return std::string();
    };
    if (name.empty() && src.Root == "/") {
        if (const char* home = std::getenv("HOME"))
            name = fromOptions(ReadSmallFile(std::string(home) + "/.cups/lpoptions"));
    }
    if (name.empty()) name = fromOptions(ReadSmallFile(Under(src, "/etc/cups/lpoptions")));
    if (name.empty()) {
        const std::string conf = ReadSmallFile(Under(src, "/etc/cups/printers.conf"));
        const size_t at = conf.find("<DefaultPrinter ");
        if (at != std::string::npos) {
            const size_t end = conf.find('>', at);
            if (end != std::string::npos) name = Trim(conf.substr(at + 16, end - at - 16));
        }
    }
    if (name.empty() || name.find('/') != std::string::npos) return {};
    const std::string ppd = ReadSmallFile(Under(src, "/etc/cups/ppd/" + name + ".ppd"), 256 * 1024);
    std::string driver = FindKey(ppd, "*NickName", ':');
    if (driver.empty()) driver = FindKey(ppd, "*ModelName", ':');
    if (driver.empty()) return {};
    std::string version = FindKey(ppd, "*FileVersion", ':');
    version.erase(std::remove(version.begin(), version.end(), ' '), version.end());
    return driver + " (driver " + version + ")";
}

// ---- the X display (loaded at run time: a console program has no X) -----------------

struct TXlib {
    using Display = void;
    void* lib = nullptr;
    Display* (*OpenDisplay)(const char*) = nullptr;
    int (*CloseDisplay)(Display*) = nullptr;
    int (*DefaultScreen)(Display*) = nullptr;
    int (*DisplayWidth)(Display*, int) = nullptr;
    int (*DisplayHeight)(Display*, int) = nullptr;
    int (*DisplayHeightMM)(Display*, int) = nullptr;
    int (*DefaultDepth)(Display*, int) = nullptr;
    unsigned long (*RootWindow)(Display*, int) = nullptr;
    unsigned long (*InternAtom)(Display*, const char*, int) = nullptr;
    int (*GetWindowProperty)(Display*, unsigned long, unsigned long, long, long, int, unsigned long,
                             unsigned long*, int*, unsigned long*, unsigned long*,
                             unsigned char**) = nullptr;
    int (*Free)(void*) = nullptr;
    using ErrorHandler = int (*)(Display*, void*);
    ErrorHandler (*SetErrorHandler)(ErrorHandler) = nullptr;

    bool Load() {
        lib = dlopen("libX11.so.6", RTLD_NOW | RTLD_LOCAL);
        if (!lib) return false;
        bool ok = true;
        auto get = [&](auto& fn, const char* name) {
            fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(dlsym(lib, name));
            ok = ok && fn;
        };
        get(OpenDisplay, "XOpenDisplay");
        get(CloseDisplay, "XCloseDisplay");
        get(DefaultScreen, "XDefaultScreen");
        get(DisplayWidth, "XDisplayWidth");
        get(DisplayHeight, "XDisplayHeight");
        get(DisplayHeightMM, "XDisplayHeightMM");
        get(DefaultDepth, "XDefaultDepth");
        get(RootWindow, "XRootWindow");
        get(InternAtom, "XInternAtom");
        get(GetWindowProperty, "XGetWindowProperty");
        get(Free, "XFree");
        get(SetErrorHandler, "XSetErrorHandler");
        return ok;
    }
    ~TXlib() {
        if (lib) dlclose(lib);
    }

    // A property's bytes (8-bit data) or one 32-bit item, "" when missing.
    std::string Property(Display* d, unsigned long window, const char* name,
                         bool* isWindow = nullptr, unsigned long* windowOut = nullptr) {
        const unsigned long atom = InternAtom(d, name, 1);
        if (!atom) return {};
        unsigned long type = 0, count = 0, after = 0;
        int format = 0;
        unsigned char* data = nullptr;
        if (GetWindowProperty(d, window, atom, 0, 1024, 0, 0 /* AnyPropertyType */, &type, &format,
                              &count, &after, &data) != 0 ||
            !data)
            return {};
        std::string out;
        if (format == 8) {
            out.assign(reinterpret_cast<char*>(data), count);
        } else if (format == 32 && count >= 1 && windowOut) {
            *windowOut = *reinterpret_cast<unsigned long*>(data);
            if (isWindow) *isWindow = true;
        }
        Free(data);
        return out;
    }
};

int IgnoreXError(void*, void*) {
    return 0;
}

void GatherDisplay(const TCrashSystemSources& src, TCrashSystemValues& v) {
    if (!src.QueryDisplay) return;
    const std::string name =
        src.Display.empty() ? (std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "") : src.Display;
    // Only a display on this machine: connecting to another host may wait
    // for a network time-out, and a report must not.
    const bool local = name.starts_with(':') || name.starts_with("unix:") ||
                       name.starts_with("localhost:") || name.starts_with('/');
    if (!local) return;
    TXlib x;
    if (!x.Load()) return;
    void* d = x.OpenDisplay(name.c_str());
    if (!d) return;
    // A window that vanishes between the questions must not end the process
    // through the default error handler.
    const auto previous = x.SetErrorHandler(IgnoreXError);
    const int screen = x.DefaultScreen(d);
    const int width = x.DisplayWidth(d, screen), height = x.DisplayHeight(d, screen);
    v.DisplayMode = std::to_string(width) + " x " + std::to_string(height) + ", " +
                    std::to_string(x.DefaultDepth(d, screen)) + " bit";
    const int mm = x.DisplayHeightMM(d, screen);
    if (mm > 0) v.DisplayDpi = std::to_string(std::lround(height * 25.4 / mm));
    unsigned long active = 0;
    bool found = false;
    x.Property(d, x.RootWindow(d, screen), "_NET_ACTIVE_WINDOW", &found, &active);
    if (found && active) {
        // WM_CLASS holds the instance and the class, each ending with a zero.
        const std::string cls = x.Property(d, active, "WM_CLASS");
        const size_t zero = cls.find('\0');
        if (zero != std::string::npos) v.ForegroundClass = std::string(cls.c_str() + zero + 1);
        std::string title = x.Property(d, active, "_NET_WM_NAME");
        if (title.empty()) title = x.Property(d, active, "WM_NAME");
        v.ForegroundText = Cut(title, 255);
    }
    x.SetErrorHandler(previous);
    x.CloseDisplay(d);
}

// ---- operating system ----------------------------------------------------------------

struct TLanguage {
    const char* Code;
    const char* Name;
    int Charset;  // the character set of the language's single-byte code page
};

constexpr TLanguage kLanguages[] = {
    {"ar", "Arabic", 178},     {"bg", "Bulgarian", 204}, {"ca", "Catalan", 0},
    {"cs", "Czech", 238},      {"da", "Danish", 0},      {"de", "German", 0},
    {"el", "Greek", 161},      {"en", "English", 0},     {"es", "Spanish", 0},
    {"et", "Estonian", 186},   {"eu", "Basque", 0},      {"fa", "Persian", 178},
    {"fi", "Finnish", 0},      {"fr", "French", 0},      {"ga", "Irish", 0},
    {"gl", "Galician", 0},     {"he", "Hebrew", 177},    {"hr", "Croatian", 238},
    {"hu", "Hungarian", 238},  {"id", "Indonesian", 0},  {"is", "Icelandic", 0},
    {"it", "Italian", 0},      {"ja", "Japanese", 128},  {"ko", "Korean", 129},
    {"lt", "Lithuanian", 186}, {"lv", "Latvian", 186},   {"mk", "Macedonian", 204},
    {"ms", "Malay", 0},        {"nb", "Norwegian", 0},   {"nl", "Dutch", 0},
    {"nn", "Norwegian", 0},    {"no", "Norwegian", 0},   {"pl", "Polish", 238},
    {"pt", "Portuguese", 0},   {"ro", "Romanian", 238},  {"ru", "Russian", 204},
    {"sk", "Slovak", 238},     {"sl", "Slovenian", 238}, {"sq", "Albanian", 238},
    {"sr", "Serbian", 204},    {"sv", "Swedish", 0},     {"th", "Thai", 222},
    {"tr", "Turkish", 162},    {"uk", "Ukrainian", 204}, {"ur", "Urdu", 178},
    {"vi", "Vietnamese", 163}, {"zh", "Chinese", 134},
};

// The system's locale: its configured default, else the environment's.
std::string SystemLocale(const TCrashSystemSources& src) {
    for (const char* file : {"/etc/default/locale", "/etc/locale.conf"}) {
        const std::string lang = FindKey(ReadSmallFile(Under(src, file)), "LANG", '=');
        if (!lang.empty()) return lang;
    }
    if (src.Root != "/") return {};
    for (const char* var : {"LC_ALL", "LANG"})
        if (const char* v = std::getenv(var); v && *v) return v;
    return {};
}

void GatherLanguage(const TCrashSystemSources& src, TCrashSystemValues& v) {
    const std::string locale = SystemLocale(src);
    if (locale.empty()) return;
    if (locale == "C" || locale == "POSIX" || locale.starts_with("C.")) {
        v.Language = "English";
        v.Charset = "0";
        return;
    }
    const std::string code = locale.substr(0, locale.find_first_of("_.@"));
    const TLanguage* lang = nullptr;
    for (const TLanguage& l : kLanguages)
        if (code == l.Code) lang = &l;
    if (!lang) return;
    v.Language = lang->Name;
    int charset = lang->Charset;
    // Chinese of Taiwan and Hong Kong uses the traditional character set.
    if (code == "zh" &&
        (locale.find("_TW") != std::string::npos || locale.find("_HK") != std::string::npos))
        charset = 136;
    v.Charset = std::to_string(charset);
}

void GatherOs(const TCrashSystemSources& src, TCrashSystemValues& v) {
    const std::string release = ReadSmallFile(Under(src, "/etc/os-release"));
    v.OsType = FindKey(release, "PRETTY_NAME", '=');
    if (v.OsType.empty()) {
        const std::string name = FindKey(release, "NAME", '=');
        const std::string version = FindKey(release, "VERSION", '=');
        v.OsType = Trim(name + " " + version);
    }
    v.OsBuild = Trim(ReadSmallFile(Under(src, "/proc/sys/kernel/osrelease")));
    if (src.Root == "/" && (v.OsType.empty() || v.OsBuild.empty())) {
        utsname u{};
        if (uname(&u) == 0) {
            if (v.OsType.empty()) v.OsType = u.sysname;
            if (v.OsBuild.empty()) v.OsBuild = u.release;
        }
    }
    v.OsUpdate = Trim(ReadSmallFile(Under(src, "/etc/debian_version")));
}

// ---- network -------------------------------------------------------------------------

struct TAdapter {
    std::string Name;
    std::uint32_t Address = 0, Mask = 0;
};

std::uint32_t ParseIpv4(const std::string& text) {
    in_addr a{};
    return inet_pton(AF_INET, text.c_str(), &a) == 1 ? ntohl(a.s_addr) : 0;
}

// The default route's gateway of an interface (the route table writes
// addresses as hex in network byte order).
std::uint32_t Gateway(const std::string& routes, const std::string& name) {
    for (const std::string& line : SplitLines(routes)) {
        std::istringstream in(line);
        std::string iface, destination, gateway;
        if (!(in >> iface >> destination >> gateway) || iface != name || destination != "00000000")
            continue;
        return ntohl(std::uint32_t(std::strtoul(gateway.c_str(), nullptr, 16)));
    }
    return 0;
}

bool HasDhcpLease(const TCrashSystemSources& src, const std::string& name) {
    const unsigned index = if_nametoindex(name.c_str());
    if (index && FileExists(Under(src, "/run/systemd/netif/leases/" + std::to_string(index))))
        return true;
    for (const char* folder :
         {"/var/lib/dhcp", "/var/lib/dhclient", "/var/lib/NetworkManager", "/run"}) {
        DIR* dir = opendir(Under(src, folder).c_str());
        if (!dir) continue;
        bool found = false;
        while (dirent* e = readdir(dir)) {
            const std::string n = e->d_name;
            if ((n.ends_with(".lease") || n.ends_with(".leases")) &&
                n.find(name) != std::string::npos) {
                found = true;
                break;
            }
        }
        closedir(dir);
        if (found) return true;
    }
    return false;
}

void GatherNetwork(const TCrashSystemSources& src, TCrashSystemValues& v) {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return;
    std::vector<TAdapter> adapters;
    for (ifaddrs* a = list; a; a = a->ifa_next) {
        if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET) continue;
        if (a->ifa_flags & IFF_LOOPBACK) continue;
        const std::string name = a->ifa_name ? a->ifa_name : "";
        // The adapter's first address only.
        if (std::any_of(adapters.begin(), adapters.end(),
                        [&](const TAdapter& x) { return x.Name == name; }))
            continue;
        TAdapter adapter;
        adapter.Name = name;
        adapter.Address = ntohl(reinterpret_cast<sockaddr_in*>(a->ifa_addr)->sin_addr.s_addr);
        if (a->ifa_netmask)
            adapter.Mask = ntohl(reinterpret_cast<sockaddr_in*>(a->ifa_netmask)->sin_addr.s_addr);
        adapters.push_back(adapter);
    }
    freeifaddrs(list);
    if (adapters.empty()) return;

    std::vector<std::uint32_t> dns;
    for (const std::string& line : SplitLines(ReadSmallFile(Under(src, "/etc/resolv.conf")))) {
        std::istringstream in(line);
        std::string word, server;
        if (in >> word >> server && word == "nameserver") {
            if (const std::uint32_t a = ParseIpv4(server)) dns.push_back(a);
        }
    }
    const std::string routes = ReadSmallFile(Under(src, "/proc/net/route"));
    auto join = [](std::string& item, const std::string& value) {
        if (!item.empty()) item += " - ";
        item += value;
    };
    for (const TAdapter& a : adapters) {
        join(v.IpAddress, FormatIpAddress(a.Address));
        join(v.SubnetMask, FormatIpAddress(a.Mask));
        join(v.Gateway, FormatIpAddress(Gateway(routes, a.Name)));
        join(v.Dns1, FormatIpAddress(dns.size() > 0 ? dns[0] : 0));
        join(v.Dns2, FormatIpAddress(dns.size() > 1 ? dns[1] : 0));
        std::string dhcp = HasDhcpLease(src, a.Name) ? "ON" : "OFF";
        dhcp.resize(15, ' ');
        join(v.Dhcp, dhcp);
    }
}

constexpr const char* kCapabilityNames[] = {
    "cap_chown",
    "cap_dac_override",
    "cap_dac_read_search",
    "cap_fowner",
    "cap_fsetid",
    "cap_kill",
    "cap_setgid",
    "cap_setuid",
    "cap_setpcap",
    "cap_linux_immutable",
    "cap_net_bind_service",
    "cap_net_broadcast",
    "cap_net_admin",
    "cap_net_raw",
    "cap_ipc_lock",
    "cap_ipc_owner",
    "cap_sys_module",
    "cap_sys_rawio",
    "cap_sys_chroot",
    "cap_sys_ptrace",
    "cap_sys_pacct",
    "cap_sys_admin",
    "cap_sys_boot",
    "cap_sys_nice",
    "cap_sys_resource",
    "cap_sys_time",
    "cap_sys_tty_config",
    "cap_mknod",
    "cap_lease",
    "cap_audit_write",
    "cap_audit_control",
    "cap_setfcap",
    "cap_mac_override",
    "cap_mac_admin",
    "cap_syslog",
    "cap_wake_alarm",
    "cap_block_suspend",
    "cap_audit_read",
    "cap_perfmon",
    "cap_bpf",
    "cap_checkpoint_restore",
};

}  // namespace

std::string FormatPrivileges(std::uint64_t permitted, std::uint64_t effective) {
    std::string out;
    for (int bit = 0; bit < 64; ++bit) {
        if (!((permitted >> bit) & 1)) continue;
        std::string name = bit < int(std::size(kCapabilityNames)) ? kCapabilityNames[bit]
                                                                  : "cap_" + std::to_string(bit);
        if (name.size() < 31) name.resize(31, ' ');
        out += name + (((effective >> bit) & 1) ? " - ON" : " - OFF") + "\r\n";
    }
    return out;
}

TCrashSystemValues GatherSystemValues(const TCrashSystemSources& sources) {
    TCrashSystemValues v;
    GatherUser(sources, v);

    std::string host = Trim(ReadSmallFile(Under(sources, "/proc/sys/kernel/hostname")));
    if (host.empty() && sources.Root == "/") {
        char buf[256] = {};
        if (gethostname(buf, sizeof buf - 1) == 0) host = buf;
    }
    v.ComputerName = Cut(host, 15);

    const std::string meminfo = ReadSmallFile(Under(sources, "/proc/meminfo"));
    auto kb = [&](const char* key) -> std::string {
        const std::string value = FindKey(meminfo, key, ':');
        if (value.empty()) return {};
        return FormatMemoryMb(std::strtoull(value.c_str(), nullptr, 10) * 1024);
    };
    v.TotalMemory = kb("MemTotal");
    v.FreeMemory = kb("MemAvailable");
    if (v.FreeMemory.empty()) v.FreeMemory = kb("MemFree");

    const std::string disk = sources.DiskPath.empty() ? ThisLibraryPath() : sources.DiskPath;
    struct statvfs fs {};
    if (!disk.empty() && statvfs(disk.c_str(), &fs) == 0) {
        v.TotalDisk = FormatDiskGb(std::uint64_t(fs.f_blocks) * fs.f_frsize);
        v.FreeDisk = FormatDiskGb(std::uint64_t(fs.f_bavail) * fs.f_frsize);
    }

    double uptime = -1;
    if (sources.UptimeSeconds) {
        uptime = sources.UptimeSeconds();
    } else {
        const std::string text = ReadSmallFile(Under(sources, "/proc/uptime"));
        if (!text.empty()) uptime = std::strtod(text.c_str(), nullptr);
    }
    if (uptime >= 0) v.SystemUpTime = FormatDuration(std::int64_t(uptime));

    v.Processor = Processor(sources);
    GatherDisplay(sources, v);
    v.VideoCard = VideoCard(sources);
    v.Printer = Printer(sources);
    GatherOs(sources, v);
    GatherLanguage(sources, v);
    GatherNetwork(sources, v);
    return v;
}

}  // namespace crashlog
