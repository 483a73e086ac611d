// Showing a document model tree in a QTreeWidget, for looking at documents
// while developing.
#include <QAbstractItemView>
#include <QBitmap>
#include <QIcon>
#include <QPainter>
#include <QPixmap>
#include <QTreeWidget>
#include <QTreeWidgetItem>
#include <QVariant>

#include "common/XmlClasses.h"

namespace kvo::common {

namespace {

enum Image {
    kDocumentImage = 0,
    kDocumentAttrImage = 1,
    kElementImage = 2,
    kElementAttrImage = 3,
    kTextImage = 4,
    kCDATAImage = 5,
    kCommentImage = 6,
    kImageCount
};

// The node images, drawn on black which then becomes the transparent mask.
std::vector<QIcon> NodeImages() {
    static const QColor kColours[kImageCount] = {
        QColor(40, 90, 170), QColor(120, 150, 200), QColor(200, 130, 20), QColor(220, 190, 100),
        QColor(60, 140, 60), QColor(130, 60, 150),  QColor(128, 128, 128)};
    std::vector<QIcon> icons;
    for (int i = 0; i < kImageCount; ++i) {
        QPixmap pixmap(16, 16);
        pixmap.fill(Qt::black);
        {
            QPainter painter(&pixmap);
            painter.setPen(Qt::NoPen);
            painter.setBrush(kColours[i]);
            if (i == kDocumentAttrImage || i == kElementAttrImage)
                painter.drawEllipse(4, 4, 8, 8);
            else if (i == kTextImage || i == kCDATAImage || i == kCommentImage)
                painter.drawRect(3, 2, 10, 12);
            else
                painter.drawRect(1, 1, 14, 14);
        }
        pixmap.setMask(pixmap.createMaskFromColor(Qt::black));
        icons.emplace_back(pixmap);
    }
    return icons;
}

class TreeBuilder {
  public:
    explicit TreeBuilder(QTreeWidget& tree) : tree_(tree), images_(NodeImages()) {}

    void AddNode(const TXmlDNode& node, QTreeWidgetItem* parent) {
        QString caption;
        int image = kDocumentImage;
        switch (node.NodeType()) {
            case kXmlDDocumentNode:
                caption = QStringLiteral("XML Document");
                break;
            case kXmlDElementNode:
                caption = QString::fromStdString(node.NodeName());
                image = kElementImage;
                break;
            case kXmlDDocumentFragmentNode:
                caption = QStringLiteral("XML Document Fragment");
                break;
            case kXmlDTextNode:
                caption = QString::fromStdString(node.NodeValue());
                image = kTextImage;
                break;
            case kXmlDCommentNode:
                caption = QString::fromStdString(node.NodeValue());
                image = kCommentImage;
                break;
            case kXmlDCDATASectionNode:
                caption = QString::fromStdString(node.NodeValue());
                image = kCDATAImage;
                break;
            default:
                break;
        }
        QTreeWidgetItem* item = AddItem(parent, caption, image, &node);

        if (node.NodeType() == kXmlDDocumentNode || node.NodeType() == kXmlDElementNode) {
            const TXmlDAttrList& attrs = static_cast<const TXmlDStructureNode&>(node).Attributes();
            const int attrImage =
                node.NodeType() == kXmlDElementNode ? kElementAttrImage : kDocumentAttrImage;
            for (int i = 0; i < attrs.Count(); ++i) {
                // name="value": a quote after the first "=" and one at the end.
                const std::string& entry = attrs.Strings(i);
                const auto eq = entry.find('=');
                QString text = QString::fromStdString(entry);
                if (eq != std::string::npos)
                    text = QString::fromStdString(entry.substr(0, eq + 1)) + QLatin1Char('"') +
                           QString::fromStdString(entry.substr(eq + 1));
                AddItem(item, text + QLatin1Char('"'), attrImage, &attrs);
            }
        }
        for (const TXmlDNode* c = node.FirstChild(); c != nullptr; c = c->NextSibling())
            AddNode(*c, item);
    }

  private:
    QTreeWidgetItem* AddItem(QTreeWidgetItem* parent, const QString& caption, int image,
                             const void* data) {
        auto* item = parent != nullptr ? new QTreeWidgetItem(parent) : new QTreeWidgetItem(&tree_);
        item->setText(0, caption);
        // The same icon serves the selected state.
        item->setIcon(0, images_[static_cast<std::size_t>(image)]);
        item->setData(0, Qt::UserRole, QVariant::fromValue(const_cast<void*>(data)));
        item->setData(0, kXmlDTreeImageRole, image);
        return item;
    }

    QTreeWidget& tree_;
    std::vector<QIcon> images_;
};

const char* ModelClassName(const TXmlDNode& node) {
    switch (node.NodeType()) {
        case kXmlDDocumentNode:
            return "TXmlDDocument";
        case kXmlDElementNode:
            return "TXmlDElement";
        default:
            return "TXmlDStructureNode";
    }
}

}  // namespace

void TXmlDStructureNode::AssignTo(QObject* target) const {
    auto* tree = qobject_cast<QTreeWidget*>(target);
    if (tree == nullptr)
        throw EXmlDError(std::string("Cannot assign a ") + ModelClassName(*this) + " to a " +
                         (target != nullptr ? target->metaObject()->className() : "nil"));

    tree->setSortingEnabled(false);
    tree->setEditTriggers(QAbstractItemView::NoEditTriggers);
    tree->setIconSize(QSize(16, 16));

    // One repaint for the whole rebuild, restored even if building fails.
    struct UpdateBracket {
        QTreeWidget* tree;
        explicit UpdateBracket(QTreeWidget* t) : tree(t) { tree->setUpdatesEnabled(false); }
        ~UpdateBracket() { tree->setUpdatesEnabled(true); }
    } bracket(tree);
    tree->clear();
    TreeBuilder(*tree).AddNode(*this, nullptr);
}

}  // namespace kvo::common
