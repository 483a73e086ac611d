#include <algorithm>
#include <unordered_set>

#include "Internal.h"
#include "filter.h"

namespace kvo::engine {

using detail::CompareStored;
using detail::Connection;
using detail::FindDef;
using detail::Format;
using detail::Quote;
using detail::SameText;
using detail::Stored;
using detail::StoredRow;
using detail::Trim;

namespace {

struct Order {
    std::string clause;
    std::vector<std::size_t> columns;  // positions of the ordering fields
};

// The order of a view: the index field names when set, else the table's key
// (so that a keyed table is walked in key order), else insertion order.
// rowid last keeps equal rows in insertion order.
Order MakeOrder(const std::string& indexNames, const std::vector<TFieldDef>& defs,
                const std::string& table, Connection& conn) {
    std::vector<std::string> fields = detail::SplitFieldList(indexNames);
    if (fields.empty()) fields = conn.KeyFields(table);
    Order order;
    for (const auto& field : fields) {
        const TFieldDef* def = FindDef(defs, field);
        if (def == nullptr)
            throw EDBEngineError(Format("Table {}: index field '{}' does not exist", table, field));
        order.clause += conn.OrderTerm(Quote(def->Name)) + ", ";
        order.columns.push_back(static_cast<std::size_t>(def - defs.data()));
    }
    order.clause += "rowid";
    return order;
}

struct CompiledFilter {
    std::string where;  // "" when nothing is filtered
    std::vector<Stored> binds;
};

// A filter value as the stored value of the field it is compared with.
Stored FilterValue(const detail::FilterTerm& term, const TFieldDef& def) {
    using detail::LiteralKind;
    auto fail = [&](const std::string& why) -> Stored {
        throw EDBEngineError(Format("Filter error at position {}: {}", term.position + 1, why));
    };
    const std::string shown = term.kind == LiteralKind::Text ? "'" + term.value + "'" : term.value;
    switch (def.DataType) {
        case TFieldType::String:
        case TFieldType::Memo:
            if (term.kind == LiteralKind::Word)
                return fail(Format("{} cannot be compared with text field '{}'", shown, def.Name));
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
            return fail(Format("{} is not a date for field '{}' (dates are written 'DD/MM/YYYY')",
                               shown, def.Name));
        case TFieldType::Time:
            if (term.kind == LiteralKind::Text)
                if (auto v = detail::NormaliseTime(term.value)) return *v;
            break;
    }
    return fail(Format("{} is not a valid {} value for field '{}'", shown,
                       detail::TypeName(def.DataType), def.Name));
}

CompiledFilter CompileFilter(const std::string& text, const std::vector<TFieldDef>& defs,
                             const std::string& table) {
    CompiledFilter out;
    for (const auto& term : detail::ParseFilter(text)) {
        const TFieldDef* def = FindDef(defs, term.field);
        if (def == nullptr)
            throw EDBEngineError(
                Format("Filter error: field '{}' does not exist in table {}", term.field, table));
        if (!out.where.empty()) out.where += " AND ";
        if (term.kind == detail::LiteralKind::Word && term.value == "NULL") {
            if (term.op != "=" && term.op != "<>")
                throw EDBEngineError(
                    Format("Filter error at position {}: NULL can only be compared with = or <>",
                           term.position + 1));
            out.where += Quote(def->Name) + (term.op == "=" ? " IS NULL" : " IS NOT NULL");
            continue;
        }
        out.binds.push_back(FilterValue(term, *def));
        out.where += Format("{} {} ?{}", Quote(def->Name), term.op, out.binds.size());
    }
    return out;
}

TDatabase& ResolveDatabase(const std::string& name) {
    if (Trim(name).empty()) throw EDBEngineError("No database name is set for the table");
    TDatabase& db = Session().Database(name);
    db.Open();
    return db;
}

void RequireOpen(const TTable& table) {
    if (!table.Active()) throw EDBEngineError(Format("Table {} is not open", table.TableName()));
}

// Pending changes are posted before the cursor moves, as a grid would.
void CheckBrowseMode(TTable& table) {
    RequireOpen(table);
    if (table.State() == TDataSetState::Edit || table.State() == TDataSetState::Insert)
        table.Post();
}

}  // namespace

// ---------------------------------------------------------------------------
// The cursor's state

bool TTable::Impl::ReadRow(std::int64_t rowid, StoredRow& out, bool lock) {
    auto rows = Conn().Query(lock ? lockSql : selectSql, {rowid}, Context() + ": reading a record");
    if (rows.empty()) return false;
    out = std::move(rows.front());
    return true;
}

void TTable::Impl::LoadCurrent() {
    if (currentLoaded) return;
    current.assign(fields.size(), std::monostate{});
    currentAt = 0;
    if (HasRow()) {
        const std::int64_t rowid = rows[pos];
        // A cursor walking its view reads ahead; one that jumped (First,
        // Locate) reads just the row it stands on.
        const bool walking = expectNext == rowid;
        expectNext = pos + 1 < rows.size() ? std::optional(rows[pos + 1]) : std::nullopt;
        const bool sole = SoleWriter();
        if (!sole || aheadAt != Conn().ChangeCount()) DropAhead();
        auto it = ahead.find(rowid);
        if (it == ahead.end() && sole && walking) {
            ReadAhead();
            it = ahead.find(rowid);
        }
        bool exists = false;
        if (it != ahead.end()) {
            exists = it->second.has_value();
            if (exists) current = std::move(*it->second);
            ahead.erase(it);
        } else {
            if (!walking) aheadBatch = 0;
            StoredRow row;
            exists = ReadRow(rowid, row, false);
            if (exists) current = std::move(row);
        }
        if (exists && sole) currentAt = Conn().ChangeCount();
    }
    currentLoaded = true;
}

bool TTable::Impl::SoleWriter() const {
    return Conn().LocksWholeDatabase() && Conn().InTransaction();
}

void TTable::Impl::ReadAhead() {
    DropAhead();
    // Doubling from a few rows: a short walk does not pay for a long read.
    aheadBatch = std::clamp<std::size_t>(aheadBatch * 2, 8, 64);
    const std::size_t count = std::min(aheadBatch, rows.size() - pos);
    std::string& sql = aheadSql[aheadBatch];
    if (sql.empty()) {
        std::string marks;
        for (std::size_t i = 1; i <= aheadBatch; ++i)
            marks += (i == 1 ? "?" : ", ?") + std::to_string(i);
        sql = "SELECT " + columns + ", rowid FROM " + quoted + " WHERE rowid IN (" + marks + ")";
    }
    // Near the end of the view the last row fills the batch, so that one
    // statement per batch size serves every read ahead.
    std::vector<Stored> binds;
    binds.reserve(aheadBatch);
    for (std::size_t i = 0; i < aheadBatch; ++i)
        binds.emplace_back(rows[pos + std::min(i, count - 1)]);
    auto found = Conn().Query(sql, binds, Context() + ": reading records");
    ahead.reserve(count);
    for (std::size_t i = 0; i < count; ++i)
        ahead.emplace(rows[pos + i], std::nullopt);
    for (auto& row : found) {
        const auto* rowid = std::get_if<std::int64_t>(&row.back());
        if (rowid == nullptr) continue;
        const auto it = ahead.find(*rowid);
        if (it == ahead.end()) continue;
        row.pop_back();
        it->second = std::move(row);
    }
    aheadAt = Conn().ChangeCount();
}

void TTable::Impl::DropAhead() {
    ahead.clear();
    aheadAt = 0;
}

void TTable::Impl::Wrote(std::uint64_t before, std::int64_t rowid) {
    // Another change in between (another table of the connection, a
    // transaction's end) may have touched any row.
    if (aheadAt == before && Conn().ChangeCount() == before + 1) {
        aheadAt = before + 1;
        ahead.erase(rowid);
    } else {
        DropAhead();
    }
}

const std::string& TTable::Impl::UpdateFor(std::vector<Stored>& binds) {
    const std::int64_t rowid = rows[pos];
    binds.clear();
    binds.reserve(buffer.size() + 1);
    // Writing only what changed spares the indexes of fields left alone.
    if (currentLoaded && currentAt != 0 && currentAt == Conn().ChangeCount() &&
        current.size() == buffer.size()) {
        std::vector<std::uint32_t> changed;
        changed.reserve(buffer.size());
        for (std::size_t i = 0; i < buffer.size(); ++i) {
            if (buffer[i] == current[i]) continue;
            changed.push_back(static_cast<std::uint32_t>(i));
            binds.push_back(buffer[i]);
        }
        if (!changed.empty()) {
            binds.emplace_back(rowid);
            auto it = partialUpdateSql.find(changed);
            if (it == partialUpdateSql.end()) {
                if (partialUpdateSql.size() >= 64) partialUpdateSql.clear();
                std::string sets;
                for (std::size_t i = 0; i < changed.size(); ++i)
                    sets +=
                        Format("{}{} = ?{}", i == 0 ? "" : ", ", quotedNames[changed[i]], i + 1);
                it = partialUpdateSql
                         .emplace(std::move(changed), Format("UPDATE {} SET {} WHERE rowid = ?{}",
                                                             quoted, sets, binds.size()))
                         .first;
            }
            return it->second;
        }
    }
    binds = buffer;
    binds.emplace_back(rowid);
    return updateSql;
}

// Where a newly inserted row belongs in an ordered view: after every row
// whose ordering fields sort before or equal to it (its rowid is the
// largest).  Rows are appended in order during bulk loads, so the last row
// is checked first.
std::size_t TTable::Impl::InsertPosition(const StoredRow& row) {
    if (orderColumns.empty() || rows.empty()) return rows.size();
    auto after = [&](std::size_t index) {  // does `row` sort after rows[index]?
        StoredRow other;
        if (!ReadRow(rows[index], other, false)) return true;
        for (std::size_t column : orderColumns) {
            const int c = CompareStored(row[column], other[column]);
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

void TTable::Impl::BeginWrite() {
    ownsLock = false;
    database->impl_->CheckTransactionAlive(database->DatabaseName());
    database->impl_->SetLockWait();
    // Inside a database transaction (or another table's edit on this
    // connection) this process already holds what it needs.
    if (Conn().InTransaction()) return;
    Conn().Begin(Context());
    ownsLock = true;
}

// Ends this table's own write transaction.  Nothing of this table is written
// before Post, so committing is right for Cancel too and keeps what other
// tables of the connection posted meanwhile.
void TTable::Impl::EndWrite() {
    if (!ownsLock) return;
    database->impl_->SetLockWait();
    ownsLock = false;
    try {
        Conn().Commit(Context());
    } catch (...) {
        // A transaction left open here would silently take in every later
        // write of the connection and commit none of it.
        Conn().RollbackQuietly();
        throw;
    }
}

void TTable::Impl::ReleaseLockQuietly() {
    if (!ownsLock) return;
    ownsLock = false;
    try {
        Conn().Commit(Context());
    } catch (...) {
        Conn().RollbackQuietly();
    }
}

void TTable::Impl::DropFailedOwnTransaction() {
    if (ownsLock && Conn().TransactionFailed()) {
        Conn().RollbackQuietly();
        ownsLock = false;
    }
}

void TTable::Impl::Requery(bool filtered, const std::string& filter) {
    CompiledFilter compiled;
    if (filtered) compiled = CompileFilter(filter, defs, name);
    std::string sql = "SELECT rowid FROM " + quoted;
    if (!compiled.where.empty()) sql += " WHERE " + compiled.where;
    sql += " ORDER BY " + orderBy;
    std::deque<std::int64_t> ids;
    for (const auto& row : Conn().Query(sql, compiled.binds, Context() + ": running the filter"))
        ids.push_back(std::get<std::int64_t>(row[0]));
    rows = std::move(ids);
    DropAhead();
    aheadBatch = 0;
    expectNext.reset();
    MoveTo(0);
    eof = rows.empty();
}

// ---------------------------------------------------------------------------
// TTable

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

std::string MissingTableMessage(const std::string& table, const TDatabase& db) {
    return Format("Table does not exist: {} (database {}, {})", table, db.DatabaseName(),
                  db.Location());
}

}  // namespace

bool TTable::Exists() const {
    TDatabase& db = ResolveDatabase(databaseName_);
    return db.impl_->Conn().TableExists(detail::NormaliseTableName(tableName_));
}

void TTable::CreateTable() {
    TDatabase& db = ResolveDatabase(databaseName_);
    Connection& conn = db.impl_->Conn();
    const std::string name = detail::NormaliseTableName(tableName_);
    if (fieldDefs_.empty())
        throw EDBEngineError(Format("Table {}: no field definitions to create it from", name));
    std::vector<std::string> seen;
    std::vector<TFieldDef> defs;
    for (const auto& def : fieldDefs_) {
        const auto n = Trim(def.Name);
        if (n.empty()) throw EDBEngineError(Format("Table {}: a field has no name", name));
        if (SameText(n, "rowid") || SameText(n, "oid") || SameText(n, "_rowid_"))
            throw EDBEngineError(Format("Table {}: '{}' is a reserved field name", name, n));
        for (const auto& other : seen)
            if (SameText(other, n))
                throw EDBEngineError(Format("Table {}: field '{}' is defined twice", name, n));
        seen.emplace_back(n);
        defs.push_back(def);
        defs.back().Name = std::string(n);
    }
    std::string key;
    for (const auto& field : detail::SplitFieldList(indexFieldNames_)) {
        const TFieldDef* def = FindDef(defs, field);
        if (def == nullptr)
            throw EDBEngineError(
                Format("Table {}: key field '{}' is not among the fields", name, field));
        key += (key.empty() ? "" : ", ") + Quote(def->Name);
    }
    db.impl_->CheckTransactionAlive(db.DatabaseName());
    const bool ownTransaction = !conn.InTransaction();
    db.impl_->SetLockWait();
    const std::string context = "Table " + name + ": creating";
    if (ownTransaction) conn.Begin(context);
    try {
        if (conn.TableExists(name)) throw EDBEngineError(Format("Table {} already exists", name));
        conn.Script(Format("CREATE TABLE {} ({})", Quote(name), conn.ColumnDefinitions(defs)),
                    context);
        if (!key.empty())
            conn.Script(
                Format("CREATE UNIQUE INDEX {} ON {} ({})", Quote(name + "$KEY"), Quote(name), key),
                "Table " + name + ": creating its key");
        if (ownTransaction) conn.Commit(context);
    } catch (...) {
        if (ownTransaction) conn.RollbackQuietly();
        throw;
    }
}

void TTable::AddIndex(const std::string& indexName, const std::string& fields) {
    TDatabase& db = ResolveDatabase(databaseName_);
    Connection& conn = db.impl_->Conn();
    const std::string name = detail::NormaliseTableName(tableName_);
    const auto defs = conn.FieldDefs(name);
    if (defs.empty()) throw EDBEngineError(MissingTableMessage(name, db));
    if (Trim(indexName).empty())
        throw EDBEngineError(Format("Table {}: an index needs a name", name));
    std::string list;
    for (const auto& field : detail::SplitFieldList(fields)) {
        const TFieldDef* def = FindDef(defs, field);
        if (def == nullptr)
            throw EDBEngineError(Format("Table {}: index field '{}' does not exist", name, field));
        list += (list.empty() ? "" : ", ") + Quote(def->Name);
    }
    if (list.empty()) throw EDBEngineError(Format("Table {}: an index needs fields", name));
    db.impl_->CheckTransactionAlive(db.DatabaseName());
    db.impl_->SetLockWait();
    conn.Script(Format("CREATE INDEX IF NOT EXISTS {} ON {} ({})",
                       Quote(name + "$" + detail::UpperAscii(std::string(Trim(indexName)))),
                       Quote(name), list),
                "Table " + name + ": adding index " + indexName);
}

void TTable::UpdateFieldDefs() {
    TDatabase& db = ResolveDatabase(databaseName_);
    const std::string name = detail::NormaliseTableName(tableName_);
    auto defs = db.impl_->Conn().FieldDefs(name);
    if (defs.empty()) throw EDBEngineError(MissingTableMessage(name, db));
    fieldDefs_ = std::move(defs);
}

void TTable::Open() {
    if (Active()) return;
    TDatabase& db = ResolveDatabase(databaseName_);
    Connection& conn = db.impl_->Conn();
    const std::string name = detail::NormaliseTableName(tableName_);
    auto defs = conn.FieldDefs(name);
    if (defs.empty()) throw EDBEngineError(MissingTableMessage(name, db));

    auto& impl = *impl_;
    impl.database = &db;
    impl.name = name;
    impl.quoted = Quote(name);
    impl.defs = defs;
    try {
        std::string columns, sets, marks;
        impl.quotedNames.clear();
        for (std::size_t i = 0; i < defs.size(); ++i) {
            const std::string sep = i == 0 ? "" : ", ";
            impl.quotedNames.push_back(Quote(defs[i].Name));
            columns += sep + impl.quotedNames.back();
            sets += sep + Format("{} = ?{}", impl.quotedNames.back(), i + 1);
            marks += sep + Format("?{}", i + 1);
        }
        impl.columns = columns;
        impl.aheadSql.clear();
        impl.partialUpdateSql.clear();
        impl.selectSql = Format("SELECT {} FROM {} WHERE rowid = ?1", columns, impl.quoted);
        impl.lockSql = impl.selectSql + conn.RowLockClause();
        impl.updateSql =
            Format("UPDATE {} SET {} WHERE rowid = ?{}", impl.quoted, sets, defs.size() + 1);
        impl.insertSql = Format("INSERT INTO {} ({}) VALUES ({})", impl.quoted, columns, marks);
        impl.deleteSql = Format("DELETE FROM {} WHERE rowid = ?1", impl.quoted);
        Order order = MakeOrder(indexFieldNames_, defs, name, conn);
        impl.orderBy = std::move(order.clause);
        impl.orderColumns = std::move(order.columns);
        impl.Requery(filtered_, filter_);
    } catch (...) {
        impl.rows.clear();
        impl.defs.clear();
        impl.database = nullptr;
        throw;
    }
    fieldDefs_ = defs;
    impl.fields.clear();
    for (std::size_t i = 0; i < defs.size(); ++i)
        impl.fields.emplace_back(new TField(*this, defs[i], static_cast<int>(i)));
    impl.state = TDataSetState::Browse;
    db.impl_->openTables.push_back(this);
}

void TTable::Close() {
    auto& impl = *impl_;
    if (impl.state == TDataSetState::Inactive) return;
    // Unposted changes are discarded, never written behind the caller's back.
    impl.buffer.clear();
    impl.ReleaseLockQuietly();
    impl.fields.clear();
    impl.defs.clear();
    impl.rows.clear();
    impl.current.clear();
    impl.currentLoaded = false;
    impl.currentAt = 0;
    impl.DropAhead();
    impl.expectNext.reset();
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
        if (SameText(field->FieldName(), Trim(name))) return field.get();
    return nullptr;
}

TField& TTable::FieldByName(const std::string& name) {
    RequireOpen(*this);
    if (TField* field = FindField(name)) return *field;
    throw EDBEngineError(Format("Field '{}' not found in table {}", name, impl_->name));
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
            Format("Table {}: cannot edit, there is no current record", impl.name));
    impl.BeginWrite();
    try {
        // Re-read under the lock: the edit starts from what is stored now,
        // not from what this cursor saw earlier.  A row read in this same
        // transaction, with nothing written since and no other connection
        // able to write, is what is stored now.
        const bool stored = impl.currentLoaded && impl.currentAt != 0 &&
                            impl.currentAt == impl.Conn().ChangeCount() && impl.SoleWriter();
        if (!stored) {
            impl.currentLoaded = false;
            StoredRow row;
            if (!impl.ReadRow(impl.rows[impl.pos], row, true))
                throw EDBEngineError(
                    Format("Table {}: the record was deleted by another user", impl.name));
            impl.current = std::move(row);
            impl.currentLoaded = true;
            impl.currentAt = impl.Conn().ChangeCount();
        }
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
        throw EDBEngineError(Format("Table {}: not in edit or insert mode", impl.name));
    if (BeforePost) BeforePost(*this);
    for (std::size_t i = 0; i < impl.fields.size(); ++i) {
        const auto& def = impl.defs[i];
        if (def.Required && std::holds_alternative<std::monostate>(impl.buffer[i]))
            throw EDBEngineError(Format("Field '{}' must have a value", def.Name));
    }
    impl.database->impl_->CheckTransactionAlive(impl.database->DatabaseName());
    impl.database->impl_->SetLockWait();
    const bool inserting = impl.state == TDataSetState::Insert;
    std::int64_t rowid = 0;
    try {
        const std::uint64_t before = impl.Conn().ChangeCount();
        if (inserting) {
            rowid = impl.Conn().Insert(impl.insertSql, impl.buffer,
                                       impl.Context() + ": appending a record");
        } else {
            rowid = impl.rows[impl.pos];
            std::vector<Stored> binds;
            const std::string& sql = impl.UpdateFor(binds);
            // An update that touched nothing must not pass for a post.
            if (impl.Conn().Execute(sql, binds, impl.Context() + ": posting a record") == 0)
                throw EDBEngineError(
                    Format("Table {}: the record was deleted by another user", impl.name));
        }
        impl.Wrote(before, rowid);
    } catch (...) {
        impl.DropFailedOwnTransaction();
        throw;
    }
    const std::size_t at = inserting ? impl.InsertPosition(impl.buffer) : impl.pos;
    // A commit that fails undoes the write, so that a second Post cannot
    // store the row twice; the buffer is kept for that retry.
    impl.EndWrite();
    if (inserting) {
        impl.rows.insert(impl.rows.begin() + static_cast<std::ptrdiff_t>(at), rowid);
        impl.pos = at;
        impl.eof = false;
    }
    impl.current = std::move(impl.buffer);
    impl.currentLoaded = true;
    impl.currentAt = 0;  // as posted, not as read back
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
            Format("Table {}: cannot delete, there is no current record", impl.name));
    impl.database->impl_->CheckTransactionAlive(impl.database->DatabaseName());
    impl.database->impl_->SetLockWait();
    try {
        const std::uint64_t before = impl.Conn().ChangeCount();
        impl.Conn().Execute(impl.deleteSql, {impl.rows[impl.pos]},
                            impl.Context() + ": deleting a record");
        impl.Wrote(before, impl.rows[impl.pos]);
    } catch (...) {
        impl.DropFailedOwnTransaction();
        throw;
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
    const bool text = def.DataType == TFieldType::String || def.DataType == TFieldType::Memo;
    // The wanted value in stored form, converted as a write would convert it.
    Stored wanted;
    if (auto* s = std::get_if<std::string>(&value)) {
        wanted = text ? Stored(*s) : detail::FromText(*s, def);
    } else if (auto* i = std::get_if<std::int64_t>(&value)) {
        wanted = text ? Stored(std::to_string(*i)) : Stored(*i);
    } else if (auto* d = std::get_if<double>(&value)) {
        wanted = text ? Stored(detail::FormatNumber(*d)) : Stored(*d);
    } else if (auto* b = std::get_if<bool>(&value)) {
        wanted = std::int64_t{*b ? 1 : 0};
    }
    const std::string column = Quote(def.Name);
    std::unordered_set<std::int64_t> matches;
    const std::string context = impl.Context() + ": locating";
    if (std::holds_alternative<std::monostate>(wanted)) {
        for (const auto& row : impl.Conn().Query(
                 Format("SELECT rowid FROM {} WHERE {} IS NULL", impl.quoted, column), {}, context))
            matches.insert(std::get<std::int64_t>(row[0]));
    } else if (text && std::holds_alternative<std::string>(wanted)) {
        // Without regard to case means Unicode case folding of the whole
        // text ("ZOË" finds "Zoë"), which neither backend's SQL offers alike.
        const std::string folded = detail::FoldCase(std::get<std::string>(wanted));
        for (const auto& row :
             impl.Conn().Query(Format("SELECT rowid, {} FROM {} WHERE {} IS NOT NULL", column,
                                      impl.quoted, column),
                               {}, context)) {
            const auto* s = std::get_if<std::string>(&row[1]);
            if (s != nullptr && detail::FoldCase(*s) == folded)
                matches.insert(std::get<std::int64_t>(row[0]));
        }
    } else {
        for (const auto& row :
             impl.Conn().Query(Format("SELECT rowid FROM {} WHERE {} = ?1", impl.quoted, column),
                               {wanted}, context))
            matches.insert(std::get<std::int64_t>(row[0]));
    }
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
        impl_->Requery(true, filter);
    }
    filter_ = filter;
}

void TTable::SetFiltered(bool on) {
    if (Active() && on != filtered_) {
        CheckBrowseMode(*this);
        impl_->Requery(on, filter_);
    }
    filtered_ = on;
}

void TTable::SetIndexFieldNames(const std::string& names) {
    if (Active()) {
        CheckBrowseMode(*this);
        Order order = MakeOrder(names, impl_->defs, impl_->name, impl_->Conn());
        std::swap(impl_->orderBy, order.clause);
        std::swap(impl_->orderColumns, order.columns);
        try {
            impl_->Requery(filtered_, filter_);
        } catch (...) {
            std::swap(impl_->orderBy, order.clause);
            std::swap(impl_->orderColumns, order.columns);
            throw;
        }
    }
    indexFieldNames_ = names;
}

}  // namespace kvo::engine
