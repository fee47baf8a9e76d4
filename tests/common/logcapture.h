// Captures the log lines written on the constructing thread while it lives, with their priorities.
#pragma once

#include <ace/Log_Msg.h>
#include <ace/Log_Msg_Callback.h>
#include <ace/Log_Record.h>

#include <sstream>
#include <string>
#include <utility>
#include <vector>

struct TLogCapture : ACE_Log_Msg_Callback
{
    ACE_Log_Msg* pLog = ACE_Log_Msg::instance();
    ACE_Log_Msg_Callback* pOldCallback = pLog->msg_callback(this);
    unsigned long lOldFlags = pLog->flags();
    std::string strAll;                                    // every line as written
    std::vector<std::pair<size_t, unsigned long>> vLines;  // where each line starts, its priority

    TLogCapture()
    {
        pLog->clr_flags(ACE_Log_Msg::STDERR | ACE_Log_Msg::LOGGER | ACE_Log_Msg::OSTREAM);
        pLog->set_flags(ACE_Log_Msg::MSG_CALLBACK);
    }
    ~TLogCapture() override
    {
        pLog->clr_flags(pLog->flags());
        pLog->set_flags(lOldFlags);
        pLog->msg_callback(pOldCallback);
    }
    void log(ACE_Log_Record& rec) override
    {
        vLines.emplace_back(strAll.size(), rec.type());
        strAll += rec.msg_data();
    }
    // The lines that start with strLead after the prefix, each without the lead and cut at its
    // last szEnd, joined by "|". Errors of the XML parser by default.
    std::string Texts(const std::string& strLead = "Error - ", const char* szEnd = ": ") const
    {
        std::string strTexts;
        std::istringstream in(strAll);
        for (std::string s; std::getline(in, s);)
            if (size_t n = s.find(") ", s.find("|Line:"));
                n != std::string::npos && s.compare(n + 2, strLead.size(), strLead) == 0)
            {
                s.erase(0, n + 2 + strLead.size());
                strTexts += (strTexts.empty() ? "" : "|") + s.substr(0, s.rfind(szEnd));
            }
        return strTexts;
    }
    // The priority of the first line holding strPart; 0 when none does.
    unsigned long Priority(const std::string& strPart) const
    {
        const size_t nPos = strAll.find(strPart);
        for (auto it = vLines.rbegin(); nPos != std::string::npos && it != vLines.rend(); ++it)
            if (it->first <= nPos)
                return it->second;
        return 0;
    }
};
