#include "config/tinyxml.h"
#include "common/testutil.h"
#include "logcapture.h"

#include <gtest/gtest.h>

#include <unistd.h>

using TLines = std::vector<std::string>;

namespace
{
struct TFailure
{
    std::string strText;
    std::string strMessage;
    std::string strContext;
    TLines vLines;  // the parser's error lines, in order
};

// Parses strText and returns the exception it raised; fails the test when none.
TTiXmlException ParseFailure(const std::string& strText, TLines* pLines)
{
    TLogCapture log;
    try
    {
        TTiXmlDoc doc(strText, false);
        doc.Parse(nullptr);
    }
    catch (const TTiXmlException& e)
    {
        *pLines = log.ErrorTexts();
        return e;
    }
    ADD_FAILURE() << "no exception for: " << strText;
    return TTiXmlException(__FILE__, __LINE__, "", "");
}

std::unique_ptr<TTiXmlDoc> ParseOk(const std::string& strText)
{
    auto doc = std::make_unique<TTiXmlDoc>(strText, false);
    EXPECT_NO_THROW(doc->Parse(nullptr)) << strText;
    return doc;
}
}  // namespace

TEST(XmlGrammar, RejectedInputsGiveTheirExceptionAndLogLines)
{
    const char* szNode = "node->Parse(p)";
    const TFailure cases[] = {
        {"", "No content", "", {"p or *p is null - no content"}},
        // Byte-order mark or stray text before the first "<".
        {"\xEF\xBB\xBF<a/>", "Identify error", "\xEF\xBB\xBF<a/>",
         {"result p,*p: p = SkipWhiteSpace(p) is invalid", "TTiXmlNode* node = Identify(p) return invalid node"}},
        {" \n junk <a/>", "Identify error", "junk <a/>",
         {"result p,*p: p = SkipWhiteSpace(p) is invalid", "TTiXmlNode* node = Identify(p) return invalid node"}},
        {"<a/>\n<!DOCTYPE x>", "Identify error", "<!DOCTYPE x>", {"TTiXmlNode* node = Identify(p) return invalid node"}},
        {"<a><![CDATA[x]]></a>", "ReadValue", "<![CDATA[x]]></a>",
         {"TTiXmlNode* node = Identify( p )\treturn invalid node", szNode}},
        {"<a>x</a >", "Element Parse error", "<a>x</a >", {"IsStringEqual(p, endTag.c_str(), true) return null", szNode}},
        {"<a>text<b/></a>", "Element Parse error", "<a>text<b/></a>",
         {"IsStringEqual(p, endTag.c_str(), true) return null", szNode}},
        {"<a>it's</a>", "ReadValue", "it's</a>", {"p = ReadText(p, &value, true, end, true) return null", szNode}},
        {"<a>  open", "ReadValue", "open", {"p = ReadText(p, &value, true, end, true) return null", szNode}},
        {"<a>  ", "ReadValue", "", {"p or *p is null", szNode}},
        {"<a ", "Element Parse error", "<a ", {"p or *p is invalid", szNode}},
        {"<a/ >", "Element Parse error", "<a/ >", {"*p is unexcepted", szNode}},
        {"<a x=1/>", "attribute pair error", "x=1/>", {"attribute pair lost ", szNode}},
        {"<a x/>", "attribute pair error", "x/>", {"result p, *p: p =SkipWhiteSpace(p) is invalid", szNode}},
        {"<a.b/>", "attribute pair error", ".b/>", {"result p: p = ReadName(p, &name) is null", szNode}},
        {"<a x=\"it's\"/>", "attribute pair error", "x=\"it's\"/>",
         {"p = ReadText(p, &value, true, end, true) result p is null", szNode}},
        {"<a x='say \"hi\"'/>", "attribute pair error", "x='say \"hi\"'/>",
         {"p = ReadText(p, &value, true, end, true) result p is null", szNode}},
        {"<a x='1'", "attribute pair error", "x='1'",
         {"p = ReadText(p, &value, true, end, true) result p is null", szNode}},
        {"<!-- a > b -->", "Comment error", "<!-- a > b -->",
         {"p = ReadText(p, &value, true, end, true) result p is null", szNode}},
        {"<a/><!-- open", "Comment error", "<!-- open",
         {"p = ReadText(p, &value, true, end, true) result p is null", szNode}},
        // A declaration that the text ends inside, within an element.
        {"<a><?xml version='1'\n", "ReadValue", "<?xml version='1'\n",
         {"para p or *p is null", "para p or *p is null", "para p or *p is null", "p or *p is null", szNode}},
        // The same fault two and three levels down (one level: "<a x=1/>" above).
        {"<r><s x=1/></r>", "attribute pair error", "x=1/></r>", {"attribute pair lost ", szNode, szNode}},
        {"<r><s><t x=1/></s></r>", "attribute pair error", "x=1/></s></r>",
         {"attribute pair lost ", szNode, szNode, szNode}},
    };
    for (const TFailure& c : cases)
    {
        TLines vLines;
        TTiXmlException e = ParseFailure(c.strText, &vLines);
        EXPECT_STREQ(e.Message(), c.strMessage.c_str()) << c.strText;
        EXPECT_EQ(e.Context(), c.strContext) << c.strText;
        EXPECT_EQ(vLines, c.vLines) << c.strText;
        EXPECT_EQ(e.File(), "config/tinyxml.cpp");
    }
}

