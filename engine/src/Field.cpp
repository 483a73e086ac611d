#include <cmath>

#include "Internal.h"

namespace kvo::engine {

using detail::BadValue;
using detail::FromText;
using detail::Stored;
using detail::ToText;

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

}  // namespace kvo::engine
