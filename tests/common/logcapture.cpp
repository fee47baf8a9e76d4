#include "logcapture.h"

#include <ace/Log_Msg.h>
#include <ace/Log_Record.h>

#include <sstream>

TLogCapture::TLogCapture()
    : pLog(ACE_Log_Msg::instance()), pOldCallback(pLog->msg_callback(this)),
      lOldFlags(pLog->flags())
{
    pLog->clr_flags(ACE_Log_Msg::STDERR | ACE_Log_Msg::LOGGER | ACE_Log_Msg::OSTREAM);
    pLog->set_flags(ACE_Log_Msg::MSG_CALLBACK);
}

TLogCapture::~TLogCapture()
{
    pLog->clr_flags(pLog->flags());
    pLog->set_flags(lOldFlags);
    pLog->msg_callback(pOldCallback);
}

void TLogCapture::log(ACE_Log_Record& rec)
{
    vLines.emplace_back(strAll.size(), rec.type());
    strAll += rec.msg_data();
}

std::string TLogCapture::Texts(const std::string& strLead, const char* szEnd) const
{
    std::string strTexts;
    std::istringstream in(strAll);
    for (std::string s; std::getline(in, s);)
    {
        const size_t n = s.find(") ", s.find("|Line:"));
        if (n == std::string::npos || s.compare(n + 2, strLead.size(), strLead) != 0)
            continue;
        s.erase(0, n + 2 + strLead.size());
        strTexts += (strTexts.empty() ? "" : "|") + s.substr(0, s.rfind(szEnd));
    }
    return strTexts;
}

unsigned long TLogCapture::Priority(const std::string& strPart) const
{
    const size_t nPos = strAll.find(strPart);
    for (auto it = vLines.rbegin(); nPos != std::string::npos && it != vLines.rend(); ++it)
        if (it->first <= nPos)
            return it->second;
    return 0;
}
