#include "PracticeCatalog.h"

#include <libpq-fe.h>
#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <stdexcept>

#include "PracticeMove.h"
#include "engine/engine.h"

namespace kvo::move::detail {

namespace fs = std::filesystem;

namespace {

bool LessNoCase(const std::string& a, const std::string& b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) <
               std::tolower(static_cast<unsigned char>(y));
    });
}

// The engine's table file, opened read-only for its schema.
class TSqliteCatalog final : public TCatalog {
  public:
    explicit TSqliteCatalog(const fs::path& file) {
        if (sqlite3_open_v2(file.c_str(), &db_, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
            const std::string why = db_ ? sqlite3_errmsg(db_) : "out of memory";
            sqlite3_close(db_);
            throw std::runtime_error("cannot read the tables in " + file.string() + ": " + why);
        }
        sqlite3_busy_timeout(db_, engine::Session().LockWaitMs());
    }
    ~TSqliteCatalog() override { sqlite3_close(db_); }

    std::vector<std::string> Tables() override {
        std::vector<std::string> names;
        Query(
            "SELECT name FROM sqlite_master WHERE type='table' AND name NOT LIKE 'sqlite\\_%' "
            "ESCAPE '\\'",
            {}, [&](sqlite3_stmt* s) { names.push_back(Text(s, 0)); });
        std::sort(names.begin(), names.end(), LessNoCase);
        return names;
    }

    std::string Key(const std::string& table) override {
        std::string key;
        for (const auto& index : IndexList(table))
            if (index.unique) key = Columns(index.name);
        return key;
    }

    std::vector<std::pair<std::string, std::string>> Indexes(const std::string& table) override {
        std::vector<std::pair<std::string, std::string>> out;
        for (const auto& index : IndexList(table)) {
            if (index.unique) continue;
            // Stored as "<table>$<NAME>"; AddIndex wants the name alone.
            std::string name = index.name;
            const auto dollar = name.rfind('$');
            if (dollar != std::string::npos) name = name.substr(dollar + 1);
            out.emplace_back(name, Columns(index.name));
        }
        return out;
    }

  private:
    struct TIndex {
        std::string name;
        bool unique;
    };

    static std::string Text(sqlite3_stmt* s, int column) {
        const auto* text = sqlite3_column_text(s, column);
        return text ? reinterpret_cast<const char*>(text) : "";
    }

    template <typename Row>
    void Query(const char* sql, const std::vector<std::string>& binds, Row row) {
        sqlite3_stmt* s = nullptr;
        if (sqlite3_prepare_v2(db_, sql, -1, &s, nullptr) != SQLITE_OK)
            throw std::runtime_error(std::string("cannot read the table catalog: ") +
                                     sqlite3_errmsg(db_));
        for (std::size_t i = 0; i < binds.size(); ++i)
            sqlite3_bind_text(s, static_cast<int>(i + 1), binds[i].c_str(), -1, SQLITE_TRANSIENT);
        int rc;
        while ((rc = sqlite3_step(s)) == SQLITE_ROW)
            row(s);
        sqlite3_finalize(s);
        if (rc != SQLITE_DONE)
            throw std::runtime_error(std::string("cannot read the table catalog: ") +
                                     sqlite3_errmsg(db_));
    }

    // Indexes the engine made (origin 'c'), in creation order.
    std::vector<TIndex> IndexList(const std::string& table) {
        std::vector<TIndex> list;
        Query("SELECT name, \"unique\", origin FROM pragma_index_list(?1) ORDER BY seq DESC",
              {table}, [&](sqlite3_stmt* s) {
                  if (Text(s, 2) == "c")
                      list.push_back({Text(s, 0), sqlite3_column_int(s, 1) != 0});
              });
        return list;
    }

    std::string Columns(const std::string& index) {
        std::string columns;
        Query("SELECT name FROM pragma_index_info(?1) ORDER BY seqno", {index},
              [&](sqlite3_stmt* s) { columns += (columns.empty() ? "" : ";") + Text(s, 0); });
        return columns;
    }

    sqlite3* db_ = nullptr;
};

// A database server's catalog: the engine keeps a practice's tables in the
// connection's current schema, each key as the unique index "<table>$KEY"
// and each secondary index as "<table>$<NAME>".
class TPgCatalog final : public TCatalog {
  public:
    explicit TPgCatalog(const std::string& connection) {
        conn_ = PQconnectdb(connection.c_str());
        if (PQstatus(conn_) != CONNECTION_OK) {
            const std::string why = PQerrorMessage(conn_);
            PQfinish(conn_);
            throw std::runtime_error("cannot reach the database server: " + why);
        }
    }
    ~TPgCatalog() override { PQfinish(conn_); }

