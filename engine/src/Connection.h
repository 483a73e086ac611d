// The one seam between the cursor and a storage backend: a connection runs
// statements with bound values, keeps transactions, takes row locks and
// answers questions about the schema.  The cursor writes its statements in
// one small SQL dialect understood by both backends ("rowid" names the row,
// "?N" marks the N-th value) and never sees a backend's own handle.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "engine/engine.h"

namespace kvo::engine::detail {

// A stored value as the cursor keeps it.  Logical fields hold 0/1, dates
// hold "YYYY-MM-DD", times "HH:MM:SS".
using Stored = std::variant<std::monostate, std::int64_t, double, std::string>;
using StoredRow = std::vector<Stored>;

class Connection {
  public:
    virtual ~Connection() = default;

    // Where the tables live, for messages ("folder /x" or "server host:port/db").
    virtual std::string Where() const = 0;

    // Runs a query and returns every row, each column as a stored value.
    virtual std::vector<StoredRow> Query(const std::string& sql, const std::vector<Stored>& binds,
                                         const std::string& context) = 0;
    // Runs a statement that returns no rows; the number of rows it changed.
    virtual std::int64_t Execute(const std::string& sql, const std::vector<Stored>& binds,
                                 const std::string& context) = 0;
    // Runs an INSERT of one row; the new row's rowid.
    virtual std::int64_t Insert(const std::string& sql, const std::vector<Stored>& binds,
                                const std::string& context) = 0;
    // Runs statements without values (schema changes, several at once).
    virtual void Script(const std::string& sql, const std::string& context) = 0;

    // How long a statement waits for a lock held by another connection.
    virtual void SetLockWait(int ms) = 0;

    // Opens a transaction.  A file database takes its one write lock up
    // front; a server takes row locks as rows are touched.
    virtual void Begin(const std::string& context) = 0;
    virtual void Commit(const std::string& context) = 0;
    virtual void RollbackQuietly() noexcept = 0;
    // Whether a transaction is open on the connection.
    virtual bool InTransaction() const = 0;
    // Whether the open transaction was abandoned by the backend after an
    // error, so that only a rollback can end it.
    virtual bool TransactionFailed() const = 0;

    // Appended to the statement that re-reads a row for an edit: the row
    // stays locked until the transaction ends.
    virtual std::string RowLockClause() const = 0;
    // One term of an ORDER BY in the engine's order (nulls first, texts
    // bytewise).
    virtual std::string OrderTerm(const std::string& quotedColumn) const = 0;
    // Whether a write on one row locks the whole database against others.
    virtual bool LocksWholeDatabase() const = 0;

    // Counts what this connection has done that may change rows: every
    // statement but a read-only query, and every start and end of a
    // transaction.  While it stays the same, rows this connection read are
    // still stored as read, provided no other connection could write
    // meanwhile (LocksWholeDatabase and a transaction open).
    std::uint64_t ChangeCount() const { return changes_; }

    // Schema.  Table names come normalised (upper case, no extension).
    virtual bool TableExists(const std::string& table) = 0;
    virtual std::vector<TFieldDef> FieldDefs(const std::string& table) = 0;
    // The fields of the table's key in key order; empty for a table without one.
    virtual std::vector<std::string> KeyFields(const std::string& table) = 0;
    // The column list of CREATE TABLE for these fields (names already checked).
    virtual std::string ColumnDefinitions(const std::vector<TFieldDef>& defs) const = 0;

  protected:
    void Changed() { ++changes_; }

  private:
    std::uint64_t changes_ = 1;  // 0 is never a count: "not known" to the cursor
};

// SQLite: one file, kDatabaseFileName, in `folder`.  Refuses a folder on a
// network file system.
std::unique_ptr<Connection> OpenSqlite(const std::string& database, const std::string& folder);

// A PostgreSQL server named by a libpq connection string.
std::unique_ptr<Connection> OpenPostgres(const std::string& database,
                                         const std::string& connectionString);

// "ident" with inner quotes doubled: every name put into SQL goes through it.
std::string Quote(std::string_view identifier);

// The engine's message for a lock held elsewhere; callers match "locked".
std::string LockedMessage(const std::string& context, const std::string& detail);

}  // namespace kvo::engine::detail
