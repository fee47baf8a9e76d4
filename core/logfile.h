// The log line and the log file.
//
// Every line goes through ACE_Log_Msg with the fixed prefix below, written
// with ACE_DEBUG (or ACE_ERROR for the "%p" lines) and an explicit priority:
//   ACE_DEBUG((LM_INFO, LOG_PREFIX "Service down at %D\n"));
#pragma once

#include <fstream>
#include <string>

#define LOG_PREFIX "(pid:%P|tid:%t) (File:%N|Line:%l) "

// The line added after an error line that ends the start-up: why, in plain
// words, and what to do about it (a std::string argument).
#define LOG_REASON(strReason)                                                                      \
    ACE_DEBUG((LM_ERROR, LOG_PREFIX "Reason: %s at %D\n", (strReason).c_str()))

// Log file beside the program: the program path with ".log" in place of the
// file name's extension, opened for appending. When attached, it takes every log
// line of this thread and of every thread ACE creates from it afterwards.
class TLogFile : public std::ofstream
{
public:
    explicit TLogFile(bool bAttach);
    // Same, for a program at szProgramPath instead of this process's own path.
    TLogFile(bool bAttach, const char* szProgramPath);
    ~TLogFile() override;

    TLogFile(const TLogFile&) = delete;
    TLogFile& operator=(const TLogFile&) = delete;

    const std::string& FileName() const { return strFileName; }

    // Opens the file by its name again (after a rotation renamed it) and
    // writes on into the new one; -1, writing on into the old one, when it
    // cannot be opened. Safe while other threads log: the stream changes
    // files under the logging facility's own lock, between two lines.
    int Reopen();

private:
    void Open(const std::string& strProgramPath);

    std::string strFileName;
    bool bAttach;
};
