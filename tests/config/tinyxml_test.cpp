#include "config/tinyxml.h"
#include "common/testutil.h"
#include "logcapture.h"

#include <gtest/gtest.h>

namespace
{
// The parsed nodes in short: <name attr=value;>children value</>, <!comment>, <?version|encoding|standalone>.
std::string Tree(const TTiXmlNode::TNodeList& list)
{
    std::string strTree;
    for (const auto& pNode : list)
    {
        if (auto* pElement = dynamic_cast<const TTiXmlElement*>(pNode.get()))
        {
            strTree += "<" + pElement->Name();
            for (const auto& pAttr : pElement->Attributes())
                strTree += " " + pAttr->Name() + "=" + pAttr->Value() + ";";
            strTree += ">" + Tree(pElement->Children()) + pElement->Value() + "</>";
        }
        else if (auto* pComment = dynamic_cast<const TTiXmlComment*>(pNode.get()))
            strTree += "<!" + pComment->Value() + ">";
        else if (auto* pDecl = dynamic_cast<const TTiXmlDeclaration*>(pNode.get()))
            strTree += "<?" + pDecl->Version() + "|" + pDecl->Encoding() + "|" + pDecl->Standalone() + ">";
    }
    return strTree;
}
// The tree of the parsed source, or "!message|context" of the exception raised; then "|" and
// each error line logged.
std::string Parse(const std::string& strSource, bool bIsFile = false)
{
    TLogCapture log;
    std::string strResult;
    try
    {
        TTiXmlDoc doc(strSource, bIsFile);
        doc.Parse(nullptr);
        strResult = Tree(doc.Children());
    }
    catch (const TTiXmlException& e)
    {
        EXPECT_EQ(e.File(), "config/tinyxml.cpp");
        strResult = "!" + std::string(e.Message()) + "|" + e.Context();
    }
    return strResult + (log.Texts().empty() ? "" : "|" + log.Texts());
}
}  // namespace

TEST(ExceptionDeathTest, MessageThroughTheBaseClassAndNullFileNameEndsTheProcess)
{
    TTiXmlException xml("f.cpp", 42, "Identify error", "junk");
    const TException& e = xml;
    EXPECT_EQ(std::string(e.Message()) + "|" + e.Class() + "|" + e.File() + ":" + std::to_string(e.Line()) + "|" +
                  xml.Context(), "Identify error|TTiXmlException|f.cpp:42|junk");
    EXPECT_STREQ(e.what(), std::exception().what());  // what() is not the message
    EXPECT_EXIT(TException(nullptr, 1, "x"), ::testing::ExitedWithCode(255), "");
    EXPECT_EXIT(TTiXmlException(nullptr, 1, "x", "y"), ::testing::ExitedWithCode(255), "");
}

