// The exceptions of the XML parser.
//
// TException records a message, the source file and line of the throw site,
// and its class name. TTiXmlException adds the part of the input at which the
// parser gave up. They are thrown by value and caught by reference; what()
// keeps the behaviour of std::exception, Message() gives the message text.
#pragma once

#include <exception>
#include <string>

class TException : public std::exception
{
public:
    // szFile must not be null: a null file name ends the process at once.
    TException(const char* szFile, int iLine, const std::string& strMessage);
    TException(const TException&) = default;
    TException& operator=(const TException&) = default;
    ~TException() override;

    virtual const char* Message() const;

    const std::string& File() const { return strFile; }
    int Line() const { return iLine; }
    const std::string& Class() const { return strClass; }

protected:
    std::string strMessage;
    std::string strFile;
    int iLine;
    std::string strClass;
};

class TTiXmlException : public TException
{
public:
    TTiXmlException(const char* szFile, int iLine, const std::string& strMessage,
                    const std::string& strContext);
    TTiXmlException(const TTiXmlException&) = default;
    TTiXmlException& operator=(const TTiXmlException&) = default;
    ~TTiXmlException() override;

    virtual const char* Context() const;

    // Where in which file the fault lies, and what it is in plain words; set
    // by the document that was being read (no file: empty, line 0).
    void SetWhere(const std::string& strFile, int iLine, int iColumn);
    void SetReason(const std::string& strText) { strReason = strText; }
    const std::string& SourceFile() const { return strSourceFile; }
    int SourceLine() const { return iSourceLine; }
    int SourceColumn() const { return iSourceColumn; }
    const std::string& Reason() const { return strReason; }

protected:
    std::string strContext;
    std::string strSourceFile;
    int iSourceLine = 0;
    int iSourceColumn = 0;
    std::string strReason;
};
