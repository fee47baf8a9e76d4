#include "core/logfile.h"

#include "core/paths.h"
#include "platform/programpath.h"

#include <ace/Log_Msg.h>

TLogFile::TLogFile(bool bAttach_) : bAttach(bAttach_)
{
    std::string strProgram;
    if (GetModuleFileName(strProgram))
        Open(strProgram);
}

TLogFile::TLogFile(bool bAttach_, const char* szProgramPath) : bAttach(bAttach_)
{
    if (szProgramPath != nullptr)
        Open(szProgramPath);
}

void TLogFile::Open(const std::string& strProgramPath)
{
    strFileName = ReplaceExtension(strProgramPath, ".log");
    open(strFileName.c_str(), std::ios_base::out | std::ios_base::app);
    if (!is_open() || !bAttach)
        return;
    ACE_Log_Msg* pLog = ACE_Log_Msg::instance();
    pLog->msg_ostream(this);
    pLog->clr_flags(ACE_Log_Msg::STDERR | ACE_Log_Msg::LOGGER);
    pLog->set_flags(ACE_Log_Msg::OSTREAM | ACE_Log_Msg::VERBOSE_LITE);
}

int TLogFile::Reopen()
{
    if (strFileName.empty())
        return -1;
    std::ofstream fresh(strFileName.c_str(), std::ios_base::out | std::ios_base::app);
    if (!fresh.is_open())
        return -1;
    // ACE_Log_Msg writes a whole line to the stream while it holds this lock.
    ACE_Log_Msg* pLog = ACE_Log_Msg::instance();
    pLog->acquire();
    swap(fresh);
    pLog->release();
    // fresh now holds the old file: closing it flushes the lines it has.
    return 0;
}

TLogFile::~TLogFile()
{
    if (bAttach)
    {
        // Detach before the stream goes away, so that a late line from a
        // worker thread lands on standard error instead of a closed stream.
        ACE_Log_Msg* pLog = ACE_Log_Msg::instance();
        pLog->clr_flags(ACE_Log_Msg::OSTREAM | ACE_Log_Msg::VERBOSE_LITE);
        pLog->set_flags(ACE_Log_Msg::STDERR | ACE_Log_Msg::LOGGER);
        if (pLog->msg_ostream() == this)
            pLog->msg_ostream(nullptr);
        if (good())
            close();
    }
}