TEST(XmlGrammar, ElementsChildrenAndLookup)
{
    auto doc = ParseOk("<!-- first -->\n<a><b>x</b><!-- c --><c>y</c><c>z</c></a>\n<second/>");
    ASSERT_EQ(doc->Children().size(), 3u);
    TTiXmlElement* pRoot = doc->FirstElement();
    ASSERT_NE(pRoot, nullptr);
    EXPECT_EQ(pRoot->Name(), "a");
    ASSERT_NE(pRoot->FindChildElement("c", 0), nullptr);
    EXPECT_EQ(pRoot->FindChildElement("c", 0)->Value(), "y");
    ASSERT_NE(pRoot->FindChildElement("c", 1), nullptr);
    EXPECT_EQ(pRoot->FindChildElement("c", 1)->Value(), "z");
    EXPECT_EQ(pRoot->FindChildElement("b", 1), nullptr);
    EXPECT_EQ(pRoot->FindChildElement("B", 0), nullptr);
    EXPECT_EQ(pRoot->FindChildElement("", 0), nullptr);

    TLogCapture log;
    EXPECT_EQ(pRoot->FindChildElement(nullptr, 0), nullptr);
    EXPECT_EQ(pRoot->FindChildElement("b", -1), nullptr);
    EXPECT_EQ(log.ErrorTexts(), (TLines{"name is null point", "iIndex < 0"}));

    // End tags match without case; names may hold "_", "-", ":" and digits.
    EXPECT_EQ(ParseOk("<Root></ROOT>")->FirstElement()->Name(), "Root");
    EXPECT_EQ(ParseOk("<_x-1:y/>")->FirstElement()->Name(), "_x-1:y");
    // Text may only follow the children.
    auto mixed = ParseOk("<a>\n <b/>  text </a>");
    EXPECT_EQ(mixed->FirstElement()->Value(), "text");
    EXPECT_EQ(mixed->FirstElement()->Children().size(), 1u);
    // White space alone, or comments alone, leave no root element.
    EXPECT_EQ(ParseOk(" \t\r\n ")->FirstElement(), nullptr);
    EXPECT_EQ(ParseOk("<!-- only -->")->FirstElement(), nullptr);
}

TEST(XmlGrammar, TextFoldingAndEntities)
{
    EXPECT_EQ(ParseOk("<a>  one\r\n  two  </a>")->FirstElement()->Value(), "one two");
    EXPECT_EQ(ParseOk("<a>x &lt; y&amp;&gt;&quot;&apos;</a>")->FirstElement()->Value(), "x < y&>\"'");
    // No numeric references; an unknown or unterminated reference is plain text.
    EXPECT_EQ(ParseOk("<a>&#60; &amp &foo;</a>")->FirstElement()->Value(), "&#60; &amp &foo;");
    // Bytes above 0x7F are ordinary characters, not white space.
    EXPECT_EQ(ParseOk("<a>\xC3\xA9\xA0x</a>")->FirstElement()->Value(), "\xC3\xA9\xA0x");

    auto doc = ParseOk("<a x=\"1\" x = '  2 \n 3 ' y='&lt;&quot;'/>");
    const auto& attrs = doc->FirstElement()->Attributes();
    ASSERT_EQ(attrs.size(), 3u);
    EXPECT_EQ(attrs[0]->Name() + "=" + attrs[0]->Value(), "x=1");
    EXPECT_EQ(attrs[1]->Name() + "=" + attrs[1]->Value(), "x=2 3");
    EXPECT_EQ(attrs[2]->Value(), "<\"");

    auto comment = ParseOk("<!-- a  b -->");
    ASSERT_EQ(comment->Children().size(), 1u);
    EXPECT_EQ(static_cast<TTiXmlComment*>(comment->Children()[0].get())->Value(), "a b");
}

