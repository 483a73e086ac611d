#include <gtest/gtest.h>

#include <cstring>

#include "CrashDebugCodec.h"
#include "crashlog/CrashDebug.h"
#include "crashlog/CrashDebugData.h"

namespace crashlog {
namespace {

Bytes B(std::initializer_list<int> v) {
    Bytes b;
    for (int x : v)
        b.push_back(uint8_t(x));
    return b;
}
void PutU32(Bytes& out, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out.push_back(uint8_t(v >> (8 * i)));
}
std::string Hex(ByteSpan b) {
    std::string s;
    char t[3];
    for (auto c : b) {
        snprintf(t, sizeof t, "%02x", c);
        s += t;
    }
    return s;
}

struct RecordCase {
    const char* what;
    Bytes bytes;
    uint16_t version;
    uint32_t line, address;
    bool newProc;
    size_t length;
};

TEST(LineRecords, EachFormDecodes) {
    const RecordCase cases[] = {
        {"1 byte", B({0b11'01010'0}), 6020, 4, 11, false, 1},
        {"1 byte smallest", B({0x00}), 6020, 1, 1, false, 1},
        {"1 byte new procedure", B({0b111'101'01}), 6020, 8, 6, true, 1},
        {"16 bit", B({0x53, 0xF8}), 6020, 0x1F + 1, ((0xF853 >> 4) & 127) + 1, false, 2},
        {"16 bit new procedure", B({0x07, 0x08}), 6020, 2, 1, true, 2},
        // x = 0x0012_0034 -> line step 0x35, address step 0x13.
        {"32 bit", B({0x4B, 0x03, 0x20, 0x01}), 6020, 0x35, 0x13, false, 4},
        // high part 4095: an address step of 0.
        {"32 bit zero address step", B({0x0F, 0x00, 0xF0, 0xFF}), 6020, 1, 0, true, 4},
        {"32 bit escape", B({0xEB, 0xFF, 0xEF, 0xFF, 0x10, 0x27, 0x00, 0x00}), 6020, 10001, 1,
         false, 8},
        // Data up to 422 knows no escape: the same word is a plain step.
        {"32 bit escape word in old data", B({0xEB, 0xFF, 0xEF, 0xFF}), 422, 0xFFFF, 4095, false,
         4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        size_t pos = 0;
        auto r = DecodeLineRecord(c.bytes, pos, c.version);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->LineStep, c.line);
        EXPECT_EQ(r->AddressStep, c.address);
        EXPECT_EQ(r->NewProcedure, c.newProc);
        EXPECT_EQ(pos, c.length);
    }
}

TEST(LineRecords, TruncatedRecordsAreRefused) {
    for (const auto& bytes : {B({0x03}), B({0x0B, 0, 0}), B({0xEB, 0xFF, 0xEF, 0xFF, 0x10})}) {
        size_t pos = 0;
        EXPECT_FALSE(DecodeLineRecord(bytes, pos, 6020)) << Hex(bytes);
    }
}

TEST(LineRecords, EncoderPicksARecordThatDecodesToTheSameSteps) {
    const uint32_t lines[] = {1, 4, 5, 8, 9, 32, 33, 0xFFFF, 0x10000};
    const uint32_t addrs[] = {0, 1, 8, 9, 32, 33, 128, 129, 4094, 4095, 4096, 0x10000};
    for (uint32_t l : lines)
        for (uint32_t a : addrs)
            for (bool np : {false, true}) {
                Bytes out;
                EncodeLineRecord(out, l, a, np);
                size_t pos = 0;
                auto r = DecodeLineRecord(out, pos, 6020);
                ASSERT_TRUE(r);
                EXPECT_EQ(pos, out.size());
                EXPECT_EQ(r->LineStep, l) << l << "/" << a;
                EXPECT_EQ(r->AddressStep, a) << l << "/" << a;
                EXPECT_EQ(r->NewProcedure, np);
            }
}

TEST(Cipher, Md5AndTeaRoundTrip) {
    auto hex = [](const char* s) { return Hex(Md5(ByteSpan((const uint8_t*)s, strlen(s)))); };
    EXPECT_EQ(hex(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(
        hex("12345678901234567890123456789012345678901234567890123456789012345678901234567890"),
        "57edf4a22be3c955ac49da2e2107b67a");
    TeaKey key = DebugKeyFromPassword("secret");
    TeaKey other = DebugKeyFromPassword("");
    for (size_t n = 0; n <= 20; ++n) {
        Bytes plain(n);
        for (size_t i = 0; i < n; ++i)
            plain[i] = uint8_t('a' + i);
        Bytes c = TeaEncipher(key, plain);
        ASSERT_EQ(c.size(), n);
        EXPECT_EQ(TeaDecipher(key, c), plain);
        if (n) {
            EXPECT_NE(TeaDecipher(other, c), plain);
        }
    }
    EXPECT_NE(PasswordCheckWord(key), PasswordCheckWord(other));
}

// Hand-made debug data of one unit, in this copy's format.
struct Fixture {
    TeaKey key = DebugKeyFromPassword("");
    Bytes data;
    void Name(Bytes& out, std::string_view s, bool compoundHead = false) {
        Bytes c = TeaEncipher(key, ByteSpan((const uint8_t*)s.data(), s.size()));
        out.push_back(uint8_t(c.size() | (compoundHead ? 0x80 : 0)));
        out.insert(out.end(), c.begin(), c.end());
    }
};

TEST(LineLookup, CraftedUnitWithEveryRecordForm) {
    Fixture f;
    Bytes recs;
    // (9, 0x100) start; new procedure "TForm.Open" at (10, 0x100)
    EncodeLineRecord(recs, 1, 0, true);
    f.Name(recs, "TForm.Open");
    recs.push_back(0b01'00011'0);             // (12, 0x104)
    recs.push_back(0b001'001'01);             // new procedure at (14, 0x106)
    f.Name(recs, ".Close");                   // keeps the class TForm
    recs.push_back(0xF3);                     // 16-bit: line +11, address +0x80
    recs.push_back(0x57);                     //   -> (25, 0x186)
    EncodeLineRecord(recs, 5, 0x2000, true);  // (30, 0x2186)
    f.Name(recs, "@Helper");
    PutU32(f.data, 2);
    f.Name(f.data, "Other");  // a unit elsewhere, to be skipped
    PutU32(f.data, 1);
    PutU32(f.data, 0x10);
    PutU32(f.data, 0x10);
    PutU32(f.data, 1);
    f.data.push_back(0x00);
    f.Name(f.data, "Forms");
    PutU32(f.data, 9);
    PutU32(f.data, 0x100);
    PutU32(f.data, 0x2200 - 0x100);
    PutU32(f.data, uint32_t(recs.size()));
    f.data.insert(f.data.end(), recs.begin(), recs.end());

    TCrashNameDecoder names(6020, f.key, true);
    struct Case {
        uint32_t offset;
        const char *cls, *proc;
        uint32_t line;
    } cases[] = {
        {0x100, "TForm", "Open", 10},   {0x103, "TForm", "Open", 10},
        {0x104, "TForm", "Open", 12},   {0x106, "TForm", "Close", 14},
        {0x185, "TForm", "Close", 14},  {0x186, "TForm", "Close", 25},
        {0x2185, "TForm", "Close", 25}, {0x2186, "", "_Helper", 30},
        {0x21FF, "", "_Helper", 30},
    };
    for (const auto& c : cases) {
        auto r = LookupLine(f.data, 6020, names, c.offset);
        ASSERT_TRUE(r) << std::hex << c.offset;
        EXPECT_EQ(r->UnitName, "Forms.pas");
        EXPECT_EQ(r->ClassName, c.cls) << std::hex << c.offset;
        EXPECT_EQ(r->ProcName, c.proc) << std::hex << c.offset;
        EXPECT_EQ(r->Line, c.line) << std::hex << c.offset;
    }
    EXPECT_FALSE(LookupLine(f.data, 6020, names, 0xFF));
    EXPECT_FALSE(LookupLine(f.data, 6020, names, 0x2200));

    // Without a frame set-up the first line counts as line 1 of the
    // procedure; with one it is line 0.
    auto r = LookupLine(f.data, 6020, names, 0x105);
    EXPECT_EQ(r->ProcLine, 3);
    CodePeek frame = [](const void*, uint32_t) {
        return std::vector<uint8_t>{0x55, 0x48, 0x89, 0xE5};
    };
    r = LookupLine(f.data, 6020, names, 0x105, frame, nullptr);
    EXPECT_EQ(r->ProcLine, 2);

    // A wrong password still gives the lines; names show enciphered.
    TCrashNameDecoder wrong(6020, DebugKeyFromPassword("x"), false);
    r = LookupLine(f.data, 6020, wrong, 0x104);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->Line, 12);
    EXPECT_EQ(r->UnitName.substr(0, 2), "?p");
    EXPECT_EQ(r->ProcName[0], '?');
    EXPECT_EQ(r->UnitName.find(".pas"), std::string::npos);

    // Every truncation of the data fails or answers, never reads past it.
    for (size_t n = 0; n < f.data.size(); ++n) {
        Bytes cut(f.data.begin(), f.data.begin() + long(n));
        (void)LookupLine(cut, 6020, names, 0x186);
    }
}

TEST(LineLookup, CompoundAndLegacyNames) {
    Fixture f;
    Bytes d;
    PutU32(d, 1);
    f.Name(d, "Sys", true);
    f.Name(d, "Utils");
    PutU32(d, 1);
    PutU32(d, 0);
    PutU32(d, 4);
    PutU32(d, 0);
    TCrashNameDecoder names(6020, f.key, true);
    auto r = LookupLine(d, 6020, names, 2);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->UnitName, "Sys.Utils");
    // Before 502 the top bit is part of the length: the name runs short.
    EXPECT_FALSE(LookupLine(d, 501, TCrashNameDecoder(501, f.key, true), 2));

    // Data before 500: names XORed with the option-string byte, and 405..499
    // starts with a block to skip.
    Bytes old;
    PutU32(old, 2);
    old.push_back(0xAA);
    old.push_back(0xBB);
    PutU32(old, 1);
    old.push_back(3);
    for (char c : std::string("Abc"))
        old.push_back(uint8_t(c) ^ kLegacyNameXor);
    PutU32(old, 7);
    PutU32(old, 0);
    PutU32(old, 4);
    PutU32(old, 0);
    r = LookupLine(old, 450, TCrashNameDecoder(450, f.key, false), 3);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->UnitName, "Abc.pas");
    EXPECT_EQ(r->Line, 7u);
}

TEST(DebugDataWriter, UnitsWhoseLinesFallAreSplitAndStillFound) {
    DebugUnit u;
    u.Name = "a.cpp";
    u.Points = {{20, 0x10, "ns::C.f", 19}, {21, 0x14, "ns::C.f", 19},    {5, 0x20, "g", 5},
                {6, 0x30, "g", 5},         {40, 0x12000, "ns::C.f", 19}, {41, 0x30000, "h", 41}};
    u.EndOffset = 0x30010;
    TeaKey key = DebugKeyFromPassword("pw");
    Bytes d = EncodeDebugData({u}, key);
    TCrashNameDecoder names(6020, key, true);
    struct Case {
        uint32_t off, line;
        const char *cls, *proc;
    } cases[] = {{0x10, 20, "ns::C", "f"}, {0x17, 21, "ns::C", "f"},    {0x20, 5, "", "g"},
                 {0x35, 6, "", "g"},       {0x12000, 40, "ns::C", "f"}, {0x3000F, 41, "", "h"}};
    for (const auto& c : cases) {
        auto r = LookupLine(d, 6020, names, c.off);
        ASSERT_TRUE(r) << std::hex << c.off;
        EXPECT_EQ(r->Line, c.line) << std::hex << c.off;
        EXPECT_EQ(r->ClassName, c.cls);
        EXPECT_EQ(r->ProcName, c.proc);
        EXPECT_EQ(r->UnitName, "a.cpp");
    }
    // The unit index finds the same answers, and misses what the walk misses.
    TCrashUnitIndex index = BuildUnitIndex(d, 6020);
    EXPECT_TRUE(index.Usable);
    EXPECT_EQ(index.Units.size(), 4u);
    for (uint32_t off :
         {0x0u, 0x10u, 0x1Fu, 0x20u, 0x35u, 0x11FFFu, 0x12000u, 0x3000Fu, 0x30010u}) {
        auto walked = LookupLine(d, 6020, names, off);
        auto indexed = LookupLine(d, 6020, names, off, nullptr, nullptr, &index);
        ASSERT_EQ(bool(walked), bool(indexed)) << std::hex << off;
        if (walked) {
            EXPECT_EQ(walked->Line, indexed->Line) << std::hex << off;
        }
    }
    // Overlapping units must be walked in stored order.
    Bytes twice = EncodeDebugData({u, u}, key);
    EXPECT_FALSE(BuildUnitIndex(twice, 6020).Usable);
    // The procedure keeps its own first line across a split.
    EXPECT_EQ(LookupLine(d, 6020, names, 0x12000)->ProcStartLine, 19u);
}

TEST(DebugDataWriter, LongNamesSurviveAsCompounds) {
    std::string cls(150, 'k');
    DebugUnit u{"u.cpp", {{3, 0, cls + ".method", 3}}, 8};
    TeaKey key = DebugKeyFromPassword("");
    auto r = LookupLine(EncodeDebugData({u}, key), 6020, TCrashNameDecoder(6020, key, true), 1);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->ProcName, "method");
    EXPECT_EQ(r->ClassName, std::string(127, 'k'));
}

