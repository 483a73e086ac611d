// The node tree, the attribute list and the writer.  The loader is in
// XmlClassesLoad.cpp, the tree view display in XmlTreeView.cpp.
#include "common/XmlClasses.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <ostream>
#include <sstream>
#include <typeinfo>

#include "CommonPlatform.h"

namespace kvo::common {

namespace {

constexpr std::string_view kLineBreak = "\r\n";

std::string_view NameOf(std::string_view entry) {
    return entry.substr(0, std::min(entry.find('='), entry.size()));
}

std::string_view ValueOf(std::string_view entry) {
    auto eq = entry.find('=');
    return eq == std::string_view::npos ? std::string_view{} : entry.substr(eq + 1);
}

// Levels follow the depth, so a subtree that moves is renumbered as a whole.
void SetLevels(TXmlDNode& node, int level, auto setLevel) {
    setLevel(node, level);
    for (TXmlDNode* c = node.FirstChild(); c != nullptr; c = c->NextSibling())
        SetLevels(*c, level + 1, setLevel);
}

std::string OperationMessage(const char* operation) {
    return std::string(operation) + " operation requested on invalid node type";
}

}  // namespace

std::string XmlDEscape(std::string_view text, TXmlDEscapeSet set) {
    std::string out;
    out.reserve(text.size());
    // One pass gives the same result as replacing "&" first and the others
    // after it, since no entity produced contains a character replaced later.
    for (char c : text) {
        switch (c) {
            case '&':
                if (set & kXmlDEscapeAmp) {
                    out += "&amp;";
                    continue;
                }
                break;
            case '<':
                if (set & kXmlDEscapeLt) {
                    out += "&lt;";
                    continue;
                }
                break;
            case '>':
                if (set & kXmlDEscapeGt) {
                    out += "&gt;";
                    continue;
                }
                break;
            case '\'':
                if (set & kXmlDEscapeApos) {
                    out += "&apos;";
                    continue;
                }
                break;
            case '"':
                if (set & kXmlDEscapeQuot) {
                    out += "&quot;";
                    continue;
                }
                break;
            default:
                break;
        }
        out += c;
    }
    return out;
}

EXmlDParseError::EXmlDParseError(int errorCode, std::string reason, std::string srcText, int line,
                                 int linePos)
    : std::runtime_error("XML Parse Error"),
      errorCode_(errorCode),
      reason_(std::move(reason)),
      srcText_(std::move(srcText)),
      line_(line),
      linePos_(linePos) {}

// ---- attribute list --------------------------------------------------------

std::string TXmlDAttrList::Value(std::string_view name) const {
    for (const auto& e : entries_)
        if (detail::SameText(NameOf(e), name)) return std::string(ValueOf(e));
    return {};
}

void TXmlDAttrList::SetValue(std::string_view name, std::string_view value) {
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (!detail::SameText(NameOf(*it), name)) continue;
        if (value.empty()) {
            entries_.erase(it);
        } else {
            std::string entry(NameOf(*it));
            entry += '=';
            entry += value;
            *it = std::move(entry);
        }
        return;
    }
    if (value.empty()) return;
    std::string entry(name);
    entry += '=';
    entry += value;
    entries_.push_back(std::move(entry));
}

std::string TXmlDAttrList::Names(int index) const {
    return std::string(NameOf(Strings(index)));
}

std::string TXmlDAttrList::ValueFromIndex(int index) const {
    return std::string(ValueOf(Strings(index)));
}

void TXmlDAttrList::WriteToStream(std::ostream& stream) const {
    if (entries_.empty()) return;
    // Escapes and the encode event belong to the document; a list outside one
    // cannot be written.
    if (owner_ == nullptr) throw std::bad_cast();
    const TXmlDDocument& doc = owner_->OwnerDocument();
    for (const auto& e : entries_) {
        std::string value(ValueOf(e));
        bool handled = false;
        if (doc.OnAttrEncode()) doc.OnAttrEncode()(*this, value, handled);
        if (!handled) value = XmlDEscape(value, doc.AttrEscapes());
        stream << ' ' << NameOf(e) << "=\"" << value << '"';
    }
}

// ---- node ------------------------------------------------------------------

std::string TXmlDNode::NodeName() const {
    switch (nodeType_) {
        case kXmlDDocumentNode:
            return "#document";
        case kXmlDDocumentFragmentNode:
            return "#document-fragment";
        case kXmlDTextNode:
            return "#text";
        case kXmlDCommentNode:
            return "#comment";
        case kXmlDCDATASectionNode:
            return "#cdata-section";
        default:
            return {};
    }
}

TXmlDNode* TXmlDNode::AppendChild(std::unique_ptr<TXmlDNode>&&) {
    throw EXmlDError(OperationMessage("AppendChild"));
}

