#include "CrashOptionsStream.h"

#include <string>

namespace crashlog {

namespace {

class Writer {
  public:
    explicit Writer(ByteBuffer& out) : out_(out) {}

    template <typename T>
    void Num(T value) {
        auto v = static_cast<std::uint64_t>(value);
        for (std::size_t i = 0; i < sizeof(T); ++i)
            out_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
    void Bool(bool value) { out_.push_back(value ? 1 : 0); }
    void Bytes(std::uint64_t value, int count) {
        for (int i = 0; i < count; ++i)
            out_.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
    // The stored form follows the type (see CrashOptionsList.inc).
    void Value(bool value) { Bool(value); }
    void Value(std::uint64_t value) { Bytes(value, 6); }
    void Value(const std::string& value) { Str(value); }
    template <typename T>
    void Value(T value) {
        Num(value);
    }
    void Str(std::string_view s) {
        // A single trailing line break (the first CR LF being the last two
        // characters) is an artefact of multi-line editors and is not kept.
        if (s.size() > 1 && s.find("\r\n") == s.size() - 2) s.remove_suffix(2);
        Num(static_cast<std::uint32_t>(s.size()));
        for (char c : s)
            out_.push_back(static_cast<std::uint8_t>(c) ^ kStringScrambleKey);
    }

  private:
    ByteBuffer& out_;
};

// Plain reads: nothing is delivered past the end, and a value whose bytes
// are not all there keeps what it had.
class Reader {
  public:
    explicit Reader(std::span<const std::uint8_t> data) : data_(data) {}

    std::size_t Position() const { return pos_; }
    bool AtEnd() const { return pos_ >= data_.size(); }

    template <typename T>
    bool Num(T& value) {
        std::uint64_t v = 0;
        if (!Raw(v, sizeof(T))) return false;
        value = static_cast<T>(v);
        return true;
    }
    bool Bool(bool& value) {
        std::uint8_t b;
        if (!Num(b)) return false;
        value = b != 0;
        return true;
    }
    // `count` little-endian bytes into the low part of `value`.
    bool Raw(std::uint64_t& value, std::size_t count) {
        if (data_.size() - pos_ < count) {
            pos_ = data_.size();
            return false;
        }
        std::uint64_t v = 0;
        for (std::size_t i = 0; i < count; ++i)
            v |= std::uint64_t{data_[pos_ + i]} << (8 * i);
        pos_ += count;
        value = v;
        return true;
    }
    // The stored form follows the type (see CrashOptionsList.inc).
    bool Value(bool& value) { return Bool(value); }
    bool Value(std::uint64_t& value) { return Raw(value, 6); }
    bool Value(std::string& value) { return Str(value); }
    template <typename T>
    bool Value(T& value) {
        return Num(value);
    }
    bool Str(std::string& value) {
        if (AtEnd()) return false;
        std::uint32_t len = 0;
        if (!Num(len)) {
            // The length itself is cut: nothing trustworthy is left.
            value.clear();
            return false;
        }
        std::size_t take = std::min<std::size_t>(len, data_.size() - pos_);
        value.resize(take);
        for (std::size_t i = 0; i < take; ++i)
            value[i] = static_cast<char>(data_[pos_ + i] ^ kStringScrambleKey);
        pos_ += take;
        return take == len;
    }

  private:
    std::span<const std::uint8_t> data_;
    std::size_t pos_ = 0;
};

template <typename T>
void SetBit(T& set, int bit, bool on) {
    if (on)
        set = static_cast<T>(set | (T{1} << bit));
    else
        set = static_cast<T>(set & ~(T{1} << bit));
}

// Older data knew fewer report items; the items added since are switched on
// by inserting set bits where they now stand.
struct Insertion {
    int position;  // 1-based
    const char* bits;
};
constexpr Insertion kShownBelow500[] = {{5, "11"},    {10, "1"},      {13, "1111"},
                                        {23, "1111"}, {31, "111111"}, {42, "1111111"}};
constexpr Insertion kShownBelow6000[] = {{6, "1"},    {10, "1"}, {13, "1111"}, {23, "1111"},
                                         {34, "111"}, {41, "1"}, {48, "1"}};

std::uint64_t UpgradeShownFields(std::uint64_t stored, std::span<const Insertion> insertions) {
    std::string bits;
    for (int i = 0; i < kShownFieldCount; ++i)
        bits += ((stored >> i) & 1) ? '1' : '0';
    for (const auto& ins : insertions)
        bits.insert(static_cast<std::size_t>(ins.position - 1), ins.bits);
    std::uint64_t result = 0;
    for (int i = 0; i < kShownFieldCount; ++i)
        if (bits[static_cast<std::size_t>(i)] == '1') result |= std::uint64_t{1} << i;
    return result;
}

// The ladder of library data below 6000, step by step as the versions added
// and moved options (the ladder is listed in CrashOptionsList.inc).
void ReadOldOptions(Reader& r, TCrashModuleOptions& o, unsigned V) {
    TCrashOptionValues& v = OptionsStreamAccess::Values(o);
    r.Bool(v.LoggingEnabled);
    r.Bool(v.ApplyFilters);
    r.Num(v.LogFlags);
    if (V < 500) {
        std::uint8_t showDialog;
        if (r.Num(showDialog)) {
            if (V < 450) showDialog = showDialog == 0 ? 1 : 0;
            if (showDialog == 0) v.DialogKind = 0;
        }
    }
    r.Bool(v.ReportInMessageBody);
    if (V >= 450 && V < 500) {
        static constexpr int kBits[] = {2, 4, 0};
        for (int bit : kBits) {
            std::uint8_t b;
            if (r.Num(b)) SetBit(v.SendFlags, bit, b != 0);
        }
    }
    if (V > 400) {
        r.Bool(v.StoreInLogFile);
        if (r.Num(v.FirstTab) && v.FirstTab == 3) v.FirstTab = 5;
    }
    if (V > 402 && V < 500) {
        std::uint8_t b;
        if (r.Num(b)) SetBit(v.DialogFlags, 6, b != 0);
    }
    if (V >= 420) {
        r.Bool(v.DetectFrozen);
        if (r.Num(v.FrozenSeconds) && V < 422) v.FrozenSeconds /= 1000;
        std::string frozenText;
        if (r.Str(frozenText) && !frozenText.empty())
            OptionsStreamAccess::Text(o, 156) = frozenText;
    }
    if (V >= 450) r.Str(v.SmtpSender);
    r.Str(v.SmtpServer);
    if (V >= 450) r.Num(v.SmtpServerPort);
    if (V > 420) {
        r.Str(v.SmtpLogin);
        r.Str(v.SmtpAuthPassword);
        r.Num(v.TerminateButtonAction);
    }
    {
        std::uint8_t b;
        if (r.Num(b) && b == 0) v.TerminateButtonAction = 0;
    }
    r.Num(v.ErrorsToKeep);
    r.Num(v.ErrorsBeforeTerminateButton);
    r.Str(v.MailRecipients);
    r.Str(v.MailSubject);
    if (r.Num(v.MailMode) && V < 450 && v.MailMode != 0) v.MailMode = v.SmtpServer.empty() ? 1 : 2;

    const std::size_t width = V < 500 ? 4 : 5;
    std::uint64_t shown;
    if (r.Raw(shown, width))
        v.ShownFields = V < 500 ? UpgradeShownFields(shown, kShownBelow500)
                                : UpgradeShownFields(shown, kShownBelow6000);
    if (V < 450) {
        std::uint8_t ignored;
        r.Num(ignored);
    }
    r.Str(v.OutputFolder);

    if (V >= 500) {
        r.Num(v.WebMode);
        r.Str(v.WebAddress);
        r.Str(v.WebLogin);
        r.Str(v.WebAuthPassword);
        r.Num(v.WebServerPort);
        r.Str(v.ExtraAttachments);
        r.Num(v.SendFlags);
        std::uint8_t b;
        if (r.Num(b)) v.DialogFlags = b;
        r.Num(v.AutoCloseSeconds);
        r.Str(v.SupportPage);
        r.Str(v.WebPageTemplate);
        r.Num(v.CallStackFlags);
        if (r.Num(b)) v.BehaviourFlags = b;
        r.Num(v.RepeatAction);
        r.Num(v.RepeatCount);
        r.Num(v.RepeatMinutes);
    }
    SetBit(v.SendFlags, 9, false);
    v.CallStackFlags |= call_stack_flags::ReadFromOldData;
}

}  // namespace

bool OldDataHasText(std::uint16_t version, int index) {
    if (version >= 6000) return index >= 0 && index < kCustomTextCount;
    struct Range {
        int first, last;
    };
    // Texts of the classic dialog, the leak report, the bug trackers and the
    // frozen message came with 6000 (the frozen text had its own string
    // before); data below 500 also lacked the items its report lacked.
    static constexpr Range k5xxx[] = {{0, 25}, {37, 104}, {110, 117}, {123, 145}};
    static constexpr Range k4xx[] = {{0, 25},  {37, 42}, {44, 47},   {49, 50},  {55, 62},
                                     {66, 83}, {92, 97}, {110, 117}, {123, 145}};
    std::span<const Range> ranges =
        version >= 500 ? std::span<const Range>(k5xxx) : std::span<const Range>(k4xx);
    for (const auto& r : ranges)
        if (index >= r.first && index <= r.last) return true;
    return false;
}

void WriteOptionsStream(const TCrashModuleOptions& o, ByteBuffer& out) {
    Writer w(out);
    const TCrashOptionValues& v = o.Values();
#define CRASHLOG_OPTION(Type, Name, Default, Access) w.Value(v.Name);
#include "crashlog/CrashOptionsList.inc"
#undef CRASHLOG_OPTION

    const auto& filters = o.Filters();
    w.Num(static_cast<std::uint32_t>(filters.Count()));
    for (int i = 0; i < filters.Count(); ++i) {
        const auto& f = filters.Item(i);
        w.Bool(f.Enabled);
        w.Str(f.ClassName);
        w.Str(f.ReplacementMessage);
        w.Num(f.Scope);
        w.Num(f.DialogChoice);
        w.Num(f.Handling);
        w.Num(f.FinalAction);
    }

    w.Str(o.MailBody());
    for (int i = 0; i < kCustomTextCount; ++i)
        w.Str(o.RawText(i));
    w.Str(o.TextLanguage());
}

std::size_t ReadOptionsStream(TCrashModuleOptions& o, std::span<const std::uint8_t> data,
                              std::uint16_t version) {
    // Some builds wrote 6000 to 6002 as 600 to 602; those are never 5xx data.
    if (version >= 600 && version <= 602) version = static_cast<std::uint16_t>(version * 10);
    const unsigned V = version;
    const bool old = V < 6000;
    Reader r(data);
    TCrashOptionValues& v = OptionsStreamAccess::Values(o);

    if (!old) {
        // The current layout is the option list in order.
#define CRASHLOG_OPTION(Type, Name, Default, Access) r.Value(v.Name);
#include "crashlog/CrashOptionsList.inc"
#undef CRASHLOG_OPTION
    } else {
        ReadOldOptions(r, o, V);
    }
    v.ShownFields &= kAllShownFields;

    std::uint32_t count = 0;
    if (r.Num(count)) {
        auto& filters = o.Filters();
        filters.Clear();
        // The count comes from the data: a filter is only made while bytes
        // remain, so a damaged count cannot make the loop run away.
        for (std::uint32_t i = 0; i < count && !r.AtEnd(); ++i) {
            TCrashExceptionFilter f;
            if (old) {
                r.Str(f.ClassName);
                r.Str(f.ReplacementMessage);
                f.Enabled = true;
                f.Scope = 2;
                f.DialogChoice = f.ReplacementMessage.empty() ? 0 : 2;
                f.Handling = 0;
                f.FinalAction = 0;
            } else {
                r.Bool(f.Enabled);
                r.Str(f.ClassName);
                r.Str(f.ReplacementMessage);
                r.Num(f.Scope);
                r.Num(f.DialogChoice);
                r.Num(f.Handling);
                r.Num(f.FinalAction);
            }
            filters.Add(std::move(f));
        }
    }

    r.Str(OptionsStreamAccess::MailBody(o));
    for (int i = 0; i < kCustomTextCount; ++i) {
        if (!OldDataHasText(version, i)) continue;
        if (old && i == 68) {
            std::string dropped;
            r.Str(dropped);
        }
        r.Str(OptionsStreamAccess::Text(o, i));
    }
    if (!old) r.Str(OptionsStreamAccess::TextLanguage(o));
    return r.Position();
}

}  // namespace crashlog
