// libFuzzer target: the transfer engine driven by the input. Input: a flags
// byte (bit 0 an OACK, bit 1 the plain "tsize" answer sent once, bit 2
// negotiation, bit 3 the file shrinks, bit 4 its reads fail there instead,
// bits 5-6 the wait), two bytes of block size (small ones, 8 to 31, when
// the first is odd), the window, three bytes of file size (up to 70000
// blocks, so that block numbers roll over), the byte that says where the
// file shrinks, then events, one byte each with what follows it:
//   0x00-0x3f  ACK of the last block sent minus n
//   0x40-0x7f  ACK of the first block of the last window plus n
//   0x80-0x9f  n * 100 ms pass, then the time is given
//   0xa0-0xbf  a datagram of n bytes taken from the input
//   0xc0-0xdf  32 * (n + 1) ACKs of the last block sent, one after the other
//   0xe0-0xff  an ERROR (0xe0) or the two-byte opcode n & 7
// When the input runs out the time is given at each deadline until the
// transfer ends, which it must within a few. Every DATA must carry the
// file's bytes at its place (its number followed across the rollover), none
// goes past the final block or outside what a window may hold; nothing but
// an ACK that names a block of the window sent makes the engine send, and
// the next window starts after it; the deadline is the time a window went
// plus the wait and nothing else moves it; the transfer completes only on
// the final block's ACK.
#include "fuzzcheck.h"
#include "tftp/engine.h"

#include <ace/Log_Msg.h>

#include <cstring>

namespace
{
// The file's byte at iOffset.
char FileByte(int64_t iOffset)
{
    return static_cast<char>((iOffset * 131) ^ (iOffset >> 9));
}

struct TFile : TTftpSource
{
    int64_t iSize = 0, iNow = 0;  // at open, and when read
    int64_t nMaxRead = 0;
    bool bFail = false;
    long Read(int64_t iOffset, char* buffer, long nLength) override
    {
        FUZZ_CHECK(iOffset >= 0 && nLength > 0 && nLength <= nMaxRead && iOffset + nLength <= iSize,
                   "read outside the file's size at open or longer than a window");
        if (bFail && iOffset + nLength > iNow)
            return -1;
        const long n = static_cast<long>(std::clamp<int64_t>(iNow - iOffset, 0, nLength));
        for (long i = 0; i < n; ++i)
            buffer[i] = FileByte(iOffset + i);
        return n;
    }
};

struct TInput
{
    const uint8_t* p;
    size_t n;
    uint8_t Byte() { return n > 0 ? (--n, *p++) : 0; }
};

struct TDriver
{
    TFile file;
    TTftpParams params;
    TTftpEngine* pEngine = nullptr;
    std::string strOack;
    int64_t iNowMs = 0, iDeadline = 0, iAcked = 0, nDataBytes = 0;
    uint64_t iFinal = 0, iFirst = 0, iLast = 0;  // the last window sent, absolute
    int nOacks = 0;
    bool bFinalSent = false;

