// Captures the log lines written on the constructing thread while it lives.
#pragma once

#include <ace/Log_Msg_Callback.h>

#include <string>
#include <utility>
#include <vector>

class ACE_Log_Msg;

class TLogCapture : public ACE_Log_Msg_Callback
{
public:
    TLogCapture();
    ~TLogCapture() override;
    TLogCapture(const TLogCapture&) = delete;
    TLogCapture& operator=(const TLogCapture&) = delete;

    void log(ACE_Log_Record& rec) override;
    // Every line as it was written.
    const std::string& All() const { return strAll; }
    // The lines that start with strLead after the prefix, each without the lead and cut at its
    // last szEnd, joined by "|". Errors of the XML parser by default.
    std::string Texts(const std::string& strLead = "Error - ", const char* szEnd = ": ") const;
    // The priority of the first line holding strPart; 0 when none does.
    unsigned long Priority(const std::string& strPart) const;

private:
    ACE_Log_Msg* pLog;
    ACE_Log_Msg_Callback* pOldCallback;
    unsigned long lOldFlags;
    std::string strAll;
    std::vector<std::pair<size_t, unsigned long>> vLines;  // where each line starts, its priority
};
