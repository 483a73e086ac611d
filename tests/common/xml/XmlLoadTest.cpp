// The loader: parse errors with their positions, declarations and processing
// instructions, document types and validation, unsupported nodes, and round
// trips through the writer.
#include <gtest/gtest.h>

#include <chrono>
#include <sstream>

#include "common/XmlClasses.h"

namespace kvo::common {
namespace {

TEST(XmlLoad, ParseErrorsCarryCodeReasonSourceLineAndPosition) {
    struct Row {
        const char* label;
        const char* text;
        int line;
        int pos;
        const char* srcText;
        const char* reasonPart;
    };
    const Row rows[] = {
        {"mismatched end tag", "<r>\n  <a></b>\n</r>", 2, 10, "  <a></b>", "tag mismatch"},
        {"unfinished start tag", "<r", 1, 3, "<r", "end of Start Tag"},
        {"unquoted attribute", "<r a=1/>", 1, 6, "<r a=1/>", "expected"},
        {"two top-level elements", "<r/><s/>", 1, 5, "<r/><s/>", "Extra content"},
        {"repeated attribute, CR LF lines",
         "<?xml version=\"1.0\"?>\r\n<r>\r\n<a x=\"1\" x=\"2\"/></r>", 3, 15,
         "<a x=\"1\" x=\"2\"/></r>", "redefined"},
        {"undefined entity", "<r>&undefined;</r>", 1, 15, "<r>&undefined;</r>", "undefined"},
        {"control character", "\n\n  <r>\x01</r>", 3, 6, "  <r>\x01</r>", "Char"},
        {"undeclared prefix", "<p:r/>", 1, 5, "<p:r/>", "prefix p"},
        {"no element", "text", 1, 1, "text", "Start tag expected"},
        {"text after the element", "<r></r>trailing", 1, 8, "<r></r>trailing", "Extra content"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        TXmlDDocument doc;
        doc.AppendChild(doc.CreateElement("old"));
        try {
            doc.LoadFromString(row.text);
            ADD_FAILURE() << "loaded";
        } catch (const EXmlDParseError& e) {
            EXPECT_STREQ(e.what(), "XML Parse Error");
            EXPECT_NE(e.ErrorCode(), 0);
            EXPECT_EQ(e.Line(), row.line);
            EXPECT_EQ(e.LinePos(), row.pos);
            EXPECT_EQ(e.SrcText(), row.srcText);
            EXPECT_NE(e.Reason().find(row.reasonPart), std::string::npos) << e.Reason();
            EXPECT_EQ(e.Reason().find('\n'), std::string::npos);
        }
        EXPECT_FALSE(doc.HasChildNodes()) << "a parse error leaves the document cleared";
        EXPECT_EQ(doc.DocumentElement(), nullptr);
    }
}

TEST(XmlLoad, EmptyOrBlankTextGivesAnEmptyDocument) {
    for (const char* text : {"", " ", "\r\n\t  "}) {
        TXmlDDocument doc;
        doc.AppendChild(doc.CreateElement("old"));
        EXPECT_NO_THROW(doc.LoadFromString(text));
        EXPECT_FALSE(doc.HasChildNodes());
    }
    // From a stream nothing is skipped: an empty text is an error.
    TXmlDDocument doc;
    std::istringstream empty("");
    EXPECT_THROW(doc.LoadFromStream(empty, false, false), EXmlDParseError);
}

TEST(XmlLoad, DeclarationBecomesPseudoAttributes) {
    TXmlDDocument doc;
    doc.LoadFromString("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<r/>");
    EXPECT_EQ(doc.Attributes().Value("version"), "1.0");
    EXPECT_EQ(doc.Attributes().Value("encoding"), "UTF-8");
    ASSERT_NE(doc.DocumentElement(), nullptr);
    EXPECT_EQ(doc.DocumentElement()->Name(), "r");
    EXPECT_EQ(doc.SaveToString(), "<r/>");
    doc.SetWriteDeclaration(true);
    EXPECT_EQ(doc.SaveToString(), "<?xml version=\"1.0\" encoding=\"UTF-8\"?><r/>");
}

TEST(XmlLoad, ProcessingInstructionsAddRawEntriesAndNoNodes) {
    TXmlDDocument doc;
    doc.LoadFromString(
        "<?xml version='1.0' standalone=\"yes\"?>\n"
        "<?xml-stylesheet type=\"text/xsl\"   href=\"a b.xsl\"?>\n"
        "<r><?inner key=\"v\"?><a/></r>");
    std::vector<std::string> entries;
    for (int i = 0; i < doc.Attributes().Count(); ++i)
        entries.push_back(doc.Attributes().Strings(i));
    // Pieces are split at blanks, so a quoted value with a blank falls apart;
    // only double quotes are removed.
    EXPECT_EQ(entries, (std::vector<std::string>{"version='1.0'", "standalone=yes", "type=text/xsl",
                                                 "href=a", "b.xsl", "key=v"}));
    EXPECT_EQ(doc.SaveToString(), "<r><a/></r>");
}

TEST(XmlLoad, DocumentTypeIsKeptAndValidatedAgainstTheInternalSubset) {
    const char* valid = "<!DOCTYPE r [<!ELEMENT r (a)><!ELEMENT a (#PCDATA)>]><r><a>x</a></r>";
    TXmlDDocument doc;
    doc.LoadFromString(valid);
    EXPECT_EQ(doc.DocumentType(), "<!DOCTYPE r [\n<!ELEMENT r (a)>\n<!ELEMENT a (#PCDATA)>\n]>");
    EXPECT_EQ(doc.SaveToString(), doc.DocumentType() + "<r><a>x</a></r>");
    TXmlDDocument again;
    again.LoadFromString(doc.SaveToString());
    EXPECT_EQ(again.SaveToString(), doc.SaveToString());

    // Loading from a string validates; a stream loads unvalidated on request.
    const std::string invalid = "<!DOCTYPE r [<!ELEMENT r EMPTY>]><r><x/></r>";
    try {
        doc.LoadFromString(invalid);
        ADD_FAILURE() << "loaded";
    } catch (const EXmlDParseError& e) {
        EXPECT_NE(e.ErrorCode(), 0);
        EXPECT_EQ(e.Line(), 1);
        EXPECT_NE(e.Reason().find("EMPTY"), std::string::npos) << e.Reason();
    }
    std::istringstream stream(invalid);
    doc.LoadFromStream(stream, false, false);
    EXPECT_EQ(doc.SaveToString(), "<!DOCTYPE r [\n<!ELEMENT r EMPTY>\n]><r><x/></r>");
}

// External DTDs and entities name files or addresses; loading must never
// read them.
TEST(XmlLoad, ExternalEntitiesAreNeverFetched) {
    const char* text =
        "<!DOCTYPE r [<!ENTITY e SYSTEM \"file:///etc/hostname\">]><r><a/>&e;<b/></r>";
    TXmlDDocument doc;
    try {
        std::istringstream stream(text);
        doc.LoadFromStream(stream, false, false);
        ADD_FAILURE() << "loaded";
    } catch (const EXmlDError& e) {
        EXPECT_STREQ(e.what(), "XML document contains unsupported node type of entityreference");
    }
    EXPECT_EQ(doc.SaveToString(), doc.DocumentType() + "<r><a/></r>")
        << "the nodes before the unsupported one stay";
    EXPECT_FALSE(doc.IgnoreUnsupportedNodes());

    std::istringstream stream(text);
    doc.LoadFromStream(stream, false, true);
    EXPECT_TRUE(doc.IgnoreUnsupportedNodes());
    EXPECT_EQ(doc.SaveToString(), doc.DocumentType() + "<r><a/><b/></r>");

    // A DOCTYPE naming an external DTD: nothing is loaded, so validation
    // finds no declarations.
    EXPECT_THROW(doc.LoadFromString("<!DOCTYPE r SYSTEM \"/etc/hostname\"><r/>"), EXmlDParseError);
}

TEST(XmlLoad, EntityExpansionBombIsRefused) {
    std::string text = "<!DOCTYPE b [<!ENTITY e0 \"lol\">";
    for (int i = 1; i <= 9; ++i) {
        text += "<!ENTITY e" + std::to_string(i) + " \"";
        for (int k = 0; k < 10; ++k)
            text += "&e" + std::to_string(i - 1) + ";";
        text += "\">";
    }
    text += "]><b a=\"&e9;\">&e9;</b>";
    TXmlDDocument doc;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(doc.LoadFromString(text), EXmlDParseError);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

// A document of about 110 KB whose one attribute names a 50,000-character
// entity 20,000 times would expand to a gigabyte; it is refused before any
// of it is built.  Entities within the limits still expand, nested ones too.
TEST(XmlLoad, AttributeEntityExpansionStaysWithinTheParsersLimits) {
    const auto withEntity = [](const std::string& entity, int uses) {
        std::string text = "<!DOCTYPE r [<!ENTITY e \"" + entity + "\">]>\n<r a=\"";
        for (int i = 0; i < uses; ++i)
            text += "&e;";
        return text + "\"/>";
    };
    // Without validation: the documents declare entities but no elements.
    const auto load = [](TXmlDDocument& doc, const std::string& text) {
        std::istringstream stream(text);
        doc.LoadFromStream(stream, false, false);
    };
    struct Case {
        const char* what;
        std::string text;
        const char* reason;
    };
    const Case refused[] = {
        {"large entity used many times", withEntity(std::string(50000, 'x'), 20000),
         "Maximum entity amplification factor exceeded"},
        // Within ten times the document, but longer than any attribute may be.
        {"value past the text limit", withEntity(std::string(2000000, 'x'), 6),
         "AttValue length too long"},
    };
    for (const auto& c : refused) {
        TXmlDDocument doc;
        const auto start = std::chrono::steady_clock::now();
        try {
            load(doc, c.text);
            ADD_FAILURE() << c.what << ": loaded";
        } catch (const EXmlDParseError& e) {
            EXPECT_EQ(e.Reason(), c.reason) << c.what;
            EXPECT_EQ(e.Line(), 2) << c.what;
        }
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << c.what;
        EXPECT_EQ(doc.DocumentElement(), nullptr) << c.what;
    }

    TXmlDDocument doc;
    load(doc,
         "<!DOCTYPE r [<!ENTITY b \"12\"><!ENTITY a \"x&b;y\">]><r a=\"&a;-&a;&amp;\" n=\"&b;\"/>");
    ASSERT_NE(doc.DocumentElement(), nullptr);
    EXPECT_EQ(doc.DocumentElement()->Attributes().Value("a"), "x12y-x12y&");
    EXPECT_EQ(doc.DocumentElement()->Attributes().Value("n"), "12");

    // Many small references are fine as long as the whole stays in proportion.
    load(doc, withEntity(std::string(100, 'x'), 5000));
    EXPECT_EQ(doc.DocumentElement()->Attributes().Value("a").size(), 500000u);
}

TEST(XmlLoad, TextsAttributesAndNames) {
    TXmlDDocument doc;
    doc.LoadFromString(
        "<r xmlns=\"urn:a\" xmlns:q=\"urn:q\" q:id=\"1\" empty=\"\" e=\"&lt;&amp;&#65;\">\n"
        "  <q:k>  padded  </q:k>\n"
        "  <keep xml:space=\"preserve\">  </keep>\n"
        "  <!-- note --><![CDATA[<raw>]]>\r\n"
        "  <t>line1\r\nline2</t>\n"
        "</r>");
    const TXmlDElement* r = doc.DocumentElement();
    ASSERT_NE(r, nullptr);
    std::vector<std::string> attrs;
    for (int i = 0; i < r->Attributes().Count(); ++i)
        attrs.push_back(r->Attributes().Strings(i));
    EXPECT_EQ(attrs, (std::vector<std::string>{"xmlns=urn:a", "xmlns:q=urn:q", "q:id=1", "e=<&A"}));

    std::string kinds;
    for (TXmlDNode* c = r->FirstChild(); c != nullptr; c = c->NextSibling())
        kinds += c->NodeName() + "[" +
                 (c->HasChildNodes() ? c->FirstChild()->NodeValue() : c->NodeValue()) + "] ";
    // Whitespace between elements is dropped unless preserved; text keeps
    // its blanks; line ends inside text arrive as LF.
    EXPECT_EQ(kinds,
              "q:k[  padded  ] keep[  ] #comment[ note ] #cdata-section[<raw>] t[line1\nline2] ");
    for (TXmlDNode* c = r->FirstChild(); c != nullptr; c = c->NextSibling())
        EXPECT_EQ(c->Level(), 2);
}

TEST(XmlLoad, TextIsTakenAsUtf8WhateverItsDeclarationSays) {
    TXmlDDocument doc;
    doc.LoadFromString(
        "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><r a=\"\xC3\xA9\">\xC3\xA9</r>");
    EXPECT_EQ(doc.SaveToString(), "<r a=\"\xC3\xA9\">\xC3\xA9</r>");
    EXPECT_EQ(doc.Attributes().Value("encoding"), "ISO-8859-1");

    // Bytes that are not UTF-8 become U+FFFD instead of failing the load.
    doc.LoadFromString("<r>a\xE9z\xC3</r>");
    EXPECT_EQ(doc.DocumentElement()->FirstChild()->NodeValue(), "a\xEF\xBF\xBDz\xEF\xBF\xBD");
}

TEST(XmlLoad, StreamsAreReadFromTheStartUpToAZeroByte) {
    std::stringstream stream;
    stream << std::string("<r><a/></r>\0<garbage", 20);
    stream.seekg(5);
    TXmlDDocument doc;
    doc.LoadFromStream(stream, true, false);
    EXPECT_EQ(doc.SaveToString(), "<r><a/></r>");
    EXPECT_EQ(stream.tellg(), 0) << "a string stream is left at its start";

    // A second load replaces the children; the declaration entries add up.
    std::istringstream second("<?xml version=\"1.0\"?><s/>");
    doc.LoadFromStream(second, true, false);
    doc.LoadFromStream(second, true, false);
    EXPECT_EQ(doc.SaveToString(), "<s/>");
    EXPECT_EQ(doc.Attributes().Count(), 2);
}

TEST(XmlLoad, RoundTripsThroughBothForms) {
    TXmlDDocument doc;
    auto* root = doc.AppendChild(doc.CreateElement("Report"));
    root->Attributes().SetValue("Site", "A & \"B\" <c>");
    auto* practice = root->AppendChild(doc.CreateElement("Practice"));
    practice->AppendChild(doc.CreateTextNode("Smiles & <Co> 'Ltd' \xC3\xA9"));
    root->AppendChild(doc.CreateComment(" c "));
    root->AppendChild(doc.CreateCDATASection("x < y"));
    auto* list = root->AppendChild(doc.CreateElement("List"));
    for (int i = 0; i < 3; ++i)
        list->AppendChild(doc.CreateElement("Item"))->Attributes().SetValue("n", std::to_string(i));
    const std::string compact = doc.SaveToString();

    TXmlDDocument loaded;
    loaded.LoadFromString(compact);
    EXPECT_EQ(loaded.SaveToString(), compact);

    // The formatted form's layout is whitespace between elements, which the
    // loader drops, so it reads back as the same tree.
    std::ostringstream formatted;
    doc.SaveToStream(formatted, true);
    TXmlDDocument fromFormatted;
    fromFormatted.LoadFromString(formatted.str());
    EXPECT_EQ(fromFormatted.SaveToString(), compact);

    // A long text is written on its own indented line, and that layout
    // becomes part of the text when read back.
    practice->FirstChild()->SetNodeValue(std::string(48, 'L'));
    formatted.str("");
    doc.SaveToStream(formatted, true);
    fromFormatted.LoadFromString(formatted.str());
    EXPECT_EQ(fromFormatted.DocumentElement()->FirstChild()->FirstChild()->NodeValue(),
              "\n    " + std::string(48, 'L') + "\n  ");
}

}  // namespace
}  // namespace kvo::common
