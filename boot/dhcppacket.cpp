#include "boot/dhcppacket.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

namespace
{
// An option 60 value longer than this is a class identifier to split.
const int kShortClassIdLength = 10;
// Options length of a packet with nothing stored: the cookie and END.
const int kEmptyOptionsLength = 5;

// Offsets of the variable header fields.
const int kOffChaddr = 28;
const int kOffSname = 44;
const int kOffFile = 108;

bool BeginsWith(const std::string& str, const char* szPrefix)
{
    return str.compare(0, std::strlen(szPrefix), szPrefix) == 0;
}

// Reads a decimal number the way scanf's "%d" (nWidth 0) or "%<nWidth>d"
// does: leading white space skipped and not counted, an optional sign, then
// digits, at most nWidth characters for sign and digits together. Returns
// false when no digit was read. The number is kept modulo 2^32, which keeps
// its low 16 bits exact however long the digit run is.
bool ReadDecimal(const std::string& str, size_t& nPos, size_t nWidth, uint32_t& nValue)
{
    while (nPos < str.size() && std::isspace(static_cast<unsigned char>(str[nPos])))
        ++nPos;
    size_t nUsed = 0;
    bool bNegative = false;
    if (nPos < str.size() && (str[nPos] == '+' || str[nPos] == '-'))
    {
        bNegative = str[nPos] == '-';
        ++nPos;
        ++nUsed;
    }
    uint32_t n = 0;
    bool bDigit = false;
    while (nPos < str.size() && (nWidth == 0 || nUsed < nWidth) && str[nPos] >= '0' &&
           str[nPos] <= '9')
    {
        n = n * 10u + static_cast<uint32_t>(str[nPos] - '0');
        bDigit = true;
        ++nPos;
        ++nUsed;
    }
    nValue = bNegative ? 0u - n : n;
    return bDigit;
}
}  // namespace

DhcpPacket::DhcpPacket() { Reset(); }

DhcpPacket::~DhcpPacket() = default;

void DhcpPacket::Reset()
{
    std::memset(aHeader, 0, sizeof(aHeader));
    std::memcpy(aCookie, kDhcpMagicCookie, sizeof(aCookie));
    for (int i = 0; i < 256; ++i)
    {
        apOptions[i].reset();
        apVendor[i].reset();
    }
    iMaxOptionsLength = kDefaultMaxOptionsLength;
    iOptionsLength = kEmptyOptionsLength;
}

// ---------------------------------------------------------------------------
// Option tables

void DhcpPacket::Remove(TTable& table, uint8_t nCode)
{
    if (table[nCode])
    {
        iOptionsLength -= table[nCode]->length + 2;
        table[nCode].reset();
    }
}

void DhcpPacket::Store(TTable& table, uint8_t nCode, const uint8_t* pValue, int nLength)
{
    Remove(table, nCode);
    std::unique_ptr<DhcpOption> pOption(new DhcpOption);
    pOption->code = nCode;
    pOption->length = static_cast<uint8_t>(nLength);
    if (nLength > 0)
        std::memcpy(pOption->value, pValue, static_cast<size_t>(nLength));
    table[nCode] = std::move(pOption);
    iOptionsLength += nLength + 2;
}

bool DhcpPacket::Set(TTable& table, uint8_t nCode, const void* pValue, int nLength, int nMaxValue)
{
    if (nCode == kOptPad || nCode == kOptEnd || nLength < 0 || nLength > nMaxValue ||
        (nLength > 0 && pValue == nullptr))
        return false;
    const int nOld = table[nCode] ? table[nCode]->length + 2 : 0;
    // The option's own code and length bytes count too: the limit bounds the
    // options length as it will be after the change.
    if (iOptionsLength - nOld + nLength + 2 > iMaxOptionsLength)
        return false;
    Store(table, nCode, static_cast<const uint8_t*>(pValue), nLength);
    return true;
}

int DhcpPacket::Get(const TTable& table, uint8_t nCode, void* pBuffer, int nCapacity)
{
    const DhcpOption* pOption = table[nCode].get();
    if (pOption == nullptr)
        return 0;
    if (pBuffer == nullptr)  // a length query
        return pOption->length;
    if (nCapacity < pOption->length)
        return -pOption->length;
    std::memcpy(pBuffer, pOption->value, pOption->length);
    return pOption->length;
}

int DhcpPacket::GetOption(uint8_t nCode, void* pBuffer, int nCapacity) const
{
    return Get(apOptions, nCode, pBuffer, nCapacity);
}

