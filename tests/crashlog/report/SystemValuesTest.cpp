// System values: from a prepared tree of Linux's sources, and from this
// machine.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "crashlog/CrashReport.h"

namespace {

using namespace crashlog;
namespace fs = std::filesystem;

class SystemTree : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() / ("report-sys-" + std::to_string(getpid()));
        fs::remove_all(root_);
    }
    void TearDown() override { fs::remove_all(root_); }
    void Write(const std::string& path, const std::string& text) {
        const fs::path p = root_ / path.substr(1);
        fs::create_directories(p.parent_path());
        std::ofstream(p) << text;
    }
    TCrashSystemValues Gather() {
        TCrashSystemSources s;
        s.Root = root_.string();
        s.QueryDisplay = false;
        s.DiskPath = root_.string();
        return GatherSystemValues(s);
    }
    fs::path root_;
};

TEST_F(SystemTree, ValuesComeFromTheirFilesInTheReportsFormats) {
    Write("/proc/self/status",
          "Name:\tx\nUid:\t0\t0\t0\t0\nCapPrm:\t0000000000000021\nCapEff:\t0000000000000001\n");
    Write("/proc/sys/kernel/hostname", "reception-workstation-7\n");
    Write("/proc/meminfo",
          "MemTotal:        8124812 kB\nMemFree:   100 kB\nMemAvailable:    2097152 kB\n");
    Write("/proc/uptime", "266407.52 1000.0\n");
    Write("/proc/cpuinfo",
          "processor\t: 0\nvendor_id\t: GenuineIntel\nmodel name\t: Intel(R) Xeon(R) CPU  \n");
    Write("/proc/sys/kernel/osrelease", "6.1.0-18-amd64\n");
    Write("/etc/os-release",
          "NAME=\"Debian GNU/Linux\"\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n");
    Write("/etc/debian_version", "12.5\n");
    Write("/etc/default/locale", "LANG=pl_PL.UTF-8\n");
    Write("/etc/cups/printers.conf",
          "# config\n<DefaultPrinter Front_Desk>\nInfo x\n</DefaultPrinter>\n");
    Write("/etc/cups/ppd/Front_Desk.ppd",
          "*PPD-Adobe: \"4.3\"\n*FileVersion: \"1.1 beta\"\n*NickName: \"HP LaserJet 4000 "
          "Series\"\n");
    const TCrashSystemValues v = Gather();
    EXPECT_EQ(v.UserId, "root");
    EXPECT_EQ(v.Privileges,
              "cap_chown                       - ON\r\ncap_kill                        - OFF\r\n");
    EXPECT_EQ(v.ComputerName, "reception-works");
    EXPECT_EQ(v.TotalMemory, "7934 Mb");
    EXPECT_EQ(v.FreeMemory, "2048 Mb");
    EXPECT_EQ(v.SystemUpTime, "3 days, 2 hours, 7 seconds");
    EXPECT_EQ(v.Processor, "Intel(R) Xeon(R) CPU");
    EXPECT_EQ(v.OsType, "Debian GNU/Linux 12 (bookworm)");
    EXPECT_EQ(v.OsBuild, "6.1.0-18-amd64");
    EXPECT_EQ(v.OsUpdate, "12.5");
    EXPECT_EQ(v.Language, "Polish");
    EXPECT_EQ(v.Charset, "238");
    EXPECT_EQ(v.Printer, "HP LaserJet 4000 Series (driver 1.1beta)");
    EXPECT_FALSE(v.TotalDisk.empty());
    EXPECT_TRUE(v.TotalDisk.ends_with(" Gb"));
    // Nothing on Linux holds a company, and this tree has no video card.
    EXPECT_EQ(v.Company, "");
    EXPECT_EQ(v.VideoCard, "");
}

TEST_F(SystemTree, MissingSourcesLeaveItemsEmpty) {
    Write("/proc/cpuinfo", "processor\t: 0\n");
    const TCrashSystemValues v = Gather();
    EXPECT_EQ(v.TotalMemory, "");
    EXPECT_EQ(v.SystemUpTime, "");
    EXPECT_EQ(v.Processor, "Unknown processor");
    EXPECT_EQ(v.Printer, "");
    EXPECT_EQ(v.Language, "");
    EXPECT_EQ(v.OsUpdate, "");
    EXPECT_EQ(v.Privileges, "");
}

TEST_F(SystemTree, ProcessorFromVendorAndIdentifier) {
    Write("/proc/cpuinfo",
          "vendor_id\t: AuthenticAMD\ncpu family\t: 23\nmodel\t\t: 113\nstepping\t: 0\n");
    EXPECT_EQ(Gather().Processor, "AuthenticAMD - Family 23 Model 113 Stepping 0");
}

TEST(SystemValues, ThisMachineHasPlausibleValues) {
    const TCrashSystemValues v = GatherSystemValues();
    EXPECT_FALSE(v.UserId.empty());
    EXPECT_FALSE(v.ComputerName.empty());
    EXPECT_LE(v.ComputerName.size(), 15u);
    EXPECT_TRUE(v.TotalMemory.ends_with(" Mb")) << v.TotalMemory;
    EXPECT_GT(std::stoull(v.TotalMemory), 0u);
    EXPECT_LE(std::stoull(v.FreeMemory), std::stoull(v.TotalMemory));
    EXPECT_TRUE(v.TotalDisk.ends_with(" Gb")) << v.TotalDisk;
    EXPECT_TRUE(v.FreeDisk.ends_with(" Gb")) << v.FreeDisk;
    EXPECT_NE(v.SystemUpTime.find("second"), std::string::npos) << v.SystemUpTime;
    EXPECT_FALSE(v.Processor.empty());
    EXPECT_FALSE(v.OsType.empty());
    EXPECT_FALSE(v.OsBuild.empty());
    // One value per adapter in every network item, or none at all.
    const auto count = [](const std::string& s) {
        size_t n = s.empty() ? 0 : 1;
        for (size_t at = s.find(" - "); at != std::string::npos; at = s.find(" - ", at + 3))
            ++n;
        return n;
    };
    EXPECT_EQ(count(v.IpAddress), count(v.SubnetMask));
    EXPECT_EQ(count(v.IpAddress), count(v.Dns1));
    if (!v.IpAddress.empty()) {
        EXPECT_EQ(v.IpAddress.size() % 18, 15u) << v.IpAddress;
    }
    if (!v.DisplayMode.empty()) {
        EXPECT_NE(v.DisplayMode.find(" bit"), std::string::npos);
    }
}

}  // namespace
