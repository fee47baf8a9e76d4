// The HTTP server through its socket on 127.0.0.1 (a port the system picks),
// serving a folder of the test's own, with a client of plain sockets.
#include "common/logcapture.h"
#include "common/testutil.h"
#include "http/httpd.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <vector>

namespace
{
// One connection to the server; every read waits at most 10 seconds.
class TClient
{
public:
    explicit TClient(int iPort)
    {
        const sockaddr_in sa{
            AF_INET, htons(static_cast<uint16_t>(iPort)), {htonl(INADDR_LOOPBACK)}, {}};
        const timeval tv{10, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        bConnected = connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0;
    }
    ~TClient() { close(fd); }
    TClient(const TClient&) = delete;
    TClient& operator=(const TClient&) = delete;

    bool Send(const std::string& str)
    {
        return bConnected && send(fd, str.data(), str.size(), MSG_NOSIGNAL) == ssize_t(str.size());
    }
    // Reads one response: its status line, its headers (names in lower case) and, unless
    // bNoBody, a body of Content-Length bytes. Status 0 when the connection closed first.
    struct TResponse
    {
        int iStatus = 0;
        std::string strHead, strBody;  // the head in lower case
        std::string H(const std::string& strName) const
        {
            const size_t n = strHead.find("\r\n" + strName + ": ");
            const size_t nValue = n + strName.size() + 4;
            return n == std::string::npos
                       ? "-"
                       : strHead.substr(nValue, strHead.find('\r', nValue) - nValue);
        }
    };
    TResponse Read(bool bNoBody = false)
    {
        TResponse r;
        size_t nEnd;
        while ((nEnd = strIn.find("\r\n\r\n")) == std::string::npos)
            if (!Fill())
                return r;
        r.strHead = strIn.substr(0, nEnd + 2);
        strIn.erase(0, nEnd + 4);
        for (char& c : r.strHead)
            c = static_cast<char>(tolower(c));
        if (sscanf(r.strHead.c_str(), "http/1.%*d %d", &r.iStatus) != 1)
            return r;
        const size_t nLength = bNoBody || r.iStatus == 304 || r.H("content-length") == "-"
                                   ? 0
                                   : std::stoul(r.H("content-length"));
        while (strIn.size() < nLength)
            if (!Fill())
                return TResponse();
        r.strBody = strIn.substr(0, nLength);
        strIn.erase(0, nLength);
        return r;
    }
    // True when the server closes the connection (within the read wait) with nothing more sent.
    bool Closed()
    {
        char c;
        return strIn.empty() && recv(fd, &c, 1, 0) == 0;
    }

    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);

private:
    bool Fill()
    {
        char buffer[65536];
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            return false;
        strIn.append(buffer, size_t(n));
        return true;
    }
    bool bConnected = false;
    std::string strIn;
};

// The sockets this process has open: the clients' and the server's.
int SocketsOpen()
{
    int n = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
    {
        std::error_code ec;
        n += std::filesystem::read_symlink(entry.path(), ec).string().rfind("socket:", 0) == 0;
    }
    return n;
}

std::string Get(const std::string& strTarget, const std::string& strMore = "",
                const char* szMethod = "GET")
{
    return std::string(szMethod) + " " + strTarget + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + strMore +
           "\r\n";
}

class HttpServer : public ::testing::Test
{
protected:
    void SetUp() override
    {
        for (int i = 0; i < 100000; ++i)
            strData += static_cast<char>('a' + i * 7 % 26);
        WriteFile(root / "data.bin", strData);
        WriteFile(root / "boot.efi", strEfi);
        WriteFile(root / "empty", "");
        WriteFile(outside / "secret", "not to be served");
        ASSERT_EQ(RunCommand("cd '" + root.Path() +
                             "' && mkdir efi && ln -s efi/../data.bin in && ln -s ../" +
                             outside.Path().substr(outside.Path().rfind('/') + 1) + "/secret out"),
                  0);
        options.strRoot = root.Path() + "/";
        options.strAddress = "127.0.0.1";
    }
    void Start() { ASSERT_EQ(server.Start(options), 0); }

    TTempDir root, outside;
    std::string strData, strEfi = "MZ" + std::string(1000, '\x90');
    TLogCapture log;  // before the server: it logs into the stream of the thread that starts it
    THttpServer::TOptions options;
    THttpServer server;
};
}  // namespace

