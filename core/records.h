// The record of every boot: one JSON object per line for each boot event (a
// proxy offer, a boot-server acknowledgement, a refused or dropped request,
// the end of a transfer), in the file Log/Records names, and with Log/Journal
// in the systemd journal too.
//
// Each line is written with one write(2) on a descriptor opened with
// O_APPEND, under one lock: lines of different threads never mix. Refused
// and dropped requests and transfers that did not complete, which any sender
// on the segment can cause, are written at most kMaxLimitedPerSecond a
// second together; the next one written says how many were left out
// ("suppressed").
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

// One event. Fields left at their "none" value are left out of the line.
struct TBootRecord
{
    std::string strEvent;   // offer, ack, refused, dropped, tftp, http
    std::string strMac;     // the client's hardware address text
    uint32_t nAddress = 0;  // the client's IPv4 address, network order; 0: none
    int iArch = -1;         // client architecture (DHCP option 93); -1: none
    std::string strFile;    // the boot file named, or the file transferred
    std::string strTask;    // refused: the console's word
    std::string strReason;  // dropped: why
    int64_t iBytes = -1;    // transfers: bytes the client acknowledged
    int64_t iMs = -1;       // transfers: how long it ran
    int iBlockSize = -1;    // transfers: block size and window in force
    int iWindow = -1;
    std::string strResult;     // transfers: complete, client-error, timeout, busy, not-found, ...
    unsigned nSuppressed = 0;  // events of the limited kinds left out just before this one
};

// The end of one TFTP or HTTP transfer, as its server knows it.
struct TTransferRecord
{
    bool bHttp = false;
    uint32_t nAddress = 0;  // the client's IPv4 address, network order
    std::string strFile;    // the name the client asked for, as it sent it
    int64_t iBytes = 0;     // bytes the client has (acknowledged ones for TFTP)
    int64_t iMs = 0;        // from the request to the end
    int iBlockSize = -1;    // TFTP: block size and window in force (-1 for HTTP)
    int iWindow = -1;
    std::string strResult;  // complete, client-error, timeout, busy, not-found, ...
};

// A text as the inside of a JSON string: quotes, backslashes, control bytes,
// DEL and every byte that is not part of a well-formed UTF-8 sequence become
// \u00XX; well-formed UTF-8 stays as it is.
std::string JsonEscape(const std::string& strText);
// "2026-12-08T03:05:27.123Z" for milliseconds since 1970 (UTC).
std::string IsoTimeUtc(int64_t iEpochMs);
// The line for one event at iEpochMs, ending with "\n": time, event, mac,
// address, arch, file, task, reason, bytes, ms, blksize, window, result,
// suppressed, in this order.
std::string FormatRecord(const TBootRecord& record, int64_t iEpochMs);
// The same event as journal fields: MESSAGE (the line without its "\n"),
// PXE_EVENT, PXE_MAC, PXE_ADDRESS, PXE_ARCH, PXE_FILE, ... (client texts
// escaped as in the line).
std::vector<std::string> JournalFields(const TBootRecord& record, int64_t iEpochMs);
// The record of a transfer's end.
TBootRecord TransferEvent(const TTransferRecord& transfer);

class TRecordWriter
{
public:
    static constexpr unsigned kMaxLimitedPerSecond = 50;

    TRecordWriter() = default;
    ~TRecordWriter();
    TRecordWriter(const TRecordWriter&) = delete;
    TRecordWriter& operator=(const TRecordWriter&) = delete;

    // Opens (creates) the file for appending; an empty path writes no file.
    // bJournal sends the events to the journal too. 0, or -1 with errno when
    // the file cannot be opened (nothing is written to it then).
    int Open(const std::string& strPath, bool bJournal);
    // Opens the file again by its name (after a rotation); the old one stays
    // in use when that fails (-1).
    int Reopen();
    void Close();
    // Writes one event at iEpochMs (milliseconds since 1970).
    void Write(TBootRecord record, int64_t iEpochMs);

private:
    std::mutex mtx;
    std::string strPath;
    int fd = -1;
    bool bJournal = false;
    int64_t iLimitSecond = -1;  // the second the limited events are counted in
    unsigned nLimited = 0;      // limited events written in it
    unsigned nSuppressed = 0;   // left out since the last one written
};

// The records of the running service: opened once the configuration is read.
// Never destroyed: request workers that are not joined may still write.
extern TRecordWriter& gRecords;

// Writes one event of the service at the time now.
void Record(const TBootRecord& record);
// Writes the end of one transfer: what the TFTP and HTTP servers call.
void RecordTransfer(const TTransferRecord& transfer);
