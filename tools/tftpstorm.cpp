// tftpstorm: a boot storm against one TFTP server, from one process: every
// client a socket of its own in one event loop (client/tftpclient.h).
//
//   tftpstorm [--port N] [--seconds S] [--ramp MS] [--firmware N] [--slow N]
//             [--silent N] [--long-timeout N] [--big NAME] [--small NAME]
//             [--tiny NAME] [--sources FIRST-LAST] [--watch PID] SERVER ROOT
//
// ROOT is the folder the server serves (read here to compare the bytes). The
// storm's clients start in a fixed mixed order spread over --ramp ms (1000):
//   --firmware N (200): UEFI firmware: a size probe (blksize 1468, tsize 0,
//       ended by ERROR 8 after the OACK), then BIG with blksize 1468
//       windowsize 4; every byte compared with ROOT/BIG
//   --slow N (20): BIG without options, each ACK 2 s late; silent after 5 ACKs
//   --silent N (300): a request for BIG, never acknowledged
//   --long-timeout N (50): BIG with timeout 255; every other one never
//       acknowledges, the others acknowledge 2 s late until the storm ends
// With --sources, storm client k sends from the k-th address of FIRST to LAST,
// round the range again after LAST (as the machines of a storm; firmware's
// probe and download from the same address), else from the address the system
// picks. Throughout, a normal
// client (from the address the system picks) fetches SMALL with blksize 1468
// windowsize 4 once a second, failing after 3 s. After --seconds S (45) every
// storm client stops; then a request for TINY, waiting 100 ms for its answer,
// is sent again until one is answered (for up to 30 s). With --watch, the
// server process PID's threads and RSS are read from /proc every 100 ms, its
// CPU time at the start and the end. Prints one line,
//   firmware N intact I failed F unfinished U last_good_s T probes P
//   probe_failed Q p50_ms A p99_ms B recovery_ms R threads N rss_kb K
//   server_cpu S cpu C
// (a failed probe counts as 3000 ms in the percentiles; recovery_ms: from the
// storm's end to the sending of the request for TINY that was answered within
// 100 ms, -1 when none; threads, rss_kb and server_cpu -1 without --watch;
// cpu: this program's own CPU seconds), and why transfers failed on stderr.
// Exits 2 on bad usage or set-up.
#include "client/tftpclient.h"
#include "tftp/packet.h"

