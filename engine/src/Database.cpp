#include <algorithm>

#include "Internal.h"

namespace kvo::engine {

using detail::Format;
using detail::SameText;
using detail::Trim;

namespace {

// The value of one "NAME=value" parameter, "" when it is not set.
std::string Param(const std::vector<std::string>& params, std::string_view name) {
    for (const auto& param : params) {
        const auto eq = param.find('=');
        if (eq != std::string::npos && SameText(Trim(std::string_view(param).substr(0, eq)), name))
            return std::string(Trim(std::string_view(param).substr(eq + 1)));
    }
    return {};
}

}  // namespace

TDatabase::TDatabase(std::string name) : impl_(std::make_unique<Impl>()), name_(std::move(name)) {}

TDatabase::~TDatabase() {
    try {
        Close();
    } catch (...) {
        // Closing never leaves a connection behind; an error here has no caller.
    }
}

std::string TDatabase::Path() const {
    if (std::string path = Param(params_, "PATH"); !path.empty()) return path;
    // A database named by its folder, as tables may name one directly.
    if (name_.find('/') != std::string::npos) return name_;
    return {};
}

std::string TDatabase::ConnectionString() const {
    return Param(params_, "CONNECTION");
}

std::string TDatabase::Location() const {
    if (impl_->conn) return impl_->conn->Where();
    const std::string server = ConnectionString();
    return server.empty() ? "folder " + Path() : "database server";
}

void TDatabase::Open() {
    if (impl_->conn) return;
    // A server, when one is named, serves the tables in place of the folder.
    if (const std::string server = ConnectionString(); !server.empty()) {
        impl_->conn = detail::OpenPostgres(name_, server);
        return;
    }
    const std::string folder = Path();
    if (folder.empty())
        throw EDBEngineError(Format("Database {}: no PATH or CONNECTION parameter is set", name_));
    impl_->conn = detail::OpenSqlite(name_, folder);
}

void TDatabase::Close() {
    if (!impl_->conn) return;
    // Tables use this connection: they close first.
    while (!impl_->openTables.empty())
        impl_->openTables.back()->Close();
    if (impl_->inTransaction) {
        impl_->conn->RollbackQuietly();
        impl_->inTransaction = false;
    }
    impl_->conn.reset();
}

bool TDatabase::Connected() const {
    return impl_->conn != nullptr;
}

void TDatabase::StartTransaction() {
    Open();
    if (impl_->inTransaction || impl_->conn->InTransaction())
        throw EDBEngineError(Format("Database {}: a transaction is already active", name_));
    impl_->SetLockWait();
    impl_->conn->Begin("Database " + name_ + ": starting a transaction");
    impl_->inTransaction = true;
}

void TDatabase::Commit() {
    if (!impl_->inTransaction)
        throw EDBEngineError(Format("Database {}: no transaction is active", name_));
    impl_->CheckTransactionAlive(name_);
    impl_->SetLockWait();
    impl_->conn->Commit("Database " + name_ + ": committing");
    impl_->inTransaction = false;
}

bool TDatabase::InTransaction() const {
    return impl_->inTransaction;
}

void TDatabase::Rollback() {
    if (!impl_->inTransaction)
        throw EDBEngineError(Format("Database {}: no transaction is active", name_));
    impl_->inTransaction = false;
    impl_->conn->RollbackQuietly();
    // The open cursors still list rows the rollback removed, and miss rows it
    // brought back; a removed rowid may even be handed out again.  Their
    // unposted edits belonged to the transaction too.
    for (TTable* table : impl_->openTables) {
        auto& impl = *table->impl_;
        impl.buffer.clear();
        impl.ownsLock = false;
        impl.state = TDataSetState::Browse;
        impl.Requery(table->Filtered(), table->Filter());
    }
}

}  // namespace kvo::engine
