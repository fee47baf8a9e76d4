// HTTP server: the TFTP root served read-only over HTTP (GET and HEAD, byte
// ranges, ETag and If-None-Match), beside the TFTP server.
//
// libmicrohttpd does the wire: request line and headers, keep-alive, the idle
// time-out and the connection limits, on a thread per connection (at most
// HTTP/MaxConnections of them).
// What a request gets is decided by http/request.h; a file is opened beneath
// the root only (platform/beneath.h) and sent with sendfile. Every request is
// logged in one line; those refused are logged at most once a second per
// client address.
#pragma once

#include <ace/OS_NS_Thread.h>

#include <memory>
#include <string>

struct MHD_Daemon;
class THttpRequestLog;

class THttpServer
{
public:
    struct TOptions
    {
        std::string strRoot;           // folder served, ending with "/"
        std::string strAddress;        // dotted IPv4 address to listen on; empty: every one
        int iPort = 0;                 // TCP port; 0: one the system chooses
        int nMaxConnections = 256;     // connections at once
        int nMaxPerClient = 32;        // connections at once from one address
        int iIdleTimeoutSeconds = 30;  // a connection idle this long is closed
    };

    THttpServer();
    ~THttpServer();  // stops the server
    THttpServer(const THttpServer&) = delete;
    THttpServer& operator=(const THttpServer&) = delete;

    // Binds the port and starts serving: 0; -1 when the port cannot be bound
    // (errno tells why), -2 when the server cannot be started on it.
    int Start(const TOptions& options);
    // The two steps of Start: the port is bound (and listens, so that clients
    // wait) before anything is served.
    int Bind(const TOptions& options);
    int Serve();
    // The port bound (0 before Start).
    int Port() const { return m_iPort; }
    // Closes every connection and the port; returns once no request runs.
    void Stop();

    const TOptions& Options() const { return m_options; }
    THttpRequestLog& Log() { return *m_pLog; }

private:
    TOptions m_options;
    int m_iPort = 0;
    int m_fdListen = -1;  // bound, not yet served
    MHD_Daemon* m_pDaemon = nullptr;
    std::unique_ptr<THttpRequestLog> m_pLog;
};

// The HTTP service thread: serves gSettings.strTftpRoot on TCP port
// gSettings.iHttpPort of every interface until evStop is signalled, then stops
// the server. Ends the process when the port cannot be had. The argument is
// ignored. Started only when the port is set.
ACE_THR_FUNC_RETURN httpservice_proc(void* pArg);
