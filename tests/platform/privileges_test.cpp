#include "platform/privileges.h"

#include <gtest/gtest.h>

#include <grp.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <future>
#include <string>
#include <thread>

namespace
{
// Runs DropPrivileges(strUser) in a child process whose second thread exists before it, and
// gives "uid gid, thread uid gid, groups..." as both threads see them afterwards, or "!" and why.
std::string DropInChild(const std::string& strUser)
{
    int fds[2];
    if (pipe(fds) != 0)
        return "no pipe";
    const pid_t pid = fork();
    if (pid == 0)
    {
        close(fds[0]);
        std::promise<void> dropped;
        std::string strThread;
        std::thread t([&, f = dropped.get_future()]() mutable {
            f.wait();
            strThread = std::to_string(geteuid()) + " " + std::to_string(getegid());
        });
        std::string strWhy, s;
        if (DropPrivileges(strUser, strWhy))
            s = std::to_string(getuid()) + " " + std::to_string(getgid()) + ", thread ";
        else
            s = "!" + strWhy;
        dropped.set_value();
        t.join();
        if (s[0] != '!')
        {
            gid_t aGroups[64];
            s += strThread + ", groups";
            for (int i = 0, n = getgroups(64, aGroups); i < n; ++i)
                s += " " + std::to_string(aGroups[i]);
        }
        (void)!write(fds[1], s.data(), s.size());
        _exit(0);
    }
    close(fds[1]);
    std::string s;
    char buf[256];
    for (ssize_t n; (n = read(fds[0], buf, sizeof(buf))) > 0;)
        s.append(buf, n);
    close(fds[0]);
    int iStatus = 0;
    waitpid(pid, &iStatus, 0);
    return s;
}
}  // namespace

TEST(Privileges, TheWholeProcessBecomesTheUserOrLearnsWhyNot)
{
    EXPECT_EQ(DropInChild("pxe-no-such-user"), "!no such user");
    const passwd* pw = getpwnam("nobody");
    ASSERT_NE(pw, nullptr);
    const std::string strIds = std::to_string(pw->pw_uid) + " " + std::to_string(pw->pw_gid);
    if (getuid() != 0)
    {
        EXPECT_EQ(DropInChild("nobody"), "!initgroups: Operation not permitted");
        return;
    }
    // nobody is a member of no group but its own.
    EXPECT_EQ(DropInChild("nobody"),
              strIds + ", thread " + strIds + ", groups " + std::to_string(pw->pw_gid));
}
