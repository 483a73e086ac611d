// The suite's small XML document model: a tree of nodes in the manner of the
// W3C DOM, an attribute list per element, a writer that turns the tree into
// XML text (compact, or indented with CR LF line breaks) and a loader that
// turns XML text into the tree through libxml2.
//
// Strings are 8-bit strings in the system code page, which on Linux is UTF-8.
// The loader hands the parser the text as UTF-8 whatever its declaration says
// (the text is already decoded as far as the model is concerned); bytes that
// are not valid UTF-8 become U+FFFD, as an ANSI-to-Unicode conversion would.
//
// Ownership: a structure node (document or element) owns its children.  A
// created node belongs to the caller (a unique_ptr) until AppendChild,
// InsertBefore or ReplaceChild takes it; RemoveChild and ReplaceChild hand the
// removed node back.  When one of these raises, the node passed in stays with
// the caller and the tree is unchanged.
//
// Errors: the child operations, the loader and SaveToFile raise EXmlDError or
// EXmlDParseError; looking up the owner document of a node that is not inside
// a document raises std::bad_cast (this is also what writing a text node or a
// non-empty attribute list outside a document does).  Nothing here is
// thread-safe: a document is used by one thread at a time.
#pragma once

#include <concepts>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

class QObject;

namespace kvo::common {

class TXmlDNode;
class TXmlDDocument;
class TXmlDText;
class TXmlDAttrList;

// Node type codes.  Nothing in the model creates a fragment (type 2), but the
// child operations treat any node of that type as one and move its children.
inline constexpr std::uint8_t kXmlDDocumentNode = 0;
inline constexpr std::uint8_t kXmlDElementNode = 1;
inline constexpr std::uint8_t kXmlDDocumentFragmentNode = 2;
inline constexpr std::uint8_t kXmlDTextNode = 3;
inline constexpr std::uint8_t kXmlDCommentNode = 4;
inline constexpr std::uint8_t kXmlDCDATASectionNode = 5;

// Escape sets: which characters the writer replaces by entities.  "&" is
// always replaced first, so the entities the others produce stay intact.
using TXmlDEscapeSet = std::uint8_t;
inline constexpr TXmlDEscapeSet kXmlDEscapeLt = 1;    // "<" -> "&lt;"
inline constexpr TXmlDEscapeSet kXmlDEscapeGt = 2;    // ">" -> "&gt;"
inline constexpr TXmlDEscapeSet kXmlDEscapeQuot = 4;  // '"' -> "&quot;"
inline constexpr TXmlDEscapeSet kXmlDEscapeApos = 8;  // "'" -> "&apos;"
inline constexpr TXmlDEscapeSet kXmlDEscapeAmp = 16;  // "&" -> "&amp;"
// "<" is not allowed inside an attribute value, so the default attribute set
// replaces it too; without it ordinary data (an error text, say) would give
// XML that no parser, this model's loader included, accepts.
inline constexpr TXmlDEscapeSet kXmlDDefaultAttrEscapes =
    kXmlDEscapeAmp | kXmlDEscapeQuot | kXmlDEscapeLt;
inline constexpr TXmlDEscapeSet kXmlDDefaultTextEscapes = kXmlDEscapeAmp | kXmlDEscapeLt;

// Replaces every occurrence of the characters in `set` by its entity.
std::string XmlDEscape(std::string_view text, TXmlDEscapeSet set);

// Encode events see each value before it is escaped and may change it; when
// they set `handled`, the value they leave is written without escaping.
using TXmlDAttrEncodeEvent =
    std::function<void(const TXmlDAttrList& sender, std::string& value, bool& handled)>;
using TXmlDTextEncodeEvent =
    std::function<void(const TXmlDText& sender, std::string& value, bool& handled)>;

class EXmlDError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// What the parser reported about text it refused.  The message is always
// "XML Parse Error"; the details are in the accessors.  `Line` and `LinePos`
// are 1-based (LinePos counts characters; 0 when the parser gave none),
// `SrcText` is the whole source line the error was found on.
class EXmlDParseError : public std::runtime_error {
  public:
    EXmlDParseError(int errorCode, std::string reason, std::string srcText, int line, int linePos);

