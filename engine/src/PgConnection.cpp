// The server backend: a practice's tables in one PostgreSQL database, shared
// by every workstation.  Rows carry an identity column "rowid", so the
// cursor's statements read the same as on the file backend.
#include <libpq-fe.h>

#include <algorithm>
#include <charconv>
#include <unordered_map>

#include "Connection.h"
#include "values.h"

namespace kvo::engine::detail {

namespace {

// Type oids of the results the cursor converts (pg_type.dat).
constexpr Oid kBool = 16, kInt8 = 20, kInt2 = 21, kInt4 = 23, kFloat4 = 700, kFloat8 = 701,
              kNumeric = 1700;

struct ResultDeleter {
    void operator()(PGresult* r) const { PQclear(r); }
};
using Result = std::unique_ptr<PGresult, ResultDeleter>;

std::string Trimmed(const char* text) {
    std::string s = text != nullptr ? text : "";
    while (!s.empty() && (s.back() == '\n' || s.back() == ' '))
        s.pop_back();
    return s;
}

// "?N" to "$N" outside quoted names and texts.
std::string ServerPlaceholders(const std::string& sql) {
    std::string out;
    out.reserve(sql.size());
    char quote = 0;
    for (std::size_t i = 0; i < sql.size(); ++i) {
        const char c = sql[i];
        if (quote != 0) {
            if (c == quote) quote = 0;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '?' && i + 1 < sql.size() && sql[i + 1] >= '0' && sql[i + 1] <= '9') {
            out += '$';
            continue;
        }
        out += c;
    }
    return out;
}

std::string TypeFor(const TFieldDef& def) {
    switch (def.DataType) {
        case TFieldType::String:
            // Bytewise order and comparison, as on the file backend.
            return def.Size > 0 ? Format("VARCHAR({}) COLLATE \"C\"", def.Size)
                                : "VARCHAR COLLATE \"C\"";
        case TFieldType::Integer:
            return "BIGINT";
        case TFieldType::Number:
            return "DOUBLE PRECISION";
        case TFieldType::Currency:
            return "NUMERIC";
        case TFieldType::Logical:
            return "BOOLEAN";
        case TFieldType::Date:
            return "DATE";
        case TFieldType::Time:
            return "TIME";
        case TFieldType::Memo:
            return "TEXT COLLATE \"C\"";
    }
    return "TEXT";
}

TFieldDef DefFromType(const std::string& name, const std::string& type, bool notNull) {
    TFieldDef def;
    def.Name = name;
    def.Required = notNull;
    auto starts = [&](const char* prefix) { return type.rfind(prefix, 0) == 0; };
    if (starts("character varying")) {
        def.DataType = TFieldType::String;
        const auto open = type.find('(');
        if (open != std::string::npos)
            if (auto size = ParseInteger(type.substr(open + 1, type.find(')') - open - 1)))
                def.Size = static_cast<int>(std::clamp<std::int64_t>(*size, 0, 1 << 30));
    } else if (type == "bigint" || type == "integer" || type == "smallint") {
        def.DataType = TFieldType::Integer;
    } else if (type == "double precision" || type == "real") {
        def.DataType = TFieldType::Number;
    } else if (starts("numeric")) {
        def.DataType = TFieldType::Currency;
    } else if (type == "boolean") {
        def.DataType = TFieldType::Logical;
    } else if (type == "date") {
        def.DataType = TFieldType::Date;
    } else if (starts("time")) {
        def.DataType = TFieldType::Time;
    } else if (type == "text") {
        def.DataType = TFieldType::Memo;
    } else {
        def.DataType = TFieldType::String;
    }
    return def;
}

class PgConnection final : public Connection {
  public:
    PgConnection(const std::string& database, const std::string& connectionString)
        : database_(database) {
        // A server that does not answer must not hang the start-up; a
        // connect_timeout in the connection string wins over this one.
        const char* keys[] = {"connect_timeout", "application_name", "dbname", nullptr};
        const char* values[] = {"10", "kvo", connectionString.c_str(), nullptr};
        conn_ = PQconnectdbParams(keys, values, 1);
        if (conn_ == nullptr || PQstatus(conn_) != CONNECTION_OK) {
            const std::string why =
                conn_ != nullptr ? Trimmed(PQerrorMessage(conn_)) : "out of memory";
            PQfinish(conn_);
            throw EDBEngineError(
                Format("Database {}: cannot connect to the database server: {}", database, why));
        }
        PQsetNoticeProcessor(
            conn_, [](void*, const char*) {}, nullptr);
        where_ = Format("server {}:{}/{}", PQhost(conn_), PQport(conn_), PQdb(conn_));
        try {
            Script(
                "SET client_encoding = 'UTF8'; SET DateStyle = 'ISO, YMD'; "
                "SET IntervalStyle = 'postgres'; SET extra_float_digits = 3",
                "Database " + database);
            SetLockWait(5000);
        } catch (...) {
            PQfinish(conn_);
            throw;
        }
    }

    ~PgConnection() override { PQfinish(conn_); }

