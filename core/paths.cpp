#include "core/paths.h"

std::string ReplaceExtension(const std::string& strPath, const char* szExtension)
{
    std::string strResult = strPath;
    std::string::size_type nSlash = strResult.rfind('/');
    std::string::size_type nDot = strResult.rfind('.');
    if (nDot != std::string::npos && (nSlash == std::string::npos || nDot > nSlash))
        strResult.erase(nDot);
    return strResult + szExtension;
}