TEST(Container, RoundTripAndDamage) {
    LibraryDataInput in;
    in.BuildTime = 45000.5;
    in.LeakFlags = 0x1E;
    in.Symbols = {{0, 0x10, 5}, {11, 0x20, 6}};
    in.Options = {1, 2, 3, 4};
    in.Password = "pw";
    in.DebugData = {9, 8, 7};
    Bytes blob = BuildLibraryData(in);
    auto r = ParseLibraryData(blob);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->Version, 6020);
    EXPECT_EQ(r->BuildTime, 45000.5);
    EXPECT_EQ(r->LeakFlags, 0x1E);
    EXPECT_EQ(r->Options, in.Options);
    EXPECT_EQ(r->DebugData, in.DebugData);
    EXPECT_EQ(r->PasswordCheck, PasswordCheckWord(DebugKeyFromPassword("pw")));
    ASSERT_TRUE(r->FindSymbol(11));
    EXPECT_EQ(r->FindSymbol(11)->Offset, 0x20u);
    EXPECT_EQ(r->FindSymbol(1), nullptr);

    for (size_t n = 0; n < blob.size(); ++n)
        EXPECT_FALSE(ParseLibraryData(ByteSpan(blob).first(n))) << n;
    Bytes bad = blob;
    bad[0] ^= 1;
    EXPECT_FALSE(ParseLibraryData(bad));
    bad = blob;
    bad[5] = 0x02;  // version 0x0284 = 644: no older layout
    bad[4] = 0x58;  // 600 is read as 6000
    auto v600 = ParseLibraryData(bad);
    ASSERT_TRUE(v600);
    EXPECT_EQ(v600->Version, 6000);
}