    std::string Where() const override { return where_; }

    std::vector<StoredRow> Query(const std::string& sql, const std::vector<Stored>& binds,
                                 const std::string& context) override {
        Result r = Run(sql, binds, context);
        const int rows = PQntuples(r.get()), columns = PQnfields(r.get());
        std::vector<StoredRow> out;
        out.reserve(static_cast<std::size_t>(rows));
        for (int i = 0; i < rows; ++i) {
            StoredRow row;
            row.reserve(static_cast<std::size_t>(columns));
            for (int c = 0; c < columns; ++c)
                row.push_back(Value(r.get(), i, c));
            out.push_back(std::move(row));
        }
        return out;
    }

    std::int64_t Execute(const std::string& sql, const std::vector<Stored>& binds,
                         const std::string& context) override {
        Changed();
        Result r = Run(sql, binds, context);
        return ParseInteger(PQcmdTuples(r.get())).value_or(0);
    }

    std::int64_t Insert(const std::string& sql, const std::vector<Stored>& binds,
                        const std::string& context) override {
        Changed();
        Result r = Run(sql + " RETURNING rowid", binds, context);
        if (PQntuples(r.get()) != 1)
            throw EDBEngineError(context + ": the server did not report the new row");
        return ParseInteger(PQgetvalue(r.get(), 0, 0)).value_or(0);
    }

    void Script(const std::string& sql, const std::string& context) override {
        Changed();
        Result r(PQexec(conn_, sql.c_str()));
        Check(r.get(), context);
    }

    void SetLockWait(int ms) override {
        // lock_timeout 0 would wait for ever; the engine's 0 means "do not wait".
        ms = std::max(1, ms);
        if (ms == lockWait_) return;
        Script(Format("SET lock_timeout = {}", ms), "Database " + database_);
        lockWait_ = ms;
        // A setting made inside a transaction goes with its rollback.
        lockWaitInTransaction_ = InTransaction();
    }

    void Begin(const std::string& context) override { Script("BEGIN", context); }

    void Commit(const std::string& context) override {
        Changed();
        const bool failed = TransactionFailed();
        Result r(PQexec(conn_, "COMMIT"));
        TransactionEnded();
        Check(r.get(), context);
        // The server answers a COMMIT of an abandoned transaction by rolling back.
        if (failed || std::string(PQcmdStatus(r.get())) == "ROLLBACK")
            throw EDBEngineError(context +
                                 ": the transaction was rolled back after an earlier error");
    }

    void RollbackQuietly() noexcept override {
        Changed();
        if (PQtransactionStatus(conn_) != PQTRANS_IDLE) PQclear(PQexec(conn_, "ROLLBACK"));
        TransactionEnded();
    }

    bool InTransaction() const override {
        const auto status = PQtransactionStatus(conn_);
        return status == PQTRANS_INTRANS || status == PQTRANS_INERROR || status == PQTRANS_ACTIVE;
    }
    bool TransactionFailed() const override {
        return PQtransactionStatus(conn_) == PQTRANS_INERROR;
    }

    std::string RowLockClause() const override { return " FOR UPDATE"; }
    std::string OrderTerm(const std::string& quotedColumn) const override {
        return quotedColumn + " NULLS FIRST";
    }
    bool LocksWholeDatabase() const override { return false; }

    bool TableExists(const std::string& table) override {
        return !Query(
                    "SELECT 1 FROM pg_catalog.pg_tables WHERE schemaname = current_schema() "
                    "AND tablename = ?1",
                    {table}, "Table " + table)
                    .empty();
    }

    std::vector<TFieldDef> FieldDefs(const std::string& table) override {
        std::vector<TFieldDef> defs;
        const auto rows = Query(
            "SELECT a.attname::text, format_type(a.atttypid, a.atttypmod), a.attnotnull "
            "FROM pg_catalog.pg_attribute a JOIN pg_catalog.pg_class c ON c.oid = a.attrelid "
            "JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace "
            "WHERE n.nspname = current_schema() AND c.relname = ?1 AND c.relkind = 'r' "
            "AND a.attnum > 0 AND NOT a.attisdropped AND a.attname <> 'rowid' "
            "ORDER BY a.attnum",
            {table}, "Table " + table);
        for (const auto& row : rows) {
            const bool notNull =
                std::holds_alternative<std::int64_t>(row[2]) && std::get<std::int64_t>(row[2]) != 0;
            defs.push_back(
                DefFromType(std::get<std::string>(row[0]), std::get<std::string>(row[1]), notNull));
        }
        return defs;
    }

    std::vector<std::string> KeyFields(const std::string& table) override {
        std::vector<std::string> out;
        const auto rows = Query(
            "SELECT a.attname::text FROM pg_catalog.pg_index i "
            "JOIN pg_catalog.pg_class ic ON ic.oid = i.indexrelid "
            "JOIN pg_catalog.pg_namespace n ON n.oid = ic.relnamespace "
            "CROSS JOIN LATERAL unnest(i.indkey::int2[]) WITH ORDINALITY AS k(attnum, ord) "
            "JOIN pg_catalog.pg_attribute a ON a.attrelid = i.indrelid AND a.attnum = k.attnum "
            "WHERE n.nspname = current_schema() AND ic.relname = ?1 ORDER BY k.ord",
            {table + "$KEY"}, "Table " + table);
        for (const auto& row : rows)
            out.push_back(std::get<std::string>(row[0]));
        return out;
    }

