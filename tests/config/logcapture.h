// Captures the log lines written on this thread while it lives.
#pragma once

#include <ace/Log_Msg.h>

#include <sstream>
#include <string>

class TLogCapture
{
public:
    TLogCapture() : pOldStream(pLog->msg_ostream()), lOldFlags(pLog->flags())
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

    // The lines that start with strLead after the prefix, each without the lead
    // and cut at its last szEnd, joined by "|". Errors of the parser by default.
    std::string Texts(const std::string& strLead = "Error - ", const char* szEnd = ": ") const
    {
        std::string strTexts;
        std::istringstream in(oss.str());
        for (std::string s; std::getline(in, s);)
        {
            size_t nStart = s.find(") ", s.find("|Line:")) + 2, nEnd = s.rfind(szEnd);
            if (nStart > 1 && s.compare(nStart, strLead.size(), strLead) == 0)
                strTexts += (strTexts.empty() ? "" : "|") + s.substr(nStart + strLead.size(), nEnd - nStart - strLead.size());
        }
        return strTexts;
    }

private:
    ACE_Log_Msg* pLog = ACE_Log_Msg::instance();
    std::ostringstream oss;
    std::ostream* pOldStream;
    unsigned long lOldFlags;
};
