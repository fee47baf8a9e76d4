#include "http/httpd.h"

#include "config/settings.h"
#include "core/clock.h"
#include "core/logfile.h"
#include "core/loglimit.h"
#include "core/metrics.h"
#include "core/readiness.h"
#include "core/records.h"
#include "core/stopevent.h"
#include "http/request.h"
#include "platform/beneath.h"
#include "platform/fatalexit.h"

#include <ace/Log_Msg.h>
#include <ace/OS_NS_stdlib.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>

namespace
{
const char kAllow[] = "GET, HEAD";
// The stack of a connection's thread: a request is answered in a few KiB.
const size_t kConnectionStackBytes = 512 * 1024;
// Bodies of the answers without a file (HEAD gets none of them).
const char* ReasonText(int iStatus)
{
    switch (iStatus)
    {
    case kHttpBadRequest:
        return "400 Bad Request\n";
    case kHttpForbidden:
        return "403 Forbidden\n";
    case kHttpNotFound:
        return "404 Not Found\n";
    case kHttpBadMethod:
        return "405 Method Not Allowed\n";
    case kHttpRangeNotSatisfiable:
        return "416 Range Not Satisfiable\n";
    default:
        return "500 Internal Server Error\n";
    }
}

}  // namespace

// One request, from its headers to the end of its answer.
struct THttpRequest
{
    int64_t iStartMs = MonotonicMs();
    std::string strClient;  // dotted address
    uint32_t iClientIp = 0;
    std::string strMethod, strTarget;
    int iStatus = 0;
    int64_t iBytes = 0;  // body bytes of the answer
};

// The log lines of the requests: each one line, those of refused requests (and
// of requests left before their answer) at most once a second per client address. Written on
// libmicrohttpd's threads, whose log stream is set to the one of the thread that started the server.
class THttpRequestLog
{
public:
    explicit THttpRequestLog(ACE_OSTREAM_TYPE* pStream) : m_pStream(pStream) {}

    void Write(const THttpRequest& request, bool bCompleted)
    {
        Record(request, bCompleted);
        ACE_Log_Msg* pLog = ACE_Log_Msg::instance();
        if (pLog->msg_ostream() != m_pStream)
            pLog->msg_ostream(m_pStream);
        unsigned nSuppressed = 0;
        // Refused, or left before any answer: what a client can cause without end.
        if (request.iStatus == 0 || request.iStatus >= kHttpBadRequest)
        {
            std::lock_guard<std::mutex> lock(m_mtx);
            if (!m_limiter.Allow(request.iClientIp, MonotonicMs(), &nSuppressed))
                return;
        }
        if (nSuppressed > 0)
            ACE_DEBUG(
                (LM_DEBUG, LOG_PREFIX "http: %u similar lines suppressed at %D\n", nSuppressed));
        const std::string strTarget = PrintableForLog(request.strTarget);
        const ACE_INT64 iMs = MonotonicMs() - request.iStartMs;
        ACE_DEBUG((LM_INFO, LOG_PREFIX "http: %s %s \"%s\" %d %q bytes %q ms%s at %D\n",
                   request.strClient.c_str(), request.strMethod.c_str(), strTarget.c_str(),
                   request.iStatus, static_cast<ACE_INT64>(request.iBytes), iMs,
                   bCompleted ? "" : " aborted"));
    }

private:
    // The request's end in the records, which bound refusals themselves.
    static void Record(const THttpRequest& request, bool bCompleted)
    {
        TTransferRecord record;
        record.bHttp = true;
        record.nAddress = htonl(request.iClientIp);
        record.strFile = request.strTarget;
        record.iBytes = request.iBytes;
        record.iMs = MonotonicMs() - request.iStartMs;
        const int iStatus = request.iStatus;
        record.strResult = !bCompleted || iStatus == 0  ? "aborted"
                           : iStatus == 404             ? "not-found"
                           : iStatus == 403             ? "access-denied"
                           : iStatus >= kHttpBadRequest ? "bad-request"
                                                        : "complete";
        RecordTransfer(record);
    }

    ACE_OSTREAM_TYPE* m_pStream;
    std::mutex m_mtx;
    TLogLimiter m_limiter;
};