    std::string ColumnDefinitions(const std::vector<TFieldDef>& defs) const override {
        std::string columns = "rowid BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY";
        for (const auto& def : defs)
            columns += ", " + Quote(Trim(def.Name)) + " " + TypeFor(def) +
                       (def.Required ? " NOT NULL" : "");
        return columns;
    }

  private:
    void TransactionEnded() {
        if (lockWaitInTransaction_) lockWait_ = -1;
        lockWaitInTransaction_ = false;
    }

    void Check(PGresult* r, const std::string& context) {
        const ExecStatusType status = r != nullptr ? PQresultStatus(r) : PGRES_FATAL_ERROR;
        if (status == PGRES_TUPLES_OK || status == PGRES_COMMAND_OK) return;
        const char* state = r != nullptr ? PQresultErrorField(r, PG_DIAG_SQLSTATE) : nullptr;
        const char* primary =
            r != nullptr ? PQresultErrorField(r, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
        const std::string detail =
            primary != nullptr ? std::string(primary) : Trimmed(PQerrorMessage(conn_));
        const std::string code = state != nullptr ? state : "";
        // Waited for a row lock (55P03), or lost a lock race (deadlock,
        // serialisation): both are "held by another user".
        if (code == "55P03" || code == "40P01" || code == "40001")
            throw EDBEngineError(LockedMessage(context, detail));
        if (PQstatus(conn_) != CONNECTION_OK)
            throw EDBEngineError(
                Format("{}: the connection to the database server was lost ({})", context, detail));
        throw EDBEngineError(Format("{}: {}", context, detail));
    }

    Result Run(const std::string& sql, const std::vector<Stored>& binds,
               const std::string& context) {
        // Numbers with a fraction go typed, so that comparing one with a
        // whole-number column compares values instead of failing to parse.
        std::string key = sql;
        key += '\x01';
        for (const auto& b : binds)
            key += std::holds_alternative<double>(b) ? 'd' : '-';
        auto it = prepared_.find(key);
        if (it == prepared_.end()) {
            std::vector<Oid> types;
            for (const auto& b : binds)
                types.push_back(std::holds_alternative<double>(b) ? kFloat8 : 0);
            const std::string name = "s" + std::to_string(prepared_.size() + 1);
            Result p(PQprepare(conn_, name.c_str(), ServerPlaceholders(sql).c_str(),
                               static_cast<int>(types.size()), types.data()));
            Check(p.get(), context);
            it = prepared_.emplace(key, name).first;
        }
        std::vector<std::string> texts(binds.size());
        std::vector<const char*> values(binds.size(), nullptr);
        for (std::size_t i = 0; i < binds.size(); ++i) {
            const Stored& b = binds[i];
            if (std::holds_alternative<std::monostate>(b)) continue;
            if (auto* n = std::get_if<std::int64_t>(&b)) {
                texts[i] = std::to_string(*n);
            } else if (auto* d = std::get_if<double>(&b)) {
                // Not printf: the C locale's decimal comma must not reach the server.
                char buffer[40];
                const auto end = std::to_chars(buffer, buffer + sizeof buffer, *d).ptr;
                texts[i].assign(buffer, end);
            } else {
                texts[i] = std::get<std::string>(b);
            }
            values[i] = texts[i].c_str();
        }
        Result r(PQexecPrepared(conn_, it->second.c_str(), static_cast<int>(values.size()),
                                values.data(), nullptr, nullptr, 0));
        Check(r.get(), context);
        return r;
    }

    static Stored Value(PGresult* r, int row, int column) {
        if (PQgetisnull(r, row, column)) return std::monostate{};
        const std::string text(PQgetvalue(r, row, column),
                               static_cast<std::size_t>(PQgetlength(r, row, column)));
        switch (PQftype(r, column)) {
            case kBool:
                return std::int64_t{text == "t" ? 1 : 0};
            case kInt2:
            case kInt4:
            case kInt8:
                if (auto v = ParseInteger(text)) return *v;
                break;
            case kFloat4:
            case kFloat8:
            case kNumeric: {
                double v = 0;
                std::from_chars(text.data(), text.data() + text.size(), v);
                return v;
            }
            default:
                break;
        }
        return text;
    }

    std::string database_;
    std::string where_;
    PGconn* conn_ = nullptr;
    int lockWait_ = -1;
    bool lockWaitInTransaction_ = false;
    std::unordered_map<std::string, std::string> prepared_;
};

}  // namespace

std::unique_ptr<Connection> OpenPostgres(const std::string& database,
                                         const std::string& connectionString) {
    return std::make_unique<PgConnection>(database, connectionString);
}

}  // namespace kvo::engine::detail