    int ErrorCode() const { return errorCode_; }
    const std::string& Reason() const { return reason_; }
    const std::string& SrcText() const { return srcText_; }
    int Line() const { return line_; }
    int LinePos() const { return linePos_; }

  private:
    int errorCode_;
    std::string reason_;
    std::string srcText_;
    int line_;
    int linePos_;
};

// Ordered "name=value" entries of a structure node.  Names compare without
// regard to ASCII case; an attribute never holds an empty value (setting one
// removes the entry).  Raw entries (the pseudo-attributes of the XML
// declaration) may lack the "=".
class TXmlDAttrList {
  public:
    explicit TXmlDAttrList(TXmlDNode* owner = nullptr) : owner_(owner) {}
    TXmlDAttrList(const TXmlDAttrList&) = delete;
    TXmlDAttrList& operator=(const TXmlDAttrList&) = delete;

    TXmlDNode* Owner() const { return owner_; }

    // The part after "=" of the first entry named `name`; empty when none.
    std::string Value(std::string_view name) const;
    // Replaces the first entry's value in place (its name keeps its original
    // letters), appends a new entry, or, for an empty value, removes it.
    void SetValue(std::string_view name, std::string_view value);

    int Count() const { return static_cast<int>(entries_.size()); }
    const std::string& Strings(int index) const { return entries_.at(index); }
    // The part before / after the first "=" of entry `index`.
    std::string Names(int index) const;
    std::string ValueFromIndex(int index) const;

    void Add(std::string entry) { entries_.push_back(std::move(entry)); }
    // Replaces this list's entries by copies of `other`'s.
    void Assign(const TXmlDAttrList& other) { entries_ = other.entries_; }
    void Clear() { entries_.clear(); }

    // Each entry as blank, name, "=", the double-quoted value after the owner
    // document's attribute encode event and escapes.
    void WriteToStream(std::ostream& stream) const;

  private:
    TXmlDNode* owner_;
    std::vector<std::string> entries_;
};

class TXmlDNode {
  public:
    TXmlDNode(const TXmlDNode&) = delete;
    TXmlDNode& operator=(const TXmlDNode&) = delete;
    virtual ~TXmlDNode() = default;

    std::uint8_t NodeType() const { return nodeType_; }
    TXmlDNode* ParentNode() const { return parent_; }
    TXmlDNode* PreviousSibling() const { return previousSibling_; }
    TXmlDNode* NextSibling() const { return nextSibling_; }
    // Depth in the tree: 0 without a parent, the parent's level + 1 otherwise.
    int Level() const { return level_; }

    virtual TXmlDNode* FirstChild() const { return nullptr; }
    virtual TXmlDNode* LastChild() const { return nullptr; }
    // An element's name; "#document", "#text", ... for the other kinds.
    virtual std::string NodeName() const;
    virtual std::string NodeValue() const { return {}; }
    virtual void SetNodeName(std::string_view) {}
    virtual void SetNodeValue(std::string_view) {}

    // Compact form, or indented by (level * 2 - 2) blanks with CR LF breaks.
    virtual void WriteToStream(std::ostream& stream, bool formatted) const = 0;
    virtual std::unique_ptr<TXmlDNode> CloneNode(bool deep) = 0;

    // Child operations; content nodes refuse them with EXmlDError.
    // AppendChild and InsertBefore return the attached node (null when the
    // node was a fragment: its children move and the emptied fragment is
    // freed).  A node that already has a parent, or that would become its
    // own descendant, is refused with EXmlDError.
    virtual TXmlDNode* AppendChild(std::unique_ptr<TXmlDNode>&& node);
    // Inserts before `reference` when that is a child of this node; appends
    // otherwise.
    virtual TXmlDNode* InsertBefore(std::unique_ptr<TXmlDNode>&& node, TXmlDNode* reference);
    // Returns what was removed: `oldChild`, or null when it was not a child
    // (in which case `newChild` is simply appended).
    virtual std::unique_ptr<TXmlDNode> ReplaceChild(std::unique_ptr<TXmlDNode>&& newChild,
                                                    TXmlDNode* oldChild);
    // Null, and no change, when `node` is not a child of this node.
    virtual std::unique_ptr<TXmlDNode> RemoveChild(TXmlDNode* node);
    virtual bool HasChildNodes() const { return false; }

