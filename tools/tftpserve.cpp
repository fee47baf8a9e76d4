// Runs the TFTP service alone in the foreground, serving one folder, until
// SIGINT, SIGTERM or SIGHUP. For benchmarks and manual checks:
//   tftpserve ROOT
#include "config/settings.h"
#include "platform/signals.h"
#include "service/stopevent.h"
#include "tftp/tftpd.h"

#include <ace/Thread.h>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace
{
void StopService(int, void*)
{
    evStop.signal();
    // Wake the service's wait for a request at once.
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0)
        return;
    sockaddr_in to;
    memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_port = htons(kTftpPort);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sendto(fd, "", 0, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    close(fd);
}
}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2)
    {
        fprintf(stderr, "usage: %s ROOT\n", argv[0]);
        return 2;
    }
    gSettings.strTftpRoot = argv[1];
    if (gSettings.strTftpRoot.empty() || gSettings.strTftpRoot.back() != '/')
        gSettings.strTftpRoot += '/';

    TSignalThread signals;
    ACE_hthread_t hService = 0;
    if (signals.Start(StopService, nullptr) != 0 ||
        ACE_OS::thr_create(tftpservice_proc, nullptr, 0, nullptr, &hService, 0, nullptr, 0, nullptr) != 0)
    {
        perror("thread");
        return 1;
    }
    ACE_Thread::join(hService);
    return 0;
}