namespace
{
// The path is decoded once, by DecodeRequestPath: libmicrohttpd leaves it as sent.
size_t KeepEscapes(void*, MHD_Connection*, char* sz) { return strlen(sz); }

const char* Header(MHD_Connection* pConnection, const char* szName)
{
    return MHD_lookup_connection_value(pConnection, MHD_HEADER_KIND, szName);
}

MHD_Result Queue(MHD_Connection* pConnection, THttpRequest* pRequest, int iStatus,
                 MHD_Response* pResponse)
{
    if (pResponse == nullptr)
        return MHD_NO;  // the connection is closed
    pRequest->iStatus = iStatus;
    const MHD_Result iResult = MHD_queue_response(pConnection, iStatus, pResponse);
    MHD_destroy_response(pResponse);
    return iResult;
}

// A short text answer, for a request that gets no file.
MHD_Response* TextResponse(THttpRequest* pRequest, int iStatus)
{
    const char* szText = ReasonText(iStatus);
    MHD_Response* pResponse = MHD_create_response_from_buffer(
        strlen(szText), const_cast<char*>(szText), MHD_RESPMEM_PERSISTENT);
    if (pResponse != nullptr)
    {
        MHD_add_response_header(pResponse, MHD_HTTP_HEADER_CONTENT_TYPE, "text/plain");
        if (iStatus == kHttpBadMethod)
            MHD_add_response_header(pResponse, MHD_HTTP_HEADER_ALLOW, kAllow);
    }
    pRequest->iBytes = pRequest->strMethod == MHD_HTTP_METHOD_HEAD ? 0 : strlen(szText);
    return pResponse;
}

MHD_Result SendMetrics(MHD_Connection* pConnection, THttpRequest* pRequest)
{
    const std::string strText = MetricsText();
    const bool bHead = pRequest->strMethod == MHD_HTTP_METHOD_HEAD;
    MHD_Response* pResponse = MHD_create_response_from_buffer(
        strText.size(), const_cast<char*>(strText.data()), MHD_RESPMEM_MUST_COPY);
    if (pResponse != nullptr)
        MHD_add_response_header(pResponse, MHD_HTTP_HEADER_CONTENT_TYPE,
                                "text/plain; version=0.0.4");
    pRequest->iBytes = bHead ? 0 : static_cast<int64_t>(strText.size());
    return Queue(pConnection, pRequest, MHD_HTTP_OK, pResponse);
}

MHD_Result Refuse(MHD_Connection* pConnection, THttpRequest* pRequest, int iStatus)
{
    return Queue(pConnection, pRequest, iStatus, TextResponse(pRequest, iStatus));
}

// The answer for a file open at fd, which it takes over.
MHD_Result SendFile(MHD_Connection* pConnection, THttpRequest* pRequest, int fd)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
    {
        close(fd);
        return Refuse(pConnection, pRequest, kHttpServerError);
    }
    THttpFile file;
    file.iSize = st.st_size;
    file.iMtimeSec = st.st_mtim.tv_sec;
    file.iMtimeNsec = st.st_mtim.tv_nsec;
    const ssize_t nHead = pread(fd, file.head, sizeof file.head, 0);
    file.nHead = nHead > 0 ? static_cast<int>(nHead) : 0;
    THttpConditions conditions;
    conditions.szRange = Header(pConnection, MHD_HTTP_HEADER_RANGE);
    conditions.szIfNoneMatch = Header(pConnection, MHD_HTTP_HEADER_IF_NONE_MATCH);
    conditions.szIfRange = Header(pConnection, MHD_HTTP_HEADER_IF_RANGE);
    const THttpFileReply reply = DecideFileReply(file, conditions);

    MHD_Response* pResponse = nullptr;
    if (reply.iStatus == kHttpOk || reply.iStatus == kHttpPartial)
    {
        // Sent with sendfile; the response closes fd when it is destroyed.
        pResponse = MHD_create_response_from_fd_at_offset64(
            static_cast<uint64_t>(reply.iLength), fd, static_cast<uint64_t>(reply.iOffset));
        if (pResponse == nullptr)
            close(fd);
        else
        {
            MHD_add_response_header(pResponse, MHD_HTTP_HEADER_CONTENT_TYPE,
                                    reply.strContentType.c_str());
            pRequest->iBytes = pRequest->strMethod == MHD_HTTP_METHOD_HEAD ? 0 : reply.iLength;
        }
    }
    else
    {
        close(fd);
        pResponse = reply.iStatus == kHttpRangeNotSatisfiable
                        ? TextResponse(pRequest, reply.iStatus)
                        : MHD_create_response_from_buffer(0, nullptr, MHD_RESPMEM_PERSISTENT);
    }
    if (pResponse == nullptr)
        return MHD_NO;
    MHD_add_response_header(pResponse, MHD_HTTP_HEADER_ETAG, reply.strETag.c_str());
    MHD_add_response_header(pResponse, MHD_HTTP_HEADER_LAST_MODIFIED,
                            reply.strLastModified.c_str());
    MHD_add_response_header(pResponse, MHD_HTTP_HEADER_ACCEPT_RANGES, "bytes");
    if (!reply.strContentRange.empty())
        MHD_add_response_header(pResponse, MHD_HTTP_HEADER_CONTENT_RANGE,
                                reply.strContentRange.c_str());
    return Queue(pConnection, pRequest, reply.iStatus, pResponse);
}

