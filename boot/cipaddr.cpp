#include "boot/cipaddr.h"

#include <cstdio>
#include <cstring>

CIPAddr::CIPAddr() : aOctets{0, 0, 0, 0} {}

CIPAddr::CIPAddr(const std::string& strText) : aOctets{0, 0, 0, 0} { Parse(strText); }

bool CIPAddr::Parse(const std::string& strText)
{
    std::memset(aOctets, 0, sizeof(aOctets));
    if (strText.size() > 15)
        return false;

    uint8_t aRead[4] = {0, 0, 0, 0};
    int nDots = 0;
    unsigned nNumber = 0;
    bool bDigit = false;
    size_t i = 0;
    for (; i < strText.size(); ++i)
    {
        const char c = strText[i];
        if (c >= '0' && c <= '9')
        {
            // Saturates above 255: such an octet is refused anyway.
            nNumber = nNumber > 255 ? 256 : nNumber * 10 + static_cast<unsigned>(c - '0');
            bDigit = true;
        }
        else if (c == '.')
        {
            if (!bDigit || nNumber > 255 || nDots == 3)
                return false;
            aRead[nDots++] = static_cast<uint8_t>(nNumber);
            nNumber = 0;
            bDigit = false;
        }
        else
        {
            break;  // any other character ends the reading
        }
    }
    if (i != strText.size() || nDots != 3 || !bDigit || nNumber > 255)
        return false;
    aRead[3] = static_cast<uint8_t>(nNumber);
    std::memcpy(aOctets, aRead, sizeof(aOctets));
    return true;
}

uint32_t CIPAddr::GetValue(bool bNetworkOrder) const
{
    if (bNetworkOrder)
    {
        uint32_t n;
        std::memcpy(&n, aOctets, sizeof(n));
        return n;
    }
    return (static_cast<uint32_t>(aOctets[0]) << 24) | (static_cast<uint32_t>(aOctets[1]) << 16) |
           (static_cast<uint32_t>(aOctets[2]) << 8) | aOctets[3];
}

std::string CIPAddr::ToString() const
{
    char szText[16];
    std::snprintf(szText, sizeof(szText), "%u.%u.%u.%u", aOctets[0], aOctets[1], aOctets[2],
                  aOctets[3]);
    return szText;
}

bool CIPAddr::IsValidHost() const
{
    for (uint8_t nOctet : aOctets)
        if (nOctet == 0 || nOctet == 255)
            return false;
    return true;
}