TEST(XmlGrammar, Declarations)
{
    auto Decl = [](const std::unique_ptr<TTiXmlDoc>& doc) {
        return dynamic_cast<TTiXmlDeclaration*>(doc->Children().at(0).get());
    };
    auto doc = ParseOk("<?XML version = ' 1.0 ' encoding=\"UTF-8\" STANDALONE='yes'?>\n<a/>");
    ASSERT_NE(Decl(doc), nullptr);
    EXPECT_EQ(Decl(doc)->Version(), "1.0");
    EXPECT_EQ(Decl(doc)->Encoding(), "UTF-8");
    EXPECT_EQ(Decl(doc)->Standalone(), "yes");
    EXPECT_NE(doc->FirstElement(), nullptr);
    // An unknown attribute stops the reading of the rest.
    auto skipped = ParseOk("<?xml foo='1' version='1.0'?><a/>");
    EXPECT_EQ(Decl(skipped)->Version(), "");
    EXPECT_NE(skipped->FirstElement(), nullptr);
    // A declaration inside an element is accepted too.
    EXPECT_EQ(ParseOk("<a><?xml version='2'?>v</a>")->FirstElement()->Value(), "v");
}

TEST(XmlFile, LoadingAndLineRule)
{
    TTempDir dir;
    std::string strPath = dir / "x.cfg";
    auto Load = [&](const std::string& strContent) {
        WriteFile(strPath, strContent);
        auto doc = std::make_unique<TTiXmlDoc>(strPath, true);
        return doc;
    };
    // Each line is stored with one LF; CR LF counts as a line end; a NUL ends what is kept of a line.
    EXPECT_EQ(Load("<a>\r\n x</a>")->Value(), "<a>\n x</a>\n");
    EXPECT_EQ(Load(std::string("<a/>\0junk\n\n<b/>", 15))->Value(), "<a/>\n\n<b/>\n");
    EXPECT_EQ(Load("")->Value(), "");

    // 2047 characters a line are taken (with LF, CR LF or at the end of the file).
    std::string str2047 = "<a>" + std::string(2040, 'x') + "</a>";
    EXPECT_EQ(Load(str2047 + "\r\n<b/>")->Value(), str2047 + "\n<b/>\n");
    auto full = Load(str2047);
    full->Parse(nullptr);
    EXPECT_EQ(full->FirstElement()->Value().size(), 2040u);
    // A longer line ends the text silently, with everything after it.
    std::string str2048 = "<b>" + std::string(2041, 'x') + "</b>";
    EXPECT_EQ(Load("<a/>\n" + str2048 + "\n<c/>\n")->Value(), "<a/>\n");
    WriteFile(strPath, str2048);
    {
        TLogCapture log;
        TTiXmlDoc doc(strPath, true);
        EXPECT_THROW(doc.Parse(nullptr), TTiXmlException);
        EXPECT_EQ(log.ErrorTexts(), TLines{"p or *p is null - no content"});
    }

    // A text that ends inside a top-level declaration is no error.
    {
        TLogCapture log;
        auto decl = Load("<?xml version='1.0'");
        EXPECT_NO_THROW(decl->Parse(nullptr));
        EXPECT_EQ(decl->Children().size(), 1u);
        EXPECT_EQ(decl->FirstElement(), nullptr);
        EXPECT_EQ(log.ErrorTexts(), TLines(3, "para p or *p is null"));
    }

    // Missing files and folders cannot be opened; nothing is logged.
    for (const std::string& strBad : {dir / "missing.cfg", dir.Path()})
    {
        TLogCapture log;
        try
        {
            TTiXmlDoc doc(strBad, true);
            ADD_FAILURE() << strBad;
        }
        catch (const TTiXmlException& e)
        {
            EXPECT_EQ(std::string(e.Message()), "Invalid file name:" + strBad);
            EXPECT_STREQ(e.Context(), "");
        }
        EXPECT_EQ(log.Text(), "");
    }
}
