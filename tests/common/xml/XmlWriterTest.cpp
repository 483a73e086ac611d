// The writer: compact and formatted golden texts, the one-line rule at its
// boundary, escapes, encode events and saving.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <typeinfo>

#include "XmlTestUtil.h"
#include "common/XmlClasses.h"

namespace kvo::common {
namespace {

using test::Crlf;

std::string Formatted(const TXmlDDocument& doc) {
    std::ostringstream out;
    doc.SaveToStream(out, true);
    return out.str();
}

// A document using every node kind at three levels.
void BuildSample(TXmlDDocument& doc) {
    doc.Attributes().Add("version=1.0");
    doc.Attributes().Add("encoding=UTF-8");
    doc.SetDocumentType("<!DOCTYPE Report>");
    doc.AppendChild(doc.CreateComment(" sent daily "));
    auto* report = doc.AppendChild(doc.CreateElement("Report"));
    report->Attributes().SetValue("Site", "North & South");
    report->Attributes().SetValue("Id", "7");
    auto* practice = report->AppendChild(doc.CreateElement("Practice"));
    practice->AppendChild(doc.CreateTextNode("Smile \"Dental\" <Ltd>"));
    auto* events = report->AppendChild(doc.CreateElement("Events"));
    auto* event = events->AppendChild(doc.CreateElement("Event"));
    event->Attributes().SetValue("Class", "Error");
    event->AppendChild(doc.CreateCDATASection("a < b & c"));
    event->AppendChild(doc.CreateTextNode("tail"));
    events->AppendChild(doc.CreateElement("Empty"));
}

TEST(XmlWriter, CompactAndFormattedGoldenTexts) {
    TXmlDDocument doc;
    BuildSample(doc);
    EXPECT_EQ(doc.SaveToString(),
              "<!DOCTYPE Report><!-- sent daily -->"
              "<Report Site=\"North &amp; South\" Id=\"7\">"
              "<Practice>Smile \"Dental\" &lt;Ltd></Practice>"
              "<Events><Event Class=\"Error\"><![CDATA[a < b & c]]>tail</Event><Empty/></Events>"
              "</Report>");

    doc.SetWriteDeclaration(true);
    EXPECT_EQ(Formatted(doc), Crlf(R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE Report>
<!-- sent daily -->
<Report Site="North &amp; South" Id="7">
  <Practice>Smile "Dental" &lt;Ltd></Practice>
  <Events>
    <Event Class="Error">
      <![CDATA[a < b & c]]>
      tail
    </Event>
    <Empty/>
  </Events>
</Report>
)"));
}

TEST(XmlWriter, NewDocumentWithOneElementSavesAsOneTag) {
    TXmlDDocument doc;
    auto* r = doc.AppendChild(doc.CreateElement("R"));
    r->Attributes().SetValue("a", "x&y");
    EXPECT_EQ(doc.SaveToString(), "<R a=\"x&amp;y\"/>");
    EXPECT_EQ(Formatted(doc), "<R a=\"x&amp;y\"/>\r\n");
}

TEST(XmlWriter, SettingAnAttributeAgainKeepsItsPlace) {
    TXmlDDocument doc;
    auto* r = doc.AppendChild(doc.CreateElement("r"));
    r->Attributes().SetValue("a", "1");
    r->Attributes().SetValue("b", "2");
    r->Attributes().SetValue("A", "3");
    r->Attributes().SetValue("c", "");
    EXPECT_EQ(doc.SaveToString(), "<r a=\"3\" b=\"2\"/>");
    r->Attributes().SetValue("a", "");
    EXPECT_EQ(doc.SaveToString(), "<r b=\"2\"/>");
}

TEST(XmlWriter, OneLineRuleAtItsBoundary) {
    struct Row {
        const char* label;
        std::size_t length;
        bool oneLine;
    };
    const Row rows[] = {{"empty", 0, true}, {"47", 47, true}, {"48", 48, false}, {"60", 60, false}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        TXmlDDocument doc;
        auto* root = doc.AppendChild(doc.CreateElement("root"));
        auto* item = root->AppendChild(doc.CreateElement("item"));
        item->Attributes().SetValue("n", "1");
        const std::string text(row.length, 'x');
        item->AppendChild(doc.CreateTextNode(text));
        const std::string expected =
            row.oneLine ? "<root>\n  <item n=\"1\">" + text + "</item>\n</root>\n"
                        : "<root>\n  <item n=\"1\">\n    " + text + "\n  </item>\n</root>\n";
        EXPECT_EQ(Formatted(doc), Crlf(expected));
    }

    // The rule looks at the text before escaping, and only at a lone text.
    std::string amps;
    for (int i = 0; i < 40; ++i)
        amps += "&amp;";
    TXmlDDocument doc;
    auto* root = doc.AppendChild(doc.CreateElement("root"));
    root->AppendChild(doc.CreateTextNode(std::string(40, '&')));
    EXPECT_EQ(Formatted(doc), Crlf("<root>" + amps + "</root>\n"));
    root->AppendChild(doc.CreateTextNode("y"));
    EXPECT_EQ(Formatted(doc), Crlf("<root>\n  " + amps + "\n  y\n</root>\n"));
    root->RemoveChild(root->LastChild());
    root->ReplaceChild(doc.CreateComment("short"), root->FirstChild());
    EXPECT_EQ(Formatted(doc), Crlf("<root>\n  <!--short-->\n</root>\n"));
}

TEST(XmlWriter, EscapeSets) {
    const std::string all = "&<>'\"";
    struct Row {
        TXmlDEscapeSet set;
        const char* expected;
    };
    const Row rows[] = {
        {0, "&<>'\""},
        {kXmlDEscapeAmp, "&amp;<>'\""},
        {kXmlDEscapeLt, "&&lt;>'\""},
        {kXmlDEscapeGt, "&<&gt;'\""},
        {kXmlDEscapeApos, "&<>&apos;\""},
        {kXmlDEscapeQuot, "&<>'&quot;"},
        {kXmlDDefaultTextEscapes, "&amp;&lt;>'\""},
        {kXmlDDefaultAttrEscapes, "&amp;&lt;>'&quot;"},
        {31, "&amp;&lt;&gt;&apos;&quot;"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(int(row.set));
        EXPECT_EQ(XmlDEscape(all + all, row.set), std::string(row.expected) + row.expected);
    }

    // The document's sets apply to texts and attribute values; names and
    // comments are never escaped.  "<" is in the default attribute set
    // because XML does not allow it raw in an attribute value.
    TXmlDDocument doc;
    EXPECT_EQ(doc.AttrEscapes(), 21);
    EXPECT_EQ(doc.TextEscapes(), 17);
    auto* r = doc.AppendChild(doc.CreateElement("r"));
    r->Attributes().SetValue("v", "a<b>'\"&");
    r->AppendChild(doc.CreateTextNode("a<b>c"));
    r->AppendChild(doc.CreateComment("<&>"));
    EXPECT_EQ(doc.SaveToString(), "<r v=\"a&lt;b>'&quot;&amp;\">a&lt;b>c<!--<&>--></r>");
    // The one place where ">" must be escaped in text.
    r->ReplaceChild(doc.CreateTextNode("a]]>b]]]>"), r->FirstChild());
    EXPECT_EQ(doc.SaveToString(), "<r v=\"a&lt;b>'&quot;&amp;\">a]]&gt;b]]]&gt;<!--<&>--></r>");
    r->ReplaceChild(doc.CreateTextNode("a<b>c"), r->FirstChild());
    doc.SetAttrEscapes(kXmlDEscapeApos);
    doc.SetTextEscapes(kXmlDEscapeGt);
    EXPECT_EQ(doc.SaveToString(), "<r v=\"a<b>&apos;\"&\">a<b&gt;c<!--<&>--></r>");
}

TEST(XmlWriter, EncodeEvents) {
    TXmlDDocument doc;
    auto* r = doc.AppendChild(doc.CreateElement("r"));
    r->Attributes().SetValue("raw", "<&>");
    r->Attributes().SetValue("changed", "x");
    auto* text = r->AppendChild(doc.CreateTextNode("t&"));

    std::vector<const void*> attrSenders;
    doc.SetOnAttrEncode([&](const TXmlDAttrList& sender, std::string& value, bool& handled) {
        attrSenders.push_back(&sender);
        EXPECT_FALSE(handled);
        if (value == "<&>")
            handled = true;  // written as left, unescaped
        else
            value = "\"" + value + "\"";  // changed, then escaped
    });
    const TXmlDText* textSender = nullptr;
    doc.SetOnTextEncode([&](const TXmlDText& sender, std::string& value, bool& handled) {
        textSender = &sender;
        value += "<";
        handled = false;
    });
    EXPECT_EQ(doc.SaveToString(), "<r raw=\"<&>\" changed=\"&quot;x&quot;\">t&amp;&lt;</r>");
    EXPECT_EQ(attrSenders, (std::vector<const void*>{&r->Attributes(), &r->Attributes()}));
    EXPECT_EQ(textSender, text);

    doc.SetOnTextEncode([](const TXmlDText&, std::string& value, bool& handled) {
        value = "<b>";
        handled = true;
    });
    EXPECT_EQ(Formatted(doc), "<r raw=\"<&>\" changed=\"&quot;x&quot;\"><b></r>\r\n");
}

TEST(XmlWriter, Declaration) {
    struct Row {
        const char* label;
        std::vector<std::string> entries;
        const char* expected;
    };
    const Row rows[] = {
        {"no pseudo-attributes", {}, "<?xml version=\"1.0\"?>"},
        {"all three",
         {"encoding=UTF-8", "standalone=yes", "VERSION=1.1"},
         "<?xml version=\"1.1\" encoding=\"UTF-8\" standalone=\"yes\"?>"},
        {"empty encoding", {"encoding=", "version=1.0"}, "<?xml version=\"1.0\"?>"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        TXmlDDocument doc;
        for (const auto& e : row.entries)
            doc.Attributes().Add(e);
        doc.AppendChild(doc.CreateElement("r"));
        EXPECT_EQ(doc.SaveToString(), "<r/>") << "no declaration unless switched on";
        doc.SetWriteDeclaration(true);
        EXPECT_EQ(doc.SaveToString(), std::string(row.expected) + "<r/>");
        EXPECT_EQ(Formatted(doc), std::string(row.expected) + "\r\n<r/>\r\n");
    }
}

TEST(XmlWriter, NodesOutsideADocument) {
    TXmlDElement lone("lone");
    std::ostringstream out;
    lone.WriteToStream(out, true);
    EXPECT_EQ(out.str(), "<lone/>\r\n");

    // Escapes belong to a document: texts and attributes cannot be written
    // without one.
    lone.Attributes().SetValue("a", "1");
    EXPECT_THROW(lone.WriteToStream(out, false), std::bad_cast);
    TXmlDElement holder("holder");
    holder.AppendChild(std::make_unique<TXmlDText>("t"));
    EXPECT_THROW(holder.WriteToStream(out, false), std::bad_cast);
}

TEST(XmlWriter, SaveToFile) {
    const auto dir =
        std::filesystem::temp_directory_path() / ("xmlwriter-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const auto file = (dir / "out.xml").string();
    {
        std::ofstream old(file);
        old << std::string(100, 'z');
    }
    TXmlDDocument doc;
    BuildSample(doc);
    doc.SaveToFile(file);
    std::ifstream in(file, std::ios::binary);
    std::string content{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    EXPECT_EQ(content, doc.SaveToString()) << "compact form, old content truncated";

    EXPECT_THROW(doc.SaveToFile((dir / "missing" / "out.xml").string()), EXmlDError);
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace kvo::common
