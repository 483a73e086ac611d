// The practice table engine: tables opened by name through a named database,
// with cursors, typed field access, filters and the session's settings.
//
// Start here.  A `TSession` (one per process, `Session()`) holds the named
// databases; the database "KVO" gets either "PATH=<folder>", naming the
// folder whose tables it serves from one file, or "CONNECTION=<connection
// string>", naming a PostgreSQL database that every workstation of a
// practice shares (a libpq string such as "host=server dbname=practice
// user=kvo" or "postgresql://kvo@server/practice").  A `TTable` names its
// database and its table ("USER.DB" and "USER" are the same table) and is a
// cursor over the table's rows in the table's own order, narrowed by a
// filter when filtering is on.  The order is that of the index field names
// when set, else that of the table's key, else insertion order.  The set of
// rows a cursor walks is taken when it opens and when its filter, filtered
// switch or index field names change; rows it appends join it in order,
// rows it deletes leave it, and a row deleted elsewhere reads as null and
// cannot be edited.
//
// Errors: every failure is thrown as `EDBEngineError` carrying the engine's
// message (missing table, unknown field, malformed filter, a database or row
// locked by another connection or process after a bounded wait, a folder on
// a network file system).  Nothing is reported by result.
//
// Storage: with PATH, one SQLite database file, `kDatabaseFileName`, in the
// folder, which must be on a local disk (its locks do not hold on network
// file systems).  With CONNECTION, one table per table on the server, each
// with a hidden identity column.  Dates are kept so that SQL order is
// calendar order; callers only ever see "DD/MM/YYYY".
//
// Locks: Edit re-reads its row under a lock held until Post or Cancel, and
// Append takes what a write needs (unless a TDatabase transaction already
// holds it).  The file backend has one lock for the whole database; the
// server locks the rows written.  Another connection or process waits at
// most `Session().LockWaitMs()` and then gets an EDBEngineError saying
// "record locked by another user".
//
// Thread-safety: the engine objects belong to the thread that created them.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

namespace kvo::engine {

// The file holding every table of a database's folder.
inline constexpr const char* kDatabaseFileName = "kvo-tables.sqlite3";

// The engine's error class.  what() is the engine's message, meant for users.
class EDBEngineError : public std::runtime_error {
  public:
    explicit EDBEngineError(const std::string& message) : std::runtime_error(message) {}
};

enum class TFieldType {
    String,    // text of up to Size characters
    Integer,   // 32/64-bit whole number
    Number,    // floating point
    Currency,  // money, stored as a number
    Logical,   // true/false
    Date,      // calendar date; read and written as "DD/MM/YYYY"
    Time,      // time of day; read and written as "HH:MM:SS"
    Memo,      // text without a size limit
};

struct TFieldDef {
    std::string Name;
    TFieldType DataType = TFieldType::String;
    int Size = 0;  // for String: the maximum length; otherwise 0
    bool Required = false;
};

// A value as written from a variant: null, text, whole number, number or logical.
using Variant = std::variant<std::monostate, std::string, std::int64_t, double, bool>;

class TTable;

// One field of the current record of an open table.  Owned by its table;
// valid while the table stays open.  Reading a null field gives "", 0, false
// or 0.0.  Writing needs the table in edit or insert state.
class TField {
  public:
    const std::string& FieldName() const { return def_.Name; }
    TFieldType DataType() const { return def_.DataType; }
    bool IsNull() const;

    std::string AsString() const;
    std::int64_t AsInteger() const;
    bool AsBoolean() const;
    double AsCurrency() const;
    Variant Value() const;

    // Text is converted to the field's type; a text that does not convert
    // ("abc" into an Integer field, "31/02/2020" into a Date) raises.
    void SetAsString(const std::string& text);
    void SetAsInteger(std::int64_t value);
    void SetAsBoolean(bool value);
    void SetAsCurrency(double value);
    void SetValue(const Variant& value);
    void Clear();  // to null, not to zero, false or an empty text

  private:
    friend class TTable;
    TField(TTable& table, TFieldDef def, int index)
        : table_(table), def_(std::move(def)), index_(index) {}
    TTable& table_;
    TFieldDef def_;
    int index_;
};

enum class TDataSetState { Inactive, Browse, Edit, Insert };

class TDatabase;

class TTable {
  public:
    TTable();
    ~TTable();
    TTable(const TTable&) = delete;
    TTable& operator=(const TTable&) = delete;

    // Settings, changed while closed (the filter also while open).
    void SetDatabaseName(const std::string& name);
    const std::string& DatabaseName() const { return databaseName_; }
    void SetTableName(const std::string& name);
    const std::string& TableName() const { return tableName_; }

    // Whether the table exists in the database's folder.  Raises only when
    // the database itself cannot be reached.
    bool Exists() const;

    // Creates the table from FieldDefs() (replacing nothing: an existing
    // table raises).  Index field names, when set, become its key.
    void CreateTable();

    void Open();
    void Close();
    bool Active() const;
    TDataSetState State() const;

    void First();
    void Next();
    bool Eof() const;
    bool IsEmpty() const;  // no record passes the filter
    std::int64_t RecordCount() const;

    TField& FieldByName(const std::string& name);  // unknown name raises
    TField* FindField(const std::string& name);    // nullptr when unknown
    std::vector<TField*> Fields();