    // Typed forms of the above for callers holding a concrete node type.
    template <class T>
    requires(std::derived_from<T, TXmlDNode> &&
             !std::same_as<T, TXmlDNode>) T* AppendChild(std::unique_ptr<T>&& node) {
        std::unique_ptr<TXmlDNode> base(node.release());
        try {
            return static_cast<T*>(AppendChild(std::move(base)));
        } catch (...) {
            node.reset(static_cast<T*>(base.release()));
            throw;
        }
    }
    template <class T>
    requires(std::derived_from<T, TXmlDNode> &&
             !std::same_as<T, TXmlDNode>) T* InsertBefore(std::unique_ptr<T>&& node,
                                                          TXmlDNode* reference) {
        std::unique_ptr<TXmlDNode> base(node.release());
        try {
            return static_cast<T*>(InsertBefore(std::move(base), reference));
        } catch (...) {
            node.reset(static_cast<T*>(base.release()));
            throw;
        }
    }
    template <class T>
    requires(std::derived_from<T, TXmlDNode> && !std::same_as<T, TXmlDNode>)
        std::unique_ptr<TXmlDNode> ReplaceChild(std::unique_ptr<T>&& newChild,
                                                TXmlDNode* oldChild) {
        std::unique_ptr<TXmlDNode> base(newChild.release());
        try {
            return ReplaceChild(std::move(base), oldChild);
        } catch (...) {
            newChild.reset(static_cast<T*>(base.release()));
            throw;
        }
    }

    // The document at the root of this node's tree; std::bad_cast when the
    // root is not a document.
    TXmlDDocument& OwnerDocument() const;

  protected:
    explicit TXmlDNode(std::uint8_t nodeType) : nodeType_(nodeType) {}

    // Indentation of this node in formatted output.
    std::string Indent() const;

  private:
    friend class TXmlDStructureNode;

    TXmlDNode* previousSibling_ = nullptr;
    TXmlDNode* nextSibling_ = nullptr;
    TXmlDNode* parent_ = nullptr;
    std::uint8_t nodeType_;
    int level_ = 0;
};

// A node with children and attributes: the document and elements.
class TXmlDStructureNode : public TXmlDNode {
  public:
    ~TXmlDStructureNode() override;

    TXmlDAttrList& Attributes() { return attributes_; }
    const TXmlDAttrList& Attributes() const { return attributes_; }

    TXmlDNode* FirstChild() const override { return firstChild_; }
    TXmlDNode* LastChild() const override { return lastChild_; }
    bool HasChildNodes() const override { return firstChild_ != nullptr; }

    using TXmlDNode::AppendChild;
    using TXmlDNode::InsertBefore;
    using TXmlDNode::ReplaceChild;
    TXmlDNode* AppendChild(std::unique_ptr<TXmlDNode>&& node) override;
    TXmlDNode* InsertBefore(std::unique_ptr<TXmlDNode>&& node, TXmlDNode* reference) override;
    std::unique_ptr<TXmlDNode> ReplaceChild(std::unique_ptr<TXmlDNode>&& newChild,
                                            TXmlDNode* oldChild) override;
    std::unique_ptr<TXmlDNode> RemoveChild(TXmlDNode* node) override;

    // Shows this node's tree in `target`, which must be a QTreeWidget: the
    // widget is cleared and rebuilt with one item per node and attribute
    // (item data: Qt::UserRole the model node or attribute list as void*,
    // kXmlDTreeImageRole the image number).  Anything else is refused with
    // EXmlDError "Cannot assign a <class> to a <class>".
    void AssignTo(QObject* target) const;

  protected:
    explicit TXmlDStructureNode(std::uint8_t nodeType) : TXmlDNode(nodeType), attributes_(this) {}

