// Captures the log lines written on this thread while it lives.
#pragma once

#include <ace/Log_Msg.h>

#include <sstream>
#include <string>
#include <vector>

class TLogCapture
{
public:
    TLogCapture() : pLog(ACE_Log_Msg::instance()), pOldStream(pLog->msg_ostream()), lOldFlags(pLog->flags())
    {
        pLog->msg_ostream(&oss);
        pLog->clr_flags(ACE_Log_Msg::STDERR | ACE_Log_Msg::LOGGER);
        pLog->set_flags(ACE_Log_Msg::OSTREAM);
    }
    ~TLogCapture()
    {
        pLog->clr_flags(pLog->flags());
        pLog->set_flags(lOldFlags);
        pLog->msg_ostream(pOldStream);
    }
    TLogCapture(const TLogCapture&) = delete;
    TLogCapture& operator=(const TLogCapture&) = delete;

    std::string Text() const { return oss.str(); }

    // The texts of the parser's "Error - <text>: <errno text>" lines, in order.
    std::vector<std::string> ErrorTexts() const
    {
        std::vector<std::string> vTexts;
        std::istringstream in(oss.str());
        std::string strLine;
        while (std::getline(in, strLine))
        {
            std::string::size_type nStart = strLine.find(") Error - ");
            std::string::size_type nEnd = strLine.rfind(": ");
            if (nStart == std::string::npos || nEnd == std::string::npos || nEnd < nStart + 10)
                continue;
            vTexts.push_back(strLine.substr(nStart + 10, nEnd - nStart - 10));
        }
        return vTexts;
    }

private:
    std::ostringstream oss;
    ACE_Log_Msg* pLog;
    std::ostream* pOldStream;
    unsigned long lOldFlags;
};
