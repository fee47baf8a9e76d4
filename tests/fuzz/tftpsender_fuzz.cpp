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

#include <algorithm>

namespace
{
char FileByte(long i) { return static_cast<char>(i * 31 + i / 7); }

struct TFuzzClient : TTftpPeer
{
    const uint8_t* p;
    size_t n;
    long nBlock, nFile;
    long iFinal = -1;  // the final block, once sent
    bool bFinalAcked = false;
    int64_t iNowMs = 0;

    TFuzzClient(const uint8_t* pInput, size_t nInput, long nBlockSize, long nFileSize)
        : p(pInput), n(nInput), nBlock(nBlockSize), nFile(nFileSize)
    {
    }
    void Send(const TDatagram* pDatagrams, int nCount) override
    {
        for (const TDatagram* d = pDatagrams; d < pDatagrams + nCount; ++d)
        {
            FUZZ_CHECK(d->nHead == 4 && d->pHead[1] == TftpData, "not a DATA header");
            long iBlock =
                     static_cast<uint8_t>(d->pHead[2]) << 8 | static_cast<uint8_t>(d->pHead[3]),
                 iOffset = (iBlock - 1) * nBlock;
            FUZZ_CHECK(iBlock >= 1 && iOffset <= nFile, "block outside the file");
            FUZZ_CHECK(d->nBody == std::min(nFile - iOffset, nBlock), "block of the wrong length");
            for (long k = 0; k < d->nBody; ++k)
                FUZZ_CHECK(d->pBody[k] == FileByte(iOffset + k), "block with the wrong bytes");
            if (d->nBody < nBlock)
                iFinal = iBlock, bFinalAcked = false;
        }
    }
    // Kinds 0 and 1: an ACK, 5: one too short to hold a number; the others as in results.
    int Receive(char* buffer, int* pnLength, int iWaitMs) override
    {
        FUZZ_CHECK(iWaitMs > 0, "a wait without time");
        iNowMs += 1 + n % 500;  // some time passes with every datagram
        if (n < 3)
            return iNowMs += iWaitMs, RecvTimeout;
        const int iKind = p[0] % 8, iBlock = p[1] << 8 | p[2];
        const int results[] = {RecvAck,  RecvAck, RecvTimeout, RecvErrorPacket,
                               RecvOack, RecvAck, RecvData,    RecvError};
        p += 3, n -= 3;
        const char ack[] = {0, TftpAck, static_cast<char>(iBlock >> 8), static_cast<char>(iBlock)};
        std::copy(ack, ack + 4, buffer);
        *pnLength = iKind == 5 ? 2 : 4;
        // Without negotiation an OACK is taken as the final block's ACK.
        if (iFinal >= 0 && ((iKind <= 1 && iBlock == iFinal) || iKind == 4))
            bFinalAcked = true;
        return results[iKind];
    }
    int64_t NowMs() override { return iNowMs; }
    long Read(int64_t iOffset, char* buffer, long nLength) override
    {
        long i = 0;
        for (; i < nLength && iOffset + i < nFile; ++i)
            buffer[i] = FileByte(static_cast<long>(iOffset) + i);
        return i;
    }
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    QuietLog();
    if (nSize < 5)
        return 0;
    const bool bStrict = pData[4] & 1;
    const TTftpParams params = {8 + pData[0] % 64, bStrict ? 1 + pData[1] % 8 : 1, kTftpWaitSeconds,
                                bStrict, ((pData[2] << 8) | pData[3]) % 4096};
    TFuzzClient client(pData + 5, nSize - 5, params.nBlockSize, long(params.iFileSize));
    const int iResult = TTftpSender(client, params).SendFile();
    FUZZ_CHECK(iResult == TransferComplete || iResult == TransferAborted, "unknown result");
    FUZZ_CHECK(iResult != TransferComplete || client.bFinalAcked,
               "complete without the final block acknowledged");
    return 0;
}
