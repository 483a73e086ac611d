// The immediate event report and the full support report.
#include "common/Support.h"

#include <chrono>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <stdexcept>
#include <unordered_map>
#include <utility>
#include <vector>

#include "CommonPlatform.h"
#include "SupportDetail.h"
#include "common/Common.h"
#include "common/Cypher.h"
#include "common/CypherTexts.h"
#include "common/WebConnect.h"
#include "common/XmlClasses.h"
#include "engine/engine.h"

namespace fs = std::filesystem;

namespace kvo::common {
namespace {

std::optional<char> gCountryLetter;

constexpr const char* kDatabaseName = "KVO";
constexpr const char* kReportLockName = "REPORT.LCK";
constexpr const char* kDeveloperReportCopy = "C:\\Report.xml";

// What both reports need before they build anything.
struct ReportContext {
    std::string dataFolder;   // suite path, with a final backslash
    std::string localData;    // the same as a local folder, with a final "/"
    std::string practiceIni;  // local path
    std::string site;
    std::string version;
};

std::string RootName() {
    return Settings().secondLine ? "RUL" : "KVO";
}

std::string LocalFile(const ReportContext& ctx, const std::string& name) {
    return ctx.localData + name;
}

// What both reports check and read first: the data folder, the connection,
// the practice's site and version.  False when the report cannot go ahead.
bool Prepare(ReportContext& ctx, bool needConnection) {
    ctx.dataFolder = DataFolder();
    if (ctx.dataFolder.empty()) return false;
    std::string local = detail::LocalPath(ctx.dataFolder);
    std::error_code ec;
    if (local.empty() || !fs::is_directory(local, ec)) return false;
    if (local.back() != '/') local += '/';
    ctx.localData = local;
    if (needConnection) {
        TWebConnect web;
        if (!web.Connected()) return false;
    }
    ctx.practiceIni = LocalFile(ctx, Settings().practiceIniName);
    detail::IniDocument ini;
    ini.Load(ctx.practiceIni);
    ctx.site = ini.ReadString("Registration", "Site", "");
    ctx.version = ini.ReadString("Version", RootName(), "");
    return true;
}

char CountryLetter() {
    if (gCountryLetter) return *gCountryLetter;
    try {
        std::string data = DataFolder();
        if (data.empty()) return 'E';
        detail::IniDocument ini;
        ini.Load(detail::LocalPath(data + Settings().practiceIniName));
        std::string country = ini.ReadString(Settings().productFolder, "Country", "E");
        return country.empty() ? 'E' : country.front();
    } catch (...) {
        return 'E';
    }
}

TXmlDElement* AddElement(TXmlDNode& parent, const TXmlDDocument& doc, const char* name) {
    return parent.AppendChild(doc.CreateElement(name));
}

TXmlDElement* StartRequest(TXmlDDocument& doc, const ReportContext& ctx) {
    TXmlDElement* root = AddElement(doc, doc, RootName().c_str());
    root->Attributes().SetValue("site", ctx.site);
    root->Attributes().SetValue("version", ctx.version);
    return root;
}

std::string ProgramPath() {
    const std::string& set = Settings().programPath;
    return set.empty() ? detail::ExecutablePath() : set;
}

// Posts the request and reads the reply, up to the point where the caller
// stores its own bookkeeping.  The reply's "error"
// is returned for showing after the bookkeeping.
struct ReplyOutcome {
    bool accepted = false;
    std::string error;
};

ReplyOutcome Exchange(const ReportContext& ctx, const std::string& request) {
    ReplyOutcome out;
    TXmlDDocument reply;
    try {
        std::string text = detail::PostReport(ReportAddress(), request, CurrentReportTimeouts());
        reply.LoadFromString(text);
    } catch (...) {
        return out;  // nothing of a failed exchange is used
    }
    TXmlDElement* root = reply.DocumentElement();
    if (!root) return out;
    out.error = root->Attributes().Value("error");
    if (root->Attributes().Value("command") == "OK") {
        out.accepted = true;
        std::string site = root->Attributes().Value("site");
        if (!site.empty()) {
            detail::IniDocument ini;
            if (ini.Load(ctx.practiceIni)) {
                ini.WriteString("Registration", "Site", site);
                ini.Save(ctx.practiceIni);
            }
        }
    }
    return out;
}

void ShowReplyError(const ReplyOutcome& out) {
    if (!out.error.empty()) ShowMessageBox(out.error, kMbWarning);
}

// A table part that fails is shown on the supplier's own machines and
// otherwise left out; the report goes on with what it has.
void TableFailed(const std::exception& e) {
    if (Settings().developerWorkstation) {
        try {
            ShowMessageBox(e.what(), 0);
        } catch (...) {
        }
    }
}

std::string Text(engine::TTable& table, const char* field) {
    return table.FieldByName(field).AsString();
}

// ---- the full report -------------------------------------------------------

// The Reported changes of the error table, kept in memory until the server
// accepts the report.  A row is known again by its field values (every field
// but Reported), so rows added, removed or reordered by other workstations in
// the meantime neither receive nor steal a mark.
class PendingErrorMarks {
  public:
    static std::string RowKey(engine::TTable& table) {
        std::string key;
        for (engine::TField* f : table.Fields()) {
            if (detail::SameText(f->FieldName(), "Reported")) continue;
            key += f->IsNull() ? std::string("\x01") : f->AsString();
            key += '\x1f';
        }
        return key;
    }

