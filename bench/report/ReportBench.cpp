// The full support report over a large practice: 100,000 unreported error
// rows and 50 computers.  Measures the whole request as the report builds it
// (tables read, document built, compact text written), and the document part
// alone against the same document built and written with libxml2's tree API.
#include <benchmark/benchmark.h>
#include <libxml/tree.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "../../tests/support/LoopbackHttpServer.h"
#include "common/Common.h"
#include "common/Support.h"
#include "common/WebConnect.h"
#include "common/XmlClasses.h"
#include "engine/engine.h"

namespace {

namespace fs = std::filesystem;
using namespace kvo;
using namespace kvo::common;

constexpr int kErrorRows = 100000;
constexpr int kComputers = 50;

// One error row as it goes into the request.
struct EventRow {
    std::string date, time, computer, user, app, cls, version, process, text, stack;
};

std::vector<EventRow> gRows;
fs::path gRoot;

void WriteFile(const fs::path& p, const std::string& text) {
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << text;
}

void MakePractice() {
    gRoot = fs::temp_directory_path() / ("kvo-bench-report-" + std::to_string(::getpid()));
    fs::remove_all(gRoot);
    const fs::path c = gRoot / "C", d = gRoot / "D", data = d / "Kestavo" / "Data";
    WriteFile(gRoot / "drives.ini",
              "[C]\r\nPath=" + c.string() + "\r\n[D]\r\nPath=" + d.string() + "\r\n");
    ::setenv("KESTAVO_DRIVES", (gRoot / "drives.ini").c_str(), 1);
    WriteFile(c / "Kestavo" / "KVO.INI", "[Kestavo]\r\nWD=D:\\\r\n");
    WriteFile(d / "Kestavo" / "KVODEN.INI",
              "[Registration]\r\nSite=S-100\r\n[Version]\r\nKVO=7.2.0\r\n");
    std::string inventory;
    for (int i = 0; i < kComputers; ++i)
        inventory += "[PC" + std::to_string(i) +
                     "]\r\nDate=01/12/2026\r\nVersion=7.2\r\nOS=Linux 6.1\r\nMAC Address=00-11-22-"
                     "33-44-55\r\nScreen=1920x1080\r\nMemory=16384\r\nCPU Speed=3000\r\nCPU "
                     "Count=8\r\nStartup=2.50\r\nPMS=1\r\nVM=0\r\n";
    WriteFile(d / "Kestavo" / "KVODEN.DAT", inventory);
    fs::create_directories(data);
    engine::Session().Database("KVO").Params() = {"PATH=" + data.string()};

    using engine::TFieldType;
    engine::TTable t;
    t.SetDatabaseName("KVO");
    t.SetTableName("Error");
    t.FieldDefs() = {{"Date", TFieldType::Date},
                     {"Time", TFieldType::Time},
                     {"Computer", TFieldType::String, 20},
                     {"Username", TFieldType::String, 20},
                     {"Application", TFieldType::String, 20},
                     {"Class", TFieldType::String, 30},
                     {"vMajor", TFieldType::Integer},
                     {"vMinor", TFieldType::Integer},
                     {"vRelease", TFieldType::Integer},
                     {"vBuild", TFieldType::Integer},
                     {"pMajor", TFieldType::Integer},
                     {"pMinor", TFieldType::Integer},
                     {"pRelease", TFieldType::Integer},
                     {"pBuild", TFieldType::Integer},
                     {"Error", TFieldType::Memo},
                     {"Stack", TFieldType::Memo},
                     {"Reported", TFieldType::Logical}};
    t.CreateTable();
    t.Open();
    engine::TDatabase& db = engine::Session().Database("KVO");
    db.StartTransaction();
    for (int i = 0; i < kErrorRows; ++i) {
        EventRow r{"09/12/2026",
                   "14:30:00",
                   "FRONTDESK-" + std::to_string(i % kComputers),
                   "reception",
                   "KVO",
                   "EDBEngineError",
                   "7.2.0." + std::to_string(i % 100),
                   "0.0.0.0",
                   "Record locked by another user <APP_CAL.DB> #" + std::to_string(i),
                   "at TForm1.BTN_GOClick\r\nat TApplication.Run"};
        t.Append();
        t.FieldByName("Date").SetAsString(r.date);
        t.FieldByName("Time").SetAsString(r.time);
        t.FieldByName("Computer").SetAsString(r.computer);
        t.FieldByName("Username").SetAsString(r.user);
        t.FieldByName("Application").SetAsString(r.app);
        t.FieldByName("Class").SetAsString(r.cls);
        t.FieldByName("vMajor").SetAsInteger(7);
        t.FieldByName("vMinor").SetAsInteger(2);
        t.FieldByName("vRelease").SetAsInteger(0);
        t.FieldByName("vBuild").SetAsInteger(i % 100);
        for (const char* f : {"pMajor", "pMinor", "pRelease", "pBuild"})
            t.FieldByName(f).SetAsInteger(0);
        t.FieldByName("Error").SetAsString(r.text);
        t.FieldByName("Stack").SetAsString(r.stack);
        t.FieldByName("Reported").SetAsBoolean(false);
        t.Post();
        gRows.push_back(std::move(r));
    }
    db.Commit();
    t.Close();
}

void SetEventAttrs(TXmlDAttrList& a, const EventRow& r) {
    a.SetValue("Date", r.date);
    a.SetValue("Time", r.time);
    a.SetValue("Computer", r.computer);
    a.SetValue("User", r.user);
    a.SetValue("Application", r.app);
    a.SetValue("Class", r.cls);
    a.SetValue("Version", r.version);
    a.SetValue("Process", r.process);
    a.SetValue("Text", r.text);
    a.SetValue("Stack", r.stack);
}

void BM_FullReportRequest(benchmark::State& state) {
    std::size_t bytes = 0;
    for (auto _ : state) {
        std::string text = BuildSupportReportText('X');
        if (text.empty()) state.SkipWithError("no request built");
        bytes += text.size();
    }
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
}
BENCHMARK(BM_FullReportRequest)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_EventsModel(benchmark::State& state) {
    for (auto _ : state) {
        TXmlDDocument doc;
        auto* root = doc.AppendChild(doc.CreateElement("KVO"));
        root->Attributes().SetValue("site", "S-100");
        root->Attributes().SetValue("version", "7.2.0");
        auto* events = root->AppendChild(doc.CreateElement("Events"));
        for (const EventRow& r : gRows)
            SetEventAttrs(events->AppendChild(doc.CreateElement("Event"))->Attributes(), r);
        std::string text = doc.SaveToString();
        benchmark::DoNotOptimize(text);
    }
}
BENCHMARK(BM_EventsModel)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_EventsLibxml2(benchmark::State& state) {
    auto x = [](const std::string& s) { return reinterpret_cast<const xmlChar*>(s.c_str()); };
    for (auto _ : state) {
        xmlDocPtr doc = xmlNewDoc(BAD_CAST "1.0");
        xmlNodePtr root = xmlNewNode(nullptr, BAD_CAST "KVO");
        xmlDocSetRootElement(doc, root);
        xmlNewProp(root, BAD_CAST "site", BAD_CAST "S-100");
        xmlNewProp(root, BAD_CAST "version", BAD_CAST "7.2.0");
        xmlNodePtr events = xmlNewChild(root, nullptr, BAD_CAST "Events", nullptr);
        for (const EventRow& r : gRows) {
            xmlNodePtr e = xmlNewChild(events, nullptr, BAD_CAST "Event", nullptr);
            xmlNewProp(e, BAD_CAST "Date", x(r.date));
            xmlNewProp(e, BAD_CAST "Time", x(r.time));
            xmlNewProp(e, BAD_CAST "Computer", x(r.computer));
            xmlNewProp(e, BAD_CAST "User", x(r.user));
            xmlNewProp(e, BAD_CAST "Application", x(r.app));
            xmlNewProp(e, BAD_CAST "Class", x(r.cls));
            xmlNewProp(e, BAD_CAST "Version", x(r.version));
            xmlNewProp(e, BAD_CAST "Process", x(r.process));
            xmlNewProp(e, BAD_CAST "Text", x(r.text));
            xmlNewProp(e, BAD_CAST "Stack", x(r.stack));
        }
        xmlBufferPtr buf = xmlBufferCreate();
        // Growth by doubling, as the model's string stream grows.
        xmlBufferSetAllocationScheme(buf, XML_BUFFER_ALLOC_DOUBLEIT);
        xmlNodeDump(buf, doc, root, 0, 0);
        benchmark::DoNotOptimize(xmlBufferContent(buf));
        xmlBufferFree(buf);
        xmlFreeDoc(doc);
    }
}
BENCHMARK(BM_EventsLibxml2)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// The whole accepted report once: request, loopback POST, and the 100,000
// Reported marks committed.  Runs last, since it leaves nothing unreported.
void BM_AcceptedFullReport(benchmark::State& state) {
    kvo::support::LoopbackHttpServer server;
    server.Reply(R"(<Reply command="OK"/>)");
    ::setenv(kReportUrlVariable, server.Url().c_str(), 1);
    InternetFunctions online;
    online.connectedState = [](std::uint32_t*) { return 1; };
    SetInternetFunctions(online);
    for (auto _ : state)
        if (!SendSupportReport('X')) state.SkipWithError("report not accepted");
    ResetInternetFunctions();
}
BENCHMARK(BM_AcceptedFullReport)->Unit(benchmark::kMillisecond)->Iterations(1);

// Keeps each run's time per iteration so that the ratio can be printed.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    RatioReporter() : ConsoleReporter(OO_None) {}
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs)
            ms[r.benchmark_name()] = r.GetAdjustedRealTime();
    }
    std::map<std::string, double> ms;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    MakePractice();
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const std::string model = "BM_EventsModel/min_time:2.000";
    const std::string libxml = "BM_EventsLibxml2/min_time:2.000";
    if (reporter.ms.count(model) && reporter.ms.count(libxml) && reporter.ms[libxml] > 0)
        std::printf("Events document, this model / libxml2 tree API: %.2f ms / %.2f ms = %.2f\n",
                    reporter.ms[model], reporter.ms[libxml],
                    reporter.ms[model] / reporter.ms[libxml]);
    benchmark::Shutdown();
    engine::Session().RemoveDatabase("KVO");
    fs::remove_all(gRoot);
    return 0;
}
