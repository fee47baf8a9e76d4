// One BOOTP/DHCP message in memory: the fixed header, the magic cookie, the
// option table, and the PXE vendor sub-options of option 43 in a table of
// their own.
//
// The class does no I/O. Parse decodes a received datagram, Serialize encodes
// the message; option 43 is never stored as such: its sub-options live in the
// vendor table and are wrapped into option 43 (split into several instances
// when needed) by Serialize.
#pragma once

#include "boot/dhcp.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

// One stored option or vendor sub-option, laid out as on the wire.
struct DhcpOption
{
    uint8_t code = 0;
    uint8_t length = 0;
    uint8_t value[255] = {};
};

class DhcpPacket
{
public:
    // Maximum options length of a constructed packet: 576 - 236.
    static constexpr int kDefaultMaxOptionsLength = 340;
    // Most bytes of sub-options that one option 43 carries (its END sub-option aside).
    static constexpr int kMaxVendorContent = 254;
    // Longest value of one vendor sub-option: with its code and length it
    // fills all 255 value bytes of one option 43 (which then has no room for
    // the END sub-option and goes out without it).
    static constexpr int kMaxVendorValue = 255 - 2;

    // Empty message: header zeroed, cookie 99.130.83.99, no options.
    DhcpPacket();
    ~DhcpPacket();
    DhcpPacket(const DhcpPacket&) = delete;
    DhcpPacket& operator=(const DhcpPacket&) = delete;

    // Replaces the whole content with the decoded datagram. Returns false for
    // a datagram shorter than 240 bytes (the packet is then left empty, as
    // constructed). Never reads beyond pData + nLength.
    bool Parse(const void* pData, uint32_t nLength);

    // Encodes the message into pBuffer. nSize is the buffer's capacity on
    // entry and the number of bytes written on success. Returns false, writing
    // nothing, when the message (at least 300 bytes) does not fit.
    bool Serialize(void* pBuffer, int& nSize) const;

    // 236 + options length: the size of the message, less the 3 bytes of
    // wrapping per option 43 instance and the padding to 300 bytes.
    int TotalLength() const { return kDhcpHeaderSize + iOptionsLength; }
    // The exact number of bytes Serialize writes (at least 300).
    int MessageLength() const;
    int OptionsLength() const { return iOptionsLength; }
    int MaxOptionsLength() const { return iMaxOptionsLength; }

    // Option table. GetOption returns the value's length and copies the value
    // to pBuffer; 0 when the option is absent; minus the value's length when
    // nCapacity is too small (nothing copied). A null pBuffer asks only for
    // the length. SetOption stores (or replaces) an option unless that would
    // take the options length above the maximum options length; codes 0, 43
    // and 255 are refused. RemoveOption removes it when stored.
    int GetOption(uint8_t nCode, void* pBuffer, int nCapacity) const;
    bool SetOption(uint8_t nCode, const void* pValue, int nLength);
    void RemoveOption(uint8_t nCode);

    // Whether an option is stored, a zero-length one included.
    bool HasOption(uint8_t nCode) const { return apOptions[nCode] != nullptr; }

    // The same on the table of PXE vendor sub-options (the content of option 43).
    // SetVendorOption refuses values longer than kMaxVendorValue.
    int GetVendorOption(uint8_t nCode, void* pBuffer, int nCapacity) const;
    bool SetVendorOption(uint8_t nCode, const void* pValue, int nLength);
    void RemoveVendorOption(uint8_t nCode);
    bool HasVendorOption(uint8_t nCode) const { return apVendor[nCode] != nullptr; }

