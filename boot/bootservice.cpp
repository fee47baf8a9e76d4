#include "boot/bootservice.h"

#include "boot/dhcp.h"
#include "boot/pxeparser.h"
#include "config/settings.h"
#include "core/logfile.h"
#include "core/readiness.h"
#include "core/records.h"
#include "core/stopevent.h"
#include "platform/fatalexit.h"
#include "platform/interfaces.h"
#include "platform/ports.h"
#include "platform/sockopts.h"

#include <ace/Log_Msg.h>
#include <ace/Time_Value.h>

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace
{
std::atomic<int> g_nWorkers{0};

using TNetworkList = std::shared_ptr<const std::vector<TLocalNetwork>>;

// This machine's networks, which the relay check of every request needs: read
// by the listener alone, when a datagram arrives and the list it has is older
// than kMaxAge, so that a storm of requests costs no look-up per datagram and
// an address added later is seen soon. Each worker keeps the list it got.
class TLocalNetworks
{
public:
    TNetworkList Current()
    {
        const auto tpNow = std::chrono::steady_clock::now();
        if (!pList || tpNow - tpRead >= kMaxAge)
        {
            auto pFresh = std::make_shared<std::vector<TLocalNetwork>>();
            GetLocalNetworks(*pFresh);  // none known when the list cannot be had
            pList = std::move(pFresh);
            tpRead = tpNow;
        }
        return pList;
    }

private:
    static constexpr std::chrono::seconds kMaxAge{30};
    TNetworkList pList;
    std::chrono::steady_clock::time_point tpRead;
};

// Opens one listening socket on the wildcard address and nPort, tied to
// strDevice when one is given. Ends the process when the socket cannot be
// created or bound.
int OpenListener(uint16_t nPort, const std::string& strDevice, bool bDhcp)
{
    int sc = socket(AF_INET, SOCK_DGRAM, 0);
    if (sc < 0)
    {
        if (bDhcp)
            ACE_DEBUG((LM_ERROR, LOG_PREFIX "error: create socket scDhcp failure at %D\n"));
        else
            ACE_DEBUG((LM_ERROR, LOG_PREFIX "error: create socket scBinl failure at %D\n"));
        FatalExit();
    }
    // The arrival interface of each datagram: a broadcast reply leaves through it.
    EnableArrivalInfo(sc);
    // Only the configured interface is served; a socket bound to its unicast
    // address would never see the clients' broadcasts.
    if (!strDevice.empty())
        BindToDevice(sc, strDevice);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(nPort);
    sa.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(sc, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0)
    {
        const int iError = errno;
        close(sc);
        if (bDhcp)
            ACE_DEBUG((LM_ERROR, LOG_PREFIX "error: bind socket scDhcp failure at %D\n"));
        else
            ACE_DEBUG((LM_ERROR, LOG_PREFIX "error: bind socket scBinl failure at %D\n"));
        LOG_REASON(BindFailureReason(nPort, iError));
        FatalExit();
    }
    return sc;
}

// What a receive tells besides the bytes: the sender, the arrival interface
// and the local address of that interface the datagram arrived at (for a
// broadcast, the interface's own address).
struct TArrival
{
    sockaddr_in saFrom{};
    TArrivalInfo where;
};

// Receives one datagram of at most nLimit bytes. A longer datagram counts as
// a failed receive with EMSGSIZE. Returns the length, or -1 with *pError set.
ssize_t ReceiveDatagram(int sc, unsigned char* pBuffer, size_t nLimit, TArrival& arrival,
                        int* pError)
{
    sockaddr_in& saFrom = arrival.saFrom;
    iovec iov{pBuffer, nLimit};
    alignas(cmsghdr) unsigned char aControl[kInterfaceControlSize];
    msghdr msg{};
    msg.msg_name = &saFrom;
    msg.msg_namelen = sizeof(saFrom);
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = aControl;
    msg.msg_controllen = sizeof(aControl);
    ssize_t n = recvmsg(sc, &msg, 0);
    if (n < 0)
    {
        *pError = errno;
        return -1;
    }
    if (msg.msg_flags & MSG_TRUNC)
    {
        *pError = EMSGSIZE;
        return -1;
    }
    arrival.where = ReadArrivalInfo(msg);
    return n;
}

// A datagram that no worker takes, in the records.
void RecordDrop(const sockaddr_in& saFrom, const char* szReason)
{
    TBootRecord record;
    record.strEvent = "dropped";
    record.nAddress = saFrom.sin_addr.s_addr;
    record.strReason = szReason;
    Record(record);
}

// Hands one received datagram to a detached worker of its own. At most
// nMaxWorkers run at once; beyond that the datagram is dropped.
// Hands one received datagram to a detached worker of its own. At most
// nMaxWorkers run at once; beyond that the datagram is dropped.
void StartWorker(int scListener, uint16_t nPort, const unsigned char* pData, size_t nLength,
                 const TArrival& arrival, int nMaxWorkers, const TNetworkList& pNetworks)
{
    if (g_nWorkers.load() >= nMaxWorkers)
    {
        ACE_DEBUG((LM_DEBUG,
                   LOG_PREFIX
                   "Debug: too many PXE request workers, datagram on port %d dropped at %D\n",
                   (int)nPort));
        RecordDrop(arrival.saFrom, "too many request workers");
        return;
    }
    std::unique_ptr<PxeDatagram> pDatagram(new (std::nothrow) PxeDatagram());  // zero-filled
    if (!pDatagram)
        return;
    pDatagram->pLocalNetworks = pNetworks;
    pDatagram->saFrom = arrival.saFrom;
    memcpy(pDatagram->payload, pData, nLength);
    pDatagram->length = (uint32_t)nLength;
    pDatagram->port = nPort;
    pDatagram->iIfIndex = arrival.where.iIfIndex;
    pDatagram->nLocalAddr = arrival.where.nLocalAddr;
    // The reply leaves from the receiving socket itself; the worker owns this
    // descriptor, so the listener may close its own at any time.
    pDatagram->scReply = fcntl(scListener, F_DUPFD_CLOEXEC, 0);
    ++g_nWorkers;
    ACE_thread_t tid;
    if (ACE_OS::thr_create(PxeParserThread, pDatagram.get(), THR_NEW_LWP | THR_DETACHED, &tid) != 0)
    {
        --g_nWorkers;
        if (pDatagram->scReply >= 0)
            close(pDatagram->scReply);
        return;
    }
    pDatagram.release();
}

void CloseSocket(int& sc)
{
    if (sc >= 0)
        close(sc);
    sc = -1;
}
}  // namespace