    void Add(engine::TTable& table) {
        ++pending_[RowKey(table)];
        ++count_;
    }
    std::size_t size() const { return count_; }

    // Marks the remembered rows as reported in one transaction; on failure
    // nothing is marked and the rows go again next time.
    void Commit() {
        if (count_ == 0) return;
        engine::TDatabase& db = engine::Session().Database(kDatabaseName);
        engine::TTable table;
        table.SetDatabaseName(kDatabaseName);
        table.SetTableName("Error");
        db.StartTransaction();
        try {
            table.Open();
            for (table.First(); !table.Eof(); table.Next()) {
                if (table.FieldByName("Reported").AsBoolean()) continue;
                auto it = pending_.find(RowKey(table));
                if (it == pending_.end() || it->second == 0) continue;
                --it->second;
                table.Edit();
                table.FieldByName("Reported").SetAsBoolean(true);
                table.Post();
            }
            table.Close();
            db.Commit();
        } catch (...) {
            try {
                if (table.Active()) table.Cancel();
            } catch (...) {
            }
            db.Rollback();
            throw;
        }
        pending_.clear();
        count_ = 0;
    }

  private:
    std::unordered_map<std::string, std::size_t> pending_;
    std::size_t count_ = 0;
};

struct FullReport {
    detail::Day today{};
    detail::Day practiceDate{};  // P
    detail::Day smsDate{};       // S
    PendingErrorMarks errorMarks;
    // Inventory sections listed, with the "Date" that went out.
    std::vector<std::pair<std::string, std::string>> computersSent;
    TXmlDDocument doc;
};

void AddPractices(TXmlDElement& root, FullReport& r) {
    if (r.practiceDate > r.today) r.practiceDate = r.today - std::chrono::days(1);
    if (!(r.today > r.practiceDate)) return;
    TXmlDElement* practices = AddElement(root, r.doc, "Practices");
    try {
        engine::TTable table;
        table.SetDatabaseName(kDatabaseName);
        table.SetTableName("Practice");
        if (!table.Exists()) return;
        table.Open();
        bool any = false;
        for (table.First(); !table.Eof(); table.Next()) {
            any = true;
            TXmlDElement* p = AddElement(*practices, r.doc, "Practice");
            auto& a = p->Attributes();
            a.SetValue("ID", Text(table, "Practice"));
            a.SetValue("Name", Text(table, "Name"));
            a.SetValue("Street", Text(table, "Street"));
            a.SetValue("City", Text(table, "City"));
            a.SetValue("County", Text(table, "County"));
            a.SetValue("Postcode", Text(table, "Postcode"));
            a.SetValue("Phone", Text(table, "Phone1"));
        }
        if (any) r.practiceDate = r.today;
    } catch (const std::exception& e) {
        TableFailed(e);
    }
}

void AddErrorEvents(TXmlDElement& root, FullReport& r) {
    TXmlDElement* events = AddElement(root, r.doc, "Events");
    try {
        engine::TTable table;
        table.SetDatabaseName(kDatabaseName);
        table.SetTableName("Error");
        table.Open();
        const bool hasClass = table.FindField("Class") != nullptr;
        engine::TField* stack = table.FindField("Stack");
        auto joined = [&](const char* a, const char* b, const char* c, const char* d) {
            return Text(table, a) + "." + Text(table, b) + "." + Text(table, c) + "." +
                   Text(table, d);
        };
        for (table.First(); !table.Eof(); table.Next()) {
            if (table.FieldByName("Reported").AsBoolean()) continue;
            TXmlDElement* ev = AddElement(*events, r.doc, "Event");
            auto& a = ev->Attributes();
            a.SetValue("Date", Text(table, "Date"));
            a.SetValue("Time", Text(table, "Time"));
            a.SetValue("Computer", Text(table, "Computer"));
            a.SetValue("User", Text(table, "Username"));
            a.SetValue("Application", Text(table, "Application"));
            if (hasClass) a.SetValue("Class", Text(table, "Class"));
            a.SetValue("Version", joined("vMajor", "vMinor", "vRelease", "vBuild"));
            a.SetValue("Process", joined("pMajor", "pMinor", "pRelease", "pBuild"));
            a.SetValue("Text", Text(table, "Error"));
            if (stack && !stack->IsNull()) a.SetValue("Stack", stack->AsString());
            r.errorMarks.Add(table);
        }
    } catch (const std::exception& e) {
        TableFailed(e);
    }
}

void AddComputers(TXmlDElement& root, FullReport& r, const ReportContext& ctx) {
    detail::IniDocument inventory;
    inventory.Load(LocalFile(ctx, Settings().inventoryFileName));
    TXmlDElement* computers = nullptr;
    for (const std::string& section : inventory.Sections()) {
        detail::Day date =
            detail::ParseDateOr(inventory.ReadString(section, "Date", ""), detail::kZeroDay);
        detail::Day reported =
            detail::ParseDateOr(inventory.ReadString(section, "Report", ""), detail::kZeroDay);
        if (reported > r.today) reported = detail::kZeroDay;
        if (!(date > reported)) continue;
        if (!computers) computers = AddElement(root, r.doc, "Computers");
        TXmlDElement* c = AddElement(*computers, r.doc, "Computer");
        auto& a = c->Attributes();
        const std::string dateText = detail::DateText(date);
        a.SetValue("Name", section);
        a.SetValue("Date", dateText);
        static const std::pair<const char*, const char*> kKeys[] = {{"Version", "Version"},
                                                                    {"OS", "OS"},
                                                                    {"MAC", "MAC Address"},
                                                                    {"Screen", "Screen"},
                                                                    {"Memory", "Memory"},
                                                                    {"CPU.Speed", "CPU Speed"},
                                                                    {"CPU.Count", "CPU Count"},
                                                                    {"Startup", "Startup"},
                                                                    {"PMS", "PMS"},
                                                                    {"VM", "VM"}};
        for (const auto& [attr, key] : kKeys)
            a.SetValue(attr, inventory.ReadString(section, key, ""));
        r.computersSent.emplace_back(section, dateText);
    }
}

void AddSmsCounts(TXmlDElement& root, FullReport& r) {
    const detail::Day firstOfMonth = detail::FirstOfMonth(r.today);
    if (!(r.smsDate < firstOfMonth)) return;
    r.smsDate = firstOfMonth;
    std::vector<std::pair<std::string, long>> months;  // order of first appearance
    std::unordered_map<std::string, std::size_t> index;
    try {
        engine::TTable table;
        table.SetDatabaseName(kDatabaseName);
        table.SetTableName("SMS");
        if (table.Exists()) {
            table.Open();
            for (table.First(); !table.Eof(); table.Next()) {
                std::string when = Text(table, "DateTime");
                if (when.empty()) when = Text(table, "Prepared");
                detail::Day t =
                    when.empty() ? detail::kZeroDay : detail::ParseDateOr(when, detail::kZeroDay);
                if (!(t < firstOfMonth)) continue;
                std::string month = detail::MonthText(t);
                auto [it, fresh] = index.try_emplace(month, months.size());
                if (fresh) months.emplace_back(month, 0);
                ++months[it->second].second;
            }
        }
    } catch (const std::exception& e) {
        TableFailed(e);
    }
    if (months.empty()) return;
    TXmlDElement* sms = AddElement(root, r.doc, "SMS");
    for (const auto& [month, count] : months) {
        TXmlDElement* p = AddElement(*sms, r.doc, "Period");
        p->Attributes().SetValue("Month", month);
        p->Attributes().SetValue("Count", std::to_string(count));
    }
}

// Reads the practice INI dates and builds the whole request.  Writes nothing.
void BuildFull(FullReport& r, const ReportContext& ctx, char transmission) {
    detail::IniDocument ini;
    ini.Load(ctx.practiceIni);
    r.today = detail::ToDay(CurrentClock().Now());
    r.practiceDate =
        detail::ParseDateOr(ini.ReadString("Report", "Practice", ""), detail::kZeroDay);
    r.smsDate =
        detail::ParseDateOr(ini.ReadString(Settings().productFolder, "SMS", ""), detail::kZeroDay);

    TXmlDElement* root = StartRequest(r.doc, ctx);
    if (transmission == 'X' || transmission == 'E')
        root->Attributes().SetValue("transmission", std::string(1, transmission));
    AddPractices(*root, r);
    AddErrorEvents(*root, r);
    AddComputers(*root, r, ctx);
    AddSmsCounts(*root, r);
}

// What an accepted report keeps: the practice INI dates, the inventory's
// "Report" dates and the error rows' Reported marks.
void StoreBookkeeping(FullReport& r, const ReportContext& ctx) {
    detail::IniDocument ini;
    if (ini.Load(ctx.practiceIni)) {
        ini.WriteString("Report", "Practice", detail::DateText(r.practiceDate));
        ini.WriteString(Settings().productFolder, "SMS", detail::DateText(r.smsDate));
        ini.Save(ctx.practiceIni);
    }
    if (!r.computersSent.empty()) {
        const std::string file = LocalFile(ctx, Settings().inventoryFileName);
        detail::IniDocument inventory;
        if (inventory.Load(file)) {
            for (const auto& [section, date] : r.computersSent)
                inventory.WriteString(section, "Report", date);
            inventory.Save(file);
        }
    }
    try {
        r.errorMarks.Commit();
    } catch (...) {
        // The rows stay unreported and go out again with the next report.
    }
}

}  // namespace

std::string ReportAddress() {
    if (const char* env = std::getenv(kReportUrlVariable); env && *env) return env;
    return DecodeText(kScrambledReportAddress, kStringKey);
}

ReportTimeouts& CurrentReportTimeouts() {
    static ReportTimeouts timeouts;
    return timeouts;
}

void SetReportCountryLetter(std::optional<char> letter) {
    gCountryLetter = letter;
}

bool ReportEvent(const std::string& cls, const std::string& text, const std::string& stack) {
    try {
        if (CountryLetter() == 'S') return false;
        ReportContext ctx;
        if (!Prepare(ctx, true)) return false;
        TXmlDDocument doc;
        TXmlDElement* root = StartRequest(doc, ctx);
        TXmlDElement* events = AddElement(*root, doc, "Events");
        TXmlDElement* ev = AddElement(*events, doc, "Event");
        const LocalDateTime now = CurrentClock().Now();
        auto& a = ev->Attributes();
        a.SetValue("Date", DateTextDMY(now));
        a.SetValue("Time", LongTimeText(now));
        a.SetValue("Computer", ComputerNameText());
        a.SetValue("User", UserNameText());
        a.SetValue("Application", ProgramBaseName());
        a.SetValue("Class", cls);
        a.SetValue("Version", VersionText(FileVersionNumber(ProgramPath())));
        a.SetValue("Process", ProcessVersionText());
        a.SetValue("Text", text);
        a.SetValue("Stack", stack);
        ReplyOutcome out = Exchange(ctx, doc.SaveToString());
        ShowReplyError(out);
        return out.accepted;
    } catch (...) {
        return false;
    }
}

bool SendSupportReport(char transmission) {
    try {
        if (Settings().developerWorkstation && detail::UnderDebugger()) return true;
        ReportContext ctx;
        if (!Prepare(ctx, true)) return false;

        const std::string lockPath = LocalFile(ctx, kReportLockName);
        detail::DeleteLockFileIfFree(lockPath);
        // Another report under way keeps this one out at once: no waiting.
        std::optional<detail::ScopedFileLock> lock;
        lock.emplace(lockPath, 0);
        if (!lock->held()) return false;
        struct LockCleanup {
            std::optional<detail::ScopedFileLock>& lock;
            const std::string& path;
            ~LockCleanup() {
                lock.reset();
                detail::DeleteLockFileIfFree(path);
            }
        } cleanup{lock, lockPath};

        FullReport r;
        BuildFull(r, ctx, transmission);
        const std::string request = r.doc.SaveToString();
        if (Settings().developerWorkstation) {
            try {
                std::string copy = detail::LocalPath(kDeveloperReportCopy);
                if (!copy.empty()) r.doc.SaveToFile(copy);
            } catch (...) {
            }
        }
        ReplyOutcome out = Exchange(ctx, request);
        if (out.accepted) StoreBookkeeping(r, ctx);
        ShowReplyError(out);
        return out.accepted;
    } catch (...) {
        return false;
    }
}

std::string BuildSupportReportText(char transmission) {
    try {
        ReportContext ctx;
        if (!Prepare(ctx, false)) return {};
        FullReport r;
        BuildFull(r, ctx, transmission);
        return r.doc.SaveToString();
    } catch (...) {
        return {};
    }
}

}  // namespace kvo::common
