// The report's general part, its three tables and the pieces' assembly.

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>

#include "crashlog/CrashReport.h"
#include "report/ReportParts.h"
#include "report/ReportText.h"

namespace crashlog {

using namespace report;

namespace report {

std::string Text(const TCrashModuleOptions& options, int index) {
    return options.Text(index);
}

std::string EmptySection(const std::string& title) {
    return title + ":\r\n" + std::string(title.size() + 1, '-') + "\r\n\r\n";
}

}  // namespace report

namespace {

// A fresh options object for an input that names none.
struct TOptionsRef {
    explicit TOptionsRef(const TCrashModuleOptions* given) {
        if (!given) own = std::make_unique<TCrashModuleOptions>();
        ptr = given ? given : own.get();
    }
    std::unique_ptr<TCrashModuleOptions> own;
    const TCrashModuleOptions* ptr;
};

std::string VersionText(const std::string& version) {
    return version == "0.0.0.0" ? std::string() : version;
}

std::string NameWithDescription(const std::string& path, const std::string& description) {
    std::string out = FileNameOf(path);
    if (!description.empty()) out += " - (" + description + ")";
    return out;
}

// The command line without the program: a leading quoted program path loses
// its quotes, then the program's full path (or, as Linux programs are often
// started by a relative name, the first word) is dropped.
std::string Parameters(const TCrashReportInput& in) {
    std::string cmd = Trim(in.CommandLine);
    if (cmd.starts_with('"')) {
        cmd.erase(0, 1);
        const size_t q = cmd.find('"');
        if (q != std::string::npos) cmd.erase(q, 1);
    }
    if (!in.MainModulePath.empty() && cmd.starts_with(in.MainModulePath))
        return Trim(
            std::string_view(cmd).substr(std::min(cmd.size(), in.MainModulePath.size() + 1)));
    const size_t blank = cmd.find(' ');
    return blank == std::string::npos ? std::string() : Trim(std::string_view(cmd).substr(blank));
}

std::string CompilationDate(const TCrashReportInput& in) {
    if (in.BuildTime == 0) return {};
    TCrashTimeStamp stamp;
    stamp.UnixSeconds = std::llround((in.BuildTime - 25569.0) * 86400.0);
    stamp.UtcOffsetSeconds = in.ExceptionTime.UtcOffsetSeconds;
    return FormatReportDate(stamp);
}

// ---- tables ---------------------------------------------------------------------

class TTable {
  public:
    explicit TTable(std::vector<std::string> labels) : labels_(std::move(labels)) {
        for (const auto& l : labels_)
            widths_.push_back(l.size());
    }
    void AtLeast(size_t column, size_t width) {
        widths_[column] = std::max(widths_[column], width);
    }
    size_t Width(size_t column) const { return widths_[column]; }
    // Sum of the column widths.
    size_t Total() const {
        size_t w = 0;
        for (size_t x : widths_)
            w += x;
        return w;
    }
    size_t RowLength() const { return Total() + widths_.size() + 1; }
    void Rule(std::string& out) const { out.append(RowLength(), '-').append("\r\n"); }
    template <class Values>
    void Row(std::string& out, const Values& values) const {
        out += '|';
        for (size_t i = 0; i < widths_.size(); ++i) {
            const std::string_view v = values[i];
            out.append(v.substr(0, widths_[i]));
            if (v.size() < widths_[i]) out.append(widths_[i] - v.size(), ' ');
            out += '|';
        }
        out += "\r\n";
    }
    // Title, rule, labels, rule; the rows follow, then Close.
    void Open(std::string& out, const std::string& title) const {
        out.append(title).append(":\r\n");
        Rule(out);
        Row(out, labels_);
        Rule(out);
    }
    void Close(std::string& out) const {
        Rule(out);
        out += "\r\n";
    }

  private:
    std::vector<std::string> labels_;
    std::vector<size_t> widths_;
};

bool Printed(const StackEntry& e, std::uint8_t callStackFlags) {
    switch (e.Kind) {
        case 4:
            return true;
        case 2:
            return callStackFlags & call_stack_flags::ListExportOnlyEntries;
        case 3:
            return callStackFlags & call_stack_flags::ListUnitOnlyEntries;
        default:
            return false;
    }
}

std::string LineText(const StackEntry& e) {
    if (e.Line == 0) return {};
    return std::to_string(e.Line) + "[" + std::to_string(e.ProcLine) + "]";
}

class TThreadHeaders {
  public:
    TThreadHeaders(const TCrashReportInput& in, const TCrashModuleOptions& o) : in_(in), o_(o) {}

