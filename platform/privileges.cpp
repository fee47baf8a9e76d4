#include "platform/privileges.h"

#include <errno.h>
#include <grp.h>
#include <pwd.h>
#include <string.h>
#include <unistd.h>

#include <vector>

namespace
{
bool Failed(const char* szStep, std::string& strWhy)
{
    strWhy = std::string(szStep) + ": " + strerror(errno);
    return false;
}
}  // namespace

// glibc applies setgroups, setgid and setuid to every thread of the process,
// not only to the calling one, so threads started before keep no root.
bool DropPrivileges(const std::string& strUser, std::string& strWhy)
{
    passwd pw{}, *pFound = nullptr;
    std::vector<char> vBuffer(16384);
    int iError;
    while ((iError = getpwnam_r(strUser.c_str(), &pw, vBuffer.data(), vBuffer.size(), &pFound)) ==
               ERANGE &&
           vBuffer.size() < (1u << 20))
        vBuffer.resize(vBuffer.size() * 2);
    if (pFound == nullptr)
    {
        strWhy = iError == 0 ? "no such user" : std::string("getpwnam_r: ") + strerror(iError);
        return false;
    }
    if (initgroups(pw.pw_name, pw.pw_gid) != 0)
        return Failed("initgroups", strWhy);
    if (setgid(pw.pw_gid) != 0)
        return Failed("setgid", strWhy);
    if (setuid(pw.pw_uid) != 0)
        return Failed("setuid", strWhy);
    if (getuid() != pw.pw_uid || geteuid() != pw.pw_uid || getgid() != pw.pw_gid ||
        getegid() != pw.pw_gid)
    {
        strWhy = "the ids did not change";
        return false;
    }
    if (pw.pw_uid != 0 && setuid(0) == 0)
    {
        strWhy = "root could be taken back";
        return false;
    }
    return true;
}
