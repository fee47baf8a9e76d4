#include "config/archfolders.h"

#include "core/decimal.h"

#include <sstream>

namespace
{
// Decimal digits only, 0 to 65535.
bool ParseArch(const std::string& strNumber, uint16_t& nArch)
{
    const long nValue = ParseDecimal(strNumber.c_str());
    nArch = static_cast<uint16_t>(nValue);
    return nValue >= 0 && nValue <= 0xFFFF;
}

// Whether one of the folder's steps (split at "/" and "\\") is "..".
bool HasParentStep(const std::string& strFolder)
{
    std::string::size_type nStart = 0;
    while (nStart <= strFolder.size())
    {
        std::string::size_type nEnd = strFolder.find_first_of("/\\", nStart);
        if (nEnd == std::string::npos)
            nEnd = strFolder.size();
        if (strFolder.compare(nStart, nEnd - nStart, "..") == 0)
            return true;
        nStart = nEnd + 1;
    }
    return false;
}

const char* PairFault(const std::string& strPair, const TArchFolders& mapFolders, uint16_t& nArch)
{
    const std::string::size_type nEquals = strPair.find('=');
    if (nEquals == std::string::npos)
        return "no '='";
    if (!ParseArch(strPair.substr(0, nEquals), nArch))
        return "the architecture is not a number from 0 to 65535";
    const std::string strFolder = strPair.substr(nEquals + 1);
    if (strFolder.empty())
        return "no folder";
    if (strFolder[0] == '/' || strFolder[0] == '\\')
        return "the folder starts with a slash";
    if (HasParentStep(strFolder))
        return "the folder holds '..'";
    if (strFolder.size() > kMaxArchFolder)
        return "the folder is longer than 100 characters";
    if (mapFolders.count(nArch) != 0)
        return "the architecture is given twice";
    return nullptr;
}
}  // namespace

bool ParseArchFolders(const std::string& strList, TArchFolders& mapFolders, std::string& strError)
{
    TArchFolders mapParsed;
    std::istringstream is(strList);
    std::string strPair;
    while (is >> strPair)
    {
        uint16_t nArch = 0;
        if (const char* szFault = PairFault(strPair, mapParsed, nArch))
        {
            strError = "'" + strPair + "': " + szFault;
            return false;
        }
        std::string strFolder = strPair.substr(strPair.find('=') + 1);
        if (strFolder.back() != '/' && strFolder.back() != '\\')
            strFolder += '/';
        mapParsed[nArch] = strFolder;
    }
    mapFolders.swap(mapParsed);
    return true;
}
