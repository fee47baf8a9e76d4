#include "platform/programpath.h"

#include <limits.h>
#include <unistd.h>

bool GetModuleFileName(std::string& strPath)
{
    char szPath[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", szPath, sizeof(szPath) - 1);
    if (n <= 0)
        return false;
    szPath[n] = '\0';
    strPath = szPath;
    return true;
}

std::string GetCommonAppDataFolder() { return "/etc"; }
