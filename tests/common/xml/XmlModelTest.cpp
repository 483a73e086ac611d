// The node tree: linking, levels, the document's one-element rule, the
// child operations' refusals, attribute lists and clones.
#include <gtest/gtest.h>

#include <functional>
#include <typeinfo>

#include "common/XmlClasses.h"

namespace kvo::common {
namespace {

// The model never creates a fragment, but attaching one must move its
// children; this stands in for one.
class Fragment : public TXmlDStructureNode {
  public:
    Fragment() : TXmlDStructureNode(kXmlDDocumentFragmentNode) {}
    void WriteToStream(std::ostream& stream, bool formatted) const override {
        WriteChildren(stream, formatted);
    }
    std::unique_ptr<TXmlDNode> CloneNode(bool) override { return std::make_unique<Fragment>(); }
};

// Names of the children in order, checked in both directions so that a
// broken back link shows.
std::string ChildNames(const TXmlDNode& parent) {
    std::string forward, backward;
    for (TXmlDNode* c = parent.FirstChild(); c != nullptr; c = c->NextSibling()) {
        EXPECT_EQ(c->ParentNode(), &parent);
        forward += (forward.empty() ? "" : ",") + c->NodeName();
    }
    for (TXmlDNode* c = parent.LastChild(); c != nullptr; c = c->PreviousSibling())
        backward = c->NodeName() + (backward.empty() ? "" : ",") + backward;
    EXPECT_EQ(forward, backward);
    return forward;
}

TEST(XmlModel, LevelsFollowDepthWhenSubtreesMove) {
    TXmlDDocument doc;
    auto* root = doc.AppendChild(doc.CreateElement("root"));
    auto* a = root->AppendChild(doc.CreateElement("a"));
    auto* b = a->AppendChild(doc.CreateElement("b"));
    auto* t = b->AppendChild(doc.CreateTextNode("x"));
    EXPECT_EQ(doc.Level(), 0);
    EXPECT_EQ(root->Level(), 1);
    EXPECT_EQ(t->Level(), 4);

    auto detached = root->RemoveChild(a);
    ASSERT_EQ(detached.get(), a);
    EXPECT_EQ(a->Level(), 0);
    EXPECT_EQ(b->Level(), 1);
    EXPECT_EQ(t->Level(), 2);
    EXPECT_EQ(a->ParentNode(), nullptr);

    auto* deeper = root->AppendChild(doc.CreateElement("deeper"));
    deeper->AppendChild(std::move(detached));
    EXPECT_EQ(a->Level(), 3);
    EXPECT_EQ(t->Level(), 5);
    EXPECT_EQ(&t->OwnerDocument(), &doc);
}

TEST(XmlModel, InsertRemoveAndReplaceKeepTheSiblingListConsistent) {
    TXmlDDocument doc;
    auto* root = doc.AppendChild(doc.CreateElement("root"));
    auto* b = root->AppendChild(doc.CreateElement("b"));
    root->InsertBefore(doc.CreateElement("a"), b);  // before the first
    auto* d = root->AppendChild(doc.CreateElement("d"));
    root->InsertBefore(doc.CreateElement("c"), d);        // in the middle
    root->InsertBefore(doc.CreateElement("e"), nullptr);  // no reference: append
    TXmlDElement stranger("stranger");
    root->InsertBefore(doc.CreateElement("f"), &stranger);  // not a child: append
    EXPECT_EQ(ChildNames(*root), "a,b,c,d,e,f");

    EXPECT_EQ(root->RemoveChild(&stranger), nullptr);
    EXPECT_EQ(root->RemoveChild(nullptr), nullptr);
    auto removed = root->RemoveChild(b);
    EXPECT_EQ(removed->PreviousSibling(), nullptr);
    EXPECT_EQ(removed->NextSibling(), nullptr);
    EXPECT_EQ(ChildNames(*root), "a,c,d,e,f");

    // Replacing the last child appends; any other is replaced in place; a
    // node that is not a child gives null and the new node is appended.
    auto old = root->ReplaceChild(doc.CreateElement("F"), root->LastChild());
    EXPECT_EQ(old->NodeName(), "f");
    old = root->ReplaceChild(doc.CreateElement("C"), root->FirstChild()->NextSibling());
    EXPECT_EQ(old->NodeName(), "c");
    EXPECT_EQ(root->ReplaceChild(doc.CreateElement("g"), &stranger), nullptr);
    EXPECT_EQ(ChildNames(*root), "a,C,d,e,F,g");
    for (TXmlDNode* c = root->FirstChild(); c != nullptr; c = c->NextSibling())
        EXPECT_EQ(c->Level(), 2);
}

TEST(XmlModel, DocumentHoldsOneElement) {
    TXmlDDocument doc;
    EXPECT_EQ(doc.DocumentElement(), nullptr);
    auto* comment = doc.AppendChild(doc.CreateComment("c"));
    auto* first = doc.AppendChild(doc.CreateElement("first"));
    EXPECT_EQ(doc.DocumentElement(), first);

    auto second = doc.CreateElement("second");
    EXPECT_THROW(
        {
            try {
                doc.AppendChild(std::move(second));
            } catch (const EXmlDError& e) {
                EXPECT_STREQ(e.what(), "Second document element add attempted");
                throw;
            }
        },
        EXmlDError);
    ASSERT_NE(second, nullptr) << "a refused node stays with the caller";
    EXPECT_THROW(doc.InsertBefore(std::move(second), first), EXmlDError);
    // Replacing something other than the document element with an element
    // is refused and changes nothing.
    EXPECT_THROW(doc.ReplaceChild(std::move(second), comment), EXmlDError);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(ChildNames(doc), "#comment,first");

    // Replacing the document element itself is allowed.
    auto old = doc.ReplaceChild(std::move(second), first);
    EXPECT_EQ(old.get(), first);
    ASSERT_NE(doc.DocumentElement(), nullptr);
    EXPECT_EQ(doc.DocumentElement()->Name(), "second");
    EXPECT_EQ(doc.DocumentElement()->Level(), 1);

    // Removing it clears the reference, after which an element may be added.
    auto removed = doc.RemoveChild(doc.DocumentElement());
    EXPECT_EQ(doc.DocumentElement(), nullptr);
    doc.InsertBefore(std::move(removed), comment);
    EXPECT_EQ(ChildNames(doc), "second,#comment");
    EXPECT_EQ(doc.DocumentElement()->Name(), "second");

    doc.Clear();
    EXPECT_EQ(doc.DocumentElement(), nullptr);
    EXPECT_FALSE(doc.HasChildNodes());
}

TEST(XmlModel, ContentNodesRefuseChildren) {
    struct Case {
        const char* message;
        std::function<void(TXmlDNode&, std::unique_ptr<TXmlDNode>&&)> call;
    };
    const Case cases[] = {
        {"AppendChild operation requested on invalid node type",
         [](TXmlDNode& n, std::unique_ptr<TXmlDNode>&& c) { n.AppendChild(std::move(c)); }},
        {"InsertBefore operation requested on invalid node type",
         [](TXmlDNode& n, std::unique_ptr<TXmlDNode>&& c) {
             n.InsertBefore(std::move(c), nullptr);
         }},
        {"ReplaceChild operation requested on invalid node type",
         [](TXmlDNode& n, std::unique_ptr<TXmlDNode>&& c) {
             n.ReplaceChild(std::move(c), nullptr);
         }},
        {"RemoveChild operation requested on invalid node type",
         [](TXmlDNode& n, std::unique_ptr<TXmlDNode>&&) { n.RemoveChild(nullptr); }},
    };
    TXmlDText text("t");
    TXmlDComment comment("c");
    TXmlDCDATASection cdata("d");
    for (TXmlDNode* node : {static_cast<TXmlDNode*>(&text), static_cast<TXmlDNode*>(&comment),
                            static_cast<TXmlDNode*>(&cdata)}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(node->NodeName() + " " + c.message);
            std::unique_ptr<TXmlDNode> child = std::make_unique<TXmlDText>("x");
            try {
                c.call(*node, std::move(child));
                ADD_FAILURE() << "no exception";
            } catch (const EXmlDError& e) {
                EXPECT_STREQ(e.what(), c.message);
            }
            EXPECT_NE(child, nullptr);
            EXPECT_FALSE(node->HasChildNodes());
        }
    }
}

// Attaching a node that belongs to a tree, or a node into its own subtree,
// would corrupt the tree or free a node twice; both are refused.
TEST(XmlModel, RefusesNodesThatCannotBeAttached) {
    TXmlDDocument doc;
    auto* root = doc.AppendChild(doc.CreateElement("root"));
    auto* child = root->AppendChild(doc.CreateElement("child"));

    auto owned = std::make_unique<TXmlDElement>("top");
    auto* top = owned.get();
    auto* inner = top->AppendChild(doc.CreateElement("inner"));
    EXPECT_THROW(inner->AppendChild(std::move(owned)), EXmlDError);
    ASSERT_NE(owned, nullptr);
    EXPECT_THROW(top->AppendChild(std::move(owned)), EXmlDError);
    ASSERT_NE(owned, nullptr);

    std::unique_ptr<TXmlDNode> none;
    EXPECT_THROW(root->AppendChild(std::move(none)), EXmlDError);
    EXPECT_THROW(root->ReplaceChild(std::move(none), child), EXmlDError);
    EXPECT_EQ(child->ParentNode(), root) << "a refused replacement removes nothing";

    // A node still in another tree: the refusal leaves both trees intact.
    std::unique_ptr<TXmlDNode> alias(child);
    EXPECT_THROW(top->AppendChild(std::move(alias)), EXmlDError);
    (void)alias.release();
    EXPECT_EQ(ChildNames(*root), "child");
    EXPECT_EQ(ChildNames(*top), "inner");
}

TEST(XmlModel, FragmentsMoveTheirChildren) {
    TXmlDDocument doc;
    auto* root = doc.AppendChild(doc.CreateElement("root"));
    auto* z = root->AppendChild(doc.CreateElement("z"));

    auto fragment = std::make_unique<Fragment>();
    fragment->AppendChild(doc.CreateElement("a"));
    fragment->AppendChild(doc.CreateTextNode("b"));
    EXPECT_EQ(fragment->NodeName(), "#document-fragment");
    EXPECT_EQ(root->InsertBefore(std::move(fragment), z), nullptr);
    EXPECT_EQ(fragment, nullptr);
    EXPECT_EQ(ChildNames(*root), "a,#text,z");
    EXPECT_EQ(root->FirstChild()->Level(), 2);

    // Into a document the one-element rule applies child by child; what was
    // not moved stays in the caller's fragment.
    TXmlDDocument other;
    auto two = std::make_unique<Fragment>();
    two->AppendChild(doc.CreateElement("e1"));
    two->AppendChild(doc.CreateElement("e2"));
    EXPECT_THROW(other.AppendChild(std::move(two)), EXmlDError);
    ASSERT_NE(two, nullptr);
    EXPECT_EQ(ChildNames(*two), "e2");
    EXPECT_EQ(other.DocumentElement()->Name(), "e1");
}

TEST(XmlModel, AttributeListMatchesNamesWithoutCase) {
    TXmlDElement e("e");
    TXmlDAttrList& attrs = e.Attributes();
    EXPECT_EQ(attrs.Owner(), &e);
    attrs.SetValue("site", "1");
    attrs.SetValue("b", "2");
    attrs.SetValue("Site", "3");  // same entry, original letters kept
    EXPECT_EQ(attrs.Count(), 2);
    EXPECT_EQ(attrs.Strings(0), "site=3");
    EXPECT_EQ(attrs.Value("SITE"), "3");
    EXPECT_EQ(attrs.Value("missing"), "");

    attrs.SetValue("b", "");  // an attribute never holds an empty value
    attrs.SetValue("never", "");
    EXPECT_EQ(attrs.Count(), 1);

    attrs.SetValue("x", "a=b");  // only the first "=" separates
    EXPECT_EQ(attrs.Names(1), "x");
    EXPECT_EQ(attrs.ValueFromIndex(1), "a=b");
    attrs.Add("standalone");  // a raw entry without "="
    EXPECT_EQ(attrs.Names(2), "standalone");
    EXPECT_EQ(attrs.ValueFromIndex(2), "");

    TXmlDElement copy("c");
    copy.Attributes().SetValue("gone", "1");
    copy.Attributes().Assign(attrs);
    EXPECT_EQ(copy.Attributes().Count(), 3);
    EXPECT_EQ(copy.Attributes().Owner(), &copy);
}

TEST(XmlModel, NamesValuesAndOwnerDocument) {
    TXmlDDocument doc;
    TXmlDElement e("E");
    TXmlDText t("text");
    TXmlDComment c("comment");
    TXmlDCDATASection d("data");
    const std::pair<TXmlDNode*, const char*> names[] = {
        {&doc, "#document"}, {&e, "E"}, {&t, "#text"}, {&c, "#comment"}, {&d, "#cdata-section"}};
    for (auto [node, name] : names)
        EXPECT_EQ(node->NodeName(), name);
    EXPECT_EQ(e.NodeValue(), "");
    e.SetNodeValue("ignored");
    e.SetNodeName("F");
    EXPECT_EQ(e.Name(), "F");
    t.SetNodeName("ignored");
    t.SetNodeValue("changed");
    EXPECT_EQ(t.NodeName(), "#text");
    EXPECT_EQ(t.NodeValue(), "changed");

    EXPECT_EQ(&doc.OwnerDocument(), &doc);
    EXPECT_THROW(e.OwnerDocument(), std::bad_cast);
    EXPECT_THROW(t.OwnerDocument(), std::bad_cast);
}

TEST(XmlModel, CloneCopiesNamesAttributesAndChildren) {
    TXmlDDocument doc;
    doc.Attributes().Add("version=1.0");
    doc.SetDocumentType("<!DOCTYPE r>");
    doc.SetTextEscapes(0);
    auto* r = doc.AppendChild(doc.CreateElement("r"));
    r->Attributes().SetValue("a", "1");
    auto* k = r->AppendChild(doc.CreateElement("k"));
    k->AppendChild(doc.CreateTextNode("t"));
    r->AppendChild(doc.CreateComment("c"));
    r->AppendChild(doc.CreateCDATASection("d"));

    auto shallow = r->CloneNode(false);
    EXPECT_EQ(shallow->NodeName(), "r");
    EXPECT_FALSE(shallow->HasChildNodes());
    EXPECT_EQ(static_cast<TXmlDElement&>(*shallow).Attributes().Value("a"), "1");

    auto deep = r->CloneNode(true);
    EXPECT_EQ(deep->ParentNode(), nullptr);
    EXPECT_EQ(ChildNames(*deep), "k,#comment,#cdata-section");
    EXPECT_EQ(deep->FirstChild()->FirstChild()->NodeValue(), "t");
    EXPECT_EQ(deep->FirstChild()->FirstChild()->Level(), 2);
    EXPECT_NE(deep->FirstChild(), k);

    // A document clone has default settings; cloning switches on the
    // source's write declaration.
    ASSERT_FALSE(doc.WriteDeclaration());
    auto docClone = doc.CloneNode(true);
    auto& copy = static_cast<TXmlDDocument&>(*docClone);
    EXPECT_TRUE(doc.WriteDeclaration());
    EXPECT_FALSE(copy.WriteDeclaration());
    EXPECT_EQ(copy.Attributes().Count(), 0);
    EXPECT_EQ(copy.DocumentType(), "");
    EXPECT_EQ(copy.TextEscapes(), kXmlDDefaultTextEscapes);
    ASSERT_NE(copy.DocumentElement(), nullptr);
    EXPECT_EQ(copy.SaveToString(), "<r a=\"1\"><k>t</k><!--c--><![CDATA[d]]></r>");
    EXPECT_FALSE(doc.CloneNode(false)->HasChildNodes());
}

TEST(XmlModel, ClearKeepsDeclarationAndDocumentType) {
    TXmlDDocument doc;
    doc.Attributes().Add("version=1.0");
    doc.SetDocumentType("<!DOCTYPE r>");
    doc.AppendChild(doc.CreateElement("r"));
    doc.Clear();
    EXPECT_FALSE(doc.HasChildNodes());
    EXPECT_EQ(doc.Attributes().Value("version"), "1.0");
    EXPECT_EQ(doc.DocumentType(), "<!DOCTYPE r>");
}

TEST(XmlModel, LongChildListsAreFreedWithoutDeepRecursion) {
    auto doc = std::make_unique<TXmlDDocument>();
    auto* root = doc->AppendChild(doc->CreateElement("r"));
    for (int i = 0; i < 200000; ++i)
        root->AppendChild(doc->CreateElement("c"));
    doc.reset();
    SUCCEED();
}

}  // namespace
}  // namespace kvo::common
