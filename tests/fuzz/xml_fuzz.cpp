// libFuzzer target: arbitrary documents into the XML parser. A document
// either throws TTiXmlException or parses; a parsed tree written back as XML
// (the characters text may not hold as entity references) parses again, to a
// tree that is written back the same.
#define FUZZ_QUIET_LOG
#include "config/tinyxml.h"
#include "fuzzcheck.h"

#include <string>

namespace
{
std::string Escaped(const std::string& strText)
{
    std::string strOut;
    for (char c : strText)
    {
        const char* szEntity = c == '&' ? "&amp;" : c == '<' ? "&lt;" : c == '>' ? "&gt;"
                             : c == '"' ? "&quot;" : c == '\'' ? "&apos;" : nullptr;
        strOut += szEntity ? std::string(szEntity) : std::string(1, c);
    }
    return strOut;
}

void Write(const TTiXmlNode& node, std::string& strOut)
{
    if (node.Type() == TTiXmlNode::COMMENT)
    {
        strOut += "<!-- " + Escaped(static_cast<const TTiXmlComment&>(node).Value()) + " -->";
        return;
    }
    if (node.Type() == TTiXmlNode::DECLARATION)
    {
        const auto& decl = static_cast<const TTiXmlDeclaration&>(node);
        strOut += "<?xml version=\"" + Escaped(decl.Version()) + "\" encoding=\"" +
                  Escaped(decl.Encoding()) + "\" standalone=\"" + Escaped(decl.Standalone()) +
                  "\"?>";
        return;
    }
    const auto& element = static_cast<const TTiXmlElement&>(node);
    strOut += "<" + element.Name();
    for (const auto& attr : element.Attributes())
        strOut += " " + attr->Name() + "=\"" + Escaped(attr->Value()) + "\"";
    strOut += ">";
    for (const auto& child : element.Children())
        Write(*child, strOut);
    strOut += Escaped(element.Value()) + "</" + element.Name() + ">";
}

// The document written back, or "" when it does not parse (an empty one does not).
std::string Reparsed(const std::string& strText)
{
    TTiXmlDoc doc(strText, false);
    try
    {
        doc.Parse(nullptr);
    }
    catch (const TTiXmlException&)
    {
        return "";
    }
    std::string strOut;
    for (const auto& node : doc.Children())
    {
        Write(*node, strOut);
        strOut += "\n";
    }
    return strOut;
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    QuietLog();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    // A written-back document that does not parse gives "" too, which a non-empty one is not.
    const std::string strFirst = Reparsed(std::string(reinterpret_cast<const char*>(pData), nSize));
    FUZZ_CHECK(Reparsed(strFirst) == strFirst,
               "the written-back document did not parse, or parsed to another tree");
    return 0;
}
