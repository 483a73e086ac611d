// The filter text of a table: terms "Field op value" joined by AND.  Parsing
// is separate from the table so that a malformed text is rejected with a
// message saying where, before any SQL is built; values are later bound as
// parameters, never pasted into SQL.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kvo::engine::detail {

enum class LiteralKind {
    Number,  // bare: 3, -2, 12.50
    Text,    // single-quoted, '' standing for one quote
    Word,    // bare TRUE, FALSE or NULL
};

struct FilterTerm {
    std::string field;
    std::string op;  // = <> < > <= >=
    LiteralKind kind = LiteralKind::Text;
    std::string value;     // unquoted text, number as written, or the upper-cased word
    std::size_t position;  // of the term's value in the filter text, for messages
};

// An empty or blank text gives no terms.  Throws EDBEngineError naming the
// position and what was expected.
std::vector<FilterTerm> ParseFilter(std::string_view text);

}  // namespace kvo::engine::detail