TXmlDNode* TXmlDNode::InsertBefore(std::unique_ptr<TXmlDNode>&&, TXmlDNode*) {
    throw EXmlDError(OperationMessage("InsertBefore"));
}

std::unique_ptr<TXmlDNode> TXmlDNode::ReplaceChild(std::unique_ptr<TXmlDNode>&&, TXmlDNode*) {
    throw EXmlDError(OperationMessage("ReplaceChild"));
}

std::unique_ptr<TXmlDNode> TXmlDNode::RemoveChild(TXmlDNode*) {
    throw EXmlDError(OperationMessage("RemoveChild"));
}

TXmlDDocument& TXmlDNode::OwnerDocument() const {
    const TXmlDNode* root = this;
    while (root->parent_ != nullptr)
        root = root->parent_;
    return dynamic_cast<TXmlDDocument&>(const_cast<TXmlDNode&>(*root));
}

std::string TXmlDNode::Indent() const {
    return level_ > 1 ? std::string(static_cast<std::size_t>(level_) * 2 - 2, ' ') : std::string();
}

// ---- structure node --------------------------------------------------------

TXmlDStructureNode::~TXmlDStructureNode() {
    // Freed one after the other rather than through a chain of owners, so a
    // long child list cannot exhaust the stack.
    TXmlDNode* c = firstChild_;
    while (c != nullptr) {
        TXmlDNode* next = c->nextSibling_;
        delete c;
        c = next;
    }
}

void TXmlDStructureNode::CheckNewChild(const TXmlDNode* node, const char* operation) const {
    if (node == nullptr)
        throw EXmlDError(std::string(operation) + " operation requested with no node");
    // The parent owns such a node; taking it would give it two owners.
    if (node->parent_ != nullptr)
        throw EXmlDError(std::string(operation) +
                         " operation requested for a node that already has a parent");
    for (const TXmlDNode* p = this; p != nullptr; p = p->parent_)
        if (p == node)
            throw EXmlDError(std::string(operation) +
                             " operation would make a node a child of itself");
}

void TXmlDStructureNode::Link(TXmlDNode* node, TXmlDNode* reference) {
    if (reference == nullptr) {
        node->previousSibling_ = lastChild_;
        node->nextSibling_ = nullptr;
        if (lastChild_ != nullptr)
            lastChild_->nextSibling_ = node;
        else
            firstChild_ = node;
        lastChild_ = node;
    } else {
        node->nextSibling_ = reference;
        node->previousSibling_ = reference->previousSibling_;
        if (reference->previousSibling_ != nullptr)
            reference->previousSibling_->nextSibling_ = node;
        else
            firstChild_ = node;
        reference->previousSibling_ = node;
    }
    node->parent_ = this;
    SetLevels(*node, Level() + 1, [](TXmlDNode& n, int l) { n.level_ = l; });
}

void TXmlDStructureNode::MoveFragmentChildren(TXmlDNode& fragment, TXmlDNode* reference) {
    while (TXmlDNode* first = fragment.FirstChild()) {
        std::unique_ptr<TXmlDNode> child = fragment.RemoveChild(first);
        try {
            if (reference != nullptr)
                InsertBefore(std::move(child), reference);
            else
                AppendChild(std::move(child));
        } catch (...) {
            if (child) fragment.InsertBefore(std::move(child), fragment.FirstChild());
            throw;
        }
    }
}

TXmlDNode* TXmlDStructureNode::AppendChild(std::unique_ptr<TXmlDNode>&& node) {
    CheckNewChild(node.get(), "AppendChild");
    if (node->NodeType() == kXmlDDocumentFragmentNode) {
        MoveFragmentChildren(*node, nullptr);
        node.reset();
        return nullptr;
    }
    TXmlDNode* n = node.release();
    Link(n, nullptr);
    return n;
}

TXmlDNode* TXmlDStructureNode::InsertBefore(std::unique_ptr<TXmlDNode>&& node,
                                            TXmlDNode* reference) {
    if (reference == nullptr || reference->parent_ != this) return AppendChild(std::move(node));
    CheckNewChild(node.get(), "InsertBefore");
    if (node->NodeType() == kXmlDDocumentFragmentNode) {
        MoveFragmentChildren(*node, reference);
        node.reset();
        return nullptr;
    }
    TXmlDNode* n = node.release();
    Link(n, reference);
    return n;
}

