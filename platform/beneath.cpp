#include "platform/beneath.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace
{
// A descriptor closed on every way out.
struct TFd
{
    int fd = -1;
    ~TFd()
    {
        if (fd >= 0)
            close(fd);
    }
    int Release()
    {
        int f = fd;
        fd = -1;
        return f;
    }
};

std::string FdLink(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// The path the kernel holds for an open descriptor; empty when unknown.
std::string RealPathOf(int fd)
{
    char szPath[PATH_MAX];
    ssize_t n = readlink(FdLink(fd).c_str(), szPath, sizeof(szPath) - 1);
    if (n <= 0)
        return "";
    return std::string(szPath, n);
}

// Kernels before 5.6 have no openat2: the name is resolved as usual and the
// place it came to is checked afterwards. The descriptor pins that place, so
// a link changed in between cannot move it.
int OpenCheckedAfterwards(int fdRoot, const char* szName)
{
    TFd file{openat(fdRoot, szName, O_PATH | O_CLOEXEC)};
    if (file.fd < 0)
        return -1;
    const std::string strRoot = RealPathOf(fdRoot), strFile = RealPathOf(file.fd);
    if (strRoot.empty() || strFile.empty())
    {
        errno = EXDEV;
        return -1;
    }
    const std::string strPrefix = strRoot == "/" ? strRoot : strRoot + "/";
    if (strFile != strRoot && strFile.compare(0, strPrefix.size(), strPrefix) != 0)
    {
        errno = EXDEV;
        return -1;
    }
    return file.Release();
}

// A descriptor that only names the file: taking it opens nothing, so neither
// a FIFO nor a device sees an open.
int OpenPathBeneath(int fdRoot, const char* szName)
{
    open_how how{};
    how.flags = O_PATH | O_CLOEXEC;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    int fd = static_cast<int>(syscall(SYS_openat2, fdRoot, szName, &how, sizeof(how)));
    if (fd < 0 && errno == ENOSYS)
        return OpenCheckedAfterwards(fdRoot, szName);
    return fd;
}
}  // namespace

int OpenBeneath(const std::string& strRoot, const char* szName, int* piErrno)
{
    while (*szName == '/')
        ++szName;
    TFd root{open(strRoot.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC)};
    TFd path;
    struct stat st;
    if (root.fd < 0 || (path.fd = OpenPathBeneath(root.fd, szName)) < 0 || fstat(path.fd, &st) != 0)
    {
        *piErrno = errno;
        return -1;
    }
    if (!S_ISREG(st.st_mode))
    {
        *piErrno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return -1;
    }
    // Root may read any file; one that grants reading to nobody was not meant to be served.
    if ((st.st_mode & 0444) == 0)
    {
        *piErrno = EACCES;
        return -1;
    }
    // Reopening through the descriptor opens exactly the file checked above,
    // with the usual permission check for reading.
    int fd = open(FdLink(path.fd).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        *piErrno = errno;
    return fd;
}
