#include "core/records.h"

#include "platform/journal.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

namespace
{
// The length of the well-formed UTF-8 sequence at p (n bytes left), 0 when
// none starts there: no overlong forms, no surrogates, nothing above U+10FFFF.
size_t Utf8Length(const unsigned char* p, size_t n)
{
    auto Cont = [&](size_t i, unsigned char lo = 0x80, unsigned char hi = 0xbf) {
        return i < n && p[i] >= lo && p[i] <= hi;
    };
    const unsigned char c = p[0];
    if (c >= 0xc2 && c <= 0xdf)
        return Cont(1) ? 2 : 0;
    if (c >= 0xe0 && c <= 0xef)
    {
        const unsigned char lo = c == 0xe0 ? 0xa0 : 0x80, hi = c == 0xed ? 0x9f : 0xbf;
        return Cont(1, lo, hi) && Cont(2) ? 3 : 0;
    }
    if (c >= 0xf0 && c <= 0xf4)
    {
        const unsigned char lo = c == 0xf0 ? 0x90 : 0x80, hi = c == 0xf4 ? 0x8f : 0xbf;
        return Cont(1, lo, hi) && Cont(2) && Cont(3) ? 4 : 0;
    }
    return 0;
}

std::string Dotted(uint32_t nAddress)
{
    char sz[INET_ADDRSTRLEN] = "";
    in_addr addr{nAddress};
    inet_ntop(AF_INET, &addr, sz, sizeof(sz));
    return sz;
}

// The fields of a record in their order: name, text, whether the text is a
// JSON string (else a number).
struct TField
{
    const char* szName;
    std::string strValue;
    bool bString;
};

std::vector<TField> Fields(const TBootRecord& r, int64_t iEpochMs)
{
    std::vector<TField> v{{"time", IsoTimeUtc(iEpochMs), true}, {"event", r.strEvent, true}};
    auto Text = [&](const char* szName, const std::string& s) {
        if (!s.empty())
            v.push_back({szName, JsonEscape(s), true});
    };
    auto Number = [&](const char* szName, int64_t i) {
        if (i >= 0)
            v.push_back({szName, std::to_string(i), false});
    };
    Text("mac", r.strMac);
    if (r.nAddress != 0)
        v.push_back({"address", Dotted(r.nAddress), true});
    Number("arch", r.iArch);
    Text("file", r.strFile);
    Text("task", r.strTask);
    Text("reason", r.strReason);
    Number("bytes", r.iBytes);
    Number("ms", r.iMs);
    Number("blksize", r.iBlockSize);
    Number("window", r.iWindow);
    Text("result", r.strResult);
    if (r.nSuppressed > 0)
        Number("suppressed", r.nSuppressed);
    return v;
}

// What any sender can cause cheaply: a refusal, a drop, a transfer that failed.
bool IsLimited(const TBootRecord& r)
{
    if (r.strEvent == "tftp" || r.strEvent == "http")
        return r.strResult != "complete";
    return r.strEvent == "refused" || r.strEvent == "dropped";
}

int OpenAppend(const std::string& strPath)
{
    return open(strPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
}

int64_t NowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}
}  // namespace

std::string JsonEscape(const std::string& strText)
{
    std::string strOut;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(strText.data());
    const size_t n = strText.size();
    for (size_t i = 0; i < n;)
    {
        const unsigned char c = p[i];
        if (c >= 0x20 && c < 0x7f && c != '"' && c != '\\')
        {
            strOut += static_cast<char>(c);
            ++i;
            continue;
        }
        const size_t nSequence = c >= 0x80 ? Utf8Length(p + i, n - i) : 0;
        if (nSequence > 0)
        {
            strOut.append(strText, i, nSequence);
            i += nSequence;
            continue;
        }
        char sz[8];
        snprintf(sz, sizeof(sz), "\\u%04x", c);
        strOut += sz;
        ++i;
    }
    return strOut;
}