    std::vector<std::string> Tables() override {
        std::vector<std::string> names;
        for (const auto& row : Query("SELECT tablename::text FROM pg_catalog.pg_tables "
                                     "WHERE schemaname = current_schema()",
                                     {}))
            names.push_back(row[0]);
        std::sort(names.begin(), names.end(), LessNoCase);
        return names;
    }

    std::string Key(const std::string& table) override {
        for (const auto& row : IndexRows(table))
            if (row[1] == "t") return row[2];
        return {};
    }

    std::vector<std::pair<std::string, std::string>> Indexes(const std::string& table) override {
        std::vector<std::pair<std::string, std::string>> out;
        for (const auto& row : IndexRows(table)) {
            if (row[1] == "t") continue;
            std::string name = row[0];
            const auto dollar = name.rfind('$');
            if (dollar != std::string::npos) name = name.substr(dollar + 1);
            out.emplace_back(name, row[2]);
        }
        return out;
    }

  private:
    using TRows = std::vector<std::vector<std::string>>;

    TRows Query(const char* sql, const std::vector<std::string>& params) {
        std::vector<const char*> values;
        for (const auto& p : params)
            values.push_back(p.c_str());
        PGresult* r = PQexecParams(conn_, sql, static_cast<int>(values.size()), nullptr,
                                   values.data(), nullptr, nullptr, 0);
        if (PQresultStatus(r) != PGRES_TUPLES_OK) {
            const std::string why = PQresultErrorMessage(r);
            PQclear(r);
            throw std::runtime_error("cannot read the table catalog: " + why);
        }
        TRows rows;
        for (int i = 0; i < PQntuples(r); ++i) {
            rows.emplace_back();
            for (int j = 0; j < PQnfields(r); ++j)
                rows.back().emplace_back(PQgetvalue(r, i, j));
        }
        PQclear(r);
        return rows;
    }

    // Name, unique ("t"/"f") and fields of each index but the primary one.
    TRows IndexRows(const std::string& table) {
        return Query(
            "SELECT ic.relname::text, CASE WHEN i.indisunique THEN 't' ELSE 'f' END, "
            "  (SELECT string_agg(a.attname::text, ';' ORDER BY k.ord) "
            "     FROM unnest(i.indkey) WITH ORDINALITY AS k(attnum, ord) "
            "     JOIN pg_catalog.pg_attribute a "
            "       ON a.attrelid = i.indrelid AND a.attnum = k.attnum) "
            "FROM pg_catalog.pg_index i "
            "JOIN pg_catalog.pg_class ic ON ic.oid = i.indexrelid "
            "JOIN pg_catalog.pg_class tc ON tc.oid = i.indrelid "
            "JOIN pg_catalog.pg_namespace n ON n.oid = tc.relnamespace "
            "WHERE n.nspname = current_schema() AND tc.relname = $1 AND NOT i.indisprimary "
            "ORDER BY ic.oid",
            {table});
    }

    PGconn* conn_ = nullptr;
};

class TNoTables final : public TCatalog {
  public:
    std::vector<std::string> Tables() override { return {}; }
    std::string Key(const std::string&) override { return {}; }
    std::vector<std::pair<std::string, std::string>> Indexes(const std::string&) override {
        return {};
    }
};

}  // namespace

std::unique_ptr<TCatalog> Catalog(const std::string& location) {
    if (IsConnectionString(location)) return std::make_unique<TPgCatalog>(location);
    const fs::path file = fs::path(location) / engine::kDatabaseFileName;
    std::error_code ec;
    if (!fs::exists(file, ec)) return std::make_unique<TNoTables>();
    return std::make_unique<TSqliteCatalog>(file);
}

}  // namespace kvo::move::detail