    // What the last call gave; iExpectFirst the block its window must start at, 0 for any.
    void Take(uint64_t iExpectFirst)
    {
        const TTftpEngine& e = *pEngine;
        const auto& v = e.Output();
        FUZZ_CHECK(v.size() <= size_t(params.bStrictAcks ? params.nWindowSize : 1),
                   "more datagrams than a window");
        int64_t nBodies = 0;
        for (size_t i = 0; i < v.size(); ++i)
        {
            const TTftpDatagram& d = v[i];
            FUZZ_CHECK(d.nHead >= 2 && d.nBody >= 0 && d.nBody <= params.nBlockSize,
                       "datagram size");
            nBodies += d.nBody;
            if (d.pHead[1] == TftpOack)
            {
                FUZZ_CHECK(v.size() == 1 && d.nBody == 0 &&
                               std::string(d.pHead, size_t(d.nHead)) == strOack,
                           "an OACK that was not given");
                FUZZ_CHECK(++nOacks == 1 || !params.bOackOnce, "the OACK sent twice");
                continue;
            }
            if (d.pHead[1] == TftpError)
            {
                static const char kError[] = "\0\5\0\0file changed";
                FUZZ_CHECK(v.size() == 1 && e.End() == EndFileChanged &&
                               d.nHead == int(sizeof kError) &&
                               memcmp(d.pHead, kError, sizeof kError) == 0,
                           "an ERROR other than the file changed");
                continue;
            }
            FUZZ_CHECK(d.pHead[0] == 0 && d.pHead[1] == TftpData && d.nHead == 4, "not DATA");
            const uint16_t n = uint16_t(uint8_t(d.pHead[2]) << 8 | uint8_t(d.pHead[3]));
            // The first of a window follows the last window, the others their predecessor.
            const uint64_t iRef = i == 0 ? iLast : iLast + 1;
            const uint64_t iBlock =
                i == 0 ? iRef + uint64_t(int64_t(int16_t(n - uint16_t(iRef)))) : iRef;
            FUZZ_CHECK(uint16_t(iBlock) == n, "blocks of a window not in a row");
            FUZZ_CHECK(iBlock >= 1 && iBlock <= iFinal, "a block outside the file");
            if (i == 0)
            {
                FUZZ_CHECK(iExpectFirst == 0 || iBlock == iExpectFirst,
                           "the window does not start after the block acknowledged");
                iFirst = iBlock;
            }
            iLast = iBlock;
            const int64_t nAt = int64_t(iBlock - 1) * params.nBlockSize;
            FUZZ_CHECK(d.nBody == std::min<int64_t>(params.nBlockSize, params.iFileSize - nAt),
                       "a block of the wrong length");
            for (int j = 0; j < d.nBody; ++j)
                FUZZ_CHECK(d.pBody[j] == FileByte(nAt + j), "a block with the wrong bytes");
            bFinalSent |= iBlock == iFinal;
            nDataBytes += d.nBody;
        }
        FUZZ_CHECK(nBodies <= int64_t(params.nWindowSize) * params.nBlockSize,
                   "more than a window of data at once");
        if (e.Ended())
            FUZZ_CHECK(e.Deadline() == INT64_MAX, "a deadline after the end");
        else if (!v.empty())
            FUZZ_CHECK(e.Deadline() == iNowMs + params.iWaitSeconds * 1000,
                       "the deadline is not the wait after the window");
        else
            FUZZ_CHECK(e.Deadline() == iDeadline, "the deadline moved without a window");
        iDeadline = e.Deadline();
        FUZZ_CHECK(e.BytesAcked() >= iAcked && e.BytesAcked() <= params.iFileSize,
                   "bytes acknowledged");
        iAcked = e.BytesAcked();
    }