#include <arpa/inet.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace
{
const int kAckDelayMs = 2000;    // slow clients
const int kSlowAcks = 5;         // before a slow client vanishes
const int kProbeLimitMs = 3000;  // the normal client's limit per file
const int kRecoveryWaitMs = 100;
const int kRecoveryLimitMs = 30000;
const int kWatchMs = 100;

struct TOptions
{
    uint16_t nPort = kTftpPort;
    int iSeconds = 45;
    int iRampMs = 1000;
    int nFirmware = 200;
    int nSlow = 20;
    int nSilent = 300;
    int nLongTimeout = 50;
    std::string strBig = "f8", strSmall = "f1", strTiny = "ready";
    int iWatch = 0;
    in_addr_t nFirstSource = INADDR_ANY;  // host order
    int nSources = 0;
    std::string strServer, strRoot;
};

enum EKind
{
    KindSizeProbe,  // firmware, then KindFirmware
    KindFirmware,
    KindSlow,
    KindSilent,
    KindLongSilent,
    KindLongSlow,
    KindNormal,
    KindRecovery
};

// What the server process uses, read from /proc.
class CWatch
{
public:
    explicit CWatch(int iPid) : m_strProc("/proc/" + std::to_string(iPid)) {}
    void Sample()
    {
        std::ifstream status(m_strProc + "/status");
        std::string strKey;
        long n;
        while (status >> strKey)
            if (strKey == "Threads:" && status >> n)
                m_nThreads = std::max(m_nThreads, n);
            else if (strKey == "VmRSS:" && status >> n)
                m_nRssKb = std::max(m_nRssKb, n);
    }
    // utime + stime in seconds, -1 when gone.
    double Cpu() const
    {
        std::ifstream stat(m_strProc + "/stat");
        std::string strStat;
        if (!std::getline(stat, strStat) || strStat.rfind(')') == std::string::npos)
            return -1;
        std::istringstream fields(strStat.substr(strStat.rfind(')') + 2));
        std::string strField;
        double dTicks = 0;
        for (int i = 3; fields >> strField && i <= 15; ++i)
            if (i >= 14)
                dTicks += atof(strField.c_str());
        return dTicks / sysconf(_SC_CLK_TCK);
    }
    long Threads() const { return m_nThreads; }
    long RssKb() const { return m_nRssKb; }

private:
    std::string m_strProc;
    long m_nThreads = -1, m_nRssKb = -1;
};

class CStorm
{
public:
    explicit CStorm(const TOptions& o) : m_o(o), m_watch(o.iWatch) {}
    bool Setup();
    void Run();

private:
    TClientRequest Request(EKind eKind) const;
    void Start(EKind eKind, in_addr_t nSource = INADDR_ANY);
    void Poll();
    void Report(double dServerCpu);

    const TOptions& m_o;
    CMappedFile m_big, m_small;
    CTftpClient m_client;
    std::vector<EKind> m_vKinds;  // by transfer
    std::vector<size_t> m_vEnded;
    CWatch m_watch;  // when m_o.iWatch
    TClock::time_point m_tpWatch;
    double m_dRecoveryMs = -1;
};

bool CStorm::Setup()
{
    rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0)
    {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
    return m_big.Open(m_o.strRoot + "/" + m_o.strBig) &&
           m_small.Open(m_o.strRoot + "/" + m_o.strSmall) &&
           m_client.Open(m_o.strServer, m_o.nPort);
}

TClientRequest CStorm::Request(EKind eKind) const
{
    TClientRequest r;
    r.strFile = m_o.strBig;
    r.pCheck = &m_big;
    r.iTimeoutMs = 2000;
    r.iRetries = 6;
    switch (eKind)
    {
    case KindSizeProbe:
        r.iBlockSize = 1468;
        r.bTsize = true;
        r.eRole = RoleProbe;
        break;
    case KindFirmware:
        r.iBlockSize = 1468;
        r.iWindowSize = 4;
        break;
    case KindSlow:
        r.eRole = RoleSlow;
        r.iAckDelayMs = kAckDelayMs;
        r.iAckLimit = kSlowAcks;
        break;
    case KindSilent:
        r.eRole = RoleSilent;
        break;
    case KindLongSilent:
    case KindLongSlow:
        r.iTimeoutOption = kTftpMaxTimeout;
        r.eRole = eKind == KindLongSilent ? RoleSilent : RoleSlow;
        r.iAckDelayMs = kAckDelayMs;
        break;
    case KindNormal:
        r.strFile = m_o.strSmall;
        r.pCheck = &m_small;
        r.iBlockSize = 1468;
        r.iWindowSize = 4;
        r.iTimeoutMs = 500;
        r.iLimitMs = kProbeLimitMs;
        break;
    case KindRecovery:
        r.strFile = m_o.strTiny;
        r.pCheck = nullptr;
        r.iTimeoutMs = kRecoveryWaitMs;
        r.iRetries = 0;
        break;
    }
    return r;
}

void CStorm::Start(EKind eKind, in_addr_t nSource)
{
    TClientRequest r = Request(eKind);
    r.nSource = nSource;
    m_client.Start(r);
    m_vKinds.push_back(eKind);
}

// One turn of the event loop; a finished size probe starts its download.
void CStorm::Poll()
{
    m_client.Poll(5, m_vEnded);
    for (size_t i : m_vEnded)
        if (m_vKinds[i] == KindSizeProbe && m_client[i].eState == StateDone)
            Start(KindFirmware, m_client[i].r.nSource);
    if (m_o.iWatch && TClock::now() - m_tpWatch >= std::chrono::milliseconds(kWatchMs))
    {
        m_watch.Sample();
        m_tpWatch = TClock::now();
    }
}

void CStorm::Run()
{
    double dCpuStart = m_watch.Cpu();
    std::vector<EKind> vStorm;
    vStorm.insert(vStorm.end(), m_o.nFirmware, KindSizeProbe);
    vStorm.insert(vStorm.end(), m_o.nSlow, KindSlow);
    vStorm.insert(vStorm.end(), m_o.nSilent, KindSilent);
    for (int i = 0; i < m_o.nLongTimeout; ++i)
        vStorm.push_back(i % 2 ? KindLongSlow : KindLongSilent);
    std::mt19937 random(69);  // the same order every run
    std::shuffle(vStorm.begin(), vStorm.end(), random);

    const TClock::time_point tpStart = TClock::now();
    const TClock::time_point tpEnd = tpStart + std::chrono::seconds(m_o.iSeconds);
    size_t nStarted = 0;
    int iNormal = 0;
    for (TClock::time_point tpNow = tpStart; tpNow < tpEnd; tpNow = TClock::now())
    {
        for (; nStarted < vStorm.size() &&
               tpNow - tpStart >= std::chrono::milliseconds(m_o.iRampMs) * nStarted / vStorm.size();
             ++nStarted)
            Start(vStorm[nStarted],
                  m_o.nSources ? htonl(m_o.nFirstSource + nStarted % m_o.nSources) : INADDR_ANY);
        if (tpNow - tpStart >= std::chrono::seconds(iNormal))
        {
            Start(KindNormal);
            ++iNormal;
        }
        Poll();
    }
    for (size_t i = 0; i < m_client.Size(); ++i)
        m_client.Stop(i);

    const TClock::time_point tpQuiet = TClock::now();
    while (TClock::now() - tpQuiet < std::chrono::milliseconds(kRecoveryLimitMs))
    {
        Start(KindRecovery);
        size_t i = m_client.Size() - 1;
        while (m_client[i].eState == StateRunning)
            Poll();
        if (m_client[i].eState == StateDone)
        {
            m_dRecoveryMs =
                std::chrono::duration<double, std::milli>(m_client[i].tpStart - tpQuiet).count();
            break;
        }
    }
    Report(m_o.iWatch ? m_watch.Cpu() - dCpuStart : -1);
}

// The value at fraction d of the sorted v (nearest rank), -1 for none.
double Percentile(const std::vector<double>& v, double d)
{
    if (v.empty())
        return -1;
    size_t i = static_cast<size_t>(std::ceil(d * v.size()));
    return v[std::max<size_t>(i, 1) - 1];
}

void CStorm::Report(double dServerCpu)
{
    int nIntact = 0, nFailed = 0, nUnfinished = 0, nProbeFailed = 0;
    double dLastGood = 0;
    std::vector<double> vLatency;
    std::map<std::string, int> mapWhy;  // firmware and normal clients' failures
    TClock::time_point tpStart = m_client[0].tpStart;
    for (size_t i = 0; i < m_client.Size(); ++i)
    {
        const TClientTransfer& t = m_client[i];
        EKind eKind = m_vKinds[i];
        bool bDone = t.eState == StateDone;
        if (eKind == KindFirmware && bDone)
        {
            ++nIntact;
            dLastGood =
                std::max(dLastGood, std::chrono::duration<double>(t.tpEnd - tpStart).count());
        }
        else if ((eKind == KindFirmware || eKind == KindSizeProbe) && !bDone)
        {
            ++(t.strWhy == "stopped" ? nUnfinished : nFailed);
            ++mapWhy[(eKind == KindSizeProbe ? "size probe: " : "firmware: ") + t.strWhy];
        }
        else if (eKind == KindNormal && t.strWhy != "stopped")  // not cut by the storm's end
        {
            if (!bDone)
            {
                ++nProbeFailed;
                ++mapWhy["normal client: " + t.strWhy];
            }
            vLatency.push_back(
                bDone ? std::chrono::duration<double, std::milli>(t.tpEnd - t.tpStart).count()
                      : kProbeLimitMs);
        }
    }
    std::sort(vLatency.begin(), vLatency.end());
    for (const auto& why : mapWhy)
        fprintf(stderr, "tftpstorm: %d x %s\n", why.second, why.first.c_str());
    rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    double dCpu =
        ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    printf("firmware %d intact %d failed %d unfinished %d last_good_s %.2f probes %zu"
           " probe_failed %d p50_ms %.1f p99_ms %.1f recovery_ms %.1f threads %ld rss_kb %ld"
           " server_cpu %.2f cpu %.2f\n",
           m_o.nFirmware, nIntact, nFailed, nUnfinished, dLastGood, vLatency.size(), nProbeFailed,
           Percentile(vLatency, 0.5), Percentile(vLatency, 0.99), m_dRecoveryMs, m_watch.Threads(),
           m_watch.RssKb(), dServerCpu, dCpu);
}

// FIRST-LAST, two IPv4 addresses, into the addresses of --sources.
bool ParseRange(const std::string& strRange, TOptions& o)
{
    size_t iDash = strRange.find('-');
    in_addr aFirst, aLast;
    if (iDash == std::string::npos ||
        inet_pton(AF_INET, strRange.substr(0, iDash).c_str(), &aFirst) != 1 ||
        inet_pton(AF_INET, strRange.substr(iDash + 1).c_str(), &aLast) != 1 ||
        ntohl(aLast.s_addr) < ntohl(aFirst.s_addr))
        return false;
    o.nFirstSource = ntohl(aFirst.s_addr);
    o.nSources = static_cast<int>(ntohl(aLast.s_addr) - o.nFirstSource + 1);
    return true;
}

bool ParseArguments(int argc, char** argv, TOptions& o)
{
    struct TNumber
    {
        const char* szFlag;
        int* pValue;
        int iMin, iMax;
    };
    int iPort = kTftpPort;
    const TNumber aNumbers[] = {{"--port", &iPort, 1, 65535},
                                {"--seconds", &o.iSeconds, 1, 3600},
                                {"--ramp", &o.iRampMs, 0, 60000},
                                {"--firmware", &o.nFirmware, 0, 10000},
                                {"--slow", &o.nSlow, 0, 10000},
                                {"--silent", &o.nSilent, 0, 10000},
                                {"--long-timeout", &o.nLongTimeout, 0, 10000},
                                {"--watch", &o.iWatch, 1, 1 << 30}};
    const std::pair<const char*, std::string*> aNames[] = {
        {"--big", &o.strBig}, {"--small", &o.strSmall}, {"--tiny", &o.strTiny}};
    int i = 1;
    for (; i + 1 < argc && strncmp(argv[i], "--", 2) == 0; i += 2)
    {
        bool bOk = strcmp(argv[i], "--sources") == 0 && ParseRange(argv[i + 1], o);
        for (const TNumber& n : aNumbers)
            if (strcmp(argv[i], n.szFlag) == 0)
                bOk = (*n.pValue = ParseNumber(argv[i + 1], n.iMin, n.iMax)) >= 0;
        for (const auto& name : aNames)
            if (strcmp(argv[i], name.first) == 0)
                bOk = !(*name.second = argv[i + 1]).empty();
        if (!bOk)
            return false;
    }
    if (i != argc - 2)
        return false;
    o.nPort = static_cast<uint16_t>(iPort);
    o.strServer = argv[i];
    o.strRoot = argv[i + 1];
    return true;
}
}  // namespace

int main(int argc, char** argv)
{
    TOptions o;
    if (!ParseArguments(argc, argv, o))
    {
        fprintf(stderr,
                "usage: %s [--port N] [--seconds S] [--ramp MS] [--firmware N] [--slow N]\n"
                "       [--silent N] [--long-timeout N] [--big NAME] [--small NAME]"
                " [--tiny NAME]\n       [--sources FIRST-LAST] [--watch PID] SERVER ROOT\n",
                argv[0]);
        return 2;
    }
    CStorm storm(o);
    if (!storm.Setup())
        return 2;
    storm.Run();
    return 0;
}
