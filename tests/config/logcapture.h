// Captures the log lines written on this thread while it lives.
#pragma once

#include <ace/Log_Msg.h>

#include <sstream>
#include <string>

struct TLogCapture
{
    ACE_Log_Msg* pLog = ACE_Log_Msg::instance();
    std::ostream* pOldStream = pLog->msg_ostream();
    unsigned long lOldFlags = pLog->flags();
    std::ostringstream oss;

    TLogCapture() { pLog->msg_ostream(&oss), pLog->clr_flags(ACE_Log_Msg::STDERR | ACE_Log_Msg::LOGGER), pLog->set_flags(ACE_Log_Msg::OSTREAM); }
    ~TLogCapture() { pLog->clr_flags(pLog->flags()), pLog->set_flags(lOldFlags), pLog->msg_ostream(pOldStream); }

    // The lines that start with strLead after the prefix, each without the lead
    // and cut at its last szEnd, joined by "|". Errors of the parser by default.
    std::string Texts(const std::string& strLead = "Error - ", const char* szEnd = ": ") const
    {
        std::string strTexts;
        std::istringstream in(oss.str());
        for (std::string s; std::getline(in, s);)
            if (size_t n = s.find(") ", s.find("|Line:")); n != std::string::npos && s.compare(n + 2, strLead.size(), strLead) == 0)
            {
                s.erase(0, n + 2 + strLead.size());
                strTexts += (strTexts.empty() ? "" : "|") + s.substr(0, s.rfind(szEnd));
            }
        return strTexts;
    }
};
