// libFuzzer target: the transfer engine against a client whose replies come
// from the input. Every DATA sent carries the file's bytes at its block's
// place and the block size (short only for the final block); the transfer
// ends, and it completes only after the final block went out and was
// acknowledged. Any difference aborts (a finding).
//
// Input: block size, window, file size (2 bytes), mode, then replies of 3
// bytes each: kind and block number. Past the input every wait times out.
#define FUZZ_QUIET_LOG
#include "fuzzcheck.h"
#include "tftp/sender.h"

#include <cstring>

namespace
{
char FileByte(long i) { return static_cast<char>(i * 31 + i / 7); }

class TFuzzClient : public TTftpPeer
{
public:
    TFuzzClient(const uint8_t* p, size_t n, int nBlock, long nFile)
        : m_p(p), m_n(n), m_nBlock(nBlock), m_nFile(nFile)
    {
    }

    void Send(const TDatagram* pDatagrams, int nCount) override
    {
        for (int i = 0; i < nCount; ++i)
        {
            const TDatagram& d = pDatagrams[i];
            FUZZ_CHECK(d.nHead == 4 && d.pHead[1] == TftpData, "not a DATA header");
            long iBlock =
                (static_cast<uint8_t>(d.pHead[2]) << 8) | static_cast<uint8_t>(d.pHead[3]);
            long iOffset = (iBlock - 1) * m_nBlock;
            FUZZ_CHECK(iBlock >= 1 && iOffset <= m_nFile, "block outside the file");
            long nExpected = std::min<long>(m_nFile - iOffset, m_nBlock);
            FUZZ_CHECK(d.nBody == nExpected, "block of the wrong length");
            for (long k = 0; k < d.nBody; ++k)
                FUZZ_CHECK(d.pBody[k] == FileByte(iOffset + k), "block with the wrong bytes");
            if (nExpected < m_nBlock)
                bFinalSent = true, bFinalAcked = false, m_iFinal = iBlock;
        }
    }
    int Receive(char* buffer, int* pnLength, int iWaitMs) override
    {
        FUZZ_CHECK(iWaitMs > 0, "a wait without time");
        m_iNowMs += 1 + m_n % 500;  // some time passes with every datagram
        if (m_n < 3)
            return m_iNowMs += iWaitMs, RecvTimeout;
        uint8_t nKind = m_p[0] % 8;
        int iBlock = (m_p[1] << 8) | m_p[2];
        m_p += 3, m_n -= 3;
        buffer[0] = 0, buffer[1] = TftpAck, buffer[2] = static_cast<char>(iBlock >> 8),
        buffer[3] = static_cast<char>(iBlock);
        *pnLength = nKind == 5 ? 2 : 4;  // 5: an ACK too short to hold a number
        if (nKind <= 1 || nKind == 5)
        {
            if (nKind != 5 && bFinalSent && iBlock == m_iFinal)
                bFinalAcked = true;
            return RecvAck;
        }
        const int results[] = {RecvTimeout, RecvErrorPacket, RecvOack,
                               RecvDiscard, RecvData,        RecvError};
        if (results[nKind - 2] == RecvOack && bFinalSent)
            bFinalAcked = true;  // taken as the end without negotiation
        return results[nKind - 2];
    }
    int64_t NowMs() override { return m_iNowMs; }
    long Read(int64_t iOffset, char* buffer, long nLength) override
    {
        long n = 0;
        for (; n < nLength && iOffset + n < m_nFile; ++n)
            buffer[n] = FileByte(static_cast<long>(iOffset) + n);
        return n;
    }

    bool bFinalSent = false, bFinalAcked = false;

private:
    const uint8_t* m_p;
    size_t m_n;
    int m_nBlock;
    long m_nFile;
    long m_iFinal = -1;
    int64_t m_iNowMs = 0;
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    static bool bQuiet = (QuietLog(), true);
    (void)bQuiet;
    if (nSize < 5)
        return 0;
    TTftpParams params;
    params.nBlockSize = 8 + pData[0] % 64;
    params.nWindowSize = 1 + pData[1] % 8;
    params.bStrictAcks = pData[4] & 1;
    if (!params.bStrictAcks)
        params.nWindowSize = 1;
    const long nFile = ((pData[2] << 8) | pData[3]) % 4096;
    TFuzzClient client(pData + 5, nSize - 5, params.nBlockSize, nFile);
    params.iFileSize = nFile;
    TTftpSender sender(client, params);
    int iResult = sender.SendFile();
    FUZZ_CHECK(iResult == TransferComplete || iResult == TransferAborted, "unknown result");
    FUZZ_CHECK(iResult != TransferComplete || (client.bFinalSent && client.bFinalAcked),
               "complete without the final block acknowledged");
    return 0;
}