TEST(Container, AppendedLayout) {
    Bytes file = {'E', 'L', 'F', 0};
    size_t start = file.size();
    file.push_back(0x84);  // version 6020
    file.push_back(0x17);
    double t = 1.25;
    uint8_t tb[8];
    std::memcpy(tb, &t, 8);
    file.insert(file.end(), tb, tb + 8);
    Bytes options = {0, 0, 0, 0, 5, 6};
    file.insert(file.end(), options.begin(), options.end());
    PutU32(file, 3);
    file.insert(file.end(), {7, 7, 7});
    PutU32(file, uint32_t(file.size() - start));
    PutU32(file, kCLDataMagic);
    auto r = ParseAppendedLibraryData(file);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->Version, 6020);
    EXPECT_EQ(r->BuildTime, 1.25);
    EXPECT_EQ(r->Options, options);
    EXPECT_EQ(r->DebugData, Bytes({7, 7, 7}));
    for (size_t cut = 1; cut < file.size(); ++cut)
        (void)ParseAppendedLibraryData(ByteSpan(file).subspan(cut));
}

TEST(Names, StoredProcNames) {
    const std::pair<const char*, const char*> cases[] = {
        {"main", "main"},
        {"ns::Widget::Twice(int)", "ns::Widget.Twice"},
        {"std::vector<int, std::allocator<int> >::push_back(int const&)",
         "std::vector<int, std::allocator<int> >.push_back"},
        {"f(std::string const&) [clone .cold]", "f"},
        {"crashlog::Base64[abi:cxx11](std::span<unsigned char const, 18446744073709551615ul>)",
         "crashlog.Base64"},
        {"ns::(anonymous namespace)::Helper::operator()(int) const",
         "ns::(anonymous namespace)::Helper.operator()"},
    };
    for (auto [in, out] : cases)
        EXPECT_EQ(StoredProcName(in), out) << in;
}

