// The datagram socket a service manager listens on for its NOTIFY_SOCKET
// messages, bound to a path of the test's own.
#pragma once

#include <poll.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>
#include <vector>

class TNotifySocket
{
public:
    explicit TNotifySocket(const std::string& strPath_) : strPath(strPath_)
    {
        fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un sa{};
        sa.sun_family = AF_UNIX;
        snprintf(sa.sun_path, sizeof(sa.sun_path), "%s", strPath.c_str());
        bOk = fd >= 0 && bind(fd, (sockaddr*)&sa, sizeof(sa)) == 0;
    }
    ~TNotifySocket()
    {
        if (fd >= 0)
            close(fd);
        unlink(strPath.c_str());
    }
    TNotifySocket(const TNotifySocket&) = delete;
    TNotifySocket& operator=(const TNotifySocket&) = delete;

    // The next message within iTimeoutMs, or "" on time-out.
    std::string Next(int iTimeoutMs)
    {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, iTimeoutMs) != 1)
            return "";
        char buf[1024];
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        return n > 0 ? std::string(buf, (size_t)n) : "";
    }
    // Every message up to the first pause of iPauseMs.
    std::vector<std::string> Drain(int iPauseMs = 200)
    {
        std::vector<std::string> v;
        for (std::string s = Next(iPauseMs); !s.empty(); s = Next(iPauseMs))
            v.push_back(s);
        return v;
    }

    bool bOk = false;
    int fd = -1;
    std::string strPath;
};
