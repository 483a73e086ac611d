// Conversions between what callers write and what the backends store.
#include <unicode/ucasemap.h>

#include <algorithm>
#include <memory>

#include "Internal.h"

namespace kvo::engine::detail {

std::string NormaliseTableName(const std::string& name) {
    std::string_view n = Trim(name);
    if (n.size() > 3 && SameText(n.substr(n.size() - 3), ".DB")) n.remove_suffix(3);
    if (n.empty()) throw EDBEngineError("Table name is empty");
    if (n.find_first_of("/\\") != std::string_view::npos || n.find('\0') != std::string_view::npos)
        throw EDBEngineError(Format("Invalid table name: {}", name));
    if (n.front() == '_' || SameText(n.substr(0, std::min<std::size_t>(7, n.size())), "sqlite_"))
        throw EDBEngineError(Format("Invalid table name: {}", name));
    return UpperAscii(std::string(n));
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

void BadValue(const std::string& text, const TFieldDef& def) {
    throw EDBEngineError(Format("'{}' is not a valid {} value for field '{}'", text,
                                TypeName(def.DataType), def.Name));
}

Stored FromText(const std::string& text, const TFieldDef& def) {
    switch (def.DataType) {
        case TFieldType::String:
            if (def.Size > 0 && CharacterCount(text) > static_cast<std::size_t>(def.Size))
                throw EDBEngineError(
                    Format("Text of {} characters is too long for field '{}' (at most {})",
                           CharacterCount(text), def.Name, def.Size));
            return text;
        case TFieldType::Memo:
            return text;
        default:
            break;
    }
    if (Trim(text).empty()) return std::monostate{};
    switch (def.DataType) {
        case TFieldType::Integer:
            if (auto v = ParseInteger(text)) return *v;
            break;
        case TFieldType::Number:
        case TFieldType::Currency:
            if (auto v = ParseNumber(text)) return *v;
            break;
        case TFieldType::Logical:
            if (auto v = ParseLogical(text)) return std::int64_t{*v ? 1 : 0};
            break;
        case TFieldType::Date:
            if (auto v = DisplayDateToIso(text)) return *v;
            break;
        case TFieldType::Time:
            if (auto v = NormaliseTime(text)) return *v;
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
    if (auto* d = std::get_if<double>(&value)) return FormatNumber(*d);
    const auto& s = std::get<std::string>(value);
    if (def.DataType == TFieldType::Date) return IsoDateToDisplay(s);
    return s;
}

const TFieldDef* FindDef(const std::vector<TFieldDef>& defs, std::string_view name) {
    for (const auto& def : defs)
        if (SameText(def.Name, name)) return &def;
    return nullptr;
}

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

std::string FoldCase(std::string_view text) {
    struct Closer {
        void operator()(UCaseMap* map) const { ucasemap_close(map); }
    };
    UErrorCode status = U_ZERO_ERROR;
    static thread_local std::unique_ptr<UCaseMap, Closer> map(
        ucasemap_open("", U_FOLD_CASE_DEFAULT, &status));
    if (!map) return std::string(text);
    std::string out(text.size() * 3 + 16, '\0');
    for (int attempt = 0; attempt < 2; ++attempt) {
        status = U_ZERO_ERROR;
        const int32_t length =
            ucasemap_utf8FoldCase(map.get(), out.data(), static_cast<int32_t>(out.size()),
                                  text.data(), static_cast<int32_t>(text.size()), &status);
        if (status == U_BUFFER_OVERFLOW_ERROR) {
            out.resize(static_cast<std::size_t>(length) + 1);
            continue;
        }
        // Text that is not UTF-8 is compared as it stands.
        if (U_FAILURE(status)) return std::string(text);
        out.resize(static_cast<std::size_t>(length));
        return out;
    }
    return std::string(text);
}

}  // namespace kvo::engine::detail
