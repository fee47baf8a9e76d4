#include "config/tinyxml.h"
#include "common/testutil.h"
#include "common/logcapture.h"

#include <gtest/gtest.h>

namespace
{
// The parsed document as it dumps, or "!message|context" of the exception raised; then "|" and
// each error line logged.
std::string Parse(const std::string& strSource, bool bIsFile = false)
{
    TLogCapture log;
    std::string strResult;
    try
    {
        TTiXmlDoc doc(strSource, bIsFile);
        doc.Parse(nullptr);
        testing::internal::CaptureStdout();
        doc.Dump();
        strResult = testing::internal::GetCapturedStdout();
    }
    catch (const TTiXmlException& e)
    {
        strResult = "!" + std::string(e.Message()) + "|" + e.Context();
    }
    const std::string strErrors = log.Texts();
    return strResult + (strErrors.empty() ? "" : "|" + strErrors);
}
}  // namespace

TEST(XmlGrammar, AcceptedAndRejectedDocuments)
{
    const std::string N = "|node->Parse(p)", strAttr = "!attribute pair error|",
                      strRead = "p = ReadText(p, &value, true, end, true) result p is null" + N;
    auto Decl = [](const std::string& strVersion) {
        return "<?xml version=\"" + strVersion + "\" encoding=\"\" standalone=\"\"?>";
    };
    const std::pair<std::string, std::string> cases[] = {
        {"<!-- first -->\n<a><b>x</b><!-- c --><c>y</c></a>\n<second/>",
         "<!-- first -->\n<a><b>x</b><!-- c --><c>y</c></a>\n<second/>\n"},
        // End tags match without case; names may hold "_", "-", ":" and digits; text may only
        // follow the children.
        {"<Root></ROOT><_x-1:y/>", "<Root/>\n<_x-1:y/>\n"},
        {"<a>\n <b/>  text </a>", "<a><b/>text</a>\n"},
        {"<a>text<b/></a>", "!Element Parse error|<a>text<b/></a>|IsStringEqual(p, endTag.c_str(), "
                            "true) return null" +
                                N},
        {" \t\r\n ", ""},
        {"", "!No content||p or *p is null - no content"},
        // Folded white space and the five entities; no numeric references, an unknown or
        // unterminated one is plain text; bytes above 0x7F are not white space.
        {"<a>  one\r\n  two\xC3\xA9\xA0  </a><!-- a  b -->",
         "<a>one two\xC3\xA9\xA0</a>\n<!-- a b -->\n"},
        {"<a>x &lt; y&amp;&gt;&quot;&apos; &#60; &amp &foo;</a>",
         "<a>x < y&>\"' &#60; &amp &foo;</a>\n"},
        {"<a x=\"1\" x = '  2 \n 3 ' y='&lt;&quot;'/>", "<a x=\"1\" x=\"2 3\" y=\"<\"\"/>\n"},
        // Declarations, also inside an element; an unknown attribute stops the reading of the rest;
        // a text that ends after a value is no error at the top (within an element, a text cut
        // short is, below).
        {"<?XML version = ' 1.0 ' encoding=\"UTF-8\" STANDALONE='yes'?>\n<a/>",
         "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n<a/>\n"},
        {"<?xml foo='1' version='1.0'?><a><?xml version='2'?>v</a>",
         Decl("") + "\n<a>" + Decl("2") + "v</a>\n"},
        {"<?xml version='1.0'\n",
         Decl("1.0") + "\n|para p or *p is null|para p or *p is null|para p or *p is null"},
        {"<?xml version='1.0'", strAttr + "version='1.0'|" + strRead},
        // Byte-order mark before the first "<".
        {"\xEF\xBB\xBF<a/>",
         "!Identify error|\xEF\xBB\xBF<a/>|result p,*p: p = SkipWhiteSpace(p) is "
         "invalid|TTiXmlNode* node = Identify(p) return invalid node"},
        {"<a>it's</a>",
         "!ReadValue|it's</a>|p = ReadText(p, &value, true, end, true) return null" + N},
        {"<a>  ", "!ReadValue||p or *p is null" + N},
        {"<a ", "!Element Parse error|<a |p or *p is invalid" + N},
        {"<a/ >", "!Element Parse error|<a/ >|*p is unexcepted" + N},
        {"<a x/>", strAttr + "x/>|result p, *p: p =SkipWhiteSpace(p) is invalid" + N},
        {"<!-- a > b -->", "!Comment error|<!-- a > b -->|" + strRead},
        // A fault three levels down: a line for each level.
        {"<r><s><t x=1/></s></r>", strAttr + "x=1/></s></r>|attribute pair lost " + N + N + N},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Parse(c.first), c.second) << c.first;
}

TEST(XmlGrammar, NestingBeyondTheLimitIsAnErrorNotAStackOverflow)
{
    std::string strDeep, strLines;  // 30,000 levels overflowed the stack; depth 257 is refused
    for (int i = 0; i < 60000; ++i)
        strDeep += i < 30000 ? "<a>" : "</a>";
    for (int i = 0; i < 257; ++i)
        strLines += "|node->Parse(p)";
    EXPECT_EQ(Parse(strDeep.substr(30000 * 3 - 256 * 3, 256 * 7)).substr(0, 3), "<a>");
    EXPECT_EQ(Parse(strDeep), "!Element Parse error|" + strDeep.substr(256 * 3) +
                                  "|element nested deeper than 256 levels" + strLines);
}

TEST(XmlFile, LoadingAndLineRule)
{
    TTempDir dir;
    const std::string strPath = dir / "x.cfg";
    auto Load = [&](const std::string& strContent) {
        return WriteFile(strPath, strContent), TTiXmlDoc(strPath, true).Value();
    };
    // Each line is stored with one LF; CR LF counts as a line end; a NUL ends what is kept of a
    // line; 2047 characters a line are taken, the CR of a CR LF not among them; a longer line
    // ends the text silently, with everything after it.
    const std::string str2047 = "<a>" + std::string(2040, 'x') + "</a>";
    EXPECT_EQ(
        Load(std::string("<a/>\0junk\n\n", 11) + str2047 + "\r\n<b/>\nx" + str2047 + "\n<c/>"),
        "<a/>\n\n" + str2047 + "\n<b/>\n");
    // A folder opens but cannot be read: like a missing file, it cannot be opened; no error is
    // logged.
    EXPECT_EQ(Parse(dir.Path(), true), "!Invalid file name:" + dir.Path() + "|");
}