std::unique_ptr<TXmlDNode> TXmlDStructureNode::RemoveChild(TXmlDNode* node) {
    if (node == nullptr || node->parent_ != this) return nullptr;
    if (node->previousSibling_ != nullptr)
        node->previousSibling_->nextSibling_ = node->nextSibling_;
    else
        firstChild_ = node->nextSibling_;
    if (node->nextSibling_ != nullptr)
        node->nextSibling_->previousSibling_ = node->previousSibling_;
    else
        lastChild_ = node->previousSibling_;
    node->previousSibling_ = nullptr;
    node->nextSibling_ = nullptr;
    node->parent_ = nullptr;
    SetLevels(*node, 0, [](TXmlDNode& n, int l) { n.level_ = l; });
    return std::unique_ptr<TXmlDNode>(node);
}

std::unique_ptr<TXmlDNode> TXmlDStructureNode::ReplaceChild(std::unique_ptr<TXmlDNode>&& newChild,
                                                            TXmlDNode* oldChild) {
    // Checked before anything is removed, so a refusal changes nothing.
    CheckNewChild(newChild.get(), "ReplaceChild");
    std::unique_ptr<TXmlDNode> removed;
    if (oldChild == lastChild_) {
        removed = RemoveChild(oldChild);
        AppendChild(std::move(newChild));
    } else {
        TXmlDNode* next = oldChild != nullptr ? oldChild->nextSibling_ : nullptr;
        removed = RemoveChild(oldChild);
        InsertBefore(std::move(newChild), next);
    }
    return removed;
}

void TXmlDStructureNode::WriteChildren(std::ostream& stream, bool formatted) const {
    for (const TXmlDNode* c = firstChild_; c != nullptr; c = c->NextSibling())
        c->WriteToStream(stream, formatted);
}

// ---- content nodes ---------------------------------------------------------

std::string TXmlDText::EncodedText() const {
    const TXmlDDocument& doc = OwnerDocument();
    std::string value = Text();
    bool handled = false;
    if (doc.OnTextEncode()) doc.OnTextEncode()(*this, value, handled);
    if (handled) return value;
    value = XmlDEscape(value, doc.TextEscapes());
    // "]]>" may not appear raw in text, whatever the escape set says; only
    // the ">" of that sequence needs replacing.
    if (!(doc.TextEscapes() & kXmlDEscapeGt))
        for (auto at = value.find("]]>"); at != std::string::npos; at = value.find("]]>", at + 2))
            value.replace(at + 2, 1, "&gt;");
    return value;
}

void TXmlDText::WriteToStream(std::ostream& stream, bool formatted) const {
    if (formatted) stream << Indent();
    stream << EncodedText();
    if (formatted) stream << kLineBreak;
}

std::unique_ptr<TXmlDNode> TXmlDText::CloneNode(bool) {
    return std::make_unique<TXmlDText>(Text());
}

void TXmlDComment::WriteToStream(std::ostream& stream, bool formatted) const {
    if (formatted) stream << Indent();
    stream << "<!--" << Text() << "-->";
    if (formatted) stream << kLineBreak;
}

std::unique_ptr<TXmlDNode> TXmlDComment::CloneNode(bool) {
    return std::make_unique<TXmlDComment>(Text());
}

void TXmlDCDATASection::WriteToStream(std::ostream& stream, bool formatted) const {
    if (formatted) stream << Indent();
    stream << "<![CDATA[" << Text() << "]]>";
    if (formatted) stream << kLineBreak;
}

std::unique_ptr<TXmlDNode> TXmlDCDATASection::CloneNode(bool) {
    return std::make_unique<TXmlDCDATASection>(Text());
}

// ---- element ---------------------------------------------------------------

void TXmlDElement::WriteToStream(std::ostream& stream, bool formatted) const {
    if (!formatted) {
        stream << '<' << name_;
        Attributes().WriteToStream(stream);
        if (HasChildNodes()) {
            stream << '>';
            WriteChildren(stream, false);
            stream << "</" << name_ << '>';
        } else {
            stream << "/>";
        }
        return;
    }

    const std::string indent = Indent();
    const TXmlDNode* only = FirstChild();
    if (only != nullptr && only == LastChild() && only->NodeType() == kXmlDTextNode) {
        const auto& text = static_cast<const TXmlDText&>(*only);
        if (text.Text().size() < kOneLineTextLimit) {
            stream << indent << '<' << name_;
            Attributes().WriteToStream(stream);
            stream << '>' << text.EncodedText() << "</" << name_ << '>' << kLineBreak;
            return;
        }
    }
    stream << indent << '<' << name_;
    Attributes().WriteToStream(stream);
    if (HasChildNodes()) {
        stream << '>' << kLineBreak;
        WriteChildren(stream, true);
        stream << indent << "</" << name_ << '>';
    } else {
        stream << "/>";
    }
    stream << kLineBreak;
}

std::unique_ptr<TXmlDNode> TXmlDElement::CloneNode(bool deep) {
    auto clone = std::make_unique<TXmlDElement>(name_);
    clone->Attributes().Assign(Attributes());
    if (deep)
        for (TXmlDNode* c = FirstChild(); c != nullptr; c = c->NextSibling())
            clone->AppendChild(c->CloneNode(true));
    return clone;
}

