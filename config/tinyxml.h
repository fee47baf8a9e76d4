// A small non-validating XML parser for the configuration files.
//
// One document is loaded from a file (or taken from a string), parsed in one
// recursive-descent pass into a tree of nodes, and searched for elements by
// name. Every syntax error is fatal: the parser logs one or more lines at
// LM_ERROR and throws TTiXmlException; there is no recovery and no partial
// result. Positions are pointers into the document's own text, which must
// not change while a parse runs; the tree keeps copies of every name and text.
//
// Grammar, in short:
//   document := (white space | declaration | comment | element)*
//   element  := "<" name attribute* ( "/>" | ">" content "</" name ">" )
//   content  := (child element | comment | declaration)* [text]
//   attribute := name "=" ( "'" text "'" | '"' text '"' )
// Text is trimmed, inner white space runs become one blank, and the five
// predefined entities are decoded; "<", ">" and both quotes are refused in text.
#pragma once

#include "config/exception.h"

#include <memory>
#include <string>
#include <vector>

class TTiXmlBase
{
public:
    virtual ~TTiXmlBase();
    virtual const char* Parse(const char* p) = 0;

    // Null when p is null or at the end; else the first position at or after p
    // that is not white space (possibly the end). Never logs.
    static const char* SkipWhiteSpace(const char* p);
    // True when szTag is a prefix of the text at p (ASCII case folded when bNoCase).
    static bool IsStringEqual(const char* p, const char* szTag, bool bNoCase);
    // Reads a name (letter or "_", then letters, digits, "_", "-", ":").
    static const char* ReadName(const char* p, std::string* pName);
    // Reads text up to szEndTag, folding white space; returns the position after the marker.
    static const char* ReadText(const char* p, std::string* pText, bool bCondense,
                                const char* szEndTag, bool bNoCase);
    static const char* ReadChar(const char* p, char* pOut);
    static const char* ReadEntity(const char* p, char* pOut);

    // C-locale classification, whatever the process locale.
    static bool IsWhite(char c);
    static bool IsLetter(char c);
    static bool IsDigit(char c);

    struct TEntity
    {
        const char* szText;
        int iLength;
        char cValue;
    };
    static const TEntity entities[5];
};

class TTiXmlAttribute : public TTiXmlBase
{
public:
    TTiXmlAttribute(const std::string& strName, const std::string& strValue);
    const char* Parse(const char* p) override;

    const std::string& Name() const { return name; }
    const std::string& Value() const { return value; }

private:
    std::string name;
    std::string value;
};

class TTiXmlNode : public TTiXmlBase
{
public:
    enum
    {
        DOCUMENT = 0,
        ELEMENT = 1,
        COMMENT = 2,
        DECLARATION = 3
    };
    using TNodeList = std::vector<std::unique_ptr<TTiXmlNode>>;
    using TAttributeList = std::vector<std::unique_ptr<TTiXmlAttribute>>;

    explicit TTiXmlNode(int iType);
    ~TTiXmlNode() override;
    TTiXmlNode(const TTiXmlNode&) = delete;
    TTiXmlNode& operator=(const TTiXmlNode&) = delete;

    // Writes the node as XML text to standard output.
    virtual void Dump() = 0;

    // A new, empty node of the class that the text at p starts, or null.
    static TTiXmlNode* Identify(const char* p);

    int Type() const { return type; }
    const TAttributeList& Attributes() const { return attributes; }

protected:
    // Parses the node at p and appends it to list, or deletes it and logs
    // "node->Parse(p)" when its parse throws (the exception travels on).
    static const char* ParseChild(TTiXmlNode* pNode, const char* p, TNodeList& list);
    static void DumpAttributes(const TAttributeList& list);

    TAttributeList attributes;
    int type;
};

class TTiXmlElement : public TTiXmlNode
{
public:
    // Deepest nesting of elements taken (a top-level element is at depth 1):
    // the recursive descent must not run out of stack on a hostile file.
    static const int kMaxDepth = 256;

    // iLevel: the element's depth (set by the parent that finds it).
    explicit TTiXmlElement(int iLevel = 1);
    const char* Parse(const char* p) override;
    void Dump() override;

    // The iIndex-th child element (from 0) named szName exactly, or null.
    TTiXmlElement* FindChildElement(const char* szName, int iIndex) const;
    const std::string& Value() const { return value; }
    const std::string& Name() const { return name; }
    const TNodeList& Children() const { return children; }
    // Line and column (from 1) of the start tag in its file; 0 when the
    // element was not parsed as part of a document.
    int Line() const { return iLine; }
    int Column() const { return iColumn; }

    // Reads the content after the start tag; returns the position of the "<"
    // at which it ends.
    const char* ReadValue(const char* p);

private:
    friend class TTiXmlDoc;
    int iDepth;
    const char* pStartTag = nullptr;  // during the document's parse only
    int iLine = 0;
    int iColumn = 0;
    std::string value;
    std::string name;
    TNodeList children;
};

class TTiXmlComment : public TTiXmlNode
{
public:
    TTiXmlComment();
    const char* Parse(const char* p) override;
    void Dump() override;
    const std::string& Value() const { return value; }

private:
    std::string value;
};

class TTiXmlDeclaration : public TTiXmlNode
{
public:
    TTiXmlDeclaration();
    // Returns null, without an error, when the text ends inside the declaration.
    const char* Parse(const char* p) override;
    void Dump() override;
    const std::string& Version() const { return version; }
    const std::string& Encoding() const { return encoding; }
    const std::string& Standalone() const { return standalone; }

private:
    std::string version;
    std::string encoding;
    std::string standalone;
};

class TTiXmlDoc : public TTiXmlNode
{
public:
    // With bIsFile the source is a file path whose text is loaded (throws
    // "Invalid file name:<path>" when it cannot be opened); otherwise the
    // source is the text itself.
    TTiXmlDoc(const std::string& strSource, bool bIsFile);
    // Parses the text (replaced first by the text at p when p is not null)
    // and appends the top-level nodes.
    const char* Parse(const char* p) override;
    void Dump() override;

    // The first top-level element, or null.
    TTiXmlElement* FirstElement() const;
    const std::string& Value() const { return value; }
    const TNodeList& Children() const { return children; }

    // Longest line the loader takes; a longer line ends the text silently.
    static const int kMaxLine = 2047;

private:
    void Load(const std::string& strPath);
    // Gives each element its line and column once the text is parsed.
    void LocateElements(const TNodeList& list, size_t& nOffset, int& iLine, size_t& nLineStart);

    std::string value;
    TNodeList children;
    std::string strPath;  // the file loaded; empty for a text
};

// "FILE:LINE:COLUMN: REASON" for a fault of a document (as much of it as is
// known); empty when the exception carries no reason.
std::string DescribeXmlFault(const TTiXmlException& e);