TEST(Names, ExportNamesAndRoutines) {
    struct Case {
        const char *name, *unit, *cls, *proc;
        uint8_t kind;
    } cases[] = {
        {"@Forms@TForm@Close$qqrv", "Forms.pas", "TForm", "Close", 3},
        {"@System@@LStrAsg$qqrpvpxv", "System.pas", "", "_LStrAsg", 3},
        {"Unit1.Proc", "Unit1.pas", "", "Proc", 3},
        {"Unit1.TObj.Proc", "Unit1.pas", "TObj", "Proc", 3},
        {"?mangled@@YAXXZ", "", "", "", 0},
        {"plain_export", "", "", "plain_export", 2},
    };
    for (const auto& c : cases) {
        std::string u, k, p;
        EXPECT_EQ(SplitExportName(c.name, u, k, p), c.kind) << c.name;
        if (!c.kind) continue;
        EXPECT_EQ(u, c.unit) << c.name;
        EXPECT_EQ(k, c.cls) << c.name;
        EXPECT_EQ(p, c.proc) << c.name;
    }
    std::string k, p;
    SplitRoutine("Forms.TForm.Close", "forms.pas", k, p);
    EXPECT_EQ(k + "|" + p, "TForm|Close");
    SplitRoutine("Forms.Close", "FORMS.pas", k, p);
    EXPECT_EQ(k + "|" + p, "|Close");
    SplitRoutine("TForm.Close", "forms.pas", k, p);
    EXPECT_EQ(k + "|" + p, "TForm|Close");
    SplitRoutine("Close", "forms.pas", k, p);
    EXPECT_EQ(k + "|" + p, "|Close");
}

}  // namespace
}  // namespace crashlog

