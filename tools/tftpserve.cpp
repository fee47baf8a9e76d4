// Runs the TFTP service alone in the foreground, serving one folder, until
// SIGINT, SIGTERM or SIGHUP. For benchmarks and manual checks:
//   tftpserve [--negotiate] [--max-blksize N] [--max-window N] [--max-transfers N]
//             [--max-per-client N] [--max-timeout N] ROOT
// --negotiate switches option negotiation on; the others set the largest
// block size and window granted, the transfers at once in all and from one
// address, and the largest "timeout" granted (otherwise the configuration's
// defaults, but for the transfers at once: 10000 in all and 256 from one
// address, the most allowed, as a benchmark's client runs hundreds at once
// from one address).
#include "config/settings.h"
#include "platform/signals.h"
#include "core/stopevent.h"
#include "tftp/tftpd.h"

#include <ace/Thread.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace
{
void StopService(int, void*) { evStop.signal(); }
}  // namespace

namespace
{
// The decimal number in sz within [iMin, iMax], or -1.
int ParseNumber(const char* sz, int iMin, int iMax)
{
    char* szEnd = nullptr;
    long n = strtol(sz, &szEnd, 10);
    return (*sz && !*szEnd && n >= iMin && n <= iMax) ? static_cast<int>(n) : -1;
}

// Fills gSettings from the command line; false on a bad one.
bool ParseArguments(int argc, char** argv)
{
    gSettings.iTftpMaxTransfers = 10000;
    gSettings.iTftpMaxTransfersPerClient = 256;
    int i = 1;
    for (; i < argc && strncmp(argv[i], "--", 2) == 0; ++i)
    {
        std::string strFlag = argv[i];
        if (strFlag == "--negotiate")
            gSettings.bTftpNegotiate = true;
        else if (strFlag == "--max-blksize" && i + 1 < argc)
            gSettings.iTftpMaxBlockSize = ParseNumber(argv[++i], 8, 65464);
        else if (strFlag == "--max-window" && i + 1 < argc)
            gSettings.iTftpMaxWindowSize = ParseNumber(argv[++i], 1, 64);
        else if (strFlag == "--max-transfers" && i + 1 < argc)
            gSettings.iTftpMaxTransfers = ParseNumber(argv[++i], 1, 10000);
        else if (strFlag == "--max-per-client" && i + 1 < argc)
            gSettings.iTftpMaxTransfersPerClient = ParseNumber(argv[++i], 1, 256);
        else if (strFlag == "--max-timeout" && i + 1 < argc)
            gSettings.iTftpMaxTimeout = ParseNumber(argv[++i], 1, 255);
        else
            return false;
    }
    if (i != argc - 1 || gSettings.iTftpMaxBlockSize < 0 || gSettings.iTftpMaxWindowSize < 0 ||
        gSettings.iTftpMaxTransfers < 0 || gSettings.iTftpMaxTransfersPerClient < 0 ||
        gSettings.iTftpMaxTimeout < 0)
        return false;
    gSettings.strTftpRoot = argv[i];
    return true;
}
}  // namespace

int main(int argc, char** argv)
{
    if (!ParseArguments(argc, argv))
    {
        fprintf(stderr,
                "usage: %s [--negotiate] [--max-blksize 8..65464] [--max-window 1..64]"
                " [--max-transfers 1..10000] [--max-per-client 1..256] [--max-timeout 1..255]"
                " ROOT\n",
                argv[0]);
        return 2;
    }
    if (gSettings.strTftpRoot.empty() || gSettings.strTftpRoot.back() != '/')
        gSettings.strTftpRoot += '/';

    TSignalThread signals;
    ACE_hthread_t hService = 0;
    if (signals.Start(StopService, nullptr) != 0 ||
        ACE_OS::thr_create(tftpservice_proc, nullptr, 0, nullptr, &hService, 0, nullptr, 0,
                           nullptr) != 0)
    {
        perror("thread");
        return 1;
    }
    ACE_Thread::join(hService);
    return 0;
}