// ---- document --------------------------------------------------------------

std::unique_ptr<TXmlDElement> TXmlDDocument::CreateElement(std::string name) const {
    return std::make_unique<TXmlDElement>(std::move(name));
}

std::unique_ptr<TXmlDText> TXmlDDocument::CreateTextNode(std::string text) const {
    return std::make_unique<TXmlDText>(std::move(text));
}

std::unique_ptr<TXmlDComment> TXmlDDocument::CreateComment(std::string text) const {
    return std::make_unique<TXmlDComment>(std::move(text));
}

std::unique_ptr<TXmlDCDATASection> TXmlDDocument::CreateCDATASection(std::string text) const {
    return std::make_unique<TXmlDCDATASection>(std::move(text));
}

void TXmlDDocument::Clear() {
    while (TXmlDNode* c = FirstChild())
        RemoveChild(c);
    documentElement_ = nullptr;
}

namespace {
const char kSecondElement[] = "Second document element add attempted";
}

TXmlDNode* TXmlDDocument::AppendChild(std::unique_ptr<TXmlDNode>&& node) {
    if (node && node->NodeType() == kXmlDElementNode && documentElement_ != nullptr)
        throw EXmlDError(kSecondElement);
    TXmlDNode* n = TXmlDStructureNode::AppendChild(std::move(node));
    if (n != nullptr && n->NodeType() == kXmlDElementNode)
        documentElement_ = static_cast<TXmlDElement*>(n);
    return n;
}

TXmlDNode* TXmlDDocument::InsertBefore(std::unique_ptr<TXmlDNode>&& node, TXmlDNode* reference) {
    if (node && node->NodeType() == kXmlDElementNode && documentElement_ != nullptr)
        throw EXmlDError(kSecondElement);
    TXmlDNode* n = TXmlDStructureNode::InsertBefore(std::move(node), reference);
    if (n != nullptr && n->NodeType() == kXmlDElementNode)
        documentElement_ = static_cast<TXmlDElement*>(n);
    return n;
}

std::unique_ptr<TXmlDNode> TXmlDDocument::ReplaceChild(std::unique_ptr<TXmlDNode>&& newChild,
                                                       TXmlDNode* oldChild) {
    if (newChild && newChild->NodeType() == kXmlDElementNode && documentElement_ != nullptr &&
        documentElement_ != oldChild)
        throw EXmlDError(kSecondElement);
    // Removing the old element clears the reference and attaching the new
    // one sets it, through the overrides above.
    return TXmlDStructureNode::ReplaceChild(std::move(newChild), oldChild);
}

std::unique_ptr<TXmlDNode> TXmlDDocument::RemoveChild(TXmlDNode* node) {
    auto removed = TXmlDStructureNode::RemoveChild(node);
    if (removed && removed.get() == documentElement_) documentElement_ = nullptr;
    return removed;
}

void TXmlDDocument::WriteToStream(std::ostream& stream, bool formatted) const {
    if (writeDeclaration_) {
        const TXmlDAttrList& decl = Attributes();
        std::string version = decl.Value("version");
        stream << "<?xml version=\"" << (version.empty() ? "1.0" : version) << '"';
        if (std::string v = decl.Value("encoding"); !v.empty())
            stream << " encoding=\"" << v << '"';
        if (std::string v = decl.Value("standalone"); !v.empty())
            stream << " standalone=\"" << v << '"';
        stream << "?>";
        if (formatted) stream << kLineBreak;
    }
    if (!documentType_.empty()) {
        stream << documentType_;
        if (formatted) stream << kLineBreak;
    }
    WriteChildren(stream, formatted);
}

std::unique_ptr<TXmlDNode> TXmlDDocument::CloneNode(bool deep) {
    auto clone = std::make_unique<TXmlDDocument>();
    if (deep)
        for (TXmlDNode* c = FirstChild(); c != nullptr; c = c->NextSibling())
            clone->AppendChild(c->CloneNode(true));
    writeDeclaration_ = true;
    return clone;
}

void TXmlDDocument::SaveToFile(const std::string& fileName) const {
    std::ofstream file(fileName, std::ios::binary | std::ios::trunc);
    if (!file) throw EXmlDError("Cannot create file \"" + fileName + "\". " + std::strerror(errno));
    WriteToStream(file, false);
    file.flush();
    if (!file) throw EXmlDError("Cannot write file \"" + fileName + "\"");
}

std::string TXmlDDocument::SaveToString() const {
    std::ostringstream out;
    WriteToStream(out, false);
    return std::move(out).str();
}

}  // namespace kvo::common