std::string IsoTimeUtc(int64_t iEpochMs)
{
    const time_t t = static_cast<time_t>(iEpochMs / 1000);
    tm tmUtc{};
    gmtime_r(&t, &tmUtc);
    char sz[40];
    const size_t nDate = strftime(sz, sizeof(sz), "%Y-%m-%dT%H:%M:%S", &tmUtc);
    snprintf(sz + nDate, sizeof(sz) - nDate, ".%03dZ", static_cast<int>(iEpochMs % 1000));
    return sz;
}

std::string FormatRecord(const TBootRecord& record, int64_t iEpochMs)
{
    std::string strLine = "{";
    for (const TField& f : Fields(record, iEpochMs))
    {
        if (strLine.size() > 1)
            strLine += ',';
        strLine += std::string("\"") + f.szName + "\":";
        strLine += f.bString ? "\"" + f.strValue + "\"" : f.strValue;
    }
    return strLine + "}\n";
}

std::vector<std::string> JournalFields(const TBootRecord& record, int64_t iEpochMs)
{
    std::string strLine = FormatRecord(record, iEpochMs);
    strLine.pop_back();
    std::vector<std::string> v{"MESSAGE=" + strLine};
    for (const TField& f : Fields(record, iEpochMs))
    {
        if (std::string(f.szName) == "time")
            continue;
        std::string strName = "PXE_";
        for (const char* p = f.szName; *p; ++p)
            strName += static_cast<char>(*p - 'a' + 'A');
        v.push_back(strName + "=" + f.strValue);
    }
    return v;
}

TBootRecord TransferEvent(const TTransferRecord& transfer)
{
    TBootRecord r;
    r.strEvent = transfer.bHttp ? "http" : "tftp";
    r.nAddress = transfer.nAddress;
    r.strFile = transfer.strFile;
    r.iBytes = transfer.iBytes;
    r.iMs = transfer.iMs;
    r.iBlockSize = transfer.iBlockSize;
    r.iWindow = transfer.iWindow;
    r.strResult = transfer.strResult;
    return r;
}

TRecordWriter::~TRecordWriter() { Close(); }

int TRecordWriter::Open(const std::string& strFile, bool bToJournal)
{
    std::lock_guard<std::mutex> lock(mtx);
    if (fd >= 0)
        close(fd);
    fd = -1;
    strPath = strFile;
    bJournal = bToJournal;
    if (strPath.empty())
        return 0;
    fd = OpenAppend(strPath);
    return fd >= 0 ? 0 : -1;
}

int TRecordWriter::Reopen()
{
    std::lock_guard<std::mutex> lock(mtx);
    if (strPath.empty())
        return 0;
    const int fdNew = OpenAppend(strPath);
    if (fdNew < 0)
        return -1;
    if (fd >= 0)
        close(fd);
    fd = fdNew;
    return 0;
}

void TRecordWriter::Close()
{
    std::lock_guard<std::mutex> lock(mtx);
    if (fd >= 0)
        close(fd);
    fd = -1;
    strPath.clear();
    bJournal = false;
}

void TRecordWriter::Write(TBootRecord record, int64_t iEpochMs)
{
    std::lock_guard<std::mutex> lock(mtx);
    if (fd < 0 && !bJournal)
        return;
    if (IsLimited(record))
    {
        const int64_t iSecond = iEpochMs / 1000;
        if (iSecond != iLimitSecond)
        {
            iLimitSecond = iSecond;
            nLimited = 0;
        }
        if (nLimited >= kMaxLimitedPerSecond)
        {
            ++nSuppressed;
            return;
        }
        ++nLimited;
        record.nSuppressed = nSuppressed;
        nSuppressed = 0;
    }
    if (fd >= 0)
    {
        // One write: the line lands whole after whatever another process appended.
        const std::string strLine = FormatRecord(record, iEpochMs);
        while (write(fd, strLine.data(), strLine.size()) < 0 && errno == EINTR)
        {
        }
    }
    if (bJournal)
        JournalSend(JournalFields(record, iEpochMs));
}

TRecordWriter& gRecords = *new TRecordWriter;

void Record(const TBootRecord& record) { gRecords.Write(record, NowMs()); }

void RecordTransfer(const TTransferRecord& transfer) { Record(TransferEvent(transfer)); }