bool DhcpPacket::SetOption(uint8_t nCode, const void* pValue, int nLength)
{
    // Option 43 is made from the vendor table when serializing; a raw one
    // stored here would go out as a second, conflicting instance.
    if (nCode == kOptVendorSpecific)
        return false;
    return Set(apOptions, nCode, pValue, nLength, 255);
}

void DhcpPacket::RemoveOption(uint8_t nCode) { Remove(apOptions, nCode); }

int DhcpPacket::GetVendorOption(uint8_t nCode, void* pBuffer, int nCapacity) const
{
    return Get(apVendor, nCode, pBuffer, nCapacity);
}

bool DhcpPacket::SetVendorOption(uint8_t nCode, const void* pValue, int nLength)
{
    return Set(apVendor, nCode, pValue, nLength, kMaxVendorValue);
}

void DhcpPacket::RemoveVendorOption(uint8_t nCode) { Remove(apVendor, nCode); }

// ---------------------------------------------------------------------------
// Variable header fields

int DhcpPacket::CopyChaddr(void* pBuffer, int nCapacity) const
{
    const int nHlen = GetHlen();
    if (nHlen == 0 || nHlen > nCapacity || pBuffer == nullptr)
        return 0;
    // hlen may claim more than the 16 bytes chaddr has: only those are
    // copied, the rest of the hlen bytes are zero.
    const int nCopy = std::min(nHlen, kDhcpChaddrSize);
    std::memcpy(pBuffer, aHeader + kOffChaddr, static_cast<size_t>(nCopy));
    if (nHlen > nCopy)
        std::memset(static_cast<uint8_t*>(pBuffer) + nCopy, 0, static_cast<size_t>(nHlen - nCopy));
    return nHlen;
}

void DhcpPacket::SetChaddr(const void* pBytes, int n)
{
    const int nCopy = pBytes == nullptr ? 0 : std::max(0, std::min(n, kDhcpChaddrSize));
    std::memset(aHeader + kOffChaddr, 0, kDhcpChaddrSize);
    if (nCopy > 0)
        std::memcpy(aHeader + kOffChaddr, pBytes, static_cast<size_t>(nCopy));
    SetHlen(static_cast<uint8_t>(nCopy));
}

void DhcpPacket::SetFile(const void* pName, int n)
{
    const int nCopy = pName == nullptr ? 0 : std::max(0, std::min(n, kDhcpFileSize));
    std::memset(aHeader + kOffFile, 0, kDhcpFileSize);
    if (nCopy > 0)
        std::memcpy(aHeader + kOffFile, pName, static_cast<size_t>(nCopy));
}

// ---------------------------------------------------------------------------
// Decoding

bool DhcpPacket::Parse(const void* pData, uint32_t nLength)
{
    Reset();
    if (pData == nullptr || nLength < static_cast<uint32_t>(kDhcpFixedSize))
        return false;
    const uint8_t* pBytes = static_cast<const uint8_t*>(pData);

    const int32_t nModLength = static_cast<int32_t>(nLength % 65536u);
    iMaxOptionsLength = nModLength >= 576 ? nModLength - kDhcpHeaderSize : kDefaultMaxOptionsLength;

    std::memcpy(aHeader, pBytes, kDhcpHeaderSize);
    std::memcpy(aCookie, pBytes + kDhcpHeaderSize, kDhcpCookieSize);

    const int iOverload = WalkArea(pBytes + kDhcpFixedSize, nLength - kDhcpFixedSize, AREA_OPTIONS);
    const bool bFile = iOverload == 1 || iOverload == 3;
    const bool bSname = iOverload == 2 || iOverload == 3;

    // The overloaded fields are walked from a copy: they are rewritten below.
    uint8_t aFields[kDhcpSnameSize + kDhcpFileSize];
    std::memcpy(aFields, aHeader + kOffSname, sizeof(aFields));
    if (bFile)
        WalkArea(aFields + kDhcpSnameSize, kDhcpFileSize, AREA_FILE);
    if (bSname)
        WalkArea(aFields, kDhcpSnameSize, AREA_SNAME);

    if (bFile)
    {
        std::memset(aHeader + kOffFile, 0, kDhcpFileSize);
        if (const DhcpOption* pName = apOptions[kOptBootFileName].get())
            std::memcpy(aHeader + kOffFile, pName->value,
                        std::min<size_t>(pName->length, kDhcpFileSize));
    }
    if (bSname)
    {
        std::memset(aHeader + kOffSname, 0, kDhcpSnameSize);
        if (const DhcpOption* pName = apOptions[kOptTftpServerName].get())
            std::memcpy(aHeader + kOffSname, pName->value,
                        std::min<size_t>(pName->length, kDhcpSnameSize));
    }
    // Once the overloaded fields are folded back into plain fields, option 52
    // no longer describes this packet: kept, it would make a serialized copy
    // claim that file or sname hold options when they hold names.
    if (bFile || bSname)
        RemoveOption(kOptOverload);
    return true;
}

