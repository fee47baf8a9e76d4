// Runs the TFTP service alone in the foreground, serving one folder, until
// SIGINT, SIGTERM or SIGHUP. For benchmarks and manual checks:
//   tftpserve ROOT
#include "config/settings.h"
#include "platform/signals.h"
#include "service/stopevent.h"
#include "tftp/tftpd.h"

#include <ace/Thread.h>

#include <cstdio>
#include <string>

namespace
{
void StopService(int, void*)
{
    evStop.signal();
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
