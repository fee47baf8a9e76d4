// Captures the log lines written on the constructing thread while it lives: the log file of a
// program in a fresh folder takes them, each with its priority in its prefix.
#pragma once

#include "common/testutil.h"
#include "core/logfile.h"

#include <sstream>
#include <string>

struct TLogCapture
{
    TTempDir dir;
    TLogFile file{true, (dir / "capture").c_str()};

    // Every line as written, after its prefix of time and priority.
    std::string All()
    {
        file.flush();
        return ReadFile(file.FileName());
    }
    // The lines that start with strLead after the prefix, each without the lead and cut at its
    // last szEnd, joined by "|". Errors of the XML parser by default.
    std::string Texts(const std::string& strLead = "Error - ", const char* szEnd = ": ")
    {
        std::string strTexts;
        std::istringstream in(All());
        for (std::string s; std::getline(in, s);)
            if (size_t n = s.find(") ", s.find("|Line:"));
                n != std::string::npos && s.compare(n + 2, strLead.size(), strLead) == 0)
            {
                s.erase(0, n + 2 + strLead.size());
                strTexts += (strTexts.empty() ? "" : "|") + s.substr(0, s.rfind(szEnd));
            }
        return strTexts;
    }
    // The priority ("LM_DEBUG", ...) of the first line holding strPart; "" when none does.
    std::string Priority(const std::string& strPart)
    {
        const std::string s = All();
        const size_t nPos = s.find(strPart), nAt = s.rfind("@LM_", nPos);
        return nPos == std::string::npos || nAt == std::string::npos
                   ? ""
                   : s.substr(nAt + 1, s.find('@', nAt + 1) - nAt - 1);
    }
};