    // Children in order, for the writers and clones.
    void WriteChildren(std::ostream& stream, bool formatted) const;

  private:
    // Refuses what cannot be attached; `operation` names the caller.
    void CheckNewChild(const TXmlDNode* node, const char* operation) const;
    // Links an unattached node before `reference` (at the end when null).
    void Link(TXmlDNode* node, TXmlDNode* reference);
    // Moves the children of fragment `fragment` here, each before
    // `reference` or appended; on failure the unmoved ones stay with it.
    void MoveFragmentChildren(TXmlDNode& fragment, TXmlDNode* reference);

    TXmlDAttrList attributes_;
    TXmlDNode* firstChild_ = nullptr;
    TXmlDNode* lastChild_ = nullptr;
};

// Item data role of the tree view display that holds the image number:
// 0 document, 1 document attribute, 2 element, 3 element attribute, 4 text,
// 5 CDATA section, 6 comment.
inline constexpr int kXmlDTreeImageRole = 0x0101;  // Qt::UserRole + 1

class TXmlDContentNode : public TXmlDNode {
  public:
    const std::string& Text() const { return text_; }
    void SetText(std::string text) { text_ = std::move(text); }
    std::string NodeValue() const override { return text_; }
    void SetNodeValue(std::string_view value) override { text_ = value; }

  protected:
    TXmlDContentNode(std::uint8_t nodeType, std::string text)
        : TXmlDNode(nodeType), text_(std::move(text)) {}

  private:
    std::string text_;
};

class TXmlDText : public TXmlDContentNode {
  public:
    explicit TXmlDText(std::string text = {}) : TXmlDContentNode(kXmlDTextNode, std::move(text)) {}
    void WriteToStream(std::ostream& stream, bool formatted) const override;
    std::unique_ptr<TXmlDNode> CloneNode(bool deep) override;
    // The text after the owner document's text encode event and escapes.
    std::string EncodedText() const;
};

class TXmlDComment : public TXmlDContentNode {
  public:
    explicit TXmlDComment(std::string text = {})
        : TXmlDContentNode(kXmlDCommentNode, std::move(text)) {}
    void WriteToStream(std::ostream& stream, bool formatted) const override;
    std::unique_ptr<TXmlDNode> CloneNode(bool deep) override;
};

class TXmlDCDATASection : public TXmlDContentNode {
  public:
    explicit TXmlDCDATASection(std::string text = {})
        : TXmlDContentNode(kXmlDCDATASectionNode, std::move(text)) {}
    void WriteToStream(std::ostream& stream, bool formatted) const override;
    std::unique_ptr<TXmlDNode> CloneNode(bool deep) override;
};

class TXmlDElement : public TXmlDStructureNode {
  public:
    explicit TXmlDElement(std::string name = {})
        : TXmlDStructureNode(kXmlDElementNode), name_(std::move(name)) {}

    const std::string& Name() const { return name_; }
    void SetName(std::string name) { name_ = std::move(name); }
    std::string NodeName() const override { return name_; }
    void SetNodeName(std::string_view name) override { name_ = name; }

    // Formatted, an element whose only child is a text shorter than this
    // many characters (bytes of the 8-bit text, before escaping) is written
    // on one line.
    static constexpr std::size_t kOneLineTextLimit = 48;

    void WriteToStream(std::ostream& stream, bool formatted) const override;
    std::unique_ptr<TXmlDNode> CloneNode(bool deep) override;

  private:
    std::string name_;
};

class TXmlDDocument : public TXmlDStructureNode {
  public:
    TXmlDDocument() : TXmlDStructureNode(kXmlDDocumentNode) {}

    std::unique_ptr<TXmlDElement> CreateElement(std::string name) const;
    std::unique_ptr<TXmlDText> CreateTextNode(std::string text) const;
    std::unique_ptr<TXmlDComment> CreateComment(std::string text) const;
    std::unique_ptr<TXmlDCDATASection> CreateCDATASection(std::string text) const;

    // Frees all children.  The declaration's pseudo-attributes (the
    // document's attribute list) and the document type text stay.
    void Clear();