    std::string Header(const StackEntry& e) {
        if (e.IsLeak) {
            const std::string type = e.LeakType == "Data" ? Text(o_, 106) : e.LeakType;
            return "+" + Text(o_, 105) + ": " + Text(o_, 107) + "=" + type + "; " + Text(o_, 108) +
                   "=" + std::to_string(e.LeakSize) + "; " + Text(o_, 109) + "=" +
                   std::to_string(e.LeakCount);
        }
        std::string h;
        if (!e.OwnStack)
            h = Text(o_, 101) + ": ";
        else if (e.IsRaisePoint)
            h = "*" + Text(o_, 99) + ": ";
        else
            h = Text(o_, 100) + ": ";
        const auto id = static_cast<std::int64_t>(e.ThreadId);
        const TCrashReportThread* t = Find(e.ThreadId);
        h += Text(o_, 102) + "=" + std::to_string(id < 0 ? 0 : id) + "; " + Text(o_, 103) + "=" +
             Priority(t);
        h += "; " + Text(o_, 104) + "=" + (t ? t->ClassName : std::string());
        if (t && t->IsMain) h += "; [" + Text(o_, 98) + "]";
        if (!e.Note.empty()) h += " (" + e.Note + ")";
        return h;
    }

  private:
    const TCrashReportThread* Find(std::uint64_t id) const {
        for (const auto& t : in_.Threads)
            if (t.ThreadId == id) return &t;
        return nullptr;
    }
    std::string Priority(const TCrashReportThread* t) {
        if (!t) return "??";
        if (t->Priority != kUnreadThreadPriority) return std::to_string(t->Priority);
        // Read once per build; the caller keeps it in its registry.
        auto it = read_.find(t->ThreadId);
        if (it == read_.end()) {
            std::int32_t p = 0;
            const bool ok = in_.ReadThreadPriority && in_.ReadThreadPriority(t->ThreadId, p);
            it = read_.emplace(t->ThreadId, ok ? std::to_string(p) : std::string("??")).first;
        }
        return it->second;
    }