namespace crashlog {
namespace {

// A frame set-up at every other procedure start, so that both answers of the
// prologue rule are exercised.
std::vector<uint8_t> AlternatingPeek(const void*, uint32_t offset) {
    if (offset % 2 == 0) return {0x55, 0x48, 0x89, 0xE5};
    return {0x48, 0x83, 0xEC, 0x08};
}

void ExpectSameAnswers(ByteSpan data, uint16_t version, const std::vector<uint32_t>& offsets) {
    TCrashNameDecoder names(version, DebugKeyFromPassword(""), true);
    TCrashUnitIndex index = BuildUnitIndex(data, version);
    TCrashLineTable table(data, version, names);
    for (uint32_t off : offsets) {
        auto slow = LookupLine(data, version, names, off, &AlternatingPeek, nullptr, &index);
        auto fast = table.Lookup(off, &AlternatingPeek, nullptr);
        ASSERT_EQ(slow.has_value(), fast.has_value()) << "offset " << off;
        if (!slow) continue;
        ASSERT_EQ(fast->UnitName, slow->UnitName) << "offset " << off;
        ASSERT_EQ(fast->ClassName, slow->ClassName) << "offset " << off;
        ASSERT_EQ(fast->ProcName, slow->ProcName) << "offset " << off;
        ASSERT_EQ(fast->Line, slow->Line) << "offset " << off;
        ASSERT_EQ(fast->ProcLine, slow->ProcLine) << "offset " << off;
        ASSERT_EQ(fast->ProcStartLine, slow->ProcStartLine) << "offset " << off;
        ASSERT_EQ(fast->ProcStartOffset, slow->ProcStartOffset) << "offset " << off;
    }
}

// The decoded table a module keeps must answer as the sequential lookup
// over the stored bytes: on the library's own data, sampled over its whole
// code and at every unit edge, and on damaged copies of it.
TEST(LineTable, AnswersAsTheSequentialLookup) {
    if (!KVO_HAS_DEBUG_DATA) GTEST_SKIP() << "built without debug data";
    TCrashModulesList modules;
    TCrashModuleInfo* own = modules.FindByHandle(CrashLibraryModuleHandle());
    ASSERT_TRUE(own && own->DebugData && !own->DebugData->empty());
    const Bytes& data = *own->DebugData;
    const TCrashUnitIndex index = BuildUnitIndex(data, own->DataVersion);
    ASSERT_TRUE(index.Usable);
    ASSERT_FALSE(index.Units.empty());

    std::vector<uint32_t> offsets;
    for (const auto& u : index.Units)
        for (uint32_t off :
             {u.Start - 1, u.Start, u.Start + 1, u.Start + u.Size - 1, u.Start + u.Size})
            offsets.push_back(off);
    const uint32_t first = index.Units.front().Start;
    const uint32_t end = index.Units.back().Start + index.Units.back().Size;
    for (uint32_t off = first; off < end + 64; off += 101)
        offsets.push_back(off);
    ExpectSameAnswers(data, own->DataVersion, offsets);

    // Damage inside units' records: both read the same.  (Damage that spoils
    // the unit list sends both to the same sequential walk.)
    std::vector<uint32_t> sample;
    for (size_t i = 0; i < offsets.size(); i += 211)
        sample.push_back(offsets[i]);
    uint32_t state = 12345;
    for (int round = 0; round < 24; ++round) {
        SCOPED_TRACE(round);
        Bytes damaged = data;
        for (int k = 0; k < 4; ++k) {
            state = state * 1103515245u + 12345u;
            size_t pos = index.Units[state % index.Units.size()].HeaderPos;
            ASSERT_TRUE(ReadNameString(data, pos, own->DataVersion));
            const uint32_t reclen = uint32_t(data[pos + 12]) | uint32_t(data[pos + 13]) << 8 |
                                    uint32_t(data[pos + 14]) << 16 | uint32_t(data[pos + 15]) << 24;
            if (reclen == 0) continue;
            damaged[pos + 16 + (state >> 8) % reclen] ^= uint8_t(1 + (state >> 16) % 255);
        }
        ExpectSameAnswers(damaged, own->DataVersion, sample);
    }
}

// A module's table keeps its names once per text for the life of the
// process, so frames may point at them after the table is gone; a table
// without that keeps its own.
TEST(LineTable, LastingNamesAreSharedAndOutliveTheTable) {
    if (!KVO_HAS_DEBUG_DATA) GTEST_SKIP() << "built without debug data";
    TCrashModulesList modules;
    TCrashModuleInfo* own = modules.FindByHandle(CrashLibraryModuleHandle());
    ASSERT_TRUE(own && own->DebugData);
    const Bytes& data = *own->DebugData;
    TCrashNameDecoder names(own->DataVersion, DebugKeyFromPassword(""), true);
    const TCrashUnitIndex index = BuildUnitIndex(data, own->DataVersion);
    ASSERT_FALSE(index.Units.empty());
    const uint32_t offset = index.Units.back().Start + index.Units.back().Size / 2;

    TCrashLineTable::Found first;
    std::string unit, proc;
    {
        TCrashLineTable table(data, own->DataVersion, names, /*lastingNames=*/true);
        ASSERT_TRUE(table.Find(offset, first));
        EXPECT_TRUE(first.Lasting);
        unit = *first.UnitName;
        proc = *first.ProcName;
    }
    TCrashLineTable again(data, own->DataVersion, names, /*lastingNames=*/true);
    TCrashLineTable::Found second;
    ASSERT_TRUE(again.Find(offset, second));
    EXPECT_EQ(second.UnitName, first.UnitName);
    EXPECT_EQ(second.ProcName, first.ProcName);
    EXPECT_EQ(*first.UnitName, unit);
    EXPECT_EQ(*first.ProcName, proc);

    TCrashLineTable privateNames(data, own->DataVersion, names);
    TCrashLineTable::Found third;
    ASSERT_TRUE(privateNames.Find(offset, third));
    EXPECT_FALSE(third.Lasting);
    EXPECT_NE(third.UnitName, first.UnitName);
    EXPECT_EQ(*third.UnitName, unit);
}

// A unit that reaches the last 32-bit offset: the table once took that offset
// for its "no damage" mark and answered nothing where the records answer.
TEST(LineTable, AnswersAtTheLastOffset) {
    const uint8_t data[] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x0a, 0x00, 0x00, 0x00,
                            0xfa, 0xff, 0xff, 0x21, 0x40, 0x0a, 0x00, 0x00, 0x00, 0xa3, 0xa3, 0x0f,
                            0x20, 0x46, 0x00, 0x00, 0x01, 0x00, 0x00, 0x8c, 0x00, 0x0a, 0x00, 0x20};
    TCrashNameDecoder names(0xFFFF, DebugKeyFromPassword(""), true);
    ASSERT_TRUE(LookupLine(data, 0xFFFF, names, 0xFFFFFFFF));
    ExpectSameAnswers(data, 0xFFFF, {0xFFFFFFFE, 0xFFFFFFFF});
}

}  // namespace
}  // namespace crashlog