    void Edit();
    void Append();
    void Post();
    void Cancel();
    // Deletes the current record; the cursor then stands on the record that
    // followed it (or at the end).
    void Delete();

    // Moves to the first record of the view whose field equals value; texts
    // compare without regard to case, by the Unicode case folding of the
    // whole text ("ZOË" finds "Zoë", "STRASSE" finds "Straße").  False
    // (cursor unmoved) when there is none.
    bool Locate(const std::string& field, const Variant& value);

    // The filter text: terms "Field op value" joined by AND, op one of
    // = <> < > <= >=, numbers bare, texts and dates in single quotes, dates
    // as 'DD/MM/YYYY' and compared as calendar dates, logical values bare
    // TRUE/FALSE, and "Field = NULL" / "Field <> NULL" for null tests.  Texts
    // compare exactly ('*' is a plain character, not a wildcard) and a null
    // field passes no other comparison.  An empty filter passes every row.
    // Checked when it takes effect (open, or set while open and filtered); a
    // malformed filter or an unknown field raises, and on an open table the
    // view and the previous filter stay as they were.
    void SetFilter(const std::string& filter);
    const std::string& Filter() const { return filter_; }
    void SetFiltered(bool on);
    bool Filtered() const { return filtered_; }

    // Semicolon-separated field names giving the order and the key.
    void SetIndexFieldNames(const std::string& names);
    const std::string& IndexFieldNames() const { return indexFieldNames_; }

    // Adds a secondary index on semicolon-separated fields to the existing
    // table (open or closed); an index of that name that exists is kept.
    void AddIndex(const std::string& name, const std::string& fields);

    // Field definitions: filled from the table by UpdateFieldDefs() (or on
    // open), or set by the caller before CreateTable().
    std::vector<TFieldDef>& FieldDefs() { return fieldDefs_; }
    void UpdateFieldDefs();

    // Called before and after every post; a BeforePost that throws stops it.
    std::function<void(TTable&)> BeforePost;
    std::function<void(TTable&)> AfterPost;

    struct Impl;  // the engine's own state; opaque outside the engine

  private:
    friend class TField;
    friend class TDatabase;
    std::unique_ptr<Impl> impl_;
    std::string databaseName_;
    std::string tableName_;
    std::string filter_;
    bool filtered_ = false;
    std::string indexFieldNames_;
    std::vector<TFieldDef> fieldDefs_;
};

// A named database of the session, served from a folder ("PATH=<folder>") or
// a server ("CONNECTION=<connection string>", which wins when both are set).
class TDatabase {
  public:
    explicit TDatabase(std::string name);
    ~TDatabase();
    const std::string& DatabaseName() const { return name_; }
    // Parameters as "NAME=value" lines; PATH and CONNECTION are used.
    std::vector<std::string>& Params() { return params_; }
    std::string Path() const;
    std::string ConnectionString() const;
    // Where the tables are, for messages: "folder ..." or "server host:port/db".
    std::string Location() const;

    void Open();
    void Close();
    bool Connected() const;

    // One transaction over every post, edit and delete of this database's
    // tables until Commit or Rollback: all of it is kept, or none of it.
    // While it runs this connection holds the locks of what it wrote (on a
    // file database, the whole database), so another connection's writes
    // wait at most `Session().LockWaitMs()` and then raise.  Rollback also
    // drops unposted edits of the open tables and rebuilds their views.
    // Starting a second transaction, or committing or rolling back without
    // one, raises.  A transaction the database abandoned by itself is never
    // committed: further writes and Commit raise until Rollback.  A server
    // abandons it after any failed statement (a record locked elsewhere, a
    // duplicate key); a file database only after a full disk or an I/O error.
    void StartTransaction();
    void Commit();
    void Rollback();
    bool InTransaction() const;

  private:
    friend class TTable;
    struct Impl;
    std::unique_ptr<Impl> impl_;
    std::string name_;
    std::vector<std::string> params_;
};

// The engine's default context: one per process.
class TSession {
  public:
    void Open();
    void Close();
    bool Active() const { return active_; }

    void SetNetFileDir(const std::string& folder);
    const std::string& NetFileDir() const { return netFileDir_; }
    void SetPrivateDir(const std::string& folder);
    const std::string& PrivateDir() const { return privateDir_; }

    void AddPassword(const std::string& password);
    void RemoveAllPasswords();
    const std::vector<std::string>& Passwords() const { return passwords_; }

    // The database of that name (created on first use); never nullptr.
    TDatabase& Database(const std::string& name);
    TDatabase* FindDatabase(const std::string& name);
    void RemoveDatabase(const std::string& name);

    // How long a post, delete or edit waits for a lock held elsewhere before
    // raising.  Default 5000 ms.
    void SetLockWaitMs(int ms) { lockWaitMs_ = ms; }
    int LockWaitMs() const { return lockWaitMs_; }

  private:
    bool active_ = false;
    std::string netFileDir_;
    std::string privateDir_;
    std::vector<std::string> passwords_;
    std::vector<std::unique_ptr<TDatabase>> databases_;
    int lockWaitMs_ = 5000;
};

TSession& Session();

}  // namespace kvo::engine
