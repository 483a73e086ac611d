// A practice on drive D: with its practice INI file and table folder, a
// loopback report server the reports are pointed at, and a connection that
// is up unless a test takes it down.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "../shared/SharedFixture.h"
#include "common/Support.h"
#include "common/WebConnect.h"
#include "engine/engine.h"
#include "platform/Ini.h"
#include "support/LoopbackHttpServer.h"

namespace kvo::common::testing {

class ReportFixture : public SharedFixture {
  protected:
    void SetUp() override {
        SharedFixture::SetUp();
        UseDataDriveD();
        WriteAll(PracticeIni(),
                 "[Registration]\r\nSite=S-100\r\n[Version]\r\nKVO=7.2.0\r\n[Kestavo]\r\n"
                 "Country=England\r\n");
        fs::create_directories(DataTables());
        engine::Session().Database("KVO").Params() = {"PATH=" + DataTables().string()};
        server_ = std::make_unique<support::LoopbackHttpServer>();
        // The shared environment puts the address it found back afterwards,
        // so that later tests never fall through to the real support server.
        env_->Set(kReportUrlVariable, server_->Url());
        SetOnline(true);
        CurrentReportTimeouts() = {2000, 2000};
        SetReportCountryLetter(std::nullopt);
    }

    void TearDown() override {
        server_.reset();
        engine::Session().RemoveDatabase("KVO");
        ResetInternetFunctions();
        CurrentReportTimeouts() = {};
        SetReportCountryLetter(std::nullopt);
        SharedFixture::TearDown();
    }

    void SetOnline(bool online) {
        InternetFunctions f;
        f.connectedState = [online](std::uint32_t*) { return online ? 1 : 0; };
        SetInternetFunctions(f);
    }

    fs::path DataFolderLocal() const { return d_ / "Kestavo"; }
    fs::path PracticeIni() const { return DataFolderLocal() / "KVODEN.INI"; }
    fs::path Inventory() const { return DataFolderLocal() / "KVODEN.DAT"; }
    fs::path DataTables() const { return DataFolderLocal() / "Data"; }

    std::string PracticeValue(const char* section, const char* key) const {
        platform::IniFile ini;
        ini.Load(PracticeIni().string());
        return ini.ReadString(section, key, "<none>");
    }

    std::unique_ptr<support::LoopbackHttpServer> server_;
};

}  // namespace kvo::common::testing
