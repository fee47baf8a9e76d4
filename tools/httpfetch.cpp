// httpfetch: an HTTP client for benchmarks. Runs N GETs of one URL at once,
// one thread each (libcurl), compares every byte of each body with the
// original file as it arrives, and prints what it fetched and how fast.
//
//   httpfetch [--parallel N] --check FILE URL
//
// A transfer fails when the status is not 200, when a byte differs from FILE,
// or when the body is shorter or longer than FILE. Prints one line,
//   transfers N failed F bytes B seconds S MB/s R cpu S
// (bytes of the transfers that succeeded, MB = 10^6 bytes, the client's own
// CPU seconds) and exits 1 when any transfer failed, 2 on bad usage or set-up.
// It stands in for `curl URL | cmp - FILE`, whose pipe and byte-wise compare
// make the client, not the server, the limit of a fast local benchmark.
#include "client/tftpclient.h"

#include <curl/curl.h>
#include <getopt.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace
{
struct TTransfer
{
    const CMappedFile* pCheck = nullptr;
    uint64_t nOffset = 0;  // body bytes compared so far
    std::string strWhy;    // empty while all is well
};

size_t Compare(char* p, size_t, size_t n, void* pv)
{
    TTransfer& t = *static_cast<TTransfer*>(pv);
    const uint64_t nSize = t.pCheck->Size();
    if (n > nSize - t.nOffset)
        t.strWhy = "longer than the file";
    else if (memcmp(p, t.pCheck->Data() + t.nOffset, n) != 0)
        t.strWhy = "differs from the file near byte " + std::to_string(t.nOffset);
    else
    {
        t.nOffset += n;
        return n;
    }
    return 0;  // ends the transfer
}

void Fetch(const std::string& strUrl, TTransfer& t)
{
    CURL* pCurl = curl_easy_init();
    if (pCurl == nullptr)
    {
        t.strWhy = "no libcurl handle";
        return;
    }
    char szError[CURL_ERROR_SIZE] = "";
    curl_easy_setopt(pCurl, CURLOPT_URL, strUrl.c_str());
    curl_easy_setopt(pCurl, CURLOPT_WRITEFUNCTION, &Compare);
    curl_easy_setopt(pCurl, CURLOPT_WRITEDATA, &t);
    curl_easy_setopt(pCurl, CURLOPT_ERRORBUFFER, szError);
    curl_easy_setopt(pCurl, CURLOPT_BUFFERSIZE, 512L * 1024);
    curl_easy_setopt(pCurl, CURLOPT_TIMEOUT, 1800L);
    const CURLcode iResult = curl_easy_perform(pCurl);
    long iStatus = 0;
    curl_easy_getinfo(pCurl, CURLINFO_RESPONSE_CODE, &iStatus);
    curl_easy_cleanup(pCurl);
    if (!t.strWhy.empty())
        return;
    if (iResult != CURLE_OK)
        t.strWhy = szError[0] ? szError : curl_easy_strerror(iResult);
    else if (iStatus != 200)
        t.strWhy = "status " + std::to_string(iStatus);
    else if (t.nOffset != t.pCheck->Size())
        t.strWhy = "shorter than the file";
}
}  // namespace

int main(int argc, char** argv)
{
    static const option aLong[] = {{"parallel", required_argument, nullptr, 'n'},
                                   {"check", required_argument, nullptr, 'c'},
                                   {nullptr, 0, nullptr, 0}};
    int iParallel = 1;
    std::string strCheck;
    for (int c; (c = getopt_long(argc, argv, "", aLong, nullptr)) != -1;)
    {
        if (c == 'n')
            iParallel = atoi(optarg);
        else if (c == 'c')
            strCheck = optarg;
        else
            iParallel = 0;
    }
    if (iParallel < 1 || iParallel > 1000 || strCheck.empty() || optind != argc - 1)
    {
        fprintf(stderr, "usage: httpfetch [--parallel N] --check FILE URL\n");
        return 2;
    }
    CMappedFile check;
    if (!check.Open(strCheck) || curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK)
        return 2;
    const std::string strUrl = argv[optind];
    std::vector<TTransfer> vTransfers(iParallel);
    std::vector<std::thread> vThreads;
    const auto tpStart = std::chrono::steady_clock::now();
    for (TTransfer& t : vTransfers)
    {
        t.pCheck = &check;
        vThreads.emplace_back(Fetch, std::cref(strUrl), std::ref(t));
    }
    for (std::thread& thread : vThreads)
        thread.join();
    const double dSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - tpStart).count();
    int iFailed = 0;
    uint64_t nBytes = 0;
    for (size_t i = 0; i < vTransfers.size(); ++i)
    {
        if (vTransfers[i].strWhy.empty())
            nBytes += vTransfers[i].nOffset;
        else
        {
            fprintf(stderr, "httpfetch: transfer %zu of %s: %s\n", i + 1, strUrl.c_str(),
                    vTransfers[i].strWhy.c_str());
            ++iFailed;
        }
    }
    rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    const double dCpu =
        ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    printf("transfers %d failed %d bytes %llu seconds %.3f MB/s %.2f cpu %.3f\n", iParallel,
           iFailed, static_cast<unsigned long long>(nBytes), dSeconds,
           dSeconds > 0 ? nBytes / 1e6 / dSeconds : 0.0, dCpu);
    curl_global_cleanup();
    return iFailed ? 1 : 0;
}