int DhcpPacket::WalkArea(const uint8_t* pArea, size_t nLimit, EArea eArea)
{
    int iOverload = -1;
    size_t nPos = 0;
    while (nPos < nLimit)
    {
        const uint8_t nCode = pArea[nPos];
        if (nCode == kOptPad)
        {
            ++nPos;
            continue;
        }
        if (nCode == kOptEnd || nPos + 1 >= nLimit)  // END, or no length byte left
            break;
        const size_t nLength = pArea[nPos + 1];
        // The first option 52 of the options field with a value byte decides
        // the overload (the same instance that the table keeps).
        if (nCode == kOptOverload && eArea == AREA_OPTIONS && iOverload < 0 && nLength >= 1 &&
            nPos + 2 < nLimit)
            iOverload = pArea[nPos + 2];
        StoreWalked(pArea, nPos, nLimit);
        nPos += nLength + 2;
    }
    return iOverload;
}

void DhcpPacket::StoreWalked(const uint8_t* pArea, size_t nPos, size_t nLimit)
{
    const uint8_t nCode = pArea[nPos];
    const size_t nLength = pArea[nPos + 1];
    const size_t nEnd = nPos + 2 + nLength;  // one past the option's last byte
    if (nCode == kOptVendorSpecific)
    {
        WalkVendor(pArea + nPos + 2, std::min(nEnd, nLimit) - (nPos + 2));
        return;
    }
    if (nEnd > nLimit)  // runs past the end of the area
        return;
    const uint8_t* pValue = pArea + nPos + 2;
    if (nCode == kOptClassId && nLength > static_cast<size_t>(kShortClassIdLength))
    {
        ParseClassId(pValue, static_cast<int>(nLength));
        return;
    }
    if (apOptions[nCode])  // the first instance stays
        return;
    Store(apOptions, nCode, pValue, static_cast<int>(nLength));
}

void DhcpPacket::WalkVendor(const uint8_t* pValue, size_t nLimit)
{
    size_t nPos = 0;
    while (nPos < nLimit)
    {
        const uint8_t nCode = pValue[nPos];
        if (nCode == kOptPad)
        {
            ++nPos;
            continue;
        }
        if (nCode == kOptEnd || nPos + 1 >= nLimit)
            break;
        const size_t nLength = pValue[nPos + 1];
        if (nPos + 2 + nLength > nLimit)  // runs past the end of option 43
            break;
        // A later sub-option of the same code replaces the earlier one.
        Store(apVendor, nCode, pValue + nPos + 2, static_cast<int>(nLength));
        nPos += nLength + 2;
    }
}