// Each request on a connection of its own: status, the headers that count and the body.
TEST_F(HttpServer, RequestsAndTheirAnswers)
{
    Start();
    const std::string D = strData, O = "application/octet-stream", T = "text/plain";
    const struct
    {
        std::string strRequest;
        int iStatus;
        std::string strType, strRange, strBody;
    } cases[] = {
        {Get("/data.bin"), 200, O, "-", D},
        {Get("/data.bin", "Range: bytes=0-0\r\n"), 206, O, "bytes 0-0/100000", D.substr(0, 1)},
        {Get("/data.bin", "Range: bytes=99999-99999\r\n"), 206, O, "bytes 99999-99999/100000",
         D.substr(99999)},
        {Get("/data.bin", "Range: bytes=-10\r\n"), 206, O, "bytes 99990-99999/100000",
         D.substr(99990)},
        {Get("/data.bin", "Range: bytes=100000-\r\n"), 416, T, "bytes */100000",
         "416 Range Not Satisfiable\n"},
        {Get("/in"), 200, O, "-", D},
        {Get("/../data.bin"), 403, T, "-", "403 Forbidden\n"},
        {Get("/out"), 403, T, "-", "403 Forbidden\n"},
        {Get("/efi/"), 403, T, "-", "403 Forbidden\n"},
        {Get("/missing"), 404, T, "-", "404 Not Found\n"},
        {Get("/data.bin", "", "POST"), 405, T, "-", "405 Method Not Allowed\n"},
        {"GET /boot.efi HTTP/1.0\r\n\r\n", 200, "application/efi", "-", strEfi},  // no Host
    };
    for (const auto& c : cases)
    {
        TClient client(server.Port());
        ASSERT_TRUE(client.Send(c.strRequest)) << c.strRequest;
        const TClient::TResponse r = client.Read();
        EXPECT_EQ(r.iStatus, c.iStatus) << c.strRequest;
        EXPECT_EQ(r.H("content-type"), c.strType) << c.strRequest;
        EXPECT_EQ(r.H("content-range"), c.strRange) << c.strRequest;
        EXPECT_TRUE(r.strBody == c.strBody) << c.strRequest << " body of " << r.strBody.size();
        EXPECT_EQ(r.H("allow"), c.iStatus == 405 ? "get, head" : "-") << c.strRequest;
        const bool bFile = c.iStatus < 300 || c.iStatus == 416;
        EXPECT_EQ(r.H("etag") != "-" && r.H("last-modified").size() == 29, bFile) << c.strRequest;
    }
    // A request line the server cannot read, and a request with a body: refused, and closed.
    TClient bad(server.Port()), body(server.Port());
    ASSERT_TRUE(bad.Send("GARBAGE\r\n\r\n"));
    const int iBad = bad.Read().iStatus;
    EXPECT_TRUE(iBad == 0 || iBad == 400) << iBad;
    EXPECT_TRUE(bad.Closed());
    ASSERT_TRUE(body.Send(Get("/data.bin", "Content-Length: 5\r\n") + "12345"));
    EXPECT_EQ(body.Read().iStatus, 400);
    EXPECT_TRUE(body.Closed());
}

// As UEFI firmware does: HEAD for the size, then GET on the same connection; then more requests.
TEST_F(HttpServer, KeepAliveHeadThenGetOnOneConnection)
{
    Start();
    TClient client(server.Port());
    ASSERT_TRUE(client.Send(Get("/boot.efi", "", "HEAD")));
    TClient::TResponse r = client.Read(true);
    EXPECT_EQ(r.iStatus, 200);
    EXPECT_EQ(r.H("content-length"), "1002");
    EXPECT_EQ(r.H("content-type"), "application/efi");
    // A tag that matches: 304 with no body, and the connection serves on.
    ASSERT_TRUE(client.Send(Get("/boot.efi", "If-None-Match: " + r.H("etag") + "\r\n")));
    EXPECT_EQ(client.Read().iStatus, 304);
    ASSERT_TRUE(client.Send(Get("/boot.efi")));
    r = client.Read();
    EXPECT_EQ(r.iStatus, 200);
    EXPECT_EQ(r.strBody, strEfi);
    // Two requests sent at once, one refused: both answered in order on the same connection.
    ASSERT_TRUE(client.Send(Get("/missing") + Get("/data.bin", "Range: bytes=-3\r\n")));
    EXPECT_EQ(client.Read().iStatus, 404);
    r = client.Read();
    EXPECT_EQ(r.iStatus, 206);
    EXPECT_EQ(r.strBody, strData.substr(99997));
    ASSERT_TRUE(client.Send(Get("/empty", "Connection: close\r\n")));
    EXPECT_EQ(client.Read().iStatus, 200);
    EXPECT_TRUE(client.Closed());
    server.Stop();  // every line is written
    // One line per request: client, method, target, status, body bytes and the time taken.
    const std::string strLog = log.Texts("http: ", " ms");
    EXPECT_EQ(strLog.substr(0, strLog.find("bytes")), "127.0.0.1 HEAD \"/boot.efi\" 200 0 ");
    EXPECT_EQ(CountOf(strLog, "|"), 5) << strLog;
    EXPECT_EQ(CountOf(strLog, "127.0.0.1 GET \"/data.bin\" 206 3 bytes "), 1) << strLog;
    EXPECT_EQ(log.Priority("GET \"/boot.efi\""), "LM_INFO");
}

