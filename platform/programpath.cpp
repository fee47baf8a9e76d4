#include "platform/programpath.h"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

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

int FolderAccess(const std::string& strPath)
{
    struct stat st;
    if (stat(strPath.c_str(), &st) != 0)
        return errno;
    if (!S_ISDIR(st.st_mode))
        return ENOTDIR;
    return access(strPath.c_str(), R_OK | X_OK) == 0 ? 0 : errno;
}
