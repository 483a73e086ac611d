// What the engine's classes share behind the public header: the state of a
// database and of a cursor, and the conversions between what callers write
// and what is stored.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "Connection.h"
#include "engine/engine.h"
#include "values.h"

namespace kvo::engine {

struct TDatabase::Impl {
    std::unique_ptr<detail::Connection> conn;
    std::vector<TTable*> openTables;
    bool inTransaction = false;

    detail::Connection& Conn() const { return *conn; }
    void SetLockWait() const { conn->SetLockWait(Session().LockWaitMs()); }

    // A backend may abandon a transaction by itself after a failed write (a
    // full disk, an I/O error, any error on a server).  Writes after that
    // would each be committed on their own behind the caller's back, and
    // Commit would report the partial work as done; both raise instead until
    // the caller rolls back.
    void CheckTransactionAlive(const std::string& name) const {
        if (inTransaction && (!conn->InTransaction() || conn->TransactionFailed()))
            throw EDBEngineError(detail::Format(
                "Database {}: the transaction was abandoned after an error; roll it back", name));
    }
};

struct TTable::Impl {
    TDatabase* database = nullptr;
    std::string name;    // normalised, e.g. APP_CAL
    std::string quoted;  // as an SQL identifier
    TDataSetState state = TDataSetState::Inactive;
    std::vector<std::unique_ptr<TField>> fields;

    // The rows of the current view, in order, by rowid: taken when the view
    // is (re)built, so that edits and deletes do not disturb the walk.  A
    // deque: a walk deleting as it goes takes rows off the front.
    std::deque<std::int64_t> rows;
    std::size_t pos = 0;
    bool eof = true;

    detail::StoredRow current;  // the current row as stored
    bool currentLoaded = false;
    // The connection's change count at which `current` was read as stored
    // (by Edit: under its lock); 0 when not known.  While the count stays
    // the same the row is still stored so (see Connection::ChangeCount).
    std::uint64_t currentAt = 0;
    detail::StoredRow buffer;  // the row being edited or inserted
    bool ownsLock = false;     // this table's Edit/Append began the write transaction

    // A cursor walking its view inside a transaction that keeps every other
    // connection out reads the rows ahead of it in one statement, not one
    // statement per row.  By rowid; nullopt for a row that no longer
    // exists.  Good while the connection's change count is `aheadAt`, which
    // the cursor's own writes move on (they change no row read ahead).
    std::unordered_map<std::int64_t, std::optional<detail::StoredRow>> ahead;
    std::uint64_t aheadAt = 0;
    std::size_t aheadBatch = 0;                   // rows the last read ahead asked for
    std::optional<std::int64_t> expectNext;       // the row after the one last loaded
    std::map<std::size_t, std::string> aheadSql;  // by batch size

    std::vector<std::string> quotedNames;  // of the fields, in order
    std::string columns;                   // the same, as a column list
    std::string selectSql, lockSql, updateSql, insertSql, deleteSql;
    // UPDATE statements writing only some fields, by the fields' positions.
    std::map<std::vector<std::uint32_t>, std::string> partialUpdateSql;
    std::vector<TFieldDef> defs;  // as opened; callers may change FieldDefs() meanwhile
    std::string orderBy;
    std::vector<std::size_t> orderColumns;

    detail::Connection& Conn() const { return database->impl_->Conn(); }
    std::string Context() const { return "Table " + name; }
    bool HasRow() const { return !rows.empty() && pos < rows.size(); }
    void MoveTo(std::size_t newPos) {
        pos = newPos;
        currentLoaded = false;
        currentAt = 0;
    }

    // The stored row of that rowid; false when it no longer exists.
    bool ReadRow(std::int64_t rowid, detail::StoredRow& out, bool lock);
    void LoadCurrent();
    // Whether no other connection can write until this one ends its
    // transaction, so that what it reads stays as read until it writes.
    bool SoleWriter() const;
    // Reads rows[pos] and those after it into `ahead`.
    void ReadAhead();
    void DropAhead();
    // After this cursor changed row `rowid` with one statement, the
    // connection's change count having been `before`.
    void Wrote(std::uint64_t before, std::int64_t rowid);
    // The statement and values posting `buffer` over the current row:
    // only the fields that changed when the row is known to be stored as
    // `current`, else every field.
    const std::string& UpdateFor(std::vector<detail::Stored>& binds);
    std::size_t InsertPosition(const detail::StoredRow& row);
    void BeginWrite();
    void EndWrite();
    void ReleaseLockQuietly();
    // After a failed statement: a transaction this table began and the
    // backend abandoned is rolled back, so that a retry starts clean.
    void DropFailedOwnTransaction();
    // Rebuilds the view from the filter and the order, then stands on its first row.
    void Requery(bool filtered, const std::string& filter);
};

namespace detail {

// "USER.DB", "user" and " User.db " all name the table USER.
std::string NormaliseTableName(const std::string& name);
std::vector<std::string> SplitFieldList(const std::string& names);
const char* TypeName(TFieldType type);
[[noreturn]] void BadValue(const std::string& text, const TFieldDef& def);
// Text as written by a caller to the stored value of a field of that type.
Stored FromText(const std::string& text, const TFieldDef& def);
std::string ToText(const Stored& value, const TFieldDef& def);
const TFieldDef* FindDef(const std::vector<TFieldDef>& defs, std::string_view name);
// The engine's order of stored values: null, then numbers, then texts (bytewise).
int CompareStored(const Stored& a, const Stored& b);
// Unicode case folding of UTF-8 text, for comparisons without regard to case.
std::string FoldCase(std::string_view text);

}  // namespace detail

}  // namespace kvo::engine