// Refused requests of one client are logged at most once a second, with what was left out said.
TEST_F(HttpServer, RefusalsOfAClientDoNotFloodTheLog)
{
    Start();
    TClient client(server.Port());
    const auto tStart = std::chrono::steady_clock::now();
    for (int i = 0; i < 100; ++i)
        ASSERT_TRUE(client.Send(Get("/missing")) && client.Read().iStatus == 404) << i;
    const auto tTaken = std::chrono::steady_clock::now() - tStart;
    server.Stop();
    const int nLines = CountOf(log.All(), "GET \"/missing");
    EXPECT_TRUE(nLines >= 1 &&
                nLines <= std::chrono::ceil<std::chrono::seconds>(tTaken).count() + 1)
        << log.All();
    EXPECT_EQ(CountOf(log.All(), "similar lines suppressed") > 0, nLines > 1) << log.All();
}

// 200 connections at once against a limit of 50: no more than 50 are taken at a time, the others
// wait; each is answered in full or closed, none is left waiting, and the server serves on.
TEST_F(HttpServer, TwoHundredConnectionsAtOnce)
{
    options.nMaxConnections = 50;
    options.nMaxPerClient = 200;
    Start();
    const int nBase = SocketsOpen();
    std::vector<std::unique_ptr<TClient>> vClients;
    for (int i = 0; i < 200; ++i)
        vClients.emplace_back(new TClient(server.Port()));
    auto Accepted = [&] { return SocketsOpen() - nBase - 200; };
    EXPECT_TRUE(WaitUntil([&] { return Accepted() >= 50; }, 5000)) << Accepted();
    EXPECT_FALSE(WaitUntil([&] { return Accepted() > 50; }, 500)) << Accepted();
    for (auto& pClient : vClients)
        pClient->Send(Get("/data.bin", "Connection: close\r\n"));
    int nServed = 0, nClosed = 0;
    for (auto& pClient : vClients)
    {
        const TClient::TResponse r = pClient->Read();
        if (r.iStatus == 200 && r.strBody == strData)
            ++nServed;
        else if (r.iStatus == 0)
            ++nClosed;
        else
            ADD_FAILURE() << "status " << r.iStatus << " body of " << r.strBody.size();
    }
    EXPECT_EQ(nServed + nClosed, 200);
    EXPECT_GE(nServed, 50);
    TClient after(server.Port());
    ASSERT_TRUE(after.Send(Get("/boot.efi")));
    EXPECT_EQ(after.Read().iStatus, 200);
    // One client alone is held to its own limit.
    server.Stop();
    options.nMaxPerClient = 2;
    Start();
    TClient a(server.Port()), b(server.Port()), c(server.Port());
    ASSERT_TRUE(a.Send(Get("/empty")) && b.Send(Get("/empty")));
    EXPECT_EQ(a.Read().iStatus, 200);
    EXPECT_EQ(b.Read().iStatus, 200);
    EXPECT_TRUE(c.Closed());
}

// A stop closes the connections that are open and the port; an idle connection is closed after
// the idle time.
TEST_F(HttpServer, StopAndIdleTimeOut)
{
    options.iIdleTimeoutSeconds = 1;
    Start();
    TClient idle(server.Port());
    EXPECT_TRUE(idle.Closed());
    TClient open(server.Port());
    ASSERT_TRUE(open.Send(Get("/boot.efi")));
    EXPECT_EQ(open.Read().iStatus, 200);
    const int iPort = server.Port();
    server.Stop();
    EXPECT_TRUE(open.Closed());
    TClient refused(iPort);
    EXPECT_FALSE(refused.Send("x"));
}
