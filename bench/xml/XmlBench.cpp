// Building, writing and loading documents of the size the support report
// sends and receives: a few hundred to a few thousand elements.
#include <benchmark/benchmark.h>

#include <sstream>

#include "common/XmlClasses.h"

namespace {

using namespace kvo::common;

// A report-like document: `rows` elements with five attributes and a text.
std::unique_ptr<TXmlDDocument> BuildDocument(int rows) {
    auto doc = std::make_unique<TXmlDDocument>();
    auto* root = doc->AppendChild(doc->CreateElement("Report"));
    root->Attributes().SetValue("Site", "North & South");
    for (int i = 0; i < rows; ++i) {
        auto* row = root->AppendChild(doc->CreateElement("Error"));
        TXmlDAttrList& a = row->Attributes();
        a.SetValue("Id", std::to_string(i));
        a.SetValue("Date", "10/12/2026");
        a.SetValue("User", "reception");
        a.SetValue("Computer", "FRONTDESK-01");
        a.SetValue("Class", "EDBEngineError");
        row->AppendChild(doc->CreateTextNode("Record locked by another user <table APPT.DB>"));
    }
    return doc;
}

void BM_Build(benchmark::State& state) {
    for (auto _ : state)
        benchmark::DoNotOptimize(BuildDocument(static_cast<int>(state.range(0))));
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Build)->Arg(100)->Arg(2000);

void BM_SaveCompact(benchmark::State& state) {
    auto doc = BuildDocument(static_cast<int>(state.range(0)));
    std::size_t bytes = 0;
    for (auto _ : state) {
        std::string text = doc->SaveToString();
        bytes += text.size();
        benchmark::DoNotOptimize(text);
    }
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
}
BENCHMARK(BM_SaveCompact)->Arg(100)->Arg(2000);

void BM_SaveFormatted(benchmark::State& state) {
    auto doc = BuildDocument(static_cast<int>(state.range(0)));
    std::size_t bytes = 0;
    for (auto _ : state) {
        std::ostringstream out;
        doc->SaveToStream(out, true);
        bytes += out.view().size();
    }
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
}
BENCHMARK(BM_SaveFormatted)->Arg(100)->Arg(2000);

void BM_LoadFromString(benchmark::State& state) {
    const std::string text = BuildDocument(static_cast<int>(state.range(0)))->SaveToString();
    TXmlDDocument doc;
    for (auto _ : state)
        doc.LoadFromString(text);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_LoadFromString)->Arg(100)->Arg(2000);

}  // namespace
