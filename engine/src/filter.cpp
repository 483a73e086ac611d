#include "filter.h"

#include "engine/engine.h"
#include "values.h"

namespace kvo::engine::detail {

namespace {

bool IsIdentStart(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}
bool IsIdentChar(char c) {
    return IsIdentStart(c) || (c >= '0' && c <= '9');
}
bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

class Parser {
  public:
    explicit Parser(std::string_view text) : text_(text) {}

    std::vector<FilterTerm> Run() {
        std::vector<FilterTerm> terms;
        SkipSpace();
        if (AtEnd()) return terms;
        for (;;) {
            terms.push_back(Term());
            SkipSpace();
            if (AtEnd()) return terms;
            const std::size_t at = pos_;
            const std::string word = Identifier();
            if (UpperAscii(word) == "AND") {
                SkipSpace();
                if (AtEnd()) Fail(pos_, "expected a term after AND");
                continue;
            }
            if (UpperAscii(word) == "OR" || UpperAscii(word) == "NOT")
                Fail(at, Format("{} is not supported; terms can only be joined by AND",
                                UpperAscii(word)));
            Fail(at, "expected AND between terms");
        }
    }

  private:
    bool AtEnd() const { return pos_ >= text_.size(); }
    char Peek() const { return AtEnd() ? '\0' : text_[pos_]; }

    void SkipSpace() {
        while (!AtEnd() && (text_[pos_] == ' ' || text_[pos_] == '\t' || text_[pos_] == '\r' ||
                            text_[pos_] == '\n'))
            ++pos_;
    }

    [[noreturn]] void Fail(std::size_t at, const std::string& what) const {
        throw EDBEngineError(
            Format("Filter error at position {}: {} in \"{}\"", at + 1, what, text_));
    }

    std::string Identifier() {
        const std::size_t start = pos_;
        if (!IsIdentStart(Peek())) return {};
        while (!AtEnd() && IsIdentChar(text_[pos_]))
            ++pos_;
        return std::string(text_.substr(start, pos_ - start));
    }

    std::string FieldName() {
        if (Peek() == '"' || Peek() == '[') {
            const char close = Peek() == '"' ? '"' : ']';
            const std::size_t start = ++pos_;
            while (!AtEnd() && text_[pos_] != close)
                ++pos_;
            if (AtEnd()) Fail(start - 1, "unterminated field name");
            std::string name(text_.substr(start, pos_ - start));
            ++pos_;
            if (Trim(name).empty()) Fail(start - 1, "empty field name");
            return name;
        }
        const std::size_t at = pos_;
        std::string name = Identifier();
        if (name.empty()) Fail(at, "expected a field name");
        return name;
    }

    std::string Operator(const std::string& field) {
        const std::size_t at = pos_;
        const char c = Peek();
        const char n = pos_ + 1 < text_.size() ? text_[pos_ + 1] : '\0';
        if (c == '<' && (n == '>' || n == '=')) {
            pos_ += 2;
            return std::string{c, n};
        }
        if (c == '>' && n == '=') {
            pos_ += 2;
            return ">=";
        }
        if (c == '=' || c == '<' || c == '>') {
            ++pos_;
            return std::string{c};
        }
        Fail(at, Format("expected a comparison operator (= <> < > <= >=) after '{}'", field));
    }

    FilterTerm Term() {
        FilterTerm term;
        term.field = FieldName();
        SkipSpace();
        term.op = Operator(term.field);
        SkipSpace();
        term.position = pos_;
        const char c = Peek();
        if (c == '\'') {
            ++pos_;
            std::string value;
            for (;;) {
                if (AtEnd()) Fail(term.position, "unterminated quoted value");
                if (text_[pos_] == '\'') {
                    if (pos_ + 1 < text_.size() && text_[pos_ + 1] == '\'') {
                        value += '\'';
                        pos_ += 2;
                        continue;
                    }
                    ++pos_;
                    break;
                }
                value += text_[pos_++];
            }
            term.kind = LiteralKind::Text;
            term.value = std::move(value);
        } else if (IsDigit(c) || ((c == '-' || c == '+' || c == '.') && pos_ + 1 < text_.size() &&
                                  (IsDigit(text_[pos_ + 1]) || text_[pos_ + 1] == '.'))) {
            const std::size_t start = pos_;
            ++pos_;
            while (!AtEnd() && (IsDigit(text_[pos_]) || text_[pos_] == '.'))
                ++pos_;
            term.kind = LiteralKind::Number;
            term.value = std::string(text_.substr(start, pos_ - start));
            if (!ParseNumber(term.value)) Fail(start, "'" + term.value + "' is not a number");
            if (IsIdentChar(Peek())) Fail(pos_, "unexpected text after a number");
        } else if (IsIdentStart(c)) {
            const std::size_t start = pos_;
            const std::string word = UpperAscii(Identifier());
            if (word != "TRUE" && word != "FALSE" && word != "NULL")
                Fail(start, Format("expected a value after '{}' (texts and dates are quoted "
                                   "with single quotes)",
                                   term.op));
            term.kind = LiteralKind::Word;
            term.value = word;
        } else {
            Fail(pos_, Format("expected a value after '{}'", term.op));
        }
        return term;
    }

    std::string_view text_;
    std::size_t pos_ = 0;
};

}  // namespace

std::vector<FilterTerm> ParseFilter(std::string_view text) {
    return Parser(text).Run();
}

}  // namespace kvo::engine::detail
