// Loading XML text into the document model through libxml2.
//
// libxml2 does the parsing; the model copies what it holds from libxml2's
// tree.  The parser is asked for as little as possible: no network, no
// external DTD or entity loading, no entity substitution in content (an
// entity reference stays a node of a kind the model does not hold), and the
// declared encoding is ignored because the text handed over is already the
// model's own (UTF-8).
#include <libxml/entities.h>
#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/tree.h>
#include <libxml/valid.h>
#include <libxml/xmlerror.h>

#include <algorithm>
#include <climits>
#include <istream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <unordered_map>

#include "common/XmlClasses.h"

namespace kvo::common {

namespace {

// ---- text preparation ------------------------------------------------------

// Copies `text`, replacing every byte that does not start or continue a valid
// UTF-8 sequence by U+FFFD, so that the parser never refuses a text for its
// encoding alone.
std::string SanitizeUtf8(std::string_view text) {
    static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
    std::string out;
    out.reserve(text.size());
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        unsigned char c = p[i];
        if (c < 0x80) {
            out += static_cast<char>(c);
            ++i;
            continue;
        }
        std::size_t len = 0;
        unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            if (c == 0xE0) lo = 0xA0;  // no overlong forms
            if (c == 0xED) hi = 0x9F;  // no surrogates
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            if (c == 0xF0) lo = 0x90;
            if (c == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
        }
        bool ok = len != 0 && i + len <= n && p[i + 1] >= lo && p[i + 1] <= hi;
        for (std::size_t k = 2; ok && k < len; ++k)
            ok = p[i + k] >= 0x80 && p[i + k] <= 0xBF;
        if (ok) {
            out.append(text.substr(i, len));
            i += len;
        } else {
            out += kReplacement;
            ++i;
        }
    }
    return out;
}

// The whole of line `line` (1-based) without its line end; empty when the
// text has no such line.
std::string SourceLine(std::string_view text, int line) {
    if (line < 1) return {};
    std::size_t start = 0;
    for (int l = 1; l < line; ++l) {
        std::size_t nl = text.find('\n', start);
        if (nl == std::string_view::npos) return {};
        start = nl + 1;
    }
    std::size_t end = text.find('\n', start);
    std::string_view s =
        text.substr(start, end == std::string_view::npos ? text.npos : end - start);
    if (!s.empty() && s.back() == '\r') s.remove_suffix(1);
    return std::string(s);
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// The text between "<?xml" and "?>" when `text` opens with an XML
// declaration.  libxml2 consumes the declaration without a node for it, so
// its pseudo-attributes are taken from the text (the parser has already
// checked that it is well-formed).
std::string_view DeclarationValue(std::string_view text) {
    if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
    if (!text.starts_with("<?xml") || text.size() < 6 || !IsBlank(text[5])) return {};
    std::size_t end = text.find("?>", 5);
    if (end == std::string_view::npos) return {};
    return text.substr(5, end - 5);
}

// A processing instruction's value as raw "name=value" entries: split at
// blanks, double quotes removed.
void AddInstructionPieces(std::string_view value, TXmlDAttrList& list) {
    std::size_t i = 0;
    while (i < value.size()) {
        while (i < value.size() && IsBlank(value[i]))
            ++i;
        std::size_t start = i;
        while (i < value.size() && !IsBlank(value[i]))
            ++i;
        if (i == start) break;
        std::string piece;
        for (char c : value.substr(start, i - start))
            if (c != '"') piece += c;
        list.Add(std::move(piece));
    }
}

// ---- the parser ------------------------------------------------------------

struct FirstError {
    bool set = false;
    int code = 0;
    std::string reason;
    int line = 0;
    int column = 0;
};

void RecordError(void* context, xmlErrorPtr error) {
    auto* first = static_cast<FirstError*>(context);
    // Warnings (a relative namespace URI, say) do not make a text unusable.
    if (first->set || error == nullptr || error->level < XML_ERR_ERROR) return;
    first->set = true;
    first->code = error->code;
    first->reason = error->message != nullptr ? error->message : "";
    while (!first->reason.empty() && (first->reason.back() == '\n' || first->reason.back() == '\r'))
        first->reason.pop_back();
    first->line = error->line;
    first->column = error->int2;
}

// libxml2's error handler is per thread; this installs ours for one load and
// puts the previous one back, so nothing is printed and other users of
// libxml2 on the thread are left as they were.
class ErrorCapture {
  public:
    explicit ErrorCapture(FirstError& first)
        : oldHandler_(xmlStructuredError), oldContext_(xmlStructuredErrorContext) {
        xmlSetStructuredErrorFunc(&first, RecordError);
    }
    ~ErrorCapture() { xmlSetStructuredErrorFunc(oldContext_, oldHandler_); }
    ErrorCapture(const ErrorCapture&) = delete;
    ErrorCapture& operator=(const ErrorCapture&) = delete;

  private:
    xmlStructuredErrorFunc oldHandler_;
    void* oldContext_;
};

struct DocDeleter {
    void operator()(xmlDoc* d) const { xmlFreeDoc(d); }
};
struct ContextDeleter {
    void operator()(xmlParserCtxt* c) const { xmlFreeParserCtxt(c); }
};
struct ValidDeleter {
    void operator()(xmlValidCtxt* c) const { xmlFreeValidCtxt(c); }
};
using DocPtr = std::unique_ptr<xmlDoc, DocDeleter>;

// Parses `text` (valid UTF-8); the error is the first one reported, by the
// parser or, with `validate`, by validation against the internal subset.
DocPtr Parse(const std::string& text, bool validate, FirstError& error) {
    static std::once_flag init;
    std::call_once(init, [] { xmlInitParser(); });

    if (text.size() > static_cast<std::size_t>(INT_MAX)) {
        error = {true, XML_ERR_NO_MEMORY, "Document is too large", 0, 0};
        return nullptr;
    }
    ErrorCapture capture(error);
    std::unique_ptr<xmlParserCtxt, ContextDeleter> ctxt(xmlNewParserCtxt());
    if (!ctxt) {
        error = {true, XML_ERR_NO_MEMORY, "Out of memory", 0, 0};
        return nullptr;
    }
    DocPtr doc(xmlCtxtReadMemory(ctxt.get(), text.data(), static_cast<int>(text.size()), nullptr,
                                 "UTF-8", XML_PARSE_NONET | XML_PARSE_IGNORE_ENC));
    if (doc && validate && doc->intSubset != nullptr && !error.set) {
        // Validation against the document's own DTD only; xmlValidateDocument
        // would fetch an external subset named by the DOCTYPE.
        std::unique_ptr<xmlValidCtxt, ValidDeleter> vctxt(xmlNewValidCtxt());
        if (vctxt) xmlValidateDtd(vctxt.get(), doc.get(), doc->intSubset);
    }
    if (!doc && !error.set) error = {true, XML_ERR_INTERNAL_ERROR, "Document not parsed", 0, 0};
    return doc;
}

// ---- copying libxml2's tree into the model ---------------------------------

std::string QualifiedName(const xmlChar* name, const xmlNs* ns) {
    std::string out;
    if (ns != nullptr && ns->prefix != nullptr) {
        out = reinterpret_cast<const char*>(ns->prefix);
        out += ':';
    }
    if (name != nullptr) out += reinterpret_cast<const char*>(name);
    return out;
}

std::string Content(const xmlNode* node) {
    return node->content != nullptr ? reinterpret_cast<const char*>(node->content) : "";
}

// The names a DOM gives the node kinds, for the unsupported-node message.
const char* KindName(xmlElementType type) {
    switch (type) {
        case XML_ELEMENT_NODE:
            return "element";
        case XML_ATTRIBUTE_NODE:
            return "attribute";
        case XML_TEXT_NODE:
            return "text";
        case XML_CDATA_SECTION_NODE:
            return "cdatasection";
        case XML_ENTITY_REF_NODE:
            return "entityreference";
        case XML_ENTITY_NODE:
        case XML_ENTITY_DECL:
            return "entity";
        case XML_PI_NODE:
            return "processinginstruction";
        case XML_COMMENT_NODE:
            return "comment";
        case XML_DOCUMENT_NODE:
        case XML_HTML_DOCUMENT_NODE:
            return "document";
        case XML_DOCUMENT_TYPE_NODE:
        case XML_DTD_NODE:
            return "documenttype";
        case XML_DOCUMENT_FRAG_NODE:
            return "documentfragment";
        case XML_NOTATION_NODE:
            return "notation";
        default:
            return "unknown";
    }
}

bool WhitespaceOnly(std::string_view s) {
    for (char c : s)
        if (!IsBlank(c)) return false;
    return true;
}

// ---- attribute values -------------------------------------------------------
//
// The parser leaves entity references in attribute values as reference
// nodes; the model holds the replacement text.  Expanding them here bypasses
// the limits libxml2 applies to its own substitution, so the same limits are
// applied before anything is copied: no attribute value longer than the
// parser's text limit, and no more replacement text in all than ten times
// the document (libxml2's amplification factor), so that a few kilobytes
// that reference a large entity many times cannot take minutes and
// gigabytes.

constexpr std::size_t kMaxAttributeValue = XML_MAX_TEXT_LENGTH;
constexpr std::size_t kAmplification = 10;
// Small documents may expand a little more than ten times.
constexpr std::size_t kMinExpansionBudget = 1 << 20;
// libxml2 refuses deeper nesting of entities without XML_PARSE_HUGE.
constexpr int kMaxEntityDepth = 40;

struct ExpansionRefused {
    const char* reason;
    int line = 0;  // of the element whose attribute it is
};

class AttributeExpander {
  public:
    AttributeExpander(xmlDoc* doc, std::size_t textSize)
        : doc_(doc), budget_(std::max(kMinExpansionBudget, kAmplification * textSize)) {}

    // Throws ExpansionRefused when a value of the tree under `first`, or all
    // of them together, would pass the limits.  Each entity's size is worked
    // out once, so this takes time in proportion to the tree, whatever the
    // values would expand to.
    void Check(const xmlNode* first) {
        for (const xmlNode* n = first; n != nullptr; n = n->next) {
            if (n->type != XML_ELEMENT_NODE) continue;
            try {
                for (const xmlAttr* a = n->properties; a != nullptr; a = a->next)
                    ListSize(a->children, 0);
            } catch (ExpansionRefused& refused) {
                refused.line = static_cast<int>(xmlGetLineNo(n));
                throw;
            }
            Check(n->children);
        }
    }

    // The value with every entity reference replaced; only after Check.
    std::string Value(const xmlAttr* attribute) {
        std::string out;
        Append(attribute->children, out);
        return out;
    }

  private:
    // The replacement text of the entity a reference names, when the
    // document declares it.
    const xmlEntity* EntityOf(const xmlNode* reference) const {
        return xmlGetDocEntity(doc_, reference->name);
    }

    std::size_t ListSize(const xmlNode* first, int depth) {
        std::size_t size = 0;
        for (const xmlNode* n = first; n != nullptr; n = n->next) {
            if (n->type == XML_TEXT_NODE || n->type == XML_CDATA_SECTION_NODE) {
                size += Content(n).size();
            } else if (n->type == XML_ENTITY_REF_NODE) {
                const std::size_t part = EntitySize(n, depth + 1);
                fromEntities_ += part;
                size += part;
            }
            if (size > kMaxAttributeValue) throw ExpansionRefused{"AttValue length too long"};
            if (fromEntities_ > budget_)
                throw ExpansionRefused{"Maximum entity amplification factor exceeded"};
        }
        return size;
    }

    std::size_t EntitySize(const xmlNode* reference, int depth) {
        if (depth > kMaxEntityDepth) throw ExpansionRefused{"Detected an entity reference loop"};
        const xmlEntity* entity = EntityOf(reference);
        if (entity == nullptr) return Content(reference).size();
        if (auto known = sizes_.find(entity); known != sizes_.end()) return known->second;
        // The entity's text counts once per use, not once more for each
        // entity nested in it.  Passing the budget part way through already
        // means passing it with the whole.
        const std::size_t before = fromEntities_;
        const std::size_t size = ListSize(entity->children, depth);
        fromEntities_ = before;
        sizes_.emplace(entity, size);
        return size;
    }

    static std::string_view Content(const xmlNode* n) {
        return n->content != nullptr ? std::string_view(reinterpret_cast<const char*>(n->content))
                                     : std::string_view();
    }

    void Append(const xmlNode* first, std::string& out) const {
        for (const xmlNode* n = first; n != nullptr; n = n->next) {
            if (n->type == XML_TEXT_NODE || n->type == XML_CDATA_SECTION_NODE) {
                out += Content(n);
            } else if (n->type == XML_ENTITY_REF_NODE) {
                const xmlEntity* entity = EntityOf(n);
                if (entity != nullptr)
                    Append(entity->children, out);
                else
                    out += Content(n);
            }
        }
    }

    xmlDoc* doc_;
    std::size_t budget_;
    std::size_t fromEntities_ = 0;
    std::unordered_map<const xmlEntity*, std::size_t> sizes_;
};

class TreeCopier {
  public:
    TreeCopier(TXmlDDocument& doc, xmlDoc* source, AttributeExpander& attributes)
        : doc_(doc), source_(source), attributes_(attributes) {}

    void CopyChildren(const xmlNode* first, TXmlDNode& into) {
        for (const xmlNode* n = first; n != nullptr; n = n->next)
            CopyNode(n, into);
    }

  private:
    void CopyNode(const xmlNode* n, TXmlDNode& into) {
        switch (n->type) {
            case XML_ELEMENT_NODE: {
                auto element = doc_.CreateElement(QualifiedName(n->name, n->ns));
                TXmlDAttrList& attrs = element->Attributes();
                // Namespace declarations are attributes to the model, as they were
                // in the text.
                for (const xmlNs* ns = n->nsDef; ns != nullptr; ns = ns->next) {
                    std::string name = "xmlns";
                    if (ns->prefix != nullptr)
                        name += ':' + std::string(reinterpret_cast<const char*>(ns->prefix));
                    attrs.SetValue(
                        name, ns->href != nullptr ? reinterpret_cast<const char*>(ns->href) : "");
                }
                for (const xmlAttr* a = n->properties; a != nullptr; a = a->next)
                    attrs.SetValue(QualifiedName(a->name, a->ns), attributes_.Value(a));
                TXmlDElement* attached = into.AppendChild(std::move(element));
                CopyChildren(n->children, *attached);
                break;
            }
            case XML_TEXT_NODE: {
                std::string text = Content(n);
                // Whitespace between elements is layout, not content, unless the
                // document asks for it to be kept.
                if (WhitespaceOnly(text) && xmlNodeGetSpacePreserve(n->parent) != 1) break;
                into.AppendChild(doc_.CreateTextNode(std::move(text)));
                break;
            }
            case XML_CDATA_SECTION_NODE:
                into.AppendChild(doc_.CreateCDATASection(Content(n)));
                break;
            case XML_COMMENT_NODE:
                into.AppendChild(doc_.CreateComment(Content(n)));
                break;
            case XML_PI_NODE:
                AddInstructionPieces(Content(n), doc_.Attributes());
                break;
            case XML_DTD_NODE: {
                xmlBuffer* buffer = xmlBufferCreate();
                if (buffer == nullptr) throw std::bad_alloc();
                xmlNodeDump(buffer, source_, const_cast<xmlNode*>(n), 0, 0);
                doc_.SetDocumentType(reinterpret_cast<const char*>(xmlBufferContent(buffer)));
                xmlBufferFree(buffer);
                break;
            }
            default:
                if (!doc_.IgnoreUnsupportedNodes())
                    throw EXmlDError(
                        std::string("XML document contains unsupported node type of ") +
                        KindName(n->type));
                break;
        }
    }

    TXmlDDocument& doc_;
    xmlDoc* source_;
    AttributeExpander& attributes_;
};

std::string ReadWholeStream(std::istream& stream) {
    stream.clear();
    stream.seekg(0, std::ios::beg);
    if (!stream) stream.clear();  // not seekable: read from where it is
    std::string text{std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
    if (auto zero = text.find('\0'); zero != std::string::npos) text.resize(zero);
    return text;
}

}  // namespace

void TXmlDDocument::LoadFromStream(std::istream& stream, bool validate, bool ignoreUnsupported) {
    ignoreUnsupported_ = ignoreUnsupported;
    const std::string text = SanitizeUtf8(ReadWholeStream(stream));
    if (dynamic_cast<std::istringstream*>(&stream) != nullptr ||
        dynamic_cast<std::stringstream*>(&stream) != nullptr) {
        stream.clear();
        stream.seekg(0, std::ios::beg);
    }

    FirstError error;
    DocPtr parsed = Parse(text, validate, error);
    Clear();
    if (error.set)
        throw EXmlDParseError(error.code, error.reason, SourceLine(text, error.line), error.line,
                              error.column);

    AttributeExpander attributes(parsed.get(), text.size());
    try {
        attributes.Check(parsed->children);
    } catch (const ExpansionRefused& refused) {
        throw EXmlDParseError(XML_ERR_ENTITY_LOOP, refused.reason, SourceLine(text, refused.line),
                              refused.line, 0);
    }
    AddInstructionPieces(DeclarationValue(text), Attributes());
    TreeCopier(*this, parsed.get(), attributes).CopyChildren(parsed->children, *this);
}

void TXmlDDocument::LoadFromString(std::string_view text) {
    Clear();
    bool blank = true;
    for (char c : text)
        if (static_cast<unsigned char>(c) > ' ') {
            blank = false;
            break;
        }
    if (blank) return;
    std::istringstream stream{std::string(text)};
    LoadFromStream(stream, true, false);
}

}  // namespace kvo::common
