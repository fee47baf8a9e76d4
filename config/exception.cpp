#include "config/exception.h"

#include "platform/fatalexit.h"

TException::TException(const char* szFile, int iLine_, const std::string& strMessage_)
    : std::exception(), strMessage(strMessage_), strFile(), iLine(iLine_), strClass()
{
    if (szFile == nullptr)
        FatalExit();
    strFile = szFile;
    strClass = "TException";
}

TException::~TException() = default;

const char* TException::Message() const { return strMessage.c_str(); }

TTiXmlException::TTiXmlException(const char* szFile, int iLine_, const std::string& strMessage_,
                                 const std::string& strContext_)
    : TException(szFile, iLine_, strMessage_), strContext(strContext_)
{
    strClass = "TTiXmlException";
}

TTiXmlException::~TTiXmlException() = default;

const char* TTiXmlException::Context() const { return strContext.c_str(); }

void TTiXmlException::SetWhere(const std::string& strFile, int iLine_, int iColumn)
{
    strSourceFile = strFile;
    iSourceLine = iLine_;
    iSourceColumn = iColumn;
}
