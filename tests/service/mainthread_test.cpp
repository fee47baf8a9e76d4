// The service main thread and the stop control, in this process, with
// stand-ins for the configuration reader and the two service threads.
#include "service/mainthread.h"
#include "service/service.h"
#include "service/stopevent.h"

#include <gtest/gtest.h>

#include <ace/OS_NS_unistd.h>
#include <ace/Time_Value.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace
{
std::mutex mtxEvents;
std::vector<std::string> vEvents;
std::atomic<long> nTftpTid{0}, nBootTid{0};

void Note(const std::string& s)
{
    std::lock_guard<std::mutex> lock(mtxEvents);
    vEvents.push_back(s);
}

int IndexOf(const std::string& s)
{
    std::lock_guard<std::mutex> lock(mtxEvents);
    for (size_t i = 0; i < vEvents.size(); ++i)
        if (vEvents[i] == s)
            return (int)i;
    return -1;
}

bool StopSignalled()
{
    ACE_Time_Value tvZero(0);
    return evStop.wait(&tvZero, 0) != -1;
}

void ReadConfigurationStandIn()
{
    // The threads must not exist yet while the settings are written.
    Note(nTftpTid == 0 && nBootTid == 0 ? "config" : "config after a thread");
}

// A shut-down arrives while the configuration is being read.
void ReadConfigurationThenStop()
{
    ReadConfigurationStandIn();
    Service svc;
    svc.handle_control(SERVICE_CONTROL_SHUTDOWN);
}

// Loops like a service thread: tests evStop once per pass.
void ServeUntilStop(int iPassMs)
{
    while (!StopSignalled())
        ACE_OS::sleep(ACE_Time_Value(0, iPassMs * 1000));
}

ACE_THR_FUNC_RETURN TftpStandIn(void*)
{
    nTftpTid = syscall(SYS_gettid);
    Note("tftp start");
    ServeUntilStop(50);
    // Leaves well after the boot thread: the main thread must still wait for it.
    ACE_OS::sleep(ACE_Time_Value(0, 300 * 1000));
    Note("tftp end");
    return 0;
}

ACE_THR_FUNC_RETURN BootStandIn(void*)
{
    nBootTid = syscall(SYS_gettid);
    Note("boot start");
    ServeUntilStop(10);
    Note("boot end");
    return 0;
}

class MainThread : public ::testing::Test
{
protected:
    void SetUp() override
    {
        // The real event is never reset; each test here starts from a fresh one.
        evStop.reset();
        vEvents.clear();
        nTftpTid = 0;
        nBootTid = 0;
        bDebugMode = 1;  // keep the log on standard error
    }
    void TearDown() override { evStop.reset(); }
};
}  // namespace

TEST_F(MainThread, ConfigurationFirstThenTftpThenBootAndBothJoinedBeforeReturn)
{
    std::atomic<bool> bReturned{false};
    std::thread main([&] {
        RunMainThread({ReadConfigurationStandIn, TftpStandIn, BootStandIn});
        Note("returned");
        bReturned = true;
    });
    // Serving: both threads run and the routine waits.
    auto fnBothRunning = [] { return IndexOf("tftp start") >= 0 && IndexOf("boot start") >= 0; };
    for (int i = 0; i < 250 && !fnBothRunning(); ++i)
        ACE_OS::sleep(ACE_Time_Value(0, 20 * 1000));
    ASSERT_TRUE(fnBothRunning());
    ACE_OS::sleep(ACE_Time_Value(0, 100 * 1000));
    EXPECT_FALSE(bReturned);

    Service svc;
    svc.handle_control(SERVICE_CONTROL_STOP);
    main.join();

    EXPECT_EQ(IndexOf("config"), 0);
    // Thread ids are handed out in creation order: the TFTP thread is made first.
    EXPECT_LT(nTftpTid.load(), nBootTid.load());
    // Returns only after both have ended, the slow TFTP thread included.
    EXPECT_LT(IndexOf("boot end"), IndexOf("returned"));
    EXPECT_LT(IndexOf("tftp end"), IndexOf("returned"));
    EXPECT_LT(IndexOf("boot end"), IndexOf("tftp end"));
}

TEST_F(MainThread, StopDuringStartUpIsNotLost)
{
    std::atomic<bool> bReturned{false};
    std::thread main([&] {
        RunMainThread({ReadConfigurationThenStop, TftpStandIn, BootStandIn});
        bReturned = true;
    });
    for (int i = 0; i < 500 && !bReturned; ++i)
        ACE_OS::sleep(ACE_Time_Value(0, 20 * 1000));
    ASSERT_TRUE(bReturned);
    main.join();
    // Both threads were started, saw the stop at their first check and ended.
    EXPECT_GE(IndexOf("tftp end"), 0);
    EXPECT_GE(IndexOf("boot end"), 0);
}

TEST_F(MainThread, AMissingThreadIsNotWaitedFor)
{
    std::thread main([] { RunMainThread({ReadConfigurationStandIn, nullptr, BootStandIn}); });
    for (int i = 0; i < 250 && IndexOf("boot start") < 0; ++i)
        ACE_OS::sleep(ACE_Time_Value(0, 20 * 1000));
    evStop.signal();
    main.join();
    EXPECT_EQ(IndexOf("tftp start"), -1);
    EXPECT_GE(IndexOf("boot end"), 0);
}

TEST(ServiceControl, StopAndShutdownSignalTheStopEventOthersDoNot)
{
    evStop.reset();
    Service svc;
    svc.handle_control(4);  // interrogate
    svc.handle_control(2);  // pause
    EXPECT_FALSE(StopSignalled());
    svc.handle_control(SERVICE_CONTROL_STOP);
    EXPECT_TRUE(StopSignalled());
    // Again, and a shut-down on top: the event simply stays signalled.
    svc.handle_control(SERVICE_CONTROL_STOP);
    svc.handle_control(SERVICE_CONTROL_SHUTDOWN);
    EXPECT_TRUE(StopSignalled());
    evStop.reset();
    svc.handle_control(SERVICE_CONTROL_SHUTDOWN);
    EXPECT_TRUE(StopSignalled());
    evStop.reset();
}

TEST(ServiceControl, NamesOfTheService)
{
    Service* pService = SERVICE::instance();
    ASSERT_NE(pService, nullptr);
    EXPECT_EQ(pService, SERVICE::instance());
    pService->name(kServiceName, kServiceDisplayName);
    EXPECT_STREQ(pService->name(), "QvnPXE");
    EXPECT_STREQ(pService->desc(), "Quillon Management PXE Service");
    EXPECT_EQ(pService->UnitPath(), "/usr/local/lib/systemd/system/QvnPXE.service");
}