int PxeWorkersRunning() { return g_nWorkers.load(); }

void PxeParser(PxeDatagram dg)
{
    std::unique_ptr<unsigned char[]> pPayload(new unsigned char[dg.length ? dg.length : 1]);
    memcpy(pPayload.get(), dg.payload, dg.length);
    try
    {
        PxeRequest request;
        request.port = dg.port;
        request.payload = pPayload.get();
        request.length = dg.length;
        request.saFrom = dg.saFrom;
        request.scReply = dg.scReply;
        request.iIfIndex = dg.iIfIndex;
        request.nLocalAddr = dg.nLocalAddr;
        request.pLocalNetworks = dg.pLocalNetworks.get();
        int iResult = HandlePxeRequest(&request);
        fprintf(stdout, "aaaaaaaaaaaaa%d\n", iResult);
        fflush(stdout);
    }
    catch (...)
    {
        ACE_DEBUG((LM_ERROR, LOG_PREFIX "Catch unknow exception in PxeParser() at %D\n"));
    }
}

ACE_THR_FUNC_RETURN PxeParserThread(void* pArg)
{
    std::unique_ptr<PxeDatagram> pDatagram(static_cast<PxeDatagram*>(pArg));
    try
    {
        PxeParser(*pDatagram);
    }
    catch (...)
    {
    }
    if (pDatagram->scReply >= 0)
        close(pDatagram->scReply);
    pDatagram.reset();
    --g_nWorkers;
    return 0;
}