    const TCrashReportInput& in_;
    const TCrashModuleOptions& o_;
    std::map<std::uint64_t, std::string> read_;
};

std::string BuildCallStackTable(const TCrashReportInput& in, const TCrashModuleOptions& o) {
    TTable table({Text(o, 92), Text(o, 93), Text(o, 94), Text(o, 95), Text(o, 96), Text(o, 97)});
    table.AtLeast(0, kAddressDigits);
    const std::uint8_t flags = o.CallStackFlags();
    static const std::vector<StackEntry> kNone;
    const std::vector<StackEntry>& entries = in.Stack ? in.Stack->Items : kNone;
    // First pass: the widths over the printed entries only.
    size_t printed = 0, threads = 0;
    const StackEntry* prev = nullptr;
    for (const StackEntry& e : entries) {
        if (!Printed(e, flags)) continue;
        ++printed;
        if (!prev || prev->ThreadId != e.ThreadId || prev->OwnStack != e.OwnStack || e.IsRaisePoint)
            ++threads;
        prev = &e;
        table.AtLeast(1, e.Module ? FileNameOf(e.Module->Name).size() : 0);
        table.AtLeast(2, e.UnitName.size());
        table.AtLeast(3, e.ClassName.size());
        table.AtLeast(4, e.ProcName.size());
        table.AtLeast(5, LineText(e).size());
    }
    const size_t inner = table.Total() + 5;
    std::string out;
    // One buffer for all rows: five rows per entry and seven per block at most.
    out.reserve((printed * 5 + threads * 7 + 8) * (table.RowLength() + 2));
    table.Open(out, Text(o, 8));
    TThreadHeaders headers(in, o);
    prev = nullptr;
    std::string values[6];
    for (const StackEntry& e : entries) {
        if (!Printed(e, flags)) continue;
        if (!prev || prev->ThreadId != e.ThreadId || prev->OwnStack != e.OwnStack ||
            e.IsRaisePoint) {
            if (prev) {
                out.append("|").append(inner, '-').append("|\r\n");
                if (e.OwnStack) out.append("|").append(inner, ' ').append("|\r\n");
            }
            std::string h = headers.Header(e);
            h.resize(inner, ' ');
            out.append("|").append(h).append("|\r\n");
            out.append("|").append(inner, '-').append("|\r\n");
        }
        prev = &e;
        values[0] = AddressText(e.Address);
        values[1] = e.Module ? FileNameOf(e.Module->Name) : std::string();
        values[2] = e.UnitName;
        values[3] = e.ClassName;
        values[4] = e.ProcName;
        values[5] = LineText(e);
        table.Row(out, values);
    }
    table.Close(out);
    return out;
}

std::string PriorityClassName(std::uint32_t c) {
    switch (c) {
        case 0x20:
            return "Normal";
        case 0x40:
            return "Low";
        case 0x80:
            return "High";
        case 0x100:
            return "Real-Time";
        case 0x4000:
            return "Below-Normal";
        case 0x8000:
            return "Above-Normal";
        default:
            return {};
    }
}

template <size_t N, class Rows, class Fill>
std::string BuildListTable(const std::string& title, std::vector<std::string> labels,
                           const Rows& rows, size_t firstMin, Fill fill) {
    TTable table(std::move(labels));
    table.AtLeast(0, firstMin);
    std::vector<std::array<std::string, N>> cells;
    cells.reserve(rows.size());
    for (const auto& r : rows) {
        cells.emplace_back();
        fill(r, cells.back());
        for (size_t c = 0; c < N; ++c)
            table.AtLeast(c, cells.back()[c].size());
    }
    std::string out;
    out.reserve((cells.size() + 6) * (table.RowLength() + 2) + title.size());
    table.Open(out, title);
    for (const auto& row : cells)
        table.Row(out, row);
    table.Close(out);
    return out;
}

std::string BuildModulesTable(const TCrashReportInput& in, const TCrashModuleOptions& o) {
    // The handle is zero-padded to the column's width, known only after the
    // widths: fill it in afterwards.
    size_t handleWidth = std::max<size_t>(kAddressDigits, Text(o, 126).size());
    for (const auto& m : in.Modules)
        handleWidth = std::max(handleWidth, Hex(m.Handle, 1).size());
    return BuildListTable<7>(Text(o, 10),
                             {Text(o, 126), Text(o, 127), Text(o, 128), Text(o, 129), Text(o, 130),
                              Text(o, 131), Text(o, 132)},
                             in.Modules, handleWidth,
                             [&](const TCrashReportModule& m, std::array<std::string, 7>& c) {
                                 c[0] = Hex(m.Handle, int(handleWidth));
                                 c[1] = FileNameOf(m.FileName);
                                 c[2] = m.Description;
                                 c[3] = VersionText(m.Version);
                                 c[4] = std::to_string(m.FileSize);
                                 c[5] = FormatFileTime(m.Modified);
                                 c[6] = FolderOf(m.FileName);
                             });
}

std::string BuildProcessesTable(const TCrashReportInput& in, const TCrashModuleOptions& o) {
    return BuildListTable<8>(Text(o, 12),
                             {Text(o, 133), Text(o, 134), Text(o, 135), Text(o, 136), Text(o, 137),
                              Text(o, 138), Text(o, 139), Text(o, 140)},
                             in.Processes, 0,
                             [](const TCrashProcessInfo& p, std::array<std::string, 8>& c) {
                                 c[0] = std::to_string(p.ProcessId);
                                 c[1] = FileNameOf(p.Name);
                                 c[2] = p.Description;
                                 c[3] = VersionText(p.Version);
                                 c[4] = std::to_string(p.Memory);
                                 c[5] = PriorityClassName(p.PriorityClass);
                                 c[6] = p.Threads ? std::to_string(p.Threads) : std::string("??");
                                 c[7] = FolderOf(p.Name);
                             });
}

std::string BuildGeneralPart(const TCrashReportInput& in, const TCrashModuleOptions& o) {
    const std::uint64_t fields = o.ShownFields();
    auto shown = [fields](int bit) { return ((fields >> bit) & 1) != 0; };
    const TCrashSystemValues& s = in.System;
    TCrashAlignedList list(0);

    list.AddSection(Text(o, 37));
    list.AddItem(Text(o, 38), FormatReportDate(in.StartTime), shown(0));
    list.AddItem(Text(o, 39), NameWithDescription(in.MainModulePath, in.MainModuleDescription),
                 shown(1));
    list.AddItem(Text(o, 40), VersionText(in.MainModuleVersion), shown(2));
    list.AddItem(Text(o, 41), Parameters(in), shown(3));
    list.AddItem(Text(o, 42), CompilationDate(in), shown(4));
    list.AddItem(Text(o, 43),
                 FormatDuration(in.ExceptionTime.UnixSeconds - in.StartTime.UnixSeconds), shown(5));

    list.AddSection(Text(o, 44));
    list.AddItem(Text(o, 45), FormatReportDate(in.ExceptionTime), shown(6));
    list.AddItem(Text(o, 46), in.Address ? AddressText(in.Address) : std::string(), shown(7));
    list.AddItem(Text(o, 47), NameWithDescription(in.ModulePath, Trim(in.ModuleDescription)),
                 shown(8));
    list.AddItem(Text(o, 48), VersionText(in.ModuleVersion), shown(9));
    list.AddItem(Text(o, 49), in.ValidObject ? in.ClassName : "Unknown exception type", shown(10));
    list.AddItem(Text(o, 50), ReportExceptionMessage(in), shown(11));
    list.AddItem(Text(o, 51), Hex(in.Id, 4), shown(12));
    list.AddItem(Text(o, 52), "1", shown(13));
    list.AddItem(Text(o, 53), "New", shown(14));
    list.AddItem(Text(o, 54), "", shown(15));

    list.AddSection(Text(o, 55));
    list.AddItem(Text(o, 56), Cut(s.UserId, 255), shown(16));
    list.AddItem(Text(o, 57), s.UserName, shown(17));
    list.AddItem(Text(o, 58), in.EmailAddress, shown(18));
    list.AddItem(Text(o, 59), s.Company, shown(20));
    list.AddItem(Text(o, 60), s.Privileges, shown(19));

    const bool gui = in.ProgramKind == TCrashProgramKind::Gui;
    list.AddSection(Text(o, 61));
    list.AddItem(Text(o, 62), Cut(s.ForegroundClass, 255), gui && shown(21));
    list.AddItem(Text(o, 63), BlankControlRuns(Cut(s.ForegroundText, 255)), gui && shown(22));
    list.AddItem(Text(o, 64), in.FocusClass, gui && shown(23));
    list.AddItem(Text(o, 65), BlankControlRuns(in.FocusText), gui && shown(24));

    list.AddSection(Text(o, 66));
    const std::string* computer[] = {&s.TotalMemory,  &s.FreeMemory, &s.TotalDisk,   &s.FreeDisk,
                                     &s.SystemUpTime, &s.Processor,  &s.DisplayMode, &s.DisplayDpi,
                                     &s.VideoCard,    &s.Printer};
    list.AddItem(Text(o, 67), Cut(s.ComputerName, 15), shown(25));
    for (int i = 0; i < 10; ++i)
        list.AddItem(Text(o, 68 + i), *computer[i], shown(26 + i));

    list.AddSection(Text(o, 78));
    const std::string* os[] = {&s.OsType, &s.OsBuild, &s.OsUpdate, &s.Language, &s.Charset};
    for (int i = 0; i < 5; ++i)
        list.AddItem(Text(o, 79 + i), *os[i], shown(36 + i));

    list.AddSection(Text(o, 84));
    const std::string* net[] = {&s.IpAddress, &s.SubnetMask, &s.Gateway, &s.Dns1, &s.Dns2, &s.Dhcp};
    for (int i = 0; i < 6; ++i)
        list.AddItem(Text(o, 85 + i), *net[i], shown(41 + i));

    return list.Finish(std::string(kReportFirstLine) + "\r\n\r\n");
}

}  // namespace

std::string ReportExceptionMessage(const TCrashReportInput& in) {
    if (!in.IsExceptionClass) return "Unknown error message.";
    std::string msg = in.Message;
    const TCrashAccessViolation& av = in.AccessViolation;
    if (av.Present) {
        const std::string fault = AddressText(av.FaultAddress);
        const std::string what = std::string(av.Write ? "Write" : "Read") + " of address " +
                                 AddressText(av.AccessedAddress);
        if (!av.ModulePath.empty())
            msg = "Access violation at address " + fault + " in module '" +
                  FileNameOf(av.ModulePath) + "'. " + what;
        else
            msg = "Access violation at address " + fault + ". " + what;
    }
    if (!msg.empty() && !msg.ends_with('.')) msg += '.';
    return msg;
}

std::vector<TCrashReportModule> ReportModules(const TCrashModulesList& modules) {
    std::vector<TCrashReportModule> rows;
    rows.reserve(modules.Items().size());
    for (const auto& m : modules.Items()) {
        if (!m) continue;
        rows.push_back({m->Handle, m->Name, m->Description, m->Version, m->Size, m->LastModified});
    }
    return rows;
}

void TCrashBugReport::Build(const TCrashReportInput& input) {
    *this = TCrashBugReport();
    const TOptionsRef ref(input.Options);
    const TCrashModuleOptions& o = *ref.ptr;
    general_ = BuildGeneralPart(input, o);
    callStack_ = BuildCallStackTable(input, o);
    const std::uint8_t logFlags = o.LogFlags();
    if (logFlags & log_flags::LogModuleLists) {
        modules_ = BuildModulesTable(input, o);
        processes_ = BuildProcessesTable(input, o);
    } else {
        modules_ = EmptySection(report::Text(o, 10));
        processes_ = EmptySection(report::Text(o, 12));
    }
    if (logFlags & log_flags::LogCpuAndAssembler) {
        BuildAssembler(input, o, asmTitle_, asmListing_);
        cpu_ = BuildCpuPart(input, o);
    } else {
        const std::string title = report::Text(o, 14);
        asmTitle_ = title + ":\r\n" + std::string(title.size() + 1, '-');
        cpu_ = EmptySection(report::Text(o, 141));
    }
    errorHeader_ = report::Text(o, 4) + "\r\n\r\n";
    std::string last = ReportExceptionMessage(input);
    for (char& c : last)
        if (static_cast<unsigned char>(c) < 32 && c != '\r' && c != '\n') c = ' ';
    lastMessage_ = std::move(last);
    customTitle_ = report::Text(o, 91);
    requestTitle_ = report::Text(o, 123);
    customShown_ = o.ShownField(47);
    reproduceOn_ = (logFlags & log_flags::ReproduceRequest) != 0;
    Join();
    logCopy_ = text_;
    sendCopy_ = text_;
}

void TCrashBugReport::Join() {
    text_.clear();
    text_.reserve(general_.size() + callStack_.size() + modules_.size() + processes_.size() +
                  asmTitle_.size() + asmListing_.size() + cpu_.size() + 8);
    text_.append(general_)
        .append("\r\n")
        .append(callStack_)
        .append(modules_)
        .append(processes_)
        .append(asmTitle_)
        .append("\r\n")
        .append(asmListing_)
        .append("\r\n")
        .append(cpu_);
}

void TCrashBugReport::InsertSection(const std::string& section) {
    const std::string anchor = general_ + "\r\n";
    const std::string inserted = section + "\r\n";
    // A copy that the pass replaced (the whole log) holds this report further
    // on, or not at all; it is changed only where this report's general part
    // stands, never at a guessed offset.
    auto insert = [&](std::string& copy) {
        const size_t at = copy.starts_with(anchor) ? 0 : copy.rfind(anchor);
        if (at == std::string::npos) return;
        copy.insert(at + anchor.size(), inserted);
    };
    insert(logCopy_);
    insert(sendCopy_);
    general_ += "\r\n" + section;
    Join();
}

void TCrashBugReport::AddCustomInformation(const std::vector<std::string>& lines) {
    if (lines.empty() || !customShown_) return;
    TCrashAlignedList list(7);
    list.AddSection(customTitle_);
    for (const std::string& line : lines) {
        // A line without "=" keeps its text as the label rather than vanish.
        const size_t eq = line.find('=');
        if (eq == std::string::npos)
            list.AddItem(Trim(line), "");
        else
            list.AddItem(Trim(std::string_view(line).substr(0, eq)),
                         Trim(std::string_view(line).substr(eq + 1)));
    }
    InsertSection(list.Finish());
}

void TCrashBugReport::AddStepsToReproduce(const std::string& text) {
    if (text.empty() || !reproduceOn_) return;
    TCrashAlignedList list(7);
    list.AddSection(requestTitle_);
    list.AddItem("", text);
    InsertSection(list.Finish());
}

void TCrashBugReport::SetEmailAddress(const std::string& address) {
    ReplaceEmailAddress(general_, address);
    ReplaceEmailAddress(logCopy_, address);
    ReplaceEmailAddress(sendCopy_, address);
    Join();
}

std::string BuildBugReport(const TCrashReportInput& input) {
    TCrashBugReport report;
    report.Build(input);
    report.AddCustomInformation(input.CustomData);
    report.AddStepsToReproduce(input.ReproduceText);
    return report.Text();
}

}  // namespace crashlog