    // Reads `stream` from its start up to its end or a zero byte, and loads
    // it.  The document is cleared first; a text the parser refuses raises
    // EXmlDParseError and leaves it empty; a node kind the model does not
    // hold raises EXmlDError (leaving the nodes loaded before it) unless
    // `ignoreUnsupported`, which is remembered in the document.  Processing
    // instructions and the XML declaration add their "name=value" pieces to
    // the document's attribute list; a DOCTYPE becomes the document type
    // text.  With `validate`, a document that has a DOCTYPE is validated
    // against its internal subset; external DTDs and entities are never
    // fetched.  A string stream is left positioned at its start.
    void LoadFromStream(std::istream& stream, bool validate, bool ignoreUnsupported);
    // Clears the document; an empty or blank text leaves it empty, anything
    // else loads validated with unsupported nodes refused.
    void LoadFromString(std::string_view text);

    void SaveToStream(std::ostream& stream, bool formatted) const {
        WriteToStream(stream, formatted);
    }
    // Creates or truncates `fileName` (a native path) with the compact form;
    // EXmlDError when the file cannot be created or written.
    void SaveToFile(const std::string& fileName) const;
    std::string SaveToString() const;

    TXmlDElement* DocumentElement() const { return documentElement_; }

    bool WriteDeclaration() const { return writeDeclaration_; }
    void SetWriteDeclaration(bool on) { writeDeclaration_ = on; }
    const std::string& DocumentType() const { return documentType_; }
    void SetDocumentType(std::string text) { documentType_ = std::move(text); }
    TXmlDEscapeSet AttrEscapes() const { return attrEscapes_; }
    void SetAttrEscapes(TXmlDEscapeSet set) { attrEscapes_ = set; }
    TXmlDEscapeSet TextEscapes() const { return textEscapes_; }
    void SetTextEscapes(TXmlDEscapeSet set) { textEscapes_ = set; }
    const TXmlDAttrEncodeEvent& OnAttrEncode() const { return onAttrEncode_; }
    void SetOnAttrEncode(TXmlDAttrEncodeEvent event) { onAttrEncode_ = std::move(event); }
    const TXmlDTextEncodeEvent& OnTextEncode() const { return onTextEncode_; }
    void SetOnTextEncode(TXmlDTextEncodeEvent event) { onTextEncode_ = std::move(event); }
    bool IgnoreUnsupportedNodes() const { return ignoreUnsupported_; }
    void SetIgnoreUnsupportedNodes(bool on) { ignoreUnsupported_ = on; }

    // A document holds at most one element: a second one is refused with
    // EXmlDError "Second document element add attempted".
    using TXmlDStructureNode::AppendChild;
    using TXmlDStructureNode::InsertBefore;
    using TXmlDStructureNode::ReplaceChild;
    TXmlDNode* AppendChild(std::unique_ptr<TXmlDNode>&& node) override;
    TXmlDNode* InsertBefore(std::unique_ptr<TXmlDNode>&& node, TXmlDNode* reference) override;
    std::unique_ptr<TXmlDNode> ReplaceChild(std::unique_ptr<TXmlDNode>&& newChild,
                                            TXmlDNode* oldChild) override;
    std::unique_ptr<TXmlDNode> RemoveChild(TXmlDNode* node) override;

    void WriteToStream(std::ostream& stream, bool formatted) const override;
    // A new document with default settings and, when deep, clones of the
    // children.  Note the side effect: cloning switches on write declaration
    // of this document (not of the clone).
    std::unique_ptr<TXmlDNode> CloneNode(bool deep) override;

  private:
    bool writeDeclaration_ = false;
    TXmlDElement* documentElement_ = nullptr;
    std::string documentType_;
    TXmlDEscapeSet attrEscapes_ = kXmlDDefaultAttrEscapes;
    TXmlDEscapeSet textEscapes_ = kXmlDDefaultTextEscapes;
    TXmlDAttrEncodeEvent onAttrEncode_;
    TXmlDTextEncodeEvent onTextEncode_;
    bool ignoreUnsupported_ = false;
};

}  // namespace kvo::common
