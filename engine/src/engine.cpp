#include "engine/engine.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <unordered_set>

#include "filter.h"
#include "values.h"

namespace kvo::engine {

using detail::EqualNoCase;
using detail::Trim;
using detail::Upper;

namespace {

// A stored value: what SQLite hands back and takes.  Logical fields hold 0/1,
// dates hold "YYYY-MM-DD".
using Stored = std::variant<std::monostate, std::int64_t, double, std::string>;

std::string Quote(std::string_view identifier) {
    std::string out = "\"";
    for (char c : identifier) {
        out += c;
        if (c == '"') out += '"';
    }
    return out + '"';
}

bool IsLockError(int rc) {
    const int primary = rc & 0xFF;
    return primary == SQLITE_BUSY || primary == SQLITE_LOCKED;
}

[[noreturn]] void Raise(sqlite3* db, int rc, const std::string& context) {
    const std::string detail = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    if (IsLockError(rc))
        throw EDBEngineError(
            detail::Format("{}: record locked by another user ({})", context, detail));
    throw EDBEngineError(detail::Format("{}: {}", context, detail));
}

void Exec(sqlite3* db, const std::string& sql, const std::string& context) {
    const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) Raise(db, rc, context);
}

// An owned prepared statement, reset after every use so that no read
// snapshot outlives the call that made it.
class Statement {
  public:
    Statement() = default;
    Statement(sqlite3* db, const std::string& sql, const std::string& context) : db_(db) {
        const int rc = sqlite3_prepare_v3(db, sql.c_str(), static_cast<int>(sql.size()),
                                          SQLITE_PREPARE_PERSISTENT, &stmt_, nullptr);
        if (rc != SQLITE_OK) Raise(db, rc, context);
    }
    Statement(Statement&& other) noexcept { *this = std::move(other); }
    Statement& operator=(Statement&& other) noexcept {
        std::swap(db_, other.db_);
        std::swap(stmt_, other.stmt_);
        return *this;
    }
    ~Statement() { sqlite3_finalize(stmt_); }

    sqlite3_stmt* get() const { return stmt_; }
    explicit operator bool() const { return stmt_ != nullptr; }

    void Bind(int index, const Stored& value) {
        int rc = SQLITE_OK;
        if (std::holds_alternative<std::monostate>(value))
            rc = sqlite3_bind_null(stmt_, index);
        else if (auto* i = std::get_if<std::int64_t>(&value))
            rc = sqlite3_bind_int64(stmt_, index, *i);
        else if (auto* d = std::get_if<double>(&value))
            rc = sqlite3_bind_double(stmt_, index, *d);
        else {
            const auto& s = std::get<std::string>(value);
            rc = sqlite3_bind_text(stmt_, index, s.data(), static_cast<int>(s.size()),
                                   SQLITE_TRANSIENT);
        }
        if (rc != SQLITE_OK) Raise(db_, rc, "Binding a value");
    }

    // One step; true while a row is available.
    bool Step(const std::string& context) {
        const int rc = sqlite3_step(stmt_);
        if (rc == SQLITE_ROW) return true;
        if (rc == SQLITE_DONE) return false;
        sqlite3_reset(stmt_);
        Raise(db_, rc, context);
    }

    void Reset() {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
    }

    Stored Column(int index) const {
        switch (sqlite3_column_type(stmt_, index)) {
            case SQLITE_INTEGER:
                return sqlite3_column_int64(stmt_, index);
            case SQLITE_FLOAT:
                return sqlite3_column_double(stmt_, index);
            case SQLITE_NULL:
                return std::monostate{};
            default: {
                const auto* text = reinterpret_cast<const char*>(sqlite3_column_blob(stmt_, index));
                return std::string(text ? text : "",
                                   static_cast<std::size_t>(sqlite3_column_bytes(stmt_, index)));
            }
        }
    }

