#include "config/baseurl.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace
{
bool IsHex(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

bool IsUnreserved(char c)
{
    return std::isalnum(static_cast<unsigned char>(c)) != 0 ||
           (c != '\0' && std::strchr("-._~", c) != nullptr);
}

// The host part of an authority (no user name, no port): a name, or an IPv6
// address in brackets.
bool IsHost(const std::string& strHost)
{
    if (strHost.size() > 2 && strHost.front() == '[' && strHost.back() == ']')
        return strHost.find_first_not_of("0123456789abcdefABCDEF:.", 1) == strHost.size() - 1;
    if (strHost.empty())
        return false;
    for (char c : strHost)
        if (std::isalnum(static_cast<unsigned char>(c)) == 0 && std::strchr(".-_", c) == nullptr)
            return false;
    return true;
}

// True when the port text is a number from 1 to 65535.
bool IsPort(const std::string& strPort)
{
    if (strPort.empty() || strPort.size() > 5 ||
        strPort.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const long lPort = std::stol(strPort);
    return lPort >= 1 && lPort <= 65535;
}
}  // namespace

bool ParseBaseUrl(const std::string& strText, std::string& strUrl, std::string& strFault)
{
    for (char c : strText)
        if (static_cast<unsigned char>(c) <= ' ' || static_cast<unsigned char>(c) >= 0x7f)
        {
            strFault = "holds a blank, a control character or a byte outside ASCII";
            return false;
        }
    std::string::size_type nAuthority = 0;
    for (const char* szScheme : {"http://", "https://"})
        if (strText.size() >= std::strlen(szScheme) &&
            strcasecmp(strText.substr(0, std::strlen(szScheme)).c_str(), szScheme) == 0)
            nAuthority = std::strlen(szScheme);
    if (nAuthority == 0)
    {
        strFault = "does not start with http:// or https://";
        return false;
    }
    const std::string::size_type nPath = std::min(strText.find('/', nAuthority), strText.size());
    std::string strHost = strText.substr(nAuthority, nPath - nAuthority);
    if (strHost.find('@') != std::string::npos)
    {
        strFault = "names a user";
        return false;
    }
    const std::string::size_type nColon = strHost.rfind(':');
    if (nColon != std::string::npos && strHost.find(']', nColon) == std::string::npos)
    {
        if (!IsPort(strHost.substr(nColon + 1)))
        {
            strFault = "has a port that is not a number from 1 to 65535";
            return false;
        }
        strHost.erase(nColon);
    }
    if (!IsHost(strHost))
    {
        strFault = "has no host, or a host that is no name or address";
        return false;
    }
    for (std::string::size_type n = nPath; n < strText.size(); ++n)
    {
        const char c = strText[n];
        if (c == '%' && !(n + 2 < strText.size() && IsHex(strText[n + 1]) && IsHex(strText[n + 2])))
        {
            strFault = "has a '%' not followed by two hex digits";
            return false;
        }
        if (c != '%' && !IsUnreserved(c) && std::strchr("/!$&'()*+,;=:@", c) == nullptr)
        {
            strFault = std::string("holds the character '") + c + "'";
            return false;
        }
    }
    strUrl = strText;
    if (strUrl.back() != '/')
        strUrl += '/';
    return true;
}

std::string HttpFileUrl(const std::string& strBaseUrl, int iPort, const std::string& strArrival,
                        const std::string& strFile)
{
    std::string strUrl = strBaseUrl;
    if (strUrl.empty())
    {
        if (iPort == 0 || strArrival.empty())
            return "";
        strUrl = "http://" + strArrival + ":" + std::to_string(iPort) + "/";
    }
    static const char kHex[] = "0123456789ABCDEF";
    for (std::string::size_type n = strFile.find_first_not_of('/'); n < strFile.size(); ++n)
    {
        const unsigned char c = static_cast<unsigned char>(strFile[n]);
        if (IsUnreserved(static_cast<char>(c)) || c == '/')
            strUrl += static_cast<char>(c);
        else
            strUrl += {'%', kHex[c >> 4], kHex[c & 15]};
    }
    return strUrl;
}