TEST(XmlGrammar, AcceptedAndRejectedDocuments)
{
    const std::string N = "|node->Parse(p)", strAttr = "!attribute pair error|",
                      strRead = "p = ReadText(p, &value, true, end, true) result p is null" + N,
                      strIdentify = "TTiXmlNode* node = Identify(p) return invalid node",
                      strEndTag = "IsStringEqual(p, endTag.c_str(), true) return null" + N,
                      strText = "p = ReadText(p, &value, true, end, true) return null" + N,
                      strDecl = "para p or *p is null|para p or *p is null|para p or *p is null";
    const std::pair<std::string, std::string> cases[] = {
        {"<!-- first -->\n<a><b>x</b><!-- c --><c>y</c><c>z</c></a>\n<second/>", "<!first><a><b>x</><!c><c>y</><c>z</></><second></>"},
        // End tags match without case; names may hold "_", "-", ":" and digits; text may only follow the children.
        {"<Root></ROOT><_x-1:y/>", "<Root></><_x-1:y></>"},
        {"<a>\n <b/>  text </a>", "<a><b></>text</>"},
        {"<a>text<b/></a>", "!Element Parse error|<a>text<b/></a>|" + strEndTag},
        {"<a>x</a >", "!Element Parse error|<a>x</a >|" + strEndTag},
        {" \t\r\n ", ""},
        {"", "!No content||p or *p is null - no content"},
        // Folded white space and the five entities; no numeric references, an unknown or
        // unterminated one is plain text; bytes above 0x7F are not white space.
        {"<a>  one\r\n  two  </a><!-- a  b -->", "<a>one two</><!a b>"},
        {"<a>x &lt; y&amp;&gt;&quot;&apos;</a>", "<a>x < y&>\"'</>"},
        {"<a>&#60; &amp &foo;</a>", "<a>&#60; &amp &foo;</>"},
        {"<a>\xC3\xA9\xA0x</a>", "<a>\xC3\xA9\xA0x</>"},
        {"<a x=\"1\" x = '  2 \n 3 ' y='&lt;&quot;'/>", "<a x=1; x=2 3; y=<\";></>"},
        // Declarations, also inside an element; an unknown attribute stops the reading of the rest;
        // a text that ends after a value is no error at the top, but is within an element.
        {"<?XML version = ' 1.0 ' encoding=\"UTF-8\" STANDALONE='yes'?>\n<a/>", "<?1.0|UTF-8|yes><a></>"},
        {"<?xml foo='1' version='1.0'?><a><?xml version='2'?>v</a>", "<?||><a><?2||>v</>"},
        {"<?xml version='1.0'\n", "<?1.0||>|" + strDecl},
        {"<a><?xml version='1'\n", "!ReadValue|<?xml version='1'\n|" + strDecl + "|p or *p is null" + N},
        {"<?xml version='1.0'", strAttr + "version='1.0'|" + strRead},
        // Byte-order mark or stray text before the first "<".
        {"\xEF\xBB\xBF<a/>", "!Identify error|\xEF\xBB\xBF<a/>|result p,*p: p = SkipWhiteSpace(p) is invalid|" + strIdentify},
        {"<a/>\n<!DOCTYPE x>", "!Identify error|<!DOCTYPE x>|" + strIdentify},
        {"<a><![CDATA[x]]></a>", "!ReadValue|<![CDATA[x]]></a>|TTiXmlNode* node = Identify( p )\treturn invalid node" + N},
        {"<a>it's</a>", "!ReadValue|it's</a>|" + strText},
        {"<a>  open", "!ReadValue|open|" + strText},
        {"<a>  ", "!ReadValue||p or *p is null" + N},
        {"<a ", "!Element Parse error|<a |p or *p is invalid" + N},
        {"<a/ >", "!Element Parse error|<a/ >|*p is unexcepted" + N},
        {"<a x/>", strAttr + "x/>|result p, *p: p =SkipWhiteSpace(p) is invalid" + N},
        {"<a.b/>", strAttr + ".b/>|result p: p = ReadName(p, &name) is null" + N},
        {"<a x=\"it's\"/>", strAttr + "x=\"it's\"/>|" + strRead},
        {"<a x='say \"hi\"'/>", strAttr + "x='say \"hi\"'/>|" + strRead},
        {"<a x='1'", strAttr + "x='1'|" + strRead},
        {"<!-- a > b -->", "!Comment error|<!-- a > b -->|" + strRead},
        {"<a/><!-- open", "!Comment error|<!-- open|" + strRead},
        // The same fault one, two and three levels down.
        {"<a x=1/>", strAttr + "x=1/>|attribute pair lost " + N},
        {"<r><s x=1/></r>", strAttr + "x=1/></r>|attribute pair lost " + N + N},
        {"<r><s><t x=1/></s></r>", strAttr + "x=1/></s></r>|attribute pair lost " + N + N + N},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Parse(c.first), c.second) << c.first;
}

TEST(XmlGrammar, FirstElementAndChildLookup)
{
    TTiXmlDoc doc("<!-- first -->\n<a><b>x</b><!-- c --><c>y</c><c>z</c></a>\n<second/>", false), only("<!-- c -->", false);
    doc.Parse(nullptr);
    only.Parse(nullptr);
    EXPECT_EQ(only.FirstElement(), nullptr);
    TTiXmlElement* pRoot = doc.FirstElement();
    ASSERT_EQ(pRoot->Name(), "a");
    EXPECT_EQ(pRoot->FindChildElement("c", 0)->Value() + pRoot->FindChildElement("c", 1)->Value(), "yz");
    TLogCapture log;
    for (auto [szName, iIndex] : {std::pair<const char*, int>{"b", 1}, {"B", 0}, {"", 0}, {nullptr, 0}, {"b", -1}})
        EXPECT_EQ(pRoot->FindChildElement(szName, iIndex), nullptr) << iIndex;
    EXPECT_EQ(log.Texts(), "name is null point|iIndex < 0");
}

TEST(XmlFile, LoadingAndLineRule)
{
    TTempDir dir;
    const std::string strPath = dir / "x.cfg";
    auto Load = [&](const std::string& strContent) { return WriteFile(strPath, strContent), TTiXmlDoc(strPath, true).Value(); };
    // Each line is stored with one LF; CR LF counts as a line end; a NUL ends what is kept of a line.
    EXPECT_EQ(Load("<a>\r\n x</a>"), "<a>\n x</a>\n");
    EXPECT_EQ(Load(std::string("<a/>\0junk\n\n<b/>", 15)), "<a/>\n\n<b/>\n");
    EXPECT_EQ(Load(""), "");
    // 2047 characters a line are taken (with LF, CR LF or at the end of the file); a longer
    // line ends the text silently, with everything after it.
    std::string str2047 = "<a>" + std::string(2040, 'x') + "</a>", str2048 = "<b>" + std::string(2041, 'x') + "</b>";
    EXPECT_EQ(Load(str2047 + "\r\n<b/>"), str2047 + "\n<b/>\n");
    EXPECT_EQ(Load(str2047), str2047 + "\n");
    EXPECT_EQ(Load("<a/>\n" + str2048 + "\n<c/>\n"), "<a/>\n");
    EXPECT_EQ(Load(str2048), "");
    EXPECT_EQ(Parse(strPath, true), "!No content||p or *p is null - no content");
    // Missing files and folders cannot be opened; no error is logged.
    for (const std::string& strBad : {dir / "missing.cfg", dir.Path()})
        EXPECT_EQ(Parse(strBad, true), "!Invalid file name:" + strBad + "|");
}