MHD_Result AnswerRequest(void* pCls, MHD_Connection* pConnection, const char* szUrl,
                         const char* szMethod, size_t* pnUpload, void** ppRequest)
{
    THttpServer* pServer = static_cast<THttpServer*>(pCls);
    THttpRequest* pRequest = static_cast<THttpRequest*>(*ppRequest);
    // The first call has the headers; the answer is queued on the next one, once
    // the request is complete, so that the connection may stay open for the next.
    if (pRequest == nullptr)
    {
        *ppRequest = pRequest = new THttpRequest;
        pRequest->strMethod = szMethod;
        pRequest->strTarget = szUrl;
        const MHD_ConnectionInfo* pInfo =
            MHD_get_connection_info(pConnection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
        if (pInfo != nullptr && pInfo->client_addr->sa_family == AF_INET)
        {
            const sockaddr_in* pPeer = reinterpret_cast<const sockaddr_in*>(pInfo->client_addr);
            char sz[INET_ADDRSTRLEN] = "";
            inet_ntop(AF_INET, &pPeer->sin_addr, sz, sizeof sz);
            pRequest->strClient = sz;
            pRequest->iClientIp = ntohl(pPeer->sin_addr.s_addr);
        }
        // These requests have no body: one that comes with a body is refused at
        // once, and the connection is closed after the answer.
        const char* szLength = Header(pConnection, MHD_HTTP_HEADER_CONTENT_LENGTH);
        if (Header(pConnection, MHD_HTTP_HEADER_TRANSFER_ENCODING) != nullptr ||
            (szLength != nullptr && strcmp(szLength, "0") != 0))
            return Refuse(pConnection, pRequest, kHttpBadRequest);
        return MHD_YES;
    }
    if (pRequest->iStatus != 0 || *pnUpload != 0)
    {
        *pnUpload = 0;  // a body is dropped
        return MHD_YES;
    }
    if (pRequest->strMethod != MHD_HTTP_METHOD_GET && pRequest->strMethod != MHD_HTTP_METHOD_HEAD)
        return Refuse(pConnection, pRequest, kHttpBadMethod);
    // The service's counters, in the place of any file of that name.
    if (strcmp(szUrl, "/metrics") == 0)
        return SendMetrics(pConnection, pRequest);
    std::string strName;
    if (int iStatus = DecodeRequestPath(szUrl, strName))
        return Refuse(pConnection, pRequest, iStatus);
    int iErrno = 0;
    const int fd = OpenBeneath(pServer->Options().strRoot, strName.c_str(), &iErrno);
    if (fd < 0)
        return Refuse(pConnection, pRequest, StatusForOpenError(iErrno));
    return SendFile(pConnection, pRequest, fd);
}

// No exception may pass into libmicrohttpd: one ends the connection (a
// request record made so far is freed when the connection ends).
MHD_Result HandleRequest(void* pCls, MHD_Connection* pConnection, const char* szUrl,
                         const char* szMethod, const char*, const char*, size_t* pnUpload,
                         void** ppRequest)
{
    try
    {
        return AnswerRequest(pCls, pConnection, szUrl, szMethod, pnUpload, ppRequest);
    }
    catch (...)
    {
        return MHD_NO;
    }
}

void RequestCompleted(void* pCls, MHD_Connection*, void** ppRequest,
                      MHD_RequestTerminationCode iEnd)
{
    std::unique_ptr<THttpRequest> pRequest(static_cast<THttpRequest*>(*ppRequest));
    *ppRequest = nullptr;
    try
    {
        if (pRequest)
            static_cast<THttpServer*>(pCls)->Log().Write(
                *pRequest, iEnd == MHD_REQUEST_TERMINATED_COMPLETED_OK);
    }
    catch (...)
    {
    }
}
}  // namespace

