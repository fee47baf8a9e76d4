// The service main thread and the stop control, in this process, with
// stand-ins for the configuration reader and the two service threads.
#include "common/testutil.h"
#include "config/settings.h"
#include "service/mainthread.h"
#include "core/readiness.h"
#include "service/service.h"
#include "core/stopevent.h"

#include <gtest/gtest.h>

#include <ace/Time_Value.h>

#include <unistd.h>

#include <mutex>
#include <string>
#include <thread>

namespace
{
std::mutex mtxEvents;
std::string strEvents;  // "config;tftp start;..." in the order they happened
bool bStopInConfiguration = false;

void Note(const std::string& s)
{
    std::lock_guard<std::mutex> lock(mtxEvents);
    strEvents += s + ";";
}
int IndexOf(const std::string& s)  // -1 when it has not happened
{
    std::lock_guard<std::mutex> lock(mtxEvents);
    return int(strEvents.find(s + ";"));
}

void ReadConfigurationStandIn()
{
    gSettings.strIpAddress = "198.18.0.1";
    Note("config");
    for (int i = 0; bStopInConfiguration && i < 2; ++i)
        Service().handle_control(SERVICE_CONTROL_SHUTDOWN);
}

// Like a service thread: tests evStop once per pass. The TFTP one ends well
// after the boot one: the main thread must still wait for it.
template <int I> ACE_THR_FUNC_RETURN ServiceStandIn(void*)
{
    Note(I == 0 ? "tftp start" : "boot start");
    ServiceThreadBound();
    ACE_Time_Value tvZero(0);
    while (evStop.wait(&tvZero, 0) == -1)
        usleep(10 * 1000);
    usleep(I == 0 ? 300 * 1000 : 0);
    Note(I == 0 ? "tftp end" : "boot end");
    return 0;
}
}  // namespace

TEST(MainThread, ConfigurationThenTftpThenBootAndNoStopIsLost)
{
    bDebugMode = 1;  // keep the log on standard error
    for (bool bStopEarly : {false, true})
    {
        SCOPED_TRACE(bStopEarly ? "stop during start-up" : "stop while serving");
        evStop.reset();
        strEvents.clear();
        bStopInConfiguration = bStopEarly;
        std::thread main([] {
            RunMainThread({ReadConfigurationStandIn, ServiceStandIn<0>, ServiceStandIn<1>,
                           [](const std::string& strStatus) { Note("ready " + strStatus); }});
            Note("returned");
        });
        EXPECT_TRUE(WaitUntil(
            [] { return IndexOf("tftp start") >= 0 && IndexOf("boot start") >= 0; }, 5000));
        if (!bStopEarly)  // (a second stop while stopping: the service run lab's second signal)
            Service().handle_control(SERVICE_CONTROL_STOP);
        EXPECT_TRUE(WaitUntil([] { return IndexOf("returned") >= 0; }, 5000));
        evStop.signal();  // frees the main thread when the stop was lost
        main.join();
        EXPECT_EQ(IndexOf("config"), 0);  // the settings are complete before any service thread
        // Ready once both threads have bound, naming address and ports; not when stopping.
        const int iReady = IndexOf("ready Running on 198.18.0.1, UDP ports 67, 4011 and 69");
        EXPECT_TRUE(bStopEarly ? iReady == -1
                               : iReady > IndexOf("tftp start") && iReady > IndexOf("boot start"))
            << strEvents;
        for (const char* szEnd : {"tftp end", "boot end"})
            EXPECT_TRUE(IndexOf(szEnd) >= 0 && IndexOf(szEnd) < IndexOf("returned")) << szEnd;
    }
    evStop.reset();
}
