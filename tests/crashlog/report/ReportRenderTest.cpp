// Rich text and HTML of the dialogs' pages, and the web error page.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "ReportFixture.h"
#include "ReportLines.h"
#include "support/Golden.h"

namespace {

using namespace report_test;
using kvo::support::ExpectMatchesGolden;

const std::string kGolden = KVO_REPORT_GOLDEN_DIR;

TEST(ReportRender, RichTextOfTheThreePages) {
    TFixture f;
    TCrashBugReport report;
    report.Build(f.Input);
    ExpectMatchesGolden(kGolden + "/general.rtf",
                        RtfGeneral(report.GeneralPart(), "Courier New", 9, 0));
    ExpectMatchesGolden(kGolden + "/assembler.rtf",
                        RtfAssembler(report.AssemblerListing(), "Courier New", 9, 0));
    ExpectMatchesGolden(kGolden + "/cpu.rtf", RtfCpu(report.CpuPart(), "Courier New", 9, 0, 7));
}

TEST(ReportRender, RichTextColoursValuesAndEscapes) {
    const std::string general =
        "CrashLog 6.0.20\r\n\r\nApplication:\r\n------\r\n  1.1 Path {x}: C:\\dir\r\n";
    const std::vector<std::string> lines = Lines(RtfGeneral(general, "Mono", 10, 238));
    EXPECT_EQ(lines[0],
              "{\\rtf1\\ansi\\ansicpg1252\\deff0\\deflang1040{\\fonttbl{\\f0\\fmodern\\fprq1"
              "\\fcharset238 Mono;}}");
    EXPECT_EQ(lines[2], "\\f0\\fs20");
    EXPECT_EQ(lines[3], "\\cf1\\b CrashLog 6.0.20\\par\\b0");
    EXPECT_EQ(lines[4], "\\par");
    EXPECT_EQ(lines[5], "\\cf3\\b Application:\\par\\b0");
    EXPECT_EQ(lines[6], "\\cf3 ------\\par");
    EXPECT_EQ(lines[7], "\\cf5   1.1\\cf2  Path \\{x\\}:\\cf4  C:\\\\dir\\par");
    EXPECT_EQ(lines.back(), "}");

    TFixture f;
    TCrashBugReport report;
    report.Build(f.Input);
    const std::vector<std::string> cpu = Lines(RtfCpu(report.CpuPart(), "Mono", 10, 0, 7));
    EXPECT_EQ(cpu[5], "RAX: \\cf4 0000000000000008\\cf2    RDI: \\cf4 0000000000402000\\cf2 \\par");
    EXPECT_EQ(cpu[10], "\\pard\\tx105\\cf3\\b Stack:\\tab Memory Dump:\\par\\cf2\\b0");
    EXPECT_EQ(cpu[11],
              "\\cf3 " + std::string(34, '-') + "\\tab " + std::string(83, '-') + "\\par\\cf2");
    EXPECT_EQ(
        cpu[12],
        "00007FFC00001000: \\cf4 312A231C150E0700\\cf2 \\tab 000000000040103A: \\cf4 8B 00 5D "
        "C3 90 90 90 90 90 90 90 90 90 90 90 90\\cf5   ..].............\\par\\cf2 ");
    const std::vector<std::string> code =
        Lines(RtfAssembler(report.AssemblerListing(), "Mono", 10, 0));
    EXPECT_EQ(code[3], "\\cf6 ; Widget.TWidget.Crash (Line=40 - Offset=1)\\par");
    EXPECT_EQ(code[5], "\\cf5 0000000000401020 \\cf4\\b  push\\b0\\cf7     rbp\\par");
}

TEST(ReportRender, HtmlPagesEscapeAndColour) {
    TFixture f;
    f.Input.ClassName = "E<Bad>&";
    TCrashBugReport report;
    report.Build(f.Input);
    const std::string general = HtmlGeneral(report.GeneralPart());
    EXPECT_TRUE(general.starts_with("<pre ")) << general.substr(0, 40);
    EXPECT_NE(general.find("E&lt;Bad&gt;&amp;"), std::string::npos);
    EXPECT_EQ(general.find("<Bad>"), std::string::npos);
    EXPECT_NE(general.find("<span style=\"color:#006464;font-weight:bold\">CrashLog 6.0.20</span>"),
              std::string::npos);
    EXPECT_NE(general.find("<span style=\"color:#a00000\">  2.5</span>"), std::string::npos);
    const std::string code = HtmlAssembler(report.AssemblerListing());
    EXPECT_NE(code.find("<span style=\"color:#0000a0;font-weight:bold\">push</span>"),
              std::string::npos);
    EXPECT_NE(code.find("<span style=\"color:#505050\">; &lt;-- EXCEPTION</span>"),
              std::string::npos);
    const std::string cpu = HtmlCpu(report.CpuPart());
    EXPECT_NE(cpu.find("<span style=\"color:#0000a0\">000000000040103A</span>"), std::string::npos);
}

TEST(ReportRender, ErrorPageEscapesInOrderAndMarksItself) {
    TCrashModuleOptions options;
    options.SetWebPageTemplate("<html><body><%html_tag%></body></html>");
    std::string marker;
    const std::string page =
        BuildErrorPage("a & b  \"c\" 'd' <e>\r\nline", options, 0x1234ABCD, &marker);
    EXPECT_EQ(marker, "<!-- CrashLog ID: 1234ABCD -->");
    EXPECT_EQ(page,
              "<title>Error occurred</title><html><body>a &amp; b&nbsp;&nbsp;&quot;c&quot; "
              "&#039;d&#039; &lt;e&gt;<br>\r\nline<br><input type=button value=\"Ok\" "
              "OnClick=\"history.go(-1)\" "
              "style=\"width:75;height:25;z-index:100;font-style:normal;font-size:10pt;"
              "text-decoration:none;\"></body></html><!-- CrashLog ID: 1234ABCD -->");
}

TEST(ReportRender, ErrorPageTemplates) {
    TCrashModuleOptions options;
    // A template without the placeholder: no report, but marker and button.
    options.SetWebPageTemplate("<TITLE>Practice</TITLE><p>Sorry</p>");
    std::string page = BuildErrorPage("secret report", options, 1);
    EXPECT_EQ(page.find("secret"), std::string::npos);
    EXPECT_TRUE(page.starts_with("<TITLE>Practice</TITLE>"));
    EXPECT_NE(page.find("<!-- CrashLog ID: 00000001 -->"), std::string::npos);
    EXPECT_TRUE(page.ends_with("text-decoration:none;\">"));
    // "</title>" before "<title>" does not count as a title.
    options.SetWebPageTemplate("</title><title><%HTML_TAG%>");
    EXPECT_TRUE(
        BuildErrorPage("x", options, 1).starts_with("<title>Error occurred</title></title>"));
    // A blank template falls back to the default one.
    options.SetWebPageTemplate(" \r\n\t ");
    TCrashModuleOptions fresh;
    EXPECT_EQ(BuildErrorPage("x", options, 7), BuildErrorPage("x", fresh, 7));
}

TEST(ReportRender, CgiProgramsWriteTheHeaderAndPage) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const TCrashErrorPageResult sent = SendErrorPage(TCrashProgramKind::Cgi, "<p>x</p>", fds[1]);
    close(fds[1]);
    char buf[256] = {};
    const ssize_t n = read(fds[0], buf, sizeof buf - 1);
    close(fds[0]);
    EXPECT_TRUE(sent.Delivered);
    EXPECT_EQ(std::string(buf, size_t(std::max<ssize_t>(n, 0))),
              "Status: 200 Error\r\nContent-Type: text/html\r\nContent-Length: 8\r\n"
              "Content:\r\n\r\n<p>x</p>");

    const int readOnly = open("/dev/null", O_RDONLY);
    const TCrashErrorPageResult failed =
        SendErrorPage(TCrashProgramKind::Cgi, "<p>x</p>", readOnly);
    close(readOnly);
    EXPECT_FALSE(failed.Delivered);
    EXPECT_EQ(failed.Warning, "CGI: Cannot write in the ouput file.");

    EXPECT_FALSE(SendErrorPage(TCrashProgramKind::Gui, "<p>x</p>", 1).Delivered);
}

}  // namespace
