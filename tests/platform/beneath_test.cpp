#include "platform/beneath.h"
#include "common/testutil.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/openat2.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <thread>

namespace
{
// What opening szName beneath strRoot gives: the file's content, or "!" and the error's name.
std::string Open(const std::string& strRoot, const char* szName)
{
    int iErrno = 0;
    const int fd = OpenBeneath(strRoot, szName, &iErrno);
    if (fd < 0)
        return std::string("!") + strerrorname_np(iErrno);
    char sz[64];
    const ssize_t n = read(fd, sz, sizeof(sz));
    const bool bCloexec = fcntl(fd, F_GETFD) & FD_CLOEXEC;
    close(fd);
    return std::string(sz, n > 0 ? n : 0) + (bCloexec ? "" : " (inherited)");
}

// Makes openat2 fail with ENOSYS on the calling thread, as on a kernel without it.
bool HideOpenat2()
{
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_openat2, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog prog{sizeof(filter) / sizeof(filter[0]), filter};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) == 0;
}
}  // namespace

// Every name a client might send, through openat2 and through the check made where the kernel
// lacks it (on a thread of its own that sees no openat2).
TEST(Beneath, OpensOnlyRegularFilesInsideTheRoot)
{
    TTempDir root, outside;
    const std::string strOut = outside / "secret";
    const std::string strUpOut = "../" + std::filesystem::path(outside.Path()).filename().string();
    WriteFile(strOut, "secret");
    WriteFile(root / "file", "plain");
    std::filesystem::create_directory(root / "sub");
    WriteFile(root / "sub/inner", "inner");
    WriteFile(root / "locked", "locked");
    chmod((root / "locked").c_str(), 0);
    ASSERT_EQ(mkfifo((root / "fifo").c_str(), 0644), 0);
    for (const auto& [szLink, strTarget] :
         {std::pair<const char*, std::string>{"sub/link-up", "../file"},
          {"link-out", strOut},
          {"link-abs-in", root / "file"},
          {"link-up-out", strUpOut + "/secret"},
          {"link-fifo", "fifo"},
          {"loop", "loop"}})
        ASSERT_EQ(symlink(strTarget.c_str(), (root / szLink).c_str()), 0) << szLink;

    struct TCase
    {
        std::string strName, strWant, strWantWithoutOpenat2;
    };
    // clang-format off
    const TCase cases[] = {
        {"//sub/inner", "inner", ""}, {"sub/../file", "plain", ""}, {"sub/link-up", "plain", ""},
        {"link-out", "!EXDEV", ""}, {"link-up-out", "!EXDEV", ""},
        // Absolute links are refused even where they point inside, save by the later check.
        {"link-abs-in", "!EXDEV", "plain"},
        {strUpOut + "/none", "!EXDEV", "!ENOENT"}, {strUpOut + "/secret", "!EXDEV", ""},
        {"/proc/self/root/etc/passwd", "!ENOENT", ""}, {"sub", "!EISDIR", ""},
        {"link-fifo", "!EINVAL", ""}, {"locked", "!EACCES", ""}, {"loop", "!ELOOP", ""},
        {"file/x", "!ENOTDIR", ""},
    };
    // clang-format on
    for (const TCase& c : cases)
        EXPECT_EQ(Open(root.Path(), c.strName.c_str()), c.strWant) << c.strName;
    EXPECT_EQ(Open(root / "none", "file"), "!ENOENT");

    std::thread([&] {
        ASSERT_TRUE(HideOpenat2()) << strerror(errno);
        open_how how{};
        ASSERT_EQ(syscall(SYS_openat2, AT_FDCWD, "/", &how, sizeof(how)), -1);
        ASSERT_EQ(errno, ENOSYS);
        for (const TCase& c : cases)
            EXPECT_EQ(Open(root.Path(), c.strName.c_str()),
                      c.strWantWithoutOpenat2.empty() ? c.strWant : c.strWantWithoutOpenat2)
                << c.strName << " without openat2";
    }).join();
}
