#include "config/tinyxml.h"

#include "core/logfile.h"

#include <ace/Log_Msg.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

// One error line of the parser; the file and line are those of the caller.
#define XML_ERROR(szText) ACE_ERROR((LM_ERROR, LOG_PREFIX "Error - %p\n", szText))
#define XML_THROW(szMessage, strContext)                                                           \
    throw TTiXmlException(__FILE__, __LINE__, szMessage, strContext)

namespace
{
bool AtEnd(const char* p) { return p == nullptr || *p == '\0'; }

char FoldCase(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// The text from p to the end of the document, or the empty string.
std::string Rest(const char* p) { return p == nullptr ? std::string() : std::string(p); }

// The name of the element whose start tag the text begins with, or "".
std::string TagName(const std::string& strText)
{
    std::string strName;
    if (strText.empty() || strText[0] != '<' ||
        TTiXmlBase::ReadName(TTiXmlBase::SkipWhiteSpace(strText.c_str() + 1), &strName) == nullptr)
        return "";
    return strName;
}

// A parser fault in the words of someone who edits the file.
std::string FaultReason(const std::string& strMessage, const std::string& strContext)
{
    if (strMessage == "No content")
        return "the file is empty";
    if (strMessage == "Identify error")
    {
        if (strContext.compare(0, 3, "\xEF\xBB\xBF") == 0)
            return "the file starts with a UTF-8 byte-order mark; save it without one";
        if (strContext.compare(0, 1, "<") == 0)
            return "only elements, comments and an <?xml ...?> declaration are read here";
        return "text outside of any element; every setting must be inside the root element";
    }
    if (strMessage == "Element Parse error")
    {
        const std::string strName = TagName(strContext);
        if (strName.empty())
            return "an element's start tag is malformed";
        return "<" + strName + "> is malformed or has no matching end tag </" + strName +
               "> (missing or misspelt)";
    }
    if (strMessage == "ReadValue")
        return "an element's text holds <, >, ' or \" (write &lt; &gt; &apos; &quot;) or the "
               "file ends inside it";
    if (strMessage == "attribute pair error")
        return "an attribute is malformed; write name=\"value\"";
    if (strMessage == "Comment error")
        return "a comment holds >, ' or \" or is not closed with -->";
    if (strMessage == "Declaration Parse error")
        return "the <?xml ...?> declaration is malformed";
    return strMessage;
}
}  // namespace

// ---------------------------------------------------------------------------
// Scanning

const TTiXmlBase::TEntity TTiXmlBase::entities[5] = {
    {"&amp;", 5, '&'}, {"&lt;", 4, '<'}, {"&gt;", 4, '>'}, {"&quot;", 6, '"'}, {"&apos;", 6, '\''},
};

TTiXmlBase::~TTiXmlBase() = default;

bool TTiXmlBase::IsWhite(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

bool TTiXmlBase::IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

bool TTiXmlBase::IsDigit(char c) { return c >= '0' && c <= '9'; }

const char* TTiXmlBase::SkipWhiteSpace(const char* p)
{
    if (AtEnd(p))
        return nullptr;
    while (IsWhite(*p))
        ++p;
    return p;
}

bool TTiXmlBase::IsStringEqual(const char* p, const char* szTag, bool bNoCase)
{
    if (AtEnd(p))
    {
        XML_ERROR("para p or *p is null");
        return false;
    }
    if (szTag == nullptr || *szTag == '\0')
    {
        XML_ERROR("para tag or *tag is null");
        return false;
    }
    for (; *szTag != '\0'; ++szTag, ++p)
    {
        // The text's NUL never matches a tag character, so the walk stops at the end.
        if (bNoCase ? FoldCase(*p) != FoldCase(*szTag) : *p != *szTag)
            return false;
    }
    return true;
}

const char* TTiXmlBase::ReadName(const char* p, std::string* pName)
{
    pName->clear();
    if (AtEnd(p))
    {
        XML_ERROR("para p or *p is null");
        return nullptr;
    }
    if (!IsLetter(*p) && *p != '_')
        return nullptr;
    const char* pStart = p;
    while (IsLetter(*p) || IsDigit(*p) || *p == '_' || *p == '-' || *p == ':')
        ++p;
    pName->assign(pStart, p - pStart);
    return p;
}

const char* TTiXmlBase::ReadText(const char* p, std::string* pText, bool bCondense,
                                 const char* szEndTag, bool bNoCase)
{
    if (AtEnd(p))
    {
        XML_ERROR("para p or *p is null");
        return nullptr;
    }
    if (szEndTag == nullptr || *szEndTag == '\0')
    {
        XML_ERROR("para endTag or *endTag is null");
        return nullptr;
    }
    if (pText == nullptr)
    {
        XML_ERROR("para text is null");
        return nullptr;
    }
    pText->clear();
    p = SkipWhiteSpace(p);
    bool bPending = false;
    for (;;)
    {
        if (AtEnd(p))
            return nullptr;
        if (IsStringEqual(p, szEndTag, bNoCase))
            break;
        if (*p == '<' || *p == '>' || *p == '\'' || *p == '"')
            return nullptr;
        if (IsWhite(*p))
        {
            if (!bCondense)
                *pText += *p;
            ++p;
            bPending = bCondense;
            continue;
        }
        if (bPending)
        {
            *pText += ' ';
            bPending = false;
        }
        char c = 0;
        p = ReadChar(p, &c);
        *pText += c;
    }
    return p + strlen(szEndTag);
}

// The argument check that ReadChar and ReadEntity both make first.
static bool CharArgumentsValid(const char* p, const char* pOut)
{
    if (AtEnd(p))
    {
        XML_ERROR("para p or *p is null");
        return false;
    }
    if (pOut == nullptr)
    {
        XML_ERROR("para value is null");
        return false;
    }
    return true;
}

const char* TTiXmlBase::ReadChar(const char* p, char* pOut)
{
    if (!CharArgumentsValid(p, pOut))
        return nullptr;
    if (*p == '&')
        return ReadEntity(p, pOut);
    *pOut = *p;
    return p + 1;
}

const char* TTiXmlBase::ReadEntity(const char* p, char* pOut)
{
    if (!CharArgumentsValid(p, pOut))
        return nullptr;
    for (const TEntity& entity : entities)
    {
        if (strncmp(p, entity.szText, entity.iLength) == 0)
        {
            *pOut = entity.cValue;
            return p + entity.iLength;
        }
    }
    *pOut = '&';
    return p + 1;
}

// ---------------------------------------------------------------------------
// Attribute

TTiXmlAttribute::TTiXmlAttribute(const std::string& strName, const std::string& strValue)
    : name(strName), value(strValue)
{
}

const char* TTiXmlAttribute::Parse(const char* p)
{
    const char* s = SkipWhiteSpace(p);
    if (AtEnd(s))
    {
        XML_ERROR("result p: p = SkipWhiteSpace(p) is null");
        XML_THROW("attribute pair error", "null point");
    }
    const char* q = ReadName(s, &name);
    if (AtEnd(q))
    {
        XML_ERROR("result p: p = ReadName(p, &name) is null");
        XML_THROW("attribute pair error", Rest(s));
    }
    q = SkipWhiteSpace(q);
    if (AtEnd(q) || *q != '=')
    {
        XML_ERROR("result p, *p: p =SkipWhiteSpace(p) is invalid");
        XML_THROW("attribute pair error", Rest(s));
    }
    q = SkipWhiteSpace(q + 1);
    if (AtEnd(q))
    {
        XML_ERROR("result p, *p: p =SkipWhiteSpace(p) is invalid");
        XML_THROW("attribute pair error", Rest(s));
    }
    const char* szEnd;
    if (*q == '\'')
        szEnd = "'";
    else if (*q == '"')
        szEnd = "\"";
    else
    {
        XML_ERROR("attribute pair lost ");
        XML_THROW("attribute pair error", Rest(s));
    }
    const char* r = ReadText(q + 1, &value, true, szEnd, true);
    if (AtEnd(r))
    {
        XML_ERROR("p = ReadText(p, &value, true, end, true) result p is null");
        XML_THROW("attribute pair error", Rest(s));
    }
    return r;
}

// ---------------------------------------------------------------------------
// Node

TTiXmlNode::TTiXmlNode(int iType) : type(iType) {}

TTiXmlNode::~TTiXmlNode() = default;

TTiXmlNode* TTiXmlNode::Identify(const char* p)
{
    p = SkipWhiteSpace(p);
    if (AtEnd(p) || *p != '<')
    {
        XML_ERROR("result p,*p: p = SkipWhiteSpace(p) is invalid");
        return nullptr;
    }
    if (IsStringEqual(p, "<?xml", true))
        return new TTiXmlDeclaration();
    if (IsStringEqual(p, "<!--", true))
        return new TTiXmlComment();
    if (IsLetter(p[1]) || p[1] == '_')
        return new TTiXmlElement();
    return nullptr;
}

const char* TTiXmlNode::ParseChild(TTiXmlNode* pNode, const char* p, TNodeList& list)
{
    std::unique_ptr<TTiXmlNode> node(pNode);
    try
    {
        const char* r = node->Parse(p);
        list.push_back(std::move(node));
        return r;
    }
    catch (...)
    {
        node.reset();
        XML_ERROR("node->Parse(p)");
        throw;
    }
}

void TTiXmlNode::DumpAttributes(const TAttributeList& list)
{
    for (const auto& attr : list)
        printf(" %s=\"%s\"", attr->Name().c_str(), attr->Value().c_str());
}

// ---------------------------------------------------------------------------
// Element

TTiXmlElement::TTiXmlElement(int iLevel) : TTiXmlNode(ELEMENT), iDepth(iLevel) {}

const char* TTiXmlElement::Parse(const char* p)
{
    p = SkipWhiteSpace(p);
    if (AtEnd(p) || *p != '<')
    {
        XML_ERROR("p or *p is invalid");
        XML_THROW("Element Parse error", "");
    }
    const char* pStart = p;
    pStartTag = p;
    if (iDepth > kMaxDepth)
    {
        XML_ERROR("element nested deeper than 256 levels");
        XML_THROW("Element Parse error", Rest(pStart));
    }
    const char* q = ReadName(SkipWhiteSpace(p + 1), &name);
    if (AtEnd(q))
    {
        XML_ERROR("Readname(p, &name) return null");
        XML_THROW("Element Parse error", Rest(pStart));
    }
    const std::string strEndTag = "</" + name + ">";
    for (;;)
    {
        q = SkipWhiteSpace(q);
        if (AtEnd(q))
        {
            XML_ERROR("p or *p is invalid");
            XML_THROW("Element Parse error", Rest(pStart));
        }
        if (*q == '/')
        {
            if (q[1] == '>')
                return q + 2;
            XML_ERROR("*p is unexcepted");
            XML_THROW("Element Parse error", Rest(pStart));
        }
        if (*q == '>')
        {
            const char* r = ReadValue(q + 1);
            if (AtEnd(r))
            {
                XML_ERROR("ReadValue(p) p or *p is invalid");
                XML_THROW("Element Parse error", Rest(pStart));
            }
            if (IsStringEqual(r, strEndTag.c_str(), true))
                return r + strEndTag.size();
            XML_ERROR("IsStringEqual(p, endTag.c_str(), true) return null");
            XML_THROW("Element Parse error", Rest(pStart));
        }
        auto attr = std::make_unique<TTiXmlAttribute>("", "");
        const char* r = attr->Parse(q);
        if (r == nullptr)
        {
            XML_ERROR("attr->Parse(p) return null");
            XML_THROW("Element Parse error", Rest(pStart));
        }
        attributes.push_back(std::move(attr));
        q = r;
    }
}

const char* TTiXmlElement::ReadValue(const char* p)
{
    p = SkipWhiteSpace(p);
    const char* pStart = p;
    for (;;)
    {
        if (AtEnd(p))
        {
            XML_ERROR("p or *p is null");
            XML_THROW("ReadValue", Rest(pStart));
        }
        if (*p != '<')
        {
            const char* r = ReadText(p, &value, true, "<", true);
            if (AtEnd(r))
            {
                XML_ERROR("p = ReadText(p, &value, true, end, true) return null");
                XML_THROW("ReadValue", Rest(pStart));
            }
            return r - 1;
        }
        if (IsStringEqual(p, "</", true))
            return p;
        TTiXmlNode* pNode = Identify(p);
        if (pNode == nullptr)
        {
            XML_ERROR("TTiXmlNode* node = Identify( p )\treturn invalid node");
            XML_THROW("ReadValue", Rest(pStart));
        }
        if (pNode->Type() == ELEMENT)
            static_cast<TTiXmlElement*>(pNode)->iDepth = iDepth + 1;
        p = SkipWhiteSpace(ParseChild(pNode, p, children));
    }
}

TTiXmlElement* TTiXmlElement::FindChildElement(const char* szName, int iIndex) const
{
    if (szName == nullptr)
    {
        XML_ERROR("name is null point");
        return nullptr;
    }
    if (iIndex < 0)
    {
        XML_ERROR("iIndex < 0");
        return nullptr;
    }
    int iCount = 0;
    for (const auto& node : children)
    {
        TTiXmlElement* pElement = dynamic_cast<TTiXmlElement*>(node.get());
        if (pElement == nullptr || pElement->name != szName)
            continue;
        if (iCount++ == iIndex)
            return pElement;
    }
    return nullptr;
}

void TTiXmlElement::Dump()
{
    printf("<%s", name.c_str());
    DumpAttributes(attributes);
    if (children.empty() && value.empty())
    {
        printf("/>");
        return;
    }
    printf(">");
    for (const auto& node : children)
        node->Dump();
    printf("%s</%s>", value.c_str(), name.c_str());
}

// ---------------------------------------------------------------------------
// Comment

TTiXmlComment::TTiXmlComment() : TTiXmlNode(COMMENT) {}

const char* TTiXmlComment::Parse(const char* p)
{
    value.clear();
    p = SkipWhiteSpace(p);
    if (!IsStringEqual(p, "<!--", true))
    {
        XML_ERROR("IsStringEqual(p, startTag, true) return null");
        XML_THROW("Comment error", Rest(p));
    }
    const char* r = ReadText(p + 4, &value, true, "-->", true);
    if (r == nullptr)
    {
        XML_ERROR("p = ReadText(p, &value, true, end, true) result p is null");
        XML_THROW("Comment error", Rest(p));
    }
    return r;
}

void TTiXmlComment::Dump() { printf("<!-- %s -->", value.c_str()); }

// ---------------------------------------------------------------------------
// Declaration

TTiXmlDeclaration::TTiXmlDeclaration() : TTiXmlNode(DECLARATION) {}

const char* TTiXmlDeclaration::Parse(const char* p)
{
    p = SkipWhiteSpace(p);
    if (AtEnd(p) || !IsStringEqual(p, "<?xml", true))
    {
        XML_ERROR("p = ReadText(p, &value, true, end, true) result p is null");
        XML_THROW("Declaration Parse error", Rest(p));
    }
    version.clear();
    encoding.clear();
    standalone.clear();
    const char* q = p + 5;
    for (;;)
    {
        if (*q == '\0')
            return nullptr;
        if (*q == '>')
            return q + 1;
        q = SkipWhiteSpace(q);
        std::string* pTarget = nullptr;
        if (IsStringEqual(q, "version", true))
            pTarget = &version;
        else if (IsStringEqual(q, "encoding", true))
            pTarget = &encoding;
        else if (IsStringEqual(q, "standalone", true))
            pTarget = &standalone;
        if (pTarget != nullptr)
        {
            TTiXmlAttribute attr("", "");
            q = attr.Parse(q);
            *pTarget = attr.Value();
        }
        else
        {
            while (*q != '\0' && *q != '>')
                ++q;
        }
    }
}

void TTiXmlDeclaration::Dump()
{
    printf("<?xml version=\"%s\" encoding=\"%s\" standalone=\"%s\"?>", version.c_str(),
           encoding.c_str(), standalone.c_str());
}

// ---------------------------------------------------------------------------
// Document

TTiXmlDoc::TTiXmlDoc(const std::string& strSource, bool bIsFile) : TTiXmlNode(DOCUMENT)
{
    if (bIsFile)
    {
        strPath = strSource;
        Load(strSource);
    }
    else
        value = strSource;
}

void TTiXmlDoc::Load(const std::string& strPath)
{
    value.clear();
    // A folder opens on Linux but cannot be read: it counts as a file that cannot be opened.
    int fd = open(strPath.c_str(), O_RDONLY | O_CLOEXEC);
    int iError = fd < 0 ? errno : 0;
    struct stat st;
    if (fd >= 0 && (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)))
    {
        close(fd);
        fd = -1;
        iError = EISDIR;
    }
    if (fd < 0)
    {
        TTiXmlException e(__FILE__, __LINE__, "Invalid file name:" + strPath, "");
        e.SetWhere(strPath, 0, 0);
        e.SetReason(std::string("the file cannot be opened: ") + strerror(iError));
        throw e;
    }

    // Lines of at most kMaxLine characters, each stored with one LF (CR LF
    // counts as a line end); a NUL byte ends what is kept of its line. The
    // first longer line ends the text.
    std::string strLine;
    bool bCr = false;
    bool bStop = false;
    auto fnEndLine = [&]() {
        value.append(strLine.c_str());
        value += '\n';
        strLine.clear();
    };
    auto fnChar = [&](char c) {
        if (static_cast<int>(strLine.size()) == kMaxLine)
            bStop = true;
        else
            strLine += c;
    };
    char buf[8192];
    while (!bStop)
    {
        ssize_t n = read(fd, buf, sizeof(buf));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        for (ssize_t i = 0; i < n && !bStop; ++i)
        {
            char c = buf[i];
            if (bCr)
            {
                bCr = false;
                if (c == '\n')
                {
                    fnEndLine();
                    continue;
                }
                fnChar('\r');
                if (bStop)
                    break;
            }
            if (c == '\r')
                bCr = true;
            else if (c == '\n')
                fnEndLine();
            else
                fnChar(c);
        }
    }
    if (!bStop && bCr)
        fnChar('\r');
    if (!bStop && !strLine.empty())
        fnEndLine();
    close(fd);
}

const char* TTiXmlDoc::Parse(const char* p)
{
    if (p != nullptr)
    {
        std::string strText(p);
        value.swap(strText);
    }
    if (value.empty())
    {
        XML_ERROR("p or *p is null - no content");
        XML_THROW("No content", "");
    }
    try
    {
        p = SkipWhiteSpace(value.c_str());
        while (!AtEnd(p))
        {
            TTiXmlNode* pNode = Identify(p);
            if (pNode == nullptr)
            {
                XML_ERROR("TTiXmlNode* node = Identify(p) return invalid node");
                XML_THROW("Identify error", Rest(p));
            }
            p = SkipWhiteSpace(ParseChild(pNode, p, children));
        }
    }
    catch (TTiXmlException& e)
    {
        // The context is the rest of the text from the faulty construct: its
        // length tells where that construct starts.
        const std::string strContext = e.Context();
        size_t nOffset = 0;
        int iLine = 0, iColumn = 0;
        if (!strContext.empty() && strContext.size() <= value.size() &&
            value.compare(value.size() - strContext.size(), std::string::npos, strContext) == 0)
        {
            nOffset = value.size() - strContext.size();
            const size_t nBreak = nOffset == 0 ? std::string::npos : value.rfind('\n', nOffset - 1);
            const size_t nLineStart = nBreak == std::string::npos ? 0 : nBreak + 1;
            iLine = 1 + static_cast<int>(std::count(value.begin(), value.begin() + nOffset, '\n'));
            iColumn = 1 + static_cast<int>(nOffset - nLineStart);
        }
        e.SetWhere(strPath, iLine, iColumn);
        e.SetReason(FaultReason(e.Message(), strContext));
        throw;
    }
    size_t nOffset = 0, nLineStart = 0;
    int iLine = 1;
    LocateElements(children, nOffset, iLine, nLineStart);
    return p;
}

void TTiXmlDoc::LocateElements(const TNodeList& list, size_t& nOffset, int& iLine,
                               size_t& nLineStart)
{
    // Start tags come in the order of the walk: the count of line ends goes on
    // from the one before.
    for (const auto& node : list)
    {
        TTiXmlElement* pElement = dynamic_cast<TTiXmlElement*>(node.get());
        if (pElement == nullptr || pElement->pStartTag == nullptr)
            continue;
        const size_t nAt = static_cast<size_t>(pElement->pStartTag - value.c_str());
        for (; nOffset < nAt && nOffset < value.size(); ++nOffset)
            if (value[nOffset] == '\n')
            {
                ++iLine;
                nLineStart = nOffset + 1;
            }
        pElement->iLine = iLine;
        pElement->iColumn = 1 + static_cast<int>(nAt - nLineStart);
        pElement->pStartTag = nullptr;
        LocateElements(pElement->children, nOffset, iLine, nLineStart);
    }
}

std::string DescribeXmlFault(const TTiXmlException& e)
{
    if (e.Reason().empty())
        return "";
    std::string strWhere = e.SourceFile().empty() ? "(text)" : e.SourceFile();
    if (e.SourceLine() > 0)
        strWhere += ":" + std::to_string(e.SourceLine()) + ":" + std::to_string(e.SourceColumn());
    return strWhere + ": " + e.Reason();
}

TTiXmlElement* TTiXmlDoc::FirstElement() const
{
    for (const auto& node : children)
    {
        if (TTiXmlElement* pElement = dynamic_cast<TTiXmlElement*>(node.get()))
            return pElement;
    }
    return nullptr;
}

void TTiXmlDoc::Dump()
{
    for (const auto& node : children)
    {
        node->Dump();
        printf("\n");
    }
}