ACE_THR_FUNC_RETURN bootservice_proc(void* pArg)
{
    const int nMaxWorkers = pArg == nullptr ? kMaxPxeWorkers : *static_cast<const int*>(pArg);
    int scDhcp = -1;
    int scBinl = -1;
    try
    {
        ACE_DEBUG((LM_INFO, LOG_PREFIX "Start Tarn PXE boot service at %D\n"));

        // Both sockets listen on the wildcard address; a configured interface
        // ties them to the device that carries its address. When no interface
        // carries it, they serve every interface.
        std::string strDevice;
        if (!bAnyNic && !gSettings.strIpAddress.empty())
            strDevice = InterfaceOfAddress(gSettings.strIpAddress);

        if (!gSettings.bRunWithDhcp)
            scDhcp = OpenListener(kDhcpServerPort, strDevice, true);
        scBinl = OpenListener(kBinlPort, strDevice, false);
        ServiceThreadBound();

        unsigned char aBuffer[kBinlReceiveLimit];
        TLocalNetworks networks;
        for (;;)
        {
            ACE_Time_Value tvZero(0);
            if (evStop.wait(&tvZero, 0) != -1)
                break;

            // The stop event's descriptor wakes the wait at once.
            pollfd aPoll[3] = {{evStop.Descriptor(), POLLIN, 0}};
            nfds_t nPoll = 1;
            int iDhcpSlot = -1;
            if (scDhcp >= 0)
            {
                iDhcpSlot = (int)nPoll;
                aPoll[nPoll++] = pollfd{scDhcp, POLLIN, 0};
            }
            int iBinlSlot = (int)nPoll;
            aPoll[nPoll++] = pollfd{scBinl, POLLIN, 0};

            int iReady = poll(aPoll, nPoll, 1000);
            if (iReady < 0)
            {
                if (errno == EINTR)
                    continue;
                ACE_DEBUG((LM_ERROR, LOG_PREFIX "error: select code=%d at %D\n", errno));
                FatalExit();
            }
            if (iReady == 0 || aPoll[0].revents != 0)
                continue;

            TArrival arrival;
            int iError = 0;
            if (iDhcpSlot >= 0 && (aPoll[iDhcpSlot].revents & (POLLIN | POLLERR)))
            {
                --iReady;
                ssize_t n = ReceiveDatagram(scDhcp, aBuffer, kDhcpReceiveLimit, arrival, &iError);
                if (n < 0)
                {
                    ACE_DEBUG(
                        (LM_DEBUG, LOG_PREFIX "error: recvfrom scDhcp code=%d at %D\n", iError));
                    if (iError == EMSGSIZE)
                        RecordDrop(arrival.saFrom, "too long");
                    continue;
                }
                StartWorker(scDhcp, kDhcpServerPort, aBuffer, (size_t)n, arrival, nMaxWorkers,
                            networks.Current());
            }
            if (iReady > 0 && (aPoll[iBinlSlot].revents & (POLLIN | POLLERR)))
            {
                ssize_t n = ReceiveDatagram(scBinl, aBuffer, kBinlReceiveLimit, arrival, &iError);
                if (n < 0)
                {
                    ACE_DEBUG(
                        (LM_DEBUG, LOG_PREFIX "error: recvfrom scBinl code=%d at %D\n", iError));
                    if (iError == EMSGSIZE)
                        RecordDrop(arrival.saFrom, "too long");
                    continue;
                }
                StartWorker(scBinl, kBinlPort, aBuffer, (size_t)n, arrival, nMaxWorkers,
                            networks.Current());
            }
        }
    }
    catch (...)
    {
        ACE_DEBUG((LM_ERROR, LOG_PREFIX "Catch unknow exception in bootservice_proc() at %D\n"));
    }
    CloseSocket(scDhcp);
    CloseSocket(scBinl);
    return 0;
}
