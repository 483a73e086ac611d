// The file backend: every table of a folder in one SQLite database file.
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/vfs.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unordered_map>

#include "Connection.h"
#include "platform/Sys.h"
#include "values.h"

namespace kvo::engine::detail {

namespace {

bool IsLockError(int rc) {
    const int primary = rc & 0xFF;
    return primary == SQLITE_BUSY || primary == SQLITE_LOCKED;
}

[[noreturn]] void Raise(sqlite3* db, int rc, const std::string& context) {
    const std::string detail = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    if (IsLockError(rc)) throw EDBEngineError(LockedMessage(context, detail));
    throw EDBEngineError(Format("{}: {}", context, detail));
}

// Declared column types: the affinity SQLite derives from each keeps texts
// as texts ("0123" stays "0123") and the prefix brings the field type back.
std::string DeclaredType(const TFieldDef& def) {
    switch (def.DataType) {
        case TFieldType::String:
            return def.Size > 0 ? Format("VARCHAR({})", def.Size) : "VARCHAR";
        case TFieldType::Integer:
            return "INTEGER";
        case TFieldType::Number:
            return "DOUBLE";
        case TFieldType::Currency:
            return "CURRENCY_REAL";
        case TFieldType::Logical:
            return "LOGICAL_INT";
        case TFieldType::Date:
            return "DATE_TEXT";
        case TFieldType::Time:
            return "TIME_TEXT";
        case TFieldType::Memo:
            return "MEMO_TEXT";
    }
    return "VARCHAR";
}

TFieldDef DefFromColumn(const std::string& name, const std::string& declared, bool notNull) {
    TFieldDef def;
    def.Name = name;
    def.Required = notNull;
    const std::string t = UpperAscii(std::string(declared));
    auto starts = [&](const char* prefix) { return t.rfind(prefix, 0) == 0; };
    if (starts("VARCHAR")) {
        def.DataType = TFieldType::String;
        const auto open = t.find('(');
        if (open != std::string::npos) {
            if (auto size = ParseInteger(t.substr(open + 1, t.find(')') - open - 1)))
                def.Size = static_cast<int>(std::clamp<std::int64_t>(*size, 0, 1 << 30));
        }
    } else if (starts("CURRENCY")) {
        def.DataType = TFieldType::Currency;
    } else if (starts("LOGICAL")) {
        def.DataType = TFieldType::Logical;
    } else if (starts("DATE")) {
        def.DataType = TFieldType::Date;
    } else if (starts("TIME")) {
        def.DataType = TFieldType::Time;
    } else if (starts("MEMO")) {
        def.DataType = TFieldType::Memo;
    } else if (t.find("INT") != std::string::npos) {
        def.DataType = TFieldType::Integer;
    } else if (t.find("REAL") != std::string::npos || t.find("FLOA") != std::string::npos ||
               t.find("DOUB") != std::string::npos) {
        def.DataType = TFieldType::Number;
    } else {
        def.DataType = TFieldType::String;
    }
    return def;
}

bool IsFolder(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// File systems on which SQLite's locks do not hold or its shared-memory
// WAL index cannot work, by statfs f_type.
struct NetworkFs {
    unsigned long magic;
    const char* name;
};
constexpr NetworkFs kNetworkFileSystems[] = {
    {0x6969, "NFS"},      {0x517B, "SMB"},      {0xFF534D42, "CIFS"},   {0xFE534D42, "SMB2"},
    {0x564C, "NCP"},      {0x73757245, "Coda"}, {0x5346414F, "AFS"},    {0x6B414653, "AFS"},
    {0x01021997, "9P"},   {0x00C36400, "Ceph"}, {0x0BD00BD0, "Lustre"}, {0x7461636F, "OCFS2"},
    {0x01161970, "GFS2"}, {0x47504653, "GPFS"}, {0x013111A8, "IBRIX"},
};

void RefuseNetworkFileSystem(const std::string& database, const std::string& folder) {
    struct statfs fs {};
    if (platform::Sys().statfs(folder.c_str(), &fs) != 0)
        throw EDBEngineError(Format("Database {}: cannot examine the folder {}: {}", database,
                                    folder, std::strerror(errno)));
    const auto type = static_cast<unsigned long>(static_cast<unsigned int>(fs.f_type));
    for (const auto& nfs : kNetworkFileSystems)
        if (nfs.magic == type)
            throw EDBEngineError(Format(
                "Database {}: the folder {} is on a network file system ({}), where the tables "
                "of a file database can be damaged by several workstations at once. Serve the "
                "practice from a PostgreSQL server instead: set Connection= in the [Database] "
                "section of the installation INI file.",
                database, folder, nfs.name));
}

class SqliteConnection final : public Connection {
  public:
    SqliteConnection(const std::string& database, std::string folder)
        : database_(database), folder_(std::move(folder)) {
        if (!IsFolder(folder_))
            throw EDBEngineError(
                Format("Database {}: the folder {} does not exist", database, folder_));
        while (folder_.size() > 1 && folder_.back() == '/')
            folder_.pop_back();
        RefuseNetworkFileSystem(database, folder_);
        const std::string file = folder_ + "/" + kDatabaseFileName;
        // A connection belongs to the thread of its database object, like
        // every engine object: SQLite's own lock around each call (several
        // per row read) would guard nothing.
        const int rc = sqlite3_open_v2(
            file.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
            nullptr);
        if (rc != SQLITE_OK) {
            const std::string message = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
            sqlite3_close_v2(db_);
            throw EDBEngineError(
                Format("Database {}: cannot open {}: {}", database, file, message));
        }
        try {
            sqlite3_extended_result_codes(db_, 1);
            SetLockWait(5000);
            // WAL lets readers on other workstations go on while one writes,
            // and NORMAL keeps a per-row post from costing an fsync.
            Script("PRAGMA journal_mode=WAL", "Database " + database);
            Script("PRAGMA synchronous=NORMAL", "Database " + database);
            // Bulk loads of millions of rows into indexed tables otherwise
            // spill the page cache to the WAL on nearly every insert.
            Script("PRAGMA cache_size=-65536", "Database " + database);
        } catch (...) {
            sqlite3_close_v2(db_);
            throw;
        }
    }

    ~SqliteConnection() override {
        for (auto& [sql, stmt] : statements_)
            sqlite3_finalize(stmt);
        if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_close_v2(db_);
    }

    std::string Where() const override { return "folder " + folder_; }

    std::vector<StoredRow> Query(const std::string& sql, const std::vector<Stored>& binds,
                                 const std::string& context) override {
        Use use(*this, sql, binds, context);
        if (!sqlite3_stmt_readonly(use.stmt)) Changed();
        std::vector<StoredRow> rows;
        const int columns = sqlite3_column_count(use.stmt);
        while (use.Step()) {
            StoredRow row;
            row.reserve(static_cast<std::size_t>(columns));
            for (int i = 0; i < columns; ++i)
                row.push_back(Column(use.stmt, i));
            rows.push_back(std::move(row));
        }
        return rows;
    }

    std::int64_t Execute(const std::string& sql, const std::vector<Stored>& binds,
                         const std::string& context) override {
        Use use(*this, sql, binds, context);
        Changed();
        while (use.Step()) {
        }
        return sqlite3_changes64(db_);
    }

    std::int64_t Insert(const std::string& sql, const std::vector<Stored>& binds,
                        const std::string& context) override {
        Use use(*this, sql, binds, context);
        Changed();
        while (use.Step()) {
        }
        return sqlite3_last_insert_rowid(db_);
    }

    void Script(const std::string& sql, const std::string& context) override {
        Changed();
        const int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr);
        if (rc != SQLITE_OK) Raise(db_, rc, context);
    }

    void SetLockWait(int ms) override { sqlite3_busy_timeout(db_, std::max(0, ms)); }

    // IMMEDIATE takes the file's write lock now, so that a transaction never
    // fails half-way for want of it.
    void Begin(const std::string& context) override { Script("BEGIN IMMEDIATE", context); }
    void Commit(const std::string& context) override { Script("COMMIT", context); }
    void RollbackQuietly() noexcept override {
        Changed();
        if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    bool InTransaction() const override { return !sqlite3_get_autocommit(db_); }
    // SQLite ends a transaction it abandons: the caller sees none open.
    bool TransactionFailed() const override { return false; }

    std::string RowLockClause() const override { return ""; }
    std::string OrderTerm(const std::string& quotedColumn) const override { return quotedColumn; }
    bool LocksWholeDatabase() const override { return true; }

    bool TableExists(const std::string& table) override {
        return !Query("SELECT 1 FROM sqlite_master WHERE type='table' AND name=?1 COLLATE NOCASE",
                      {table}, "Table " + table)
                    .empty();
    }

    std::vector<TFieldDef> FieldDefs(const std::string& table) override {
        std::vector<TFieldDef> defs;
        for (const auto& row : Query("SELECT name, type, \"notnull\" FROM pragma_table_info(?1)",
                                     {table}, "Table " + table)) {
            auto text = [&](std::size_t i) {
                return std::holds_alternative<std::string>(row[i]) ? std::get<std::string>(row[i])
                                                                   : std::string();
            };
            const bool notNull =
                std::holds_alternative<std::int64_t>(row[2]) && std::get<std::int64_t>(row[2]) != 0;
            defs.push_back(DefFromColumn(text(0), text(1), notNull));
        }
        return defs;
    }

    std::vector<std::string> KeyFields(const std::string& table) override {
        std::vector<std::string> out;
        for (const auto& row : Query("SELECT name FROM pragma_index_info(?1) ORDER BY seqno",
                                     {table + "$KEY"}, "Table " + table))
            if (std::holds_alternative<std::string>(row[0]))
                out.push_back(std::get<std::string>(row[0]));
        return out;
    }

    std::string ColumnDefinitions(const std::vector<TFieldDef>& defs) const override {
        std::string columns;
        for (const auto& def : defs) {
            if (!columns.empty()) columns += ", ";
            columns +=
                Quote(Trim(def.Name)) + " " + DeclaredType(def) + (def.Required ? " NOT NULL" : "");
        }
        return columns;
    }

  private:
    // A cached prepared statement for one call: bound on construction,
    // reset however the call ends so that no read snapshot outlives it.
    struct Use {
        Use(SqliteConnection& c, const std::string& sql, const std::vector<Stored>& binds,
            const std::string& context)
            : conn(c), stmt(c.Prepare(sql, context)), context(context) {
            for (std::size_t i = 0; i < binds.size(); ++i)
                Bind(static_cast<int>(i + 1), binds[i]);
        }
        ~Use() {
            sqlite3_reset(stmt);
            sqlite3_clear_bindings(stmt);
        }
        void Bind(int index, const Stored& value) {
            int rc = SQLITE_OK;
            if (std::holds_alternative<std::monostate>(value))
                rc = sqlite3_bind_null(stmt, index);
            else if (auto* i = std::get_if<std::int64_t>(&value))
                rc = sqlite3_bind_int64(stmt, index, *i);
            else if (auto* d = std::get_if<double>(&value))
                rc = sqlite3_bind_double(stmt, index, *d);
            else {
                const auto& s = std::get<std::string>(value);
                rc = sqlite3_bind_text(stmt, index, s.data(), static_cast<int>(s.size()),
                                       SQLITE_TRANSIENT);
            }
            if (rc != SQLITE_OK) Raise(conn.db_, rc, context + ": binding a value");
        }
        bool Step() {
            const int rc = sqlite3_step(stmt);
            if (rc == SQLITE_ROW) return true;
            if (rc == SQLITE_DONE) return false;
            Raise(conn.db_, rc, context);
        }
        SqliteConnection& conn;
        sqlite3_stmt* stmt;
        const std::string& context;
    };

    sqlite3_stmt* Prepare(const std::string& sql, const std::string& context) {
        auto it = statements_.find(sql);
        if (it != statements_.end()) return it->second;
        sqlite3_stmt* stmt = nullptr;
        const int rc = sqlite3_prepare_v3(db_, sql.c_str(), static_cast<int>(sql.size()),
                                          SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
        if (rc != SQLITE_OK) Raise(db_, rc, context);
        // Filters make statements without end; keep the cache bounded.
        if (statements_.size() >= 256) {
            for (auto& [text, old] : statements_)
                sqlite3_finalize(old);
            statements_.clear();
        }
        statements_.emplace(sql, stmt);
        return stmt;
    }

    static Stored Column(sqlite3_stmt* stmt, int index) {
        switch (sqlite3_column_type(stmt, index)) {
            case SQLITE_INTEGER:
                return sqlite3_column_int64(stmt, index);
            case SQLITE_FLOAT:
                return sqlite3_column_double(stmt, index);
            case SQLITE_NULL:
                return std::monostate{};
            default: {
                const auto* text = reinterpret_cast<const char*>(sqlite3_column_blob(stmt, index));
                return std::string(text ? text : "",
                                   static_cast<std::size_t>(sqlite3_column_bytes(stmt, index)));
            }
        }
    }

    std::string database_;
    std::string folder_;
    sqlite3* db_ = nullptr;
    std::unordered_map<std::string, sqlite3_stmt*> statements_;
};

}  // namespace

std::unique_ptr<Connection> OpenSqlite(const std::string& database, const std::string& folder) {
    return std::make_unique<SqliteConnection>(database, folder);
}

std::string Quote(std::string_view identifier) {
    std::string out = "\"";
    for (char c : identifier) {
        out += c;
        if (c == '"') out += '"';
    }
    return out + '"';
}

std::string LockedMessage(const std::string& context, const std::string& detail) {
    return Format("{}: record locked by another user ({})", context, detail);
}

}  // namespace kvo::engine::detail
