#include <gtest/gtest.h>

#include "TempEnv.h"
#include "platform/Ini.h"
#include "platform/Sys.h"

namespace kvo::platform {
namespace {

struct ReadCase {
    const char* name;
    const char* text;
    const char* section;
    const char* key;
    std::string string;  // ReadString with default "<def>"
    int integer;         // ReadInteger with default -99
    bool boolean;        // ReadBool with default true
};

class IniRead : public ::testing::TestWithParam<ReadCase> {};

TEST_P(IniRead, ReadsAsTheSuiteDoes) {
    const ReadCase& c = GetParam();
    IniFile ini;
    ini.Parse(c.text);
    EXPECT_EQ(ini.ReadString(c.section, c.key, "<def>"), c.string);
    EXPECT_EQ(ini.ReadInteger(c.section, c.key, -99), c.integer);
    EXPECT_EQ(ini.ReadBool(c.section, c.key, true), c.boolean);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IniRead,
    ::testing::Values(
        ReadCase{"CaseBlind", "[Kestavo]\r\nTray=0\r\n", "KESTAVO", "tray", "0", 0, false},
        ReadCase{"Missing", "[Kestavo]\nTray=0\n", "Kestavo", "Other", "<def>", -99, true},
        ReadCase{"MissingSection", "[A]\nx=1\n", "B", "x", "<def>", -99, true},
        ReadCase{"Trimmed", "[S] \n  Count =  12  \n", "S", "Count", "12", 12, true},
        ReadCase{"Negative", "[S]\nN=-7\n", "S", "N", "-7", -7, true},
        ReadCase{"HexDollar", "[S]\nN=$1F\n", "S", "N", "$1F", 31, true},
        ReadCase{"Hex0x", "[S]\nN=0x10\n", "S", "N", "0x10", 16, true},
        ReadCase{"HexWraps", "[S]\nN=$FFFFFFFF\n", "S", "N", "$FFFFFFFF", -1, true},
        ReadCase{"TrueIsNoNumber", "[S]\nB=true\n", "S", "B", "true", -99, true},
        ReadCase{"AnyNonZeroTrue", "[S]\nB=2\n", "S", "B", "2", 2, true},
        ReadCase{"TrailingText", "[S]\nN=12a\n", "S", "N", "12a", -99, true},
        ReadCase{"Overflow", "[S]\nN=2147483648\n", "S", "N", "2147483648", -99, true},
        ReadCase{"Empty", "[S]\nN=\n", "S", "N", "", -99, true},
        ReadCase{"Quoted", "[S]\nV=\" padded \"\n", "S", "V", " padded ", -99, true},
        ReadCase{"FirstDuplicateWins", "[S]\nV=1\nv=2\n[s]\nV=3\n", "S", "V", "1", 1, true},
        ReadCase{"CommentNotKey", "[S]\n;V=1\n", "S", ";V", "<def>", -99, true},
        ReadCase{"EqualsInValue", "[S]\nV=a=b\n", "S", "V", "a=b", -99, true},
        ReadCase{"KeyBeforeSections", "V=1\n[S]\n", "", "V", "<def>", -99, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(IniWrite, KeepsOrderLineEndsAndUntouchedLines) {
    IniFile ini;
    ini.Parse("; practice\r\n[Kestavo]\r\nWD=S:\r\nodd line\r\n\r\n[Patient]\r\nLock=0\r\n");
    ini.WriteString("KESTAVO", "wd", "T:");   // existing key keeps its spelling
    ini.WriteString("kestavo", "Tray", "1");  // new key after the last key
    ini.WriteBool("Computers", "PC1", true);  // new section at the end
    EXPECT_EQ(ini.Text(),
              "; practice\r\n[Kestavo]\r\nWD=T:\r\nTray=1\r\nodd line\r\n\r\n[Patient]\r\n"
              "Lock=0\r\n[Computers]\r\nPC1=1\r\n");
    EXPECT_EQ(ini.Sections(), (std::vector<std::string>{"Kestavo", "Patient", "Computers"}));
    EXPECT_EQ(ini.Keys("KESTAVO"), (std::vector<std::string>{"WD", "Tray"}));
}

TEST(IniWrite, EraseAndDelete) {
    IniFile ini("\n");
    ini.Parse("[A]\nx=1\ny=2\n[WebEDI]\nz=3\n[B]\nw=4");
    EXPECT_TRUE(ini.EraseSection("webedi"));
    EXPECT_FALSE(ini.EraseSection("webedi"));
    EXPECT_TRUE(ini.DeleteKey("a", "X"));
    EXPECT_FALSE(ini.DeleteKey("a", "X"));
    ini.WriteString("B", "v", "5");  // the unterminated last line gets its end
    EXPECT_EQ(ini.Text(), "[A]\ny=2\n[B]\nw=4\nv=5\n");
}

TEST(IniWrite, LineBreaksInValuesCannotInjectLines) {
    IniFile ini("\n");
    ini.WriteString("S", "K", "a\r\n[Evil]\nx=1");
    EXPECT_FALSE(ini.SectionExists("Evil"));
    EXPECT_EQ(ini.ReadString("S", "K", ""), "a  [Evil] x=1");
}

TEST(IniWrite, NewFileUsesTheGivenLineEnd) {
    IniFile lf("\n"), crlf;
    lf.WriteString("S", "K", "1");
    crlf.WriteString("S", "K", "1");
    EXPECT_EQ(lf.Text(), "[S]\nK=1\n");
    EXPECT_EQ(crlf.Text(), "[S]\r\nK=1\r\n");
}

class IniFileTest : public testing::TempEnvTest {};

TEST_F(IniFileTest, SaveAndLoadRoundTripAndMissingFileIsEmpty) {
    IniFile ini;
    ASSERT_TRUE(ini.Load(Path("none.ini")));
    EXPECT_TRUE(ini.Sections().empty());
    ini.WriteString("S", "K", "v");
    ASSERT_TRUE(ini.Save(Path("sub/dir/x.ini")));
    IniFile back;
    ASSERT_TRUE(back.Load(Path("sub/dir/x.ini")));
    EXPECT_EQ(back.ReadString("s", "k", ""), "v");
}

TEST_F(IniFileTest, FailedWriteReportsAndKeepsTheOldFile) {
    WriteFile(Path("ini/x.ini"), "[S]\nK=old\n");
    IniFile ini;
    ASSERT_TRUE(ini.Load(Path("ini/x.ini")));
    ini.WriteString("S", "K", "new");
    for (int which = 0; which < 3; ++which) {
        ScopedSysOverride sys;
        if (which == 0)
            sys.table().write = [](int, const void*, size_t) -> ssize_t {
                errno = ENOSPC;
                return -1;
            };
        if (which == 1)
            sys.table().fsync = [](int) {
                errno = EIO;
                return -1;
            };
        if (which == 2)
            sys.table().open = [](const char*, int, mode_t) {
                errno = EACCES;
                return -1;
            };
        EXPECT_FALSE(ini.Save(Path("ini/x.ini"))) << which;
        EXPECT_EQ(ReadFile(Path("ini/x.ini")), "[S]\nK=old\n") << which;
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(Path("ini")), {}), 1)
        << "no temporary file left behind";
}

TEST_F(IniFileTest, SavingThroughASymbolicLinkKeepsTheLink) {
    WriteFile(Path("real/kvo.ini"), "[S]\nK=1\n");
    std::filesystem::create_symlink(Path("real/kvo.ini"), Path("link.ini"));
    IniFile ini;
    ASSERT_TRUE(ini.Load(Path("link.ini")));
    ini.WriteString("S", "K", "2");
    ASSERT_TRUE(ini.Save(Path("link.ini")));
    EXPECT_TRUE(std::filesystem::is_symlink(Path("link.ini")));
    EXPECT_EQ(ReadFile(Path("real/kvo.ini")), "[S]\nK=2\n");
}

TEST_F(IniFileTest, UnreadableFileFailsToLoad) {
    MakeDir("adir.ini");
    IniFile ini;
    EXPECT_FALSE(ini.Load(Path("adir.ini")));
}

}  // namespace
}  // namespace kvo::platform