// Splits a PXE class identifier "PXEClient:Arch:xxxxx:UNDI:yyyzzz" into
// option 60 ("PXEClient"), option 93 (architecture) and option 94 (UNDI
// version); a UEFI HTTP boot client's "HTTPClient:Arch:..." the same way,
// into option 60 "HTTPClient". A field that holds no number where one is read counts as 0: an
// architecture field without digits gives option 93 = 0, 0 (x86 BIOS, what
// PXE clients that send such text mean in practice), and a version field
// without digits gives major and minor 0 (a major without a minor, minor 0).
void DhcpPacket::ParseClassId(const uint8_t* pValue, int nLength)
{
    std::string strText(reinterpret_cast<const char*>(pValue), static_cast<size_t>(nLength));
    strText.resize(std::strlen(strText.c_str()));  // the value is text: it ends at a NUL

    std::vector<std::string> vFields;
    size_t nStart = 0;
    while (nStart <= strText.size())
    {
        size_t nColon = strText.find(':', nStart);
        if (nColon == std::string::npos)
            nColon = strText.size();
        if (nColon > nStart)
            vFields.push_back(strText.substr(nStart, nColon - nStart));
        nStart = nColon + 1;
    }

    if (vFields.empty())
        return;
    if (BeginsWith(vFields[0], kPxeClassId))
        Store(apOptions, kOptClassId, reinterpret_cast<const uint8_t*>(kPxeClassId),
              kPxeClassIdLength);
    else if (BeginsWith(vFields[0], kHttpClassId))
        Store(apOptions, kOptClassId, reinterpret_cast<const uint8_t*>(kHttpClassId),
              kHttpClassIdLength);
    else
        return;

    if (vFields.size() < 3 || !BeginsWith(vFields[1], "Arch"))
        return;
    size_t nPos = 0;
    uint32_t nArch = 0;
    if (!ReadDecimal(vFields[2], nPos, 0, nArch))
        nArch = 0;
    const uint8_t aArch[2] = {static_cast<uint8_t>(nArch >> 8), static_cast<uint8_t>(nArch)};
    Store(apOptions, kOptClientArch, aArch, sizeof(aArch));

    if (vFields.size() < 5 || !BeginsWith(vFields[3], "UNDI"))
        return;
    nPos = 0;
    uint32_t nMajor = 0;
    uint32_t nMinor = 0;
    if (!ReadDecimal(vFields[4], nPos, 3, nMajor))
        nMajor = 0;
    else if (!ReadDecimal(vFields[4], nPos, 3, nMinor))
        nMinor = 0;
    const uint8_t aNdi[3] = {1, static_cast<uint8_t>(nMajor), static_cast<uint8_t>(nMinor)};
    Store(apOptions, kOptClientNdi, aNdi, sizeof(aNdi));
}

// ---------------------------------------------------------------------------
// Encoding

int DhcpPacket::Encode(uint8_t* pOut) const
{
    int n = 0;
    auto put = [&](uint8_t b) {
        if (pOut != nullptr)
            pOut[n] = b;
        ++n;
    };
    auto putOption = [&](const DhcpOption& option) {
        put(option.code);
        put(option.length);
        if (pOut != nullptr)
            std::memcpy(pOut + n, option.value, option.length);
        n += option.length;
    };

    for (int i = 0; i < kDhcpHeaderSize; ++i)
        put(aHeader[i]);
    for (int i = 0; i < kDhcpCookieSize; ++i)
        put(aCookie[i]);
    if (iOptionsLength <= kEmptyOptionsLength)
        return n;

    for (int nCode = 0; nCode < 255; ++nCode)
        if (apOptions[nCode])
            putOption(*apOptions[nCode]);

    // Option 43 from the vendor table, split so that no instance carries more
    // than 254 bytes of sub-options before its END sub-option.
    int iStart = -1;   // offset of the open option 43, -1 when none is open
    int nContent = 0;  // bytes of sub-options in it
    auto close = [&]() {
        int nOptLength = nContent;
        // A single sub-option that fills all 255 value bytes leaves no room
        // for the END sub-option; the instance's length ends it instead.
        if (nContent <= kMaxVendorContent)
        {
            put(kOptEnd);
            ++nOptLength;
        }
        if (pOut != nullptr)
            pOut[iStart + 1] = static_cast<uint8_t>(nOptLength);
        iStart = -1;
    };
    for (int nCode = 0; nCode < 255; ++nCode)
    {
        const DhcpOption* pSub = apVendor[nCode].get();
        if (pSub == nullptr)
            continue;
        const int nSpan = pSub->length + 2;
        if (iStart >= 0 && nContent + nSpan > kMaxVendorContent)
            close();
        if (iStart < 0)
        {
            iStart = n;
            put(kOptVendorSpecific);
            put(0);
            nContent = 0;
        }
        putOption(*pSub);
        nContent += nSpan;
    }
    if (iStart >= 0)
        close();

    put(kOptEnd);
    return n;
}

int DhcpPacket::MessageLength() const { return std::max(Encode(nullptr), kDhcpMinMessageSize); }

bool DhcpPacket::Serialize(void* pBuffer, int& nSize) const
{
    if (pBuffer == nullptr || nSize <= TotalLength())
        return false;
    // The message is padded to the BOOTP minimum of 300 bytes; a buffer that
    // cannot take all of it is refused, however small the options are.
    const int nMessage = MessageLength();
    if (nMessage > nSize)
        return false;
    uint8_t* pOut = static_cast<uint8_t*>(pBuffer);
    const int nEncoded = Encode(pOut);
    std::memset(pOut + nEncoded, 0, static_cast<size_t>(nMessage - nEncoded));
    nSize = nMessage;
    return true;
}
