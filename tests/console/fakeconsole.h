// A scripted console for the tests of this folder: a TCP server on loopback
// that reads each task query and answers it as the test says.
#pragma once

#include <ace/Log_Msg.h>
#include <ace/Log_Msg_Callback.h>
#include <ace/Log_Record.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class TNetLab;

// One network namespace lab for the whole test program (created on first use).
TNetLab& ConsoleLab();

class TFakeConsole
{
public:
    enum EMode
    {
        Reply,       // send vSegments, iGapMs apart, then close
        CloseAtOnce, // close as soon as the query has arrived
        Silent       // never answer; close when the client does (or after 10 s)
    };

    // Listens on 127.0.0.1 of the calling thread's network namespace.
    TFakeConsole();
    ~TFakeConsole();
    TFakeConsole(const TFakeConsole&) = delete;
    TFakeConsole& operator=(const TFakeConsole&) = delete;

    bool Ok() const { return scListen >= 0; }
    uint16_t Port() const { return nPort; }
    // Points gSettings at this console.
    void UseInSettings() const;

    void SetScript(EMode eMode, const std::vector<std::string>& vSegments = {}, int iGapMs = 0);
    int Connections() const { return nConnections; }
    std::vector<std::string> Requests() const;

private:
    void Serve_proc();
    void ServeOne(int sc);

    int scListen = -1;
    uint16_t nPort = 0;
    std::atomic<bool> bStop{false};
    std::atomic<int> nConnections{0};
    mutable std::mutex mtx;
    EMode eMode = Reply;
    std::vector<std::string> vSegments;
    int iGapMs = 0;
    std::vector<std::string> vRequests;
    std::thread thServer;
};

// Collects the log lines of the calling thread while it lives.
class TLogCapture : public ACE_Log_Msg_Callback
{
public:
    struct TLine
    {
        unsigned long nPriority;
        std::string strText;
    };
    TLogCapture();
    ~TLogCapture() override;
    void log(ACE_Log_Record& record) override;

    // Priority of the first line that contains strPart, or 0 when there is none.
    unsigned long Find(const std::string& strPart) const;
    std::string All() const;

private:
    std::vector<TLine> vLines;
    ACE_Log_Msg_Callback* pOld;
};