    // Feeds a datagram; only an ACK that names a block of the window sent (or
    // the OACK's ACK) may make the engine send.
    void Feed(const char* p, int n)
    {
        iNowMs += 1;
        const bool bOackWait = nOacks > 0 && iLast == 0;
        const bool bAck = n >= 4 && p[0] == 0 && p[1] == TftpAck;
        const uint16_t iBlock = bAck ? uint16_t(uint8_t(p[2]) << 8 | uint8_t(p[3])) : 0;
        const bool bInWindow = bAck && !bOackWait && iLast > 0 &&
                               uint16_t(iBlock - uint16_t(iFirst)) <= iLast - iFirst;
        const uint64_t iNext = bInWindow ? iFirst + uint16_t(iBlock - uint16_t(iFirst)) + 1 : 0;
        pEngine->OnDatagram(p, n, iNowMs);
        const bool bSent = !pEngine->Output().empty();
        FUZZ_CHECK(!bSent || bInWindow || (bOackWait && bAck && (iBlock == 0 || params.bOackOnce)),
                   "sent for a datagram that moves nothing on");
        if (pEngine->End() == EndComplete)
            FUZZ_CHECK(bFinalSent && bInWindow && iNext == iFinal + 1,
                       "complete without the final block's ACK");
        Take(bOackWait ? 1 : iNext);
    }
    void Ack(uint64_t iBlock)
    {
        const char a[4] = {0, TftpAck, char(iBlock >> 8), char(iBlock)};
        Feed(a, 4);
    }
    void Time(int64_t iMs)
    {
        iNowMs += iMs;
        const bool bEarly = iNowMs < pEngine->Deadline(), bEnded = pEngine->Ended();
        pEngine->OnTime(iNowMs);
        FUZZ_CHECK(!bEarly || (pEngine->Output().empty() && !pEngine->Ended()),
                   "something happened before the deadline");
        FUZZ_CHECK(bEnded || pEngine->End() != EndComplete, "complete on a time-out");
        Take(0);
    }
};
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // No log line is formatted or written: the fuzzer runs at full speed.
    ACE_Log_Msg::instance()->priority_mask(0, ACE_Log_Msg::PROCESS);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    TInput in{pData, nSize};
    TDriver t;
    const uint8_t iFlags = in.Byte(), b1 = in.Byte(), b2 = in.Byte();
    TTftpParams& params = t.params;
    params.nBlockSize = (b1 & 1) ? 8 + b2 % 24 : 8 + ((b1 >> 1) << 8 | b2) % 1461;
    params.nWindowSize = 1 + in.Byte() % 64;
    params.bStrictAcks = iFlags & 4;
    params.bOackOnce = iFlags & 2;
    params.iWaitSeconds = 1 + (iFlags >> 5) % 4;
    const int64_t iSize24 = in.Byte() << 16 | in.Byte() << 8 | in.Byte();
    params.iFileSize = iSize24 % (int64_t(70000) * params.nBlockSize + 1);
    const uint8_t iShrink = in.Byte();
    t.file.iSize = params.iFileSize;
    t.file.iNow = (iFlags & 8) ? params.iFileSize * iShrink / 256 : params.iFileSize;
    t.file.bFail = iFlags & 16;
    t.file.nMaxRead = int64_t(params.bStrictAcks ? params.nWindowSize : 1) * params.nBlockSize;
    t.iFinal = uint64_t(params.iFileSize / params.nBlockSize) + 1;
    if (iFlags & 1)
        t.strOack = std::string("\0\6tsize\0", 8) + std::to_string(params.iFileSize) + '\0';

    TTftpEngine engine(t.file, params);
    t.pEngine = &engine;
    engine.Start(t.iNowMs, t.strOack.data(), int(t.strOack.size()));
    t.Take(t.strOack.empty() ? 1 : 0);

    // Bounded work per input: calls and DATA bytes checked.
    int nCalls = 0;
    auto Budget = [&] { return !engine.Ended() && nCalls < 200000 && t.nDataBytes < 4 << 20; };
    while (in.n > 0 && Budget())
    {
        const uint8_t e = in.Byte(), n = e & 0x1f;
        ++nCalls;
        if (e < 0x40)
            t.Ack(t.iLast - (e & 0x3f));
        else if (e < 0x80)
            t.Ack(t.iFirst + (e & 0x3f));
        else if (e < 0xa0)
            t.Time(n * 100);
        else if (e < 0xc0)
        {
            const size_t nLength = std::min<size_t>(n, in.n);
            const std::string str(reinterpret_cast<const char*>(in.p), nLength);
            in.p += nLength, in.n -= nLength;
            t.Feed(str.data(), int(nLength));
        }
        else if (e < 0xe0)
            for (int i = 0; i < 32 * (n + 1) && Budget(); ++i, ++nCalls)
                t.Ack(t.iLast);
        else
        {
            const char a[4] = {0, char(e == 0xe0 ? TftpError : e & 7), 0, 0};
            t.Feed(a, e == 0xe0 ? 4 : 2);
        }
    }
    for (int i = 0; i < 8 && !engine.Ended(); ++i)
        t.Time(std::max<int64_t>(0, engine.Deadline() - t.iNowMs));
    FUZZ_CHECK(engine.Ended(), "the transfer does not end once the client is silent");
    FUZZ_CHECK(engine.End() != EndComplete || engine.BytesAcked() == params.iFileSize,
               "complete without every byte acknowledged");
    return 0;
}
