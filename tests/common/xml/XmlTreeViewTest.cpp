// The tree view display of a document model.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QTreeWidget>

#include "common/XmlClasses.h"

namespace kvo::common {
namespace {

class XmlTreeView : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        static int argc = 1;
        static char name[] = "test";
        static char* argv[] = {name, nullptr};
        if (QApplication::instance() == nullptr) app_ = new QApplication(argc, argv);
    }

    // "caption|image" of an item and, indented, its children.
    static void Describe(const QTreeWidgetItem* item, int depth, std::string& out) {
        out += std::string(depth * 2, ' ') + item->text(0).toStdString() + "|" +
               std::to_string(item->data(0, kXmlDTreeImageRole).toInt()) + "\n";
        for (int i = 0; i < item->childCount(); ++i)
            Describe(item->child(i), depth + 1, out);
    }

    static std::string Describe(const QTreeWidget& tree) {
        std::string out;
        for (int i = 0; i < tree.topLevelItemCount(); ++i)
            Describe(tree.topLevelItem(i), 0, out);
        return out;
    }

    static void* Data(const QTreeWidgetItem* item) {
        return item->data(0, Qt::UserRole).value<void*>();
    }

    static inline QApplication* app_ = nullptr;
};

TEST_F(XmlTreeView, ShowsEveryNodeWithItsCaptionImageAndData) {
    TXmlDDocument doc;
    doc.LoadFromString(
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
        "<Report Site=\"North\" Id=\"7\"><Practice>Smiles</Practice>"
        "<!-- c --><![CDATA[raw]]></Report>");

    QTreeWidget tree;
    tree.setSortingEnabled(true);
    tree.setEditTriggers(QAbstractItemView::AllEditTriggers);
    new QTreeWidgetItem(&tree, QStringList{"stale"});
    doc.AssignTo(&tree);

    EXPECT_EQ(Describe(tree),
              "XML Document|0\n"
              "  version=\"1.0\"|1\n"
              "  encoding=\"UTF-8\"|1\n"
              "  Report|2\n"
              "    Site=\"North\"|3\n"
              "    Id=\"7\"|3\n"
              "    Practice|2\n"
              "      Smiles|4\n"
              "     c |6\n"
              "    raw|5\n");
    EXPECT_FALSE(tree.isSortingEnabled());
    EXPECT_EQ(tree.editTriggers(), QAbstractItemView::NoEditTriggers);
    EXPECT_TRUE(tree.updatesEnabled());

    const QTreeWidgetItem* top = tree.topLevelItem(0);
    EXPECT_EQ(Data(top), &doc);
    EXPECT_EQ(Data(top->child(0)), &doc.Attributes());
    const QTreeWidgetItem* report = top->child(2);
    EXPECT_EQ(Data(report), doc.DocumentElement());
    EXPECT_EQ(Data(report->child(0)), &doc.DocumentElement()->Attributes());
    EXPECT_EQ(Data(report->child(2)->child(0)), doc.DocumentElement()->FirstChild()->FirstChild());
    EXPECT_FALSE(report->icon(0).isNull());

    // A single element shows only its own subtree.
    static_cast<TXmlDElement*>(doc.DocumentElement()->FirstChild())->AssignTo(&tree);
    EXPECT_EQ(Describe(tree), "Practice|2\n  Smiles|4\n");
}

TEST_F(XmlTreeView, OnlyATreeWidgetAcceptsTheAssignment) {
    TXmlDDocument doc;
    auto* element = doc.AppendChild(doc.CreateElement("e"));
    QLabel label;
    try {
        doc.AssignTo(&label);
        ADD_FAILURE() << "assigned";
    } catch (const EXmlDError& e) {
        EXPECT_STREQ(e.what(), "Cannot assign a TXmlDDocument to a QLabel");
    }
    EXPECT_THROW(element->AssignTo(nullptr), EXmlDError);
}

}  // namespace
}  // namespace kvo::common
