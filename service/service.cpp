#include "service/service.h"

#include "service/mainthread.h"
#include "core/stopevent.h"

Service::~Service() = default;

int Service::svc()
{
    // Reports the service running once its ports are bound (a foreground run
    // reports nothing).
    mainthread_proc();
    return 0;
}

void Service::handle_control(unsigned long nControl)
{
    if (nControl == SERVICE_CONTROL_STOP || nControl == SERVICE_CONTROL_SHUTDOWN)
    {
        report_status(SERVICE_STOP_PENDING, 0);
        evStop.signal();
        return;
    }
    if (nControl == SERVICE_CONTROL_REOPEN)
    {
        ReopenLogFiles();
        return;
    }
    TServiceManager::handle_control(nControl);
}
