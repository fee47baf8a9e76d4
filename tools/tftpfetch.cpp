// tftpfetch: a TFTP read client for benchmarks. Runs N reads of one file at
// once in one event loop, compares every byte with the original file, and
// prints what it fetched and how fast.
//
//   tftpfetch [--port N] [--blksize N] [--windowsize N] [--tsize] [--parallel N]
//             [--timeout MS] [--retries N] [--check FILE] SERVER FILE
//
// The options asked for go into the read request; client/tftpclient.h says how
// a transfer goes and when it fails (--retries time-outs in a row of --timeout
// ms each, the first byte that differs from --check, ...). Prints one line,
//   transfers N failed F bytes B seconds S MB/s R blksize N windowsize N cpu S
// (bytes of the transfers that succeeded, MB = 10^6 bytes, the block size and
// window of the first transfer, the client's own CPU seconds) and exits 1 when
// any transfer failed, 2 on bad usage or set-up.
#include "client/tftpclient.h"
#include "tftp/packet.h"

#include <getopt.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace
{
struct TOptions
{
    uint16_t nPort = kTftpPort;
    TClientRequest r;
    int iParallel = 1;
    std::string strCheck;
    std::string strServer;
};

int Run(const TOptions& o)
{
    CMappedFile check;
    CTftpClient client;
    if ((!o.strCheck.empty() && !check.Open(o.strCheck)) || !client.Open(o.strServer, o.nPort))
        return 2;
    TClientRequest r = o.r;
    if (!o.strCheck.empty())
        r.pCheck = &check;
    for (int i = 0; i < o.iParallel; ++i)
        client.Start(r);
    int iFailed = 0;
    std::vector<size_t> vEnded;
    while (client.Running())
    {
        client.Poll(20, vEnded);
        for (size_t i : vEnded)
            if (client[i].eState == StateFailed)
            {
                fprintf(stderr, "tftpfetch: transfer %zu of %s: %s\n", i + 1, r.strFile.c_str(),
                        client[i].strWhy.c_str());
                ++iFailed;
            }
    }
    TClock::time_point tpEnd = client[0].tpStart;
    uint64_t nBytes = 0;
    for (size_t i = 0; i < client.Size(); ++i)
    {
        tpEnd = std::max(tpEnd, client[i].tpEnd);
        nBytes += client[i].eState == StateDone ? client[i].read.Bytes() : 0;
    }
    double dSeconds = std::chrono::duration<double>(tpEnd - client[0].tpStart).count();
    rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    double dCpu =
        ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    printf("transfers %zu failed %d bytes %llu seconds %.3f MB/s %.2f blksize %d windowsize %d"
           " cpu %.3f\n",
           client.Size(), iFailed, static_cast<unsigned long long>(nBytes), dSeconds,
           dSeconds > 0 ? nBytes / 1e6 / dSeconds : 0.0, client[0].read.BlockSize(),
           client[0].read.WindowSize(), dCpu);
    return iFailed ? 1 : 0;
}

bool ParseArguments(int argc, char** argv, TOptions& o)
{
    static const option aLong[] = {{"port", required_argument, nullptr, 'p'},
                                   {"blksize", required_argument, nullptr, 'b'},
                                   {"windowsize", required_argument, nullptr, 'w'},
                                   {"tsize", no_argument, nullptr, 's'},
                                   {"parallel", required_argument, nullptr, 'n'},
                                   {"timeout", required_argument, nullptr, 't'},
                                   {"retries", required_argument, nullptr, 'r'},
                                   {"check", required_argument, nullptr, 'c'},
                                   {nullptr, 0, nullptr, 0}};
    int c;
    int iPort = kTftpPort;
    while ((c = getopt_long(argc, argv, "", aLong, nullptr)) != -1)
    {
        switch (c)
        {
        case 'p':
            iPort = ParseNumber(optarg, 1, 65535);
            break;
        case 'b':
            o.r.iBlockSize = ParseNumber(optarg, kTftpMinBlockSize, kTftpMaxBlockSize);
            break;
        case 'w':
            o.r.iWindowSize = ParseNumber(optarg, 1, kTftpMaxWindowSize);
            break;
        case 's':
            o.r.bTsize = true;
            break;
        case 'n':
            o.iParallel = ParseNumber(optarg, 1, 10000);
            break;
        case 't':
            o.r.iTimeoutMs = ParseNumber(optarg, 1, 60000);
            break;
        case 'r':
            o.r.iRetries = ParseNumber(optarg, 0, 1000);
            break;
        case 'c':
            o.strCheck = optarg;
            break;
        default:
            return false;
        }
    }
    if (iPort < 0 || o.r.iBlockSize < 0 || o.r.iWindowSize < 0 || o.iParallel < 0 ||
        o.r.iTimeoutMs < 0 || o.r.iRetries < 0 || optind != argc - 2)
        return false;
    o.nPort = static_cast<uint16_t>(iPort);
    o.strServer = argv[optind];
    o.r.strFile = argv[optind + 1];
    return true;
}
}  // namespace

int main(int argc, char** argv)
{
    TOptions o;
    if (!ParseArguments(argc, argv, o))
    {
        fprintf(stderr,
                "usage: %s [--port N] [--blksize N] [--windowsize N] [--tsize]\n"
                "       [--parallel N] [--timeout MS] [--retries N] [--check FILE]"
                " SERVER FILE\n",
                argv[0]);
        return 2;
    }
    return Run(o);
}