    // Fixed header fields, returned and stored as raw wire bytes (multi-byte
    // fields stay in network byte order).
    uint8_t GetOp() const { return aHeader[0]; }
    void SetOp(uint8_t n) { aHeader[0] = n; }
    uint8_t GetHtype() const { return aHeader[1]; }
    void SetHtype(uint8_t n) { aHeader[1] = n; }
    uint8_t GetHlen() const { return aHeader[2]; }
    void SetHlen(uint8_t n) { aHeader[2] = n; }
    uint8_t GetHops() const { return aHeader[3]; }
    void SetHops(uint8_t n) { aHeader[3] = n; }
    uint32_t GetXid() const { return GetField<uint32_t>(4); }
    void SetXid(uint32_t n) { SetField(4, n); }
    uint16_t GetSecs() const { return GetField<uint16_t>(8); }
    void SetSecs(uint16_t n) { SetField(8, n); }
    uint16_t GetFlags() const { return GetField<uint16_t>(10); }
    void SetFlags(uint16_t n) { SetField(10, n); }
    uint32_t GetCiaddr() const { return GetField<uint32_t>(12); }
    void SetCiaddr(uint32_t n) { SetField(12, n); }
    uint32_t GetYiaddr() const { return GetField<uint32_t>(16); }
    void SetYiaddr(uint32_t n) { SetField(16, n); }
    uint32_t GetSiaddr() const { return GetField<uint32_t>(20); }
    void SetSiaddr(uint32_t n) { SetField(20, n); }
    uint32_t GetGiaddr() const { return GetField<uint32_t>(24); }
    void SetGiaddr(uint32_t n) { SetField(24, n); }

    // Copies hlen bytes of chaddr and returns hlen, when hlen is neither 0 nor
    // above nCapacity; otherwise copies nothing and returns 0.
    int CopyChaddr(void* pBuffer, int nCapacity) const;
    // Zero-fills chaddr, copies the first min(n, 16) bytes, sets hlen to that.
    void SetChaddr(const void* pBytes, int n);
    // Zero-fills the file field and copies the first min(n, 128) bytes.
    void SetFile(const void* pName, int n);

    // Read-only views of the raw fields.
    const uint8_t* Header() const { return aHeader; }
    const uint8_t* Cookie() const { return aCookie; }
    const uint8_t* Chaddr() const { return aHeader + 28; }
    const uint8_t* Sname() const { return aHeader + 44; }
    const uint8_t* File() const { return aHeader + 108; }

private:
    enum EArea
    {
        AREA_OPTIONS,
        AREA_FILE,
        AREA_SNAME
    };
    using TTable = std::unique_ptr<DhcpOption>[256];

    void Reset();
    // Writes the message (without the padding to 300 bytes) to pOut, or only
    // counts its bytes when pOut is null; returns the count.
    int Encode(uint8_t* pOut) const;
    // Header fields in network byte order, copied as they stand.
    template <class T> T GetField(int iOffset) const
    {
        T n;
        std::memcpy(&n, aHeader + iOffset, sizeof(n));
        return n;
    }
    template <class T> void SetField(int iOffset, T n)
    {
        std::memcpy(aHeader + iOffset, &n, sizeof(n));
    }

    // Stores without the maximum-length check (used while parsing), keeping
    // the options length in step with what is stored.
    void Store(TTable& table, uint8_t nCode, const uint8_t* pValue, int nLength);
    void Remove(TTable& table, uint8_t nCode);
    bool Set(TTable& table, uint8_t nCode, const void* pValue, int nLength, int nMaxValue);
    static int Get(const TTable& table, uint8_t nCode, void* pBuffer, int nCapacity);

    // Walks one option area; returns the first value byte of option 52 when
    // the options field held one (else -1).
    int WalkArea(const uint8_t* pArea, size_t nLimit, EArea eArea);
    void StoreWalked(const uint8_t* pArea, size_t nPos, size_t nLimit);
    void WalkVendor(const uint8_t* pValue, size_t nLimit);
    void ParseClassId(const uint8_t* pValue, int nLength);

    uint8_t aHeader[kDhcpHeaderSize];
    uint8_t aCookie[kDhcpCookieSize];
    TTable apOptions;
    TTable apVendor;
    int32_t iMaxOptionsLength;
    int32_t iOptionsLength;
};