THttpServer::THttpServer() = default;

THttpServer::~THttpServer() { Stop(); }

int THttpServer::Start(const TOptions& options)
{
    const int iResult = Bind(options);
    return iResult == 0 ? Serve() : iResult;
}

int THttpServer::Bind(const TOptions& options)
{
    Stop();
    m_options = options;
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    // A restart must not wait for the connections of the last run to time out.
    const int iOne = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &iOne, sizeof iOne);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<uint16_t>(options.iPort));
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    socklen_t nLocal = sizeof local;
    if ((!options.strAddress.empty() &&
         inet_pton(AF_INET, options.strAddress.c_str(), &local.sin_addr) != 1) ||
        bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        listen(fd, SOMAXCONN) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&local), &nLocal) != 0)
    {
        const int iErrno = errno;
        close(fd);
        errno = iErrno;
        return -1;
    }
    m_iPort = ntohs(local.sin_port);
    m_fdListen = fd;
    return 0;
}

int THttpServer::Serve()
{
    if (m_fdListen < 0)
        return -2;
    const int fd = m_fdListen;
    m_fdListen = -1;
    m_pLog.reset(new THttpRequestLog(ACE_Log_Msg::instance()->msg_ostream()));
    // A thread per connection, as many as connections are allowed: it sends its
    // file with sendfile in chunks of 2 MiB, where one epoll thread for all
    // connections sends 128 KiB a pass and falls behind nginx with 32 fast
    // clients (bench/http_bench.sh).
    m_pDaemon = MHD_start_daemon(
        MHD_USE_THREAD_PER_CONNECTION | MHD_USE_POLL_INTERNAL_THREAD, 0, nullptr, nullptr,
        &HandleRequest, this, MHD_OPTION_THREAD_STACK_SIZE, kConnectionStackBytes,
        MHD_OPTION_LISTEN_SOCKET, fd, MHD_OPTION_CONNECTION_LIMIT,
        static_cast<unsigned>(m_options.nMaxConnections), MHD_OPTION_PER_IP_CONNECTION_LIMIT,
        static_cast<unsigned>(m_options.nMaxPerClient), MHD_OPTION_CONNECTION_TIMEOUT,
        static_cast<unsigned>(m_options.iIdleTimeoutSeconds), MHD_OPTION_NOTIFY_COMPLETED,
        &RequestCompleted, this, MHD_OPTION_UNESCAPE_CALLBACK, &KeepEscapes, nullptr,
        MHD_OPTION_END);
    if (m_pDaemon == nullptr)
    {
        close(fd);
        m_iPort = 0;
        return -2;
    }
    return 0;
}

void THttpServer::Stop()
{
    if (m_pDaemon != nullptr)
        MHD_stop_daemon(m_pDaemon);  // closes the port too
    m_pDaemon = nullptr;
    if (m_fdListen >= 0)
        close(m_fdListen);
    m_fdListen = -1;
}

ACE_THR_FUNC_RETURN httpservice_proc(void*)
{
    try
    {
        THttpServer server;
        THttpServer::TOptions options;
        options.strRoot = gSettings.strTftpRoot;
        options.iPort = gSettings.iHttpPort;
        options.nMaxConnections = gSettings.iHttpMaxConnections;
        options.nMaxPerClient = gSettings.iHttpMaxConnectionsPerClient;
        if (server.Bind(options) != 0)
        {
            ACE_DEBUG((LM_ERROR, LOG_PREFIX "error: http bind port:%d at %D\n", options.iPort));
            FatalExit();
        }
        // Nothing is served before the service is ready (and runs as its user).
        ServiceThreadBound();
        if (server.Serve() != 0)
        {
            ACE_DEBUG((LM_ERROR, LOG_PREFIX "error: Can not start http server at %D\n"));
            FatalExit();
        }
        ACE_DEBUG((LM_INFO, LOG_PREFIX "Start HTTP service on TCP port %d at %D\n", server.Port()));
        // libmicrohttpd's threads serve; this one waits for the stop.
        evStop.wait();
        server.Stop();
    }
    catch (...)
    {
        ACE_DEBUG(
            (LM_ERROR, LOG_PREFIX "Error: Catch unknow exception in HTTP main thread at %D\n"));
        FatalExit();
    }
    return 0;
}
