// Runs the TFTP service alone in the foreground, serving one folder, until
// SIGINT or SIGTERM. For benchmarks and manual checks:
//   tftpserve ROOT
#include "config/settings.h"
#include "service/stopevent.h"
#include "tftp/tftpd.h"

#include <ace/Thread.h>

#include <arpa/inet.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

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

    // The signals are taken here, by sigwait, never by a handler on some thread.
    sigset_t sigs;
    sigemptyset(&sigs);
    sigaddset(&sigs, SIGINT);
    sigaddset(&sigs, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &sigs, nullptr);

    ACE_hthread_t hService = 0;
    if (ACE_OS::thr_create(tftpservice_proc, nullptr, 0, nullptr, &hService, 0, nullptr, 0, nullptr) != 0)
    {
        perror("thr_create");
        return 1;
    }
    int iSignal = 0;
    sigwait(&sigs, &iSignal);
    evStop.signal();

    // Wake the service's wait for a request at once.
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd >= 0)
    {
        sockaddr_in to;
        memset(&to, 0, sizeof to);
        to.sin_family = AF_INET;
        to.sin_port = htons(kTftpPort);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sendto(fd, "", 0, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        close(fd);
    }
    ACE_Thread::join(hService);
    return 0;
}