  private:
    sqlite3* db_ = nullptr;
    sqlite3_stmt* stmt_ = nullptr;
};

// Resets a statement however the using block ends.
struct ResetGuard {
    Statement& stmt;
    ~ResetGuard() { stmt.Reset(); }
};

// Declared column types: the affinity SQLite derives from each keeps texts
// as texts ("0123" stays "0123") and the prefix brings the field type back.
std::string DeclaredType(const TFieldDef& def) {
    switch (def.DataType) {
        case TFieldType::String:
            return def.Size > 0 ? detail::Format("VARCHAR({})", def.Size) : "VARCHAR";
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
    const std::string t = Upper(declared);
    auto starts = [&](const char* prefix) { return t.rfind(prefix, 0) == 0; };
    if (starts("VARCHAR")) {
        def.DataType = TFieldType::String;
        const auto open = t.find('(');
        if (open != std::string::npos) {
            if (auto size = detail::ParseInteger(t.substr(open + 1, t.find(')') - open - 1)))
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

// "USER.DB", "user" and " User.db " all name the table USER.
std::string NormaliseTableName(const std::string& name) {
    std::string_view n = Trim(name);
    if (n.size() > 3 && EqualNoCase(n.substr(n.size() - 3), ".DB")) n.remove_suffix(3);
    if (n.empty()) throw EDBEngineError("Table name is empty");
    if (n.find_first_of("/\\") != std::string_view::npos || n.find('\0') != std::string_view::npos)
        throw EDBEngineError(detail::Format("Invalid table name: {}", name));
    if (n.front() == '_' || EqualNoCase(n.substr(0, std::min<std::size_t>(7, n.size())), "sqlite_"))
        throw EDBEngineError(detail::Format("Invalid table name: {}", name));
    return Upper(n);
}

bool IsFolder(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::vector<std::string> SplitFieldList(const std::string& names) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start <= names.size()) {
        const auto end = std::min(names.find(';', start), names.size());
        const auto piece = Trim(std::string_view(names).substr(start, end - start));
        if (!piece.empty()) out.emplace_back(piece);
        start = end + 1;
    }
    return out;
}

const char* TypeName(TFieldType type) {
    switch (type) {
        case TFieldType::String:
            return "text";
        case TFieldType::Integer:
            return "integer";
        case TFieldType::Number:
            return "number";
        case TFieldType::Currency:
            return "currency";
        case TFieldType::Logical:
            return "logical";
        case TFieldType::Date:
            return "date";
        case TFieldType::Time:
            return "time";
        case TFieldType::Memo:
            return "memo";
    }
    return "unknown";
}

[[noreturn]] void BadValue(const std::string& text, const TFieldDef& def) {
    throw EDBEngineError(detail::Format("'{}' is not a valid {} value for field '{}'", text,
                                        TypeName(def.DataType), def.Name));
}

// Text as written by a caller to the stored value of a field of that type.
Stored FromText(const std::string& text, const TFieldDef& def) {
    switch (def.DataType) {
        case TFieldType::String:
            if (def.Size > 0 && detail::CharacterCount(text) > static_cast<std::size_t>(def.Size))
                throw EDBEngineError(detail::Format(
                    "Stored of {} characters is too long for field '{}' (at most {})",
                    detail::CharacterCount(text), def.Name, def.Size));
            return text;
        case TFieldType::Memo:
            return text;
        default:
            break;
    }
    if (Trim(text).empty()) return std::monostate{};
    switch (def.DataType) {
        case TFieldType::Integer:
            if (auto v = detail::ParseInteger(text)) return *v;
            break;
        case TFieldType::Number:
        case TFieldType::Currency:
            if (auto v = detail::ParseNumber(text)) return *v;
            break;
        case TFieldType::Logical:
            if (auto v = detail::ParseLogical(text)) return std::int64_t{*v ? 1 : 0};
            break;
        case TFieldType::Date:
            if (auto v = detail::DisplayDateToIso(text)) return *v;
            break;
        case TFieldType::Time:
            if (auto v = detail::NormaliseTime(text)) return *v;
            break;
        default:
            break;
    }
    BadValue(text, def);
}

std::string ToText(const Stored& value, const TFieldDef& def) {
    if (std::holds_alternative<std::monostate>(value)) return {};
    if (auto* i = std::get_if<std::int64_t>(&value)) {
        if (def.DataType == TFieldType::Logical) return *i != 0 ? "True" : "False";
        return std::to_string(*i);
    }
    if (auto* d = std::get_if<double>(&value)) return detail::FormatNumber(*d);
    const auto& s = std::get<std::string>(value);
    if (def.DataType == TFieldType::Date) return detail::IsoDateToDisplay(s);
    return s;
}

const TFieldDef* FindDef(const std::vector<TFieldDef>& defs, std::string_view name) {
    for (const auto& def : defs)
        if (EqualNoCase(def.Name, name)) return &def;
    return nullptr;
}

struct Order {
    std::string clause;
    std::vector<std::size_t> columns;  // positions of the index fields
};

Order MakeOrder(const std::string& indexNames, const std::vector<TFieldDef>& defs,
                const std::string& table) {
    Order order;
    for (const auto& field : SplitFieldList(indexNames)) {
        const TFieldDef* def = FindDef(defs, field);
        if (def == nullptr)
            throw EDBEngineError(
                detail::Format("Table {}: index field '{}' does not exist", table, field));
        order.clause += Quote(def->Name) + ", ";
        order.columns.push_back(static_cast<std::size_t>(def - defs.data()));
    }
    order.clause += "rowid";
    return order;
}

// SQLite's order of stored values: null, then numbers, then texts (bytewise).
int CompareStored(const Stored& a, const Stored& b) {
    auto rank = [](const Stored& v) {
        if (std::holds_alternative<std::monostate>(v)) return 0;
        if (std::holds_alternative<std::string>(v)) return 2;
        return 1;
    };
    const int ra = rank(a), rb = rank(b);
    if (ra != rb) return ra < rb ? -1 : 1;
    if (ra == 0) return 0;
    if (ra == 2) {
        const int c = std::get<std::string>(a).compare(std::get<std::string>(b));
        return c < 0 ? -1 : (c > 0 ? 1 : 0);
    }
    auto num = [](const Stored& v) {
        if (auto* i = std::get_if<std::int64_t>(&v)) return static_cast<long double>(*i);
        return static_cast<long double>(std::get<double>(v));
    };
    const long double x = num(a), y = num(b);
    return x < y ? -1 : (x > y ? 1 : 0);
}

struct CompiledFilter {
    std::string where;  // "" when nothing is filtered
    std::vector<Stored> binds;
};

}  // namespace

// ---------------------------------------------------------------------------
// TDatabase

struct TDatabase::Impl {
    sqlite3* db = nullptr;
    std::vector<TTable*> openTables;
    bool inTransaction = false;

    void SetBusyWait() const { sqlite3_busy_timeout(db, std::max(0, Session().LockWaitMs())); }

    // SQLite abandons a transaction by itself after some failed writes (a
    // full disk, an I/O error).  Writes after that would each be committed
    // on their own behind the caller's back, and Commit would report the
    // partial work as done; both raise instead until the caller rolls back.
    void CheckTransactionAlive(const std::string& name) const {
        if (inTransaction && sqlite3_get_autocommit(db))
            throw EDBEngineError(detail::Format(
                "Database {}: the transaction was abandoned after an error; roll it back", name));
    }
};

TDatabase::TDatabase(std::string name) : impl_(std::make_unique<Impl>()), name_(std::move(name)) {}

TDatabase::~TDatabase() {
    try {
        Close();
    } catch (...) {
        // Closing never leaves a connection behind; an error here has no caller.
    }
}

std::string TDatabase::Path() const {
    for (const auto& param : params_) {
        const auto eq = param.find('=');
        if (eq != std::string::npos &&
            EqualNoCase(Trim(std::string_view(param).substr(0, eq)), "PATH"))
            return std::string(Trim(std::string_view(param).substr(eq + 1)));
    }
    // A database named by its folder, as tables may name one directly.
    if (name_.find('/') != std::string::npos) return name_;
    return {};
}

void TDatabase::Open() {
    if (impl_->db != nullptr) return;
    std::string folder = Path();
    if (folder.empty())
        throw EDBEngineError(detail::Format("Database {}: no PATH parameter is set", name_));
    if (!IsFolder(folder))
        throw EDBEngineError(
            detail::Format("Database {}: the folder {} does not exist", name_, folder));
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    const std::string file = folder + "/" + kDatabaseFileName;
    sqlite3* db = nullptr;
    const int rc =
        sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (rc != SQLITE_OK) {
        const std::string message = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
        sqlite3_close_v2(db);
        throw EDBEngineError(
            detail::Format("Database {}: cannot open {}: {}", name_, file, message));
    }
    impl_->db = db;
    try {
        impl_->SetBusyWait();
        sqlite3_extended_result_codes(db, 1);
        // WAL lets readers on other workstations go on while one writes, and
        // NORMAL keeps a per-row post from costing an fsync.
        Exec(db, "PRAGMA journal_mode=WAL", "Database " + name_);
        Exec(db, "PRAGMA synchronous=NORMAL", "Database " + name_);
        // Bulk loads of millions of rows into indexed tables otherwise spill
        // the page cache to the WAL on nearly every insert.
        Exec(db, "PRAGMA cache_size=-65536", "Database " + name_);
    } catch (...) {
        sqlite3_close_v2(db);
        impl_->db = nullptr;
        throw;
    }
}

void TDatabase::Close() {
    if (impl_->db == nullptr) return;
    // Tables hold statements of this connection: they close first.
    while (!impl_->openTables.empty())
        impl_->openTables.back()->Close();
    if (impl_->inTransaction) {
        sqlite3_exec(impl_->db, "ROLLBACK", nullptr, nullptr, nullptr);
        impl_->inTransaction = false;
    }
    sqlite3_close_v2(impl_->db);
    impl_->db = nullptr;
}

bool TDatabase::Connected() const {
    return impl_->db != nullptr;
}

void TDatabase::StartTransaction() {
    Open();
    if (impl_->inTransaction || !sqlite3_get_autocommit(impl_->db))
        throw EDBEngineError(detail::Format("Database {}: a transaction is already active", name_));
    impl_->SetBusyWait();
    Exec(impl_->db, "BEGIN IMMEDIATE", "Database " + name_ + ": starting a transaction");
    impl_->inTransaction = true;
}

void TDatabase::Commit() {
    if (!impl_->inTransaction)
        throw EDBEngineError(detail::Format("Database {}: no transaction is active", name_));
    impl_->CheckTransactionAlive(name_);
    impl_->SetBusyWait();
    Exec(impl_->db, "COMMIT", "Database " + name_ + ": committing");
    impl_->inTransaction = false;
}

bool TDatabase::InTransaction() const {
    return impl_->inTransaction;
}

// ---------------------------------------------------------------------------
// TTable

struct TTable::Impl {
    TDatabase* database = nullptr;
    std::string name;    // normalised, e.g. APP_CAL
    std::string quoted;  // as an SQL identifier
    TDataSetState state = TDataSetState::Inactive;
    std::vector<std::unique_ptr<TField>> fields;

    // The rows of the current view, in order, by rowid: taken when the view
    // is (re)built, so that edits and deletes do not disturb the walk.
    std::vector<std::int64_t> rows;
    std::size_t pos = 0;
    bool eof = true;

    std::vector<Stored> current;  // the current row as stored
    bool currentLoaded = false;
    std::vector<Stored> buffer;  // the row being edited or inserted
    bool ownsLock = false;       // this table's Edit/Append began the write transaction

    Statement selectRow, updateRow, insertRow, deleteRow;
    std::vector<TFieldDef> defs;  // as opened; callers may change FieldDefs() meanwhile
    std::string orderBy;
    std::vector<std::size_t> orderColumns;

    // Where a newly inserted row belongs in an ordered view: after every row
    // whose index fields sort before or equal to it (its rowid is the
    // largest).  Rows are appended in order during bulk loads, so the last
    // row is checked first.
    std::size_t InsertPosition(const std::vector<Stored>& row) {
        if (orderColumns.empty() || rows.empty()) return rows.size();
        auto after = [&](std::size_t index) {  // does `row` sort after rows[index]?
            ResetGuard guard{selectRow};
            selectRow.Bind(1, rows[index]);
            if (!selectRow.Step(Context() + ": reading a record")) return true;
            for (std::size_t column : orderColumns) {
                const int c =
                    CompareStored(row[column], selectRow.Column(static_cast<int>(column)));
                if (c != 0) return c > 0;
            }
            return true;
        };
        if (after(rows.size() - 1)) return rows.size();
        std::size_t low = 0, high = rows.size() - 1;  // the answer lies in [low, high]
        while (low < high) {
            const std::size_t mid = low + (high - low) / 2;
            if (after(mid))
                low = mid + 1;
            else
                high = mid;
        }
        return low;
    }

    sqlite3* db() const { return database->impl_->db; }
    std::string Context() const { return "Table " + name; }

    bool HasRow() const { return !rows.empty() && pos < rows.size(); }

    void LoadCurrent() {
        if (currentLoaded) return;
        current.assign(fields.size(), std::monostate{});
        if (HasRow()) {
            ResetGuard guard{selectRow};
            selectRow.Bind(1, rows[pos]);
            if (selectRow.Step(Context() + ": reading a record")) {
                for (std::size_t i = 0; i < fields.size(); ++i)
                    current[i] = selectRow.Column(static_cast<int>(i));
            }
        }
        currentLoaded = true;
    }

    void MoveTo(std::size_t newPos) {
        pos = newPos;
        currentLoaded = false;
    }

    void BeginWrite() {
        ownsLock = false;
        database->impl_->CheckTransactionAlive(database->DatabaseName());
        // Inside a database transaction (or another table's edit on this
        // connection) the lock is already held by this process.
        if (!sqlite3_get_autocommit(db())) return;
        database->impl_->SetBusyWait();
        Exec(db(), "BEGIN IMMEDIATE", Context());
        ownsLock = true;
    }

    // Ends this table's own write transaction.  Nothing of this table is
    // written before Post, so committing is right for Cancel too and keeps
    // what other tables of the connection posted meanwhile.
    void EndWrite() {
        if (!ownsLock) return;
        database->impl_->SetBusyWait();
        Exec(db(), "COMMIT", Context());
        ownsLock = false;
    }

    void ReleaseLockQuietly() {
        if (!ownsLock) return;
        if (sqlite3_exec(db(), "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK)
            sqlite3_exec(db(), "ROLLBACK", nullptr, nullptr, nullptr);
        ownsLock = false;
    }
};

TTable::TTable() : impl_(std::make_unique<Impl>()) {}

TTable::~TTable() {
    try {
        Close();
    } catch (...) {
        // A destructor has nobody to report to; Close releases all it holds.
    }
}

void TTable::SetDatabaseName(const std::string& name) {
    if (Active()) throw EDBEngineError("Cannot change the database of an open table");
    databaseName_ = name;
}

void TTable::SetTableName(const std::string& name) {
    if (Active()) throw EDBEngineError("Cannot change the name of an open table");
    tableName_ = name;
}

namespace {

TDatabase& ResolveDatabase(const std::string& name) {
    if (Trim(name).empty()) throw EDBEngineError("No database name is set for the table");
    TDatabase& db = Session().Database(name);
    db.Open();
    return db;
}

bool TableExists(sqlite3* db, const std::string& name) {
    Statement stmt(db, "SELECT 1 FROM sqlite_master WHERE type='table' AND name=?1 COLLATE NOCASE",
                   "Table " + name);
    stmt.Bind(1, name);
    return stmt.Step("Table " + name);
}

std::vector<TFieldDef> ReadFieldDefs(sqlite3* db, const std::string& name) {
    Statement stmt(db, "SELECT name, type, \"notnull\" FROM pragma_table_info(?1)",
                   "Table " + name);
    stmt.Bind(1, name);
    std::vector<TFieldDef> defs;
    while (stmt.Step("Table " + name)) {
        auto text = [&](int i) {
            const auto v = stmt.Column(i);
            return std::holds_alternative<std::string>(v) ? std::get<std::string>(v)
                                                          : std::string();
        };
        const auto notNull = stmt.Column(2);
        defs.push_back(DefFromColumn(
            text(0), text(1),
            std::holds_alternative<std::int64_t>(notNull) && std::get<std::int64_t>(notNull) != 0));
    }
    return defs;
}

std::string MissingTableMessage(const std::string& table, const TDatabase& db) {
    return detail::Format("Table does not exist: {} (database {}, folder {})", table,
                          db.DatabaseName(), db.Path());
}

// A filter value as the stored value of the field it is compared with.
Stored FilterValue(const detail::FilterTerm& term, const TFieldDef& def) {
    using detail::LiteralKind;
    auto fail = [&](const std::string& why) -> Stored {
        throw EDBEngineError(
            detail::Format("Filter error at position {}: {}", term.position + 1, why));
    };
    const std::string shown = term.kind == LiteralKind::Text ? "'" + term.value + "'" : term.value;
    switch (def.DataType) {
        case TFieldType::String:
        case TFieldType::Memo:
            if (term.kind == LiteralKind::Word)
                return fail(
                    detail::Format("{} cannot be compared with text field '{}'", shown, def.Name));
            return term.value;
        case TFieldType::Integer:
            if (term.kind != LiteralKind::Word)
                if (auto v = detail::ParseInteger(term.value)) return *v;
            if (term.kind != LiteralKind::Word)
                if (auto v = detail::ParseNumber(term.value)) return *v;
            break;
        case TFieldType::Number:
        case TFieldType::Currency:
            if (term.kind != LiteralKind::Word)
                if (auto v = detail::ParseNumber(term.value)) return *v;
            break;
        case TFieldType::Logical:
            if (auto v = detail::ParseLogical(term.value)) return std::int64_t{*v ? 1 : 0};
            break;
        case TFieldType::Date:
            if (term.kind == LiteralKind::Text)
                if (auto v = detail::DisplayDateToIso(term.value)) return *v;
            return fail(
                detail::Format("{} is not a date for field '{}' (dates are written "
                               "'DD/MM/YYYY')",
                               shown, def.Name));
        case TFieldType::Time:
            if (term.kind == LiteralKind::Text)
                if (auto v = detail::NormaliseTime(term.value)) return *v;
            break;
    }
    return fail(detail::Format("{} is not a valid {} value for field '{}'", shown,
                               TypeName(def.DataType), def.Name));
}

CompiledFilter CompileFilter(const std::string& text, const std::vector<TFieldDef>& defs,
                             const std::string& table) {
    CompiledFilter out;
    for (const auto& term : detail::ParseFilter(text)) {
        const TFieldDef* def = FindDef(defs, term.field);
        if (def == nullptr)
            throw EDBEngineError(detail::Format(
                "Filter error: field '{}' does not exist in table {}", term.field, table));
        if (!out.where.empty()) out.where += " AND ";
        if (term.kind == detail::LiteralKind::Word && term.value == "NULL") {
            if (term.op != "=" && term.op != "<>")
                throw EDBEngineError(detail::Format(
                    "Filter error at position {}: NULL can only be compared with = or <>",
                    term.position + 1));
            out.where += Quote(def->Name) + (term.op == "=" ? " IS NULL" : " IS NOT NULL");
            continue;
        }
        out.binds.push_back(FilterValue(term, *def));
        out.where += detail::Format("{} {} ?{}", Quote(def->Name), term.op, out.binds.size());
    }
    return out;
}

}  // namespace

bool TTable::Exists() const {
    TDatabase& db = ResolveDatabase(databaseName_);
    return TableExists(db.impl_->db, NormaliseTableName(tableName_));
}

void TTable::CreateTable() {
    TDatabase& db = ResolveDatabase(databaseName_);
    const std::string name = NormaliseTableName(tableName_);
    if (fieldDefs_.empty())
        throw EDBEngineError(
            detail::Format("Table {}: no field definitions to create it from", name));
    std::vector<std::string> seen;
    std::string columns;
    for (const auto& def : fieldDefs_) {
        const auto n = Trim(def.Name);
        if (n.empty()) throw EDBEngineError(detail::Format("Table {}: a field has no name", name));
        if (EqualNoCase(n, "rowid") || EqualNoCase(n, "oid") || EqualNoCase(n, "_rowid_"))
            throw EDBEngineError(
                detail::Format("Table {}: '{}' is a reserved field name", name, n));
        for (const auto& other : seen)
            if (EqualNoCase(other, n))
                throw EDBEngineError(
                    detail::Format("Table {}: field '{}' is defined twice", name, n));
        seen.emplace_back(n);
        if (!columns.empty()) columns += ", ";
        columns += Quote(n) + " " + DeclaredType(def) + (def.Required ? " NOT NULL" : "");
    }
    std::vector<std::string> key;
    for (const auto& field : SplitFieldList(indexFieldNames_)) {
        const TFieldDef* def = FindDef(fieldDefs_, field);
        if (def == nullptr)
            throw EDBEngineError(
                detail::Format("Table {}: key field '{}' is not among the fields", name, field));
        key.push_back(Quote(Trim(def->Name)));
    }
    sqlite3* handle = db.impl_->db;
    const bool ownTransaction = sqlite3_get_autocommit(handle) != 0;
    db.impl_->SetBusyWait();
    if (ownTransaction) Exec(handle, "BEGIN IMMEDIATE", "Table " + name + ": creating");
    try {
        if (TableExists(handle, name))
            throw EDBEngineError(detail::Format("Table {} already exists", name));
        Exec(handle, detail::Format("CREATE TABLE {} ({})", Quote(name), columns),
             "Table " + name + ": creating");
        if (!key.empty()) {
            std::string list;
            for (const auto& k : key)
                list += (list.empty() ? "" : ", ") + k;
            Exec(handle,
                 detail::Format("CREATE UNIQUE INDEX {} ON {} ({})", Quote(name + "$KEY"),
                                Quote(name), list),
                 "Table " + name + ": creating its key");
        }
        if (ownTransaction) Exec(handle, "COMMIT", "Table " + name + ": creating");
    } catch (...) {
        if (ownTransaction) sqlite3_exec(handle, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

void TTable::AddIndex(const std::string& indexName, const std::string& fields) {
    TDatabase& db = ResolveDatabase(databaseName_);
    const std::string name = NormaliseTableName(tableName_);
    const auto defs = ReadFieldDefs(db.impl_->db, name);
    if (defs.empty()) throw EDBEngineError(MissingTableMessage(name, db));
    if (Trim(indexName).empty())
        throw EDBEngineError(detail::Format("Table {}: an index needs a name", name));
    std::string list;
    for (const auto& field : SplitFieldList(fields)) {
        const TFieldDef* def = FindDef(defs, field);
        if (def == nullptr)
            throw EDBEngineError(
                detail::Format("Table {}: index field '{}' does not exist", name, field));
        list += (list.empty() ? "" : ", ") + Quote(def->Name);
    }
    if (list.empty()) throw EDBEngineError(detail::Format("Table {}: an index needs fields", name));
    db.impl_->SetBusyWait();
    Exec(db.impl_->db,
         detail::Format("CREATE INDEX IF NOT EXISTS {} ON {} ({})",
                        Quote(name + "$" + Upper(Trim(indexName))), Quote(name), list),
         "Table " + name + ": adding index " + indexName);
}

void TTable::UpdateFieldDefs() {
    TDatabase& db = ResolveDatabase(databaseName_);
    const std::string name = NormaliseTableName(tableName_);
    auto defs = ReadFieldDefs(db.impl_->db, name);
    if (defs.empty()) throw EDBEngineError(MissingTableMessage(name, db));
    fieldDefs_ = std::move(defs);
}

namespace {}  // namespace

// Rebuilds the view from the filter and the order, then stands on its first row.
static void Requery(TTable::Impl& impl, const std::vector<TFieldDef>& defs, bool filtered,
                    const std::string& filter);

void TTable::Open() {
    if (Active()) return;
    TDatabase& db = ResolveDatabase(databaseName_);
    const std::string name = NormaliseTableName(tableName_);
    auto defs = ReadFieldDefs(db.impl_->db, name);
    if (defs.empty()) throw EDBEngineError(MissingTableMessage(name, db));

    auto& impl = *impl_;
    impl.database = &db;
    impl.name = name;
    impl.quoted = Quote(name);
    try {
        std::string columns, sets, marks;
        for (std::size_t i = 0; i < defs.size(); ++i) {
            const std::string sep = i == 0 ? "" : ", ";
            columns += sep + Quote(defs[i].Name);
            sets += sep + detail::Format("{} = ?{}", Quote(defs[i].Name), i + 1);
            marks += sep + detail::Format("?{}", i + 1);
        }
        const std::string context = impl.Context();
        impl.selectRow = Statement(
            db.impl_->db,
            detail::Format("SELECT {} FROM {} WHERE rowid = ?1", columns, impl.quoted), context);
        impl.updateRow = Statement(db.impl_->db,
                                   detail::Format("UPDATE {} SET {} WHERE rowid = ?{}", impl.quoted,
                                                  sets, defs.size() + 1),
                                   context);
        impl.insertRow = Statement(
            db.impl_->db,
            detail::Format("INSERT INTO {} ({}) VALUES ({})", impl.quoted, columns, marks),
            context);
        impl.deleteRow = Statement(
            db.impl_->db, detail::Format("DELETE FROM {} WHERE rowid = ?1", impl.quoted), context);
        Order order = MakeOrder(indexFieldNames_, defs, name);
        impl.orderBy = std::move(order.clause);
        impl.orderColumns = std::move(order.columns);
        Requery(impl, defs, filtered_, filter_);
    } catch (...) {
        impl.selectRow = Statement();
        impl.updateRow = Statement();
        impl.insertRow = Statement();
        impl.deleteRow = Statement();
        impl.rows.clear();
        impl.database = nullptr;
        throw;
    }
    fieldDefs_ = defs;
    impl.defs = defs;
    impl.fields.clear();
    for (std::size_t i = 0; i < defs.size(); ++i)
        impl.fields.emplace_back(new TField(*this, defs[i], static_cast<int>(i)));
    impl.state = TDataSetState::Browse;
    db.impl_->openTables.push_back(this);
}

static void Requery(TTable::Impl& impl, const std::vector<TFieldDef>& defs, bool filtered,
                    const std::string& filter) {
    CompiledFilter compiled;
    if (filtered) compiled = CompileFilter(filter, defs, impl.name);
    std::string sql = "SELECT rowid FROM " + impl.quoted;
    if (!compiled.where.empty()) sql += " WHERE " + compiled.where;
    sql += " ORDER BY " + impl.orderBy;
    Statement stmt(impl.db(), sql, impl.Context());
    for (std::size_t i = 0; i < compiled.binds.size(); ++i)
        stmt.Bind(static_cast<int>(i + 1), compiled.binds[i]);
    std::vector<std::int64_t> rows;
    while (stmt.Step(impl.Context() + ": running the filter"))
        rows.push_back(sqlite3_column_int64(stmt.get(), 0));
    impl.rows = std::move(rows);
    impl.MoveTo(0);
    impl.eof = impl.rows.empty();
}

void TDatabase::Rollback() {
    if (!impl_->inTransaction)
        throw EDBEngineError(detail::Format("Database {}: no transaction is active", name_));
    impl_->inTransaction = false;
    if (!sqlite3_get_autocommit(impl_->db))
        Exec(impl_->db, "ROLLBACK", "Database " + name_ + ": rolling back");
    // The open cursors still list rows the rollback removed, and miss rows it
    // brought back; a removed rowid may even be handed out again.  Their
    // unposted edits belonged to the transaction too.
    for (TTable* table : impl_->openTables) {
        auto& impl = *table->impl_;
        impl.buffer.clear();
        impl.ownsLock = false;
        impl.state = TDataSetState::Browse;
        Requery(impl, impl.defs, table->Filtered(), table->Filter());
    }
}

void TTable::Close() {
    auto& impl = *impl_;
    if (impl.state == TDataSetState::Inactive) return;
    // Unposted changes are discarded, never written behind the caller's back.
    impl.buffer.clear();
    impl.ReleaseLockQuietly();
    impl.selectRow = Statement();
    impl.updateRow = Statement();
    impl.insertRow = Statement();
    impl.deleteRow = Statement();
    impl.fields.clear();
    impl.defs.clear();
    impl.rows.clear();
    impl.current.clear();
    impl.currentLoaded = false;
    impl.eof = true;
    impl.state = TDataSetState::Inactive;
    auto& open = impl.database->impl_->openTables;
    open.erase(std::remove(open.begin(), open.end(), this), open.end());
    impl.database = nullptr;
}

bool TTable::Active() const {
    return impl_->state != TDataSetState::Inactive;
}
TDataSetState TTable::State() const {
    return impl_->state;
}

namespace {

void RequireOpen(const TTable& table) {
    if (!table.Active())
        throw EDBEngineError(detail::Format("Table {} is not open", table.TableName()));
}

// Pending changes are posted before the cursor moves, as a grid would.
void CheckBrowseMode(TTable& table) {
    RequireOpen(table);
    if (table.State() == TDataSetState::Edit || table.State() == TDataSetState::Insert)
        table.Post();
}

}  // namespace

void TTable::First() {
    CheckBrowseMode(*this);
    impl_->MoveTo(0);
    impl_->eof = impl_->rows.empty();
}

void TTable::Next() {
    CheckBrowseMode(*this);
    auto& impl = *impl_;
    if (impl.pos + 1 < impl.rows.size())
        impl.MoveTo(impl.pos + 1);
    else
        impl.eof = true;
}

bool TTable::Eof() const {
    return !Active() || impl_->eof || impl_->rows.empty();
}

bool TTable::IsEmpty() const {
    return !Active() || impl_->rows.empty();
}

std::int64_t TTable::RecordCount() const {
    RequireOpen(*this);
    return static_cast<std::int64_t>(impl_->rows.size());
}

TField* TTable::FindField(const std::string& name) {
    for (auto& field : impl_->fields)
        if (EqualNoCase(field->FieldName(), Trim(name))) return field.get();
    return nullptr;
}

TField& TTable::FieldByName(const std::string& name) {
    RequireOpen(*this);
    if (TField* field = FindField(name)) return *field;
    throw EDBEngineError(detail::Format("Field '{}' not found in table {}", name, impl_->name));
}

std::vector<TField*> TTable::Fields() {
    std::vector<TField*> out;
    for (auto& field : impl_->fields)
        out.push_back(field.get());
    return out;
}

void TTable::Edit() {
    auto& impl = *impl_;
    RequireOpen(*this);
    if (impl.state == TDataSetState::Edit) return;
    if (impl.state == TDataSetState::Insert) Post();
    if (!impl.HasRow() || (impl.eof && impl.rows.empty()))
        throw EDBEngineError(
            detail::Format("Table {}: cannot edit, there is no current record", impl.name));
    impl.BeginWrite();
    try {
        // Re-read under the lock: the edit starts from what is stored now,
        // not from what this cursor saw earlier.
        impl.currentLoaded = false;
        ResetGuard guard{impl.selectRow};
        impl.selectRow.Bind(1, impl.rows[impl.pos]);
        if (!impl.selectRow.Step(impl.Context() + ": reading a record"))
            throw EDBEngineError(
                detail::Format("Table {}: the record was deleted by another user", impl.name));
        impl.current.assign(impl.fields.size(), std::monostate{});
        for (std::size_t i = 0; i < impl.fields.size(); ++i)
            impl.current[i] = impl.selectRow.Column(static_cast<int>(i));
        impl.currentLoaded = true;
    } catch (...) {
        impl.ReleaseLockQuietly();
        throw;
    }
    impl.buffer = impl.current;
    impl.state = TDataSetState::Edit;
}

void TTable::Append() {
    auto& impl = *impl_;
    CheckBrowseMode(*this);
    impl.BeginWrite();
    impl.buffer.assign(impl.fields.size(), std::monostate{});
    impl.state = TDataSetState::Insert;
}

void TTable::Post() {
    auto& impl = *impl_;
    RequireOpen(*this);
    if (impl.state != TDataSetState::Edit && impl.state != TDataSetState::Insert)
        throw EDBEngineError(detail::Format("Table {}: not in edit or insert mode", impl.name));
    if (BeforePost) BeforePost(*this);
    for (std::size_t i = 0; i < impl.fields.size(); ++i) {
        const auto& def = impl.defs[i];
        if (def.Required && std::holds_alternative<std::monostate>(impl.buffer[i]))
            throw EDBEngineError(detail::Format("Field '{}' must have a value", def.Name));
    }
    impl.database->impl_->CheckTransactionAlive(impl.database->DatabaseName());
    impl.database->impl_->SetBusyWait();
    const bool inserting = impl.state == TDataSetState::Insert;
    Statement& stmt = inserting ? impl.insertRow : impl.updateRow;
    {
        ResetGuard guard{stmt};
        for (std::size_t i = 0; i < impl.buffer.size(); ++i)
            stmt.Bind(static_cast<int>(i + 1), impl.buffer[i]);
        if (!inserting) stmt.Bind(static_cast<int>(impl.buffer.size() + 1), impl.rows[impl.pos]);
        stmt.Step(impl.Context() + (inserting ? ": appending a record" : ": posting a record"));
    }
    // An update that touched nothing must not pass for a post.
    if (!inserting && sqlite3_changes(impl.db()) == 0)
        throw EDBEngineError(
            detail::Format("Table {}: the record was deleted by another user", impl.name));
    const std::int64_t rowid = inserting ? sqlite3_last_insert_rowid(impl.db()) : 0;
    const std::size_t at = inserting ? impl.InsertPosition(impl.buffer) : impl.pos;
    try {
        impl.EndWrite();
    } catch (...) {
        // Not committed: undo the write so that a second Post cannot store
        // the row twice; the buffer is kept for that retry.
        sqlite3_exec(impl.db(), "ROLLBACK", nullptr, nullptr, nullptr);
        impl.ownsLock = false;
        throw;
    }
    if (inserting) {
        impl.rows.insert(impl.rows.begin() + static_cast<std::ptrdiff_t>(at), rowid);
        impl.pos = at;
        impl.eof = false;
    }
    impl.current = std::move(impl.buffer);
    impl.currentLoaded = true;
    impl.buffer.clear();
    impl.state = TDataSetState::Browse;
    if (AfterPost) AfterPost(*this);
}

void TTable::Cancel() {
    auto& impl = *impl_;
    if (impl.state != TDataSetState::Edit && impl.state != TDataSetState::Insert) return;
    impl.buffer.clear();
    impl.state = TDataSetState::Browse;
    impl.currentLoaded = false;
    impl.EndWrite();
}

void TTable::Delete() {
    auto& impl = *impl_;
    RequireOpen(*this);
    if (impl.state == TDataSetState::Insert) {
        Cancel();
        return;
    }
    if (!impl.HasRow())
        throw EDBEngineError(
            detail::Format("Table {}: cannot delete, there is no current record", impl.name));
    impl.database->impl_->CheckTransactionAlive(impl.database->DatabaseName());
    impl.database->impl_->SetBusyWait();
    {
        ResetGuard guard{impl.deleteRow};
        impl.deleteRow.Bind(1, impl.rows[impl.pos]);
        impl.deleteRow.Step(impl.Context() + ": deleting a record");
    }
    if (impl.state == TDataSetState::Edit) {
        impl.buffer.clear();
        impl.state = TDataSetState::Browse;
        impl.EndWrite();
    }
    impl.rows.erase(impl.rows.begin() + static_cast<std::ptrdiff_t>(impl.pos));
    if (impl.pos >= impl.rows.size()) {
        impl.MoveTo(impl.rows.empty() ? 0 : impl.rows.size() - 1);
        impl.eof = true;
    } else {
        impl.MoveTo(impl.pos);
        impl.eof = false;
    }
}

bool TTable::Locate(const std::string& field, const Variant& value) {
    CheckBrowseMode(*this);
    auto& impl = *impl_;
    TField& target = FieldByName(field);
    const TFieldDef& def = impl.defs[static_cast<std::size_t>(target.index_)];
    // The wanted value in stored form, converted as a write would convert it.
    Stored wanted;
    if (auto* s = std::get_if<std::string>(&value)) {
        if (def.DataType == TFieldType::String || def.DataType == TFieldType::Memo)
            wanted = *s;
        else
            wanted = FromText(*s, def);
    } else if (auto* i = std::get_if<std::int64_t>(&value)) {
        wanted = def.DataType == TFieldType::String || def.DataType == TFieldType::Memo
                     ? Stored(std::to_string(*i))
                     : Stored(*i);
    } else if (auto* d = std::get_if<double>(&value)) {
        wanted = *d;
    } else if (auto* b = std::get_if<bool>(&value)) {
        wanted = std::int64_t{*b ? 1 : 0};
    }
    const bool null = std::holds_alternative<std::monostate>(wanted);
    Statement stmt(impl.db(),
                   detail::Format("SELECT rowid FROM {} WHERE {} {}", impl.quoted, Quote(def.Name),
                                  null ? "IS NULL" : "= ?1 COLLATE NOCASE"),
                   impl.Context());
    if (!null) stmt.Bind(1, wanted);
    std::unordered_set<std::int64_t> matches;
    while (stmt.Step(impl.Context() + ": locating"))
        matches.insert(sqlite3_column_int64(stmt.get(), 0));
    if (matches.empty()) return false;
    for (std::size_t i = 0; i < impl.rows.size(); ++i) {
        if (matches.count(impl.rows[i]) != 0) {
            impl.MoveTo(i);
            impl.eof = false;
            return true;
        }
    }
    return false;
}

void TTable::SetFilter(const std::string& filter) {
    if (Active() && filtered_) {
        CheckBrowseMode(*this);
        Requery(*impl_, impl_->defs, true, filter);
    }
    filter_ = filter;
}

void TTable::SetFiltered(bool on) {
    if (Active() && on != filtered_) {
        CheckBrowseMode(*this);
        Requery(*impl_, impl_->defs, on, filter_);
    }
    filtered_ = on;
}

void TTable::SetIndexFieldNames(const std::string& names) {
    if (Active()) {
        CheckBrowseMode(*this);
        Order order = MakeOrder(names, impl_->defs, impl_->name);
        std::swap(impl_->orderBy, order.clause);
        std::swap(impl_->orderColumns, order.columns);
        try {
            Requery(*impl_, impl_->defs, filtered_, filter_);
        } catch (...) {
            std::swap(impl_->orderBy, order.clause);
            std::swap(impl_->orderColumns, order.columns);
            throw;
        }
    }
    indexFieldNames_ = names;
}

// ---------------------------------------------------------------------------
// TField

namespace {

const Stored& FieldValue(TTable::Impl& impl, int index) {
    static const Stored null;
    if (impl.state == TDataSetState::Edit || impl.state == TDataSetState::Insert)
        return impl.buffer[static_cast<std::size_t>(index)];
    if (impl.state == TDataSetState::Inactive || !impl.HasRow()) return null;
    impl.LoadCurrent();
    return impl.current[static_cast<std::size_t>(index)];
}

}  // namespace

bool TField::IsNull() const {
    return std::holds_alternative<std::monostate>(FieldValue(*table_.impl_, index_));
}

std::string TField::AsString() const {
    return ToText(FieldValue(*table_.impl_, index_), def_);
}

std::int64_t TField::AsInteger() const {
    const Stored& v = FieldValue(*table_.impl_, index_);
    if (std::holds_alternative<std::monostate>(v)) return 0;
    if (auto* i = std::get_if<std::int64_t>(&v)) return *i;
    if (auto* d = std::get_if<double>(&v)) {
        const double r = std::round(*d);
        if (r >= -9.2e18 && r <= 9.2e18) return static_cast<std::int64_t>(r);
        BadValue(detail::FormatNumber(*d), TFieldDef{def_.Name, TFieldType::Integer});
    }
    const auto& s = std::get<std::string>(v);
    if (auto i = detail::ParseInteger(s)) return *i;
    BadValue(ToText(v, def_), TFieldDef{def_.Name, TFieldType::Integer});
}

bool TField::AsBoolean() const {
    const Stored& v = FieldValue(*table_.impl_, index_);
    if (std::holds_alternative<std::monostate>(v)) return false;
    if (auto* i = std::get_if<std::int64_t>(&v)) return *i != 0;
    if (auto* d = std::get_if<double>(&v)) return *d != 0;
    if (auto b = detail::ParseLogical(std::get<std::string>(v))) return *b;
    BadValue(ToText(v, def_), TFieldDef{def_.Name, TFieldType::Logical});
}

double TField::AsCurrency() const {
    const Stored& v = FieldValue(*table_.impl_, index_);
    if (std::holds_alternative<std::monostate>(v)) return 0.0;
    if (auto* i = std::get_if<std::int64_t>(&v)) return static_cast<double>(*i);
    if (auto* d = std::get_if<double>(&v)) return *d;
    if (def_.DataType != TFieldType::Date)
        if (auto n = detail::ParseNumber(std::get<std::string>(v))) return *n;
    BadValue(ToText(v, def_), TFieldDef{def_.Name, TFieldType::Currency});
}

Variant TField::Value() const {
    const auto& v = FieldValue(*table_.impl_, index_);
    if (std::holds_alternative<std::monostate>(v)) return std::monostate{};
    switch (def_.DataType) {
        case TFieldType::Logical:
            return AsBoolean();
        case TFieldType::Integer:
            if (std::holds_alternative<std::int64_t>(v)) return std::get<std::int64_t>(v);
            break;
        case TFieldType::Number:
        case TFieldType::Currency:
            if (!std::holds_alternative<std::string>(v)) return AsCurrency();
            break;
        default:
            break;
    }
    return AsString();
}

namespace {

Stored& WritableValue(TTable::Impl& impl, int index, const TFieldDef& def) {
    if (impl.state != TDataSetState::Edit && impl.state != TDataSetState::Insert)
        throw EDBEngineError(detail::Format("Field '{}': table {} is not in edit or insert mode",
                                            def.Name, impl.name));
    return impl.buffer[static_cast<std::size_t>(index)];
}

}  // namespace

void TField::SetAsString(const std::string& text) {
    auto& slot = WritableValue(*table_.impl_, index_, def_);
    slot = FromText(text, def_);
}

void TField::SetAsInteger(std::int64_t value) {
    auto& slot = WritableValue(*table_.impl_, index_, def_);
    switch (def_.DataType) {
        case TFieldType::Integer:
            slot = value;
            break;
        case TFieldType::Number:
        case TFieldType::Currency:
            slot = static_cast<double>(value);
            break;
        case TFieldType::Logical:
            slot = std::int64_t{value != 0 ? 1 : 0};
            break;
        case TFieldType::String:
        case TFieldType::Memo:
            slot = FromText(std::to_string(value), def_);
            break;
        default:
            BadValue(std::to_string(value), def_);
    }
}

void TField::SetAsBoolean(bool value) {
    auto& slot = WritableValue(*table_.impl_, index_, def_);
    switch (def_.DataType) {
        case TFieldType::Logical:
        case TFieldType::Integer:
            slot = std::int64_t{value ? 1 : 0};
            break;
        case TFieldType::String:
        case TFieldType::Memo:
            slot = FromText(value ? "True" : "False", def_);
            break;
        default:
            BadValue(value ? "True" : "False", def_);
    }
}

void TField::SetAsCurrency(double value) {
    auto& slot = WritableValue(*table_.impl_, index_, def_);
    if (!std::isfinite(value)) BadValue(detail::FormatNumber(value), def_);
    switch (def_.DataType) {
        case TFieldType::Number:
        case TFieldType::Currency:
            slot = value;
            break;
        case TFieldType::Integer:
            // A fraction would be lost silently; refuse it instead.
            if (value != std::trunc(value) || std::fabs(value) > 9.2e18)
                BadValue(detail::FormatNumber(value), def_);
            slot = static_cast<std::int64_t>(value);
            break;
        case TFieldType::String:
        case TFieldType::Memo:
            slot = FromText(detail::FormatNumber(value), def_);
            break;
        default:
            BadValue(detail::FormatNumber(value), def_);
    }
}

void TField::SetValue(const Variant& value) {
    if (std::holds_alternative<std::monostate>(value))
        Clear();
    else if (auto* s = std::get_if<std::string>(&value))
        SetAsString(*s);
    else if (auto* i = std::get_if<std::int64_t>(&value))
        SetAsInteger(*i);
    else if (auto* d = std::get_if<double>(&value))
        SetAsCurrency(*d);
    else
        SetAsBoolean(std::get<bool>(value));
}

void TField::Clear() {
    WritableValue(*table_.impl_, index_, def_) = std::monostate{};
}

// ---------------------------------------------------------------------------
// TSession

void TSession::Open() {
    active_ = true;
}

void TSession::Close() {
    for (auto& db : databases_)
        db->Close();
    active_ = false;
}

void TSession::SetNetFileDir(const std::string& folder) {
    netFileDir_ = folder;
}
void TSession::SetPrivateDir(const std::string& folder) {
    privateDir_ = folder;
}

void TSession::AddPassword(const std::string& password) {
    if (std::find(passwords_.begin(), passwords_.end(), password) == passwords_.end())
        passwords_.push_back(password);
}

void TSession::RemoveAllPasswords() {
    passwords_.clear();
}

TDatabase* TSession::FindDatabase(const std::string& name) {
    for (auto& db : databases_)
        if (EqualNoCase(db->DatabaseName(), Trim(name))) return db.get();
    return nullptr;
}

TDatabase& TSession::Database(const std::string& name) {
    if (TDatabase* db = FindDatabase(name)) return *db;
    databases_.push_back(std::make_unique<TDatabase>(std::string(Trim(name))));
    return *databases_.back();
}

void TSession::RemoveDatabase(const std::string& name) {
    for (auto it = databases_.begin(); it != databases_.end(); ++it) {
        if (EqualNoCase((*it)->DatabaseName(), Trim(name))) {
            (*it)->Close();
            databases_.erase(it);
            return;
        }
    }
}

TSession& Session() {
    static TSession session;
    return session;
}

}  // namespace kvo::engine
