// The service object: what the service manager runs and stops.
#pragma once

#include "platform/servicemanager.h"

#include <ace/Mutex.h>
#include <ace/Singleton.h>

class Service : public TServiceManager
{
public:
    Service() = default;
    ~Service() override;

    // Runs mainthread_proc (which reports the service running once its ports
    // are bound), returns 0.
    int svc() override;
    // Stop and shut-down: report stop pending and signal evStop (harmless to
    // repeat). Reopen: ReopenLogFiles. Every other control goes to the base.
    void handle_control(unsigned long nControl) override;
};

typedef ACE_Singleton<Service, ACE_Mutex> SERVICE;

// Service name, display name, description, and the service it depends on.
constexpr const char* kServiceName = "QvnPXE";
constexpr const char* kServiceDisplayName = "Quillon Management PXE Service";
constexpr const char* kServiceDescription = "Quillon - PXE Service";
constexpr const char* kGatewayServiceName = "QvnGateway";
