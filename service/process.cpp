#include "service/process.h"

#include "config/check.h"
#include "platform/signals.h"
#include "service/mainthread.h"
#include "service/service.h"

#include <ace/Get_Opt.h>
#include <ace/Init_ACE.h>
#include <ace/Log_Msg.h>
#include <ace/OS_NS_stdlib.h>
#include <ace/OS_NS_string.h>

#include <errno.h>

#include <string>
#include <vector>

#ifndef PXE_VERSION
#define PXE_VERSION "1.0.0.0"
#endif

const char* ProgramVersion() { return PXE_VERSION; }

Process::Process()
    : bInstall(0), bRemove(0), bStart(0), bKill(0), bSetStartType(0), bDebug(0), nStartType(0),
      bVersion(0), bCheck(0)
{
    ACE_OS::strcpy(szProgName, "PXE Service");
    ACE::init();
}

Process::~Process() { ACE::fini(); }

void Process::Usage()
{
    ACE_DEBUG((LM_INFO,
               "Usage: %s -i -r -s -k -d -v \n"
               "  -i: Install this program as an NT service, with specified startup\n"
               "  -r: Remove this program from the Service Manager\n"
               "  -s: Start the service\n"
               "  -k: Kill the service\n"
               "  -d: Debug; run as a regular application\n"
               "  -v: Display version\n",
               szProgName));
    ACE_OS::exit(1);
}

void Process::ParseArgs(int argc, char* argv[])
{
    // Skip the program name; the library's own error messages stay off.
    ACE_Get_Opt getOpt(argc, argv, "irskt:dv", 1, 0);
    const int kCheckOption = 0x100;  // a long option only
    getOpt.long_option("check", kCheckOption, ACE_Get_Opt::NO_ARG);
    int c;
    while ((c = getOpt()) != EOF)
    {
        switch (c)
        {
        case 'i':
            bInstall = 1;
            break;
        case 'r':
            bRemove = 1;
            break;
        case 's':
            bStart = 1;
            break;
        case 'k':
            bKill = 1;
            break;
        case 't':
            bSetStartType = 1;
            nStartType = ACE_OS::atoi(getOpt.opt_arg());
            if (nStartType < 1)
                Usage();
            break;
        case 'd':
            bDebug = 1;
            bDebugMode = 1;
            break;
        case 'v':
            bVersion = 1;
            break;
        case kCheckOption:
            bCheck = 1;
            break;
        default:
            Usage();
        }
    }
}

// Stop signals of a foreground run: what Ctrl+C does at the console.
static void ConsoleCtrlHandler(int, void*)
{
    if (bDebugMode)
        ACE_DEBUG((LM_INFO, "Enter CTRL+C, exiting...\n"));
    SERVICE::instance()->handle_control(SERVICE_CONTROL_STOP);
}

int Process::Run(int argc, char* argv[])
{
    Service* pService = SERVICE::instance();
    pService->name(kServiceName, kServiceDisplayName);

    ParseArgs(argc, argv);
    if (bCheck)
        return RunConfigurationCheck();

    if (bInstall && !bRemove)
    {
        int r = pService->insert();
        // The rest is best effort on whatever unit is there now (also one
        // that existed already): the result stays that of the insert.
        std::vector<std::string> vDependencies;
        if (pService->QueryDependencies(vDependencies) != 0)
            return r;
        if (vDependencies.empty())
            pService->AddDependency(kGatewayServiceName);
        pService->SetDescription(kServiceDescription);
        pService->Reload();
        return r;
    }
    if (bRemove && !bInstall)
        return pService->remove();
    if (bStart)
    {
        if (bKill)
            Usage();
        return pService->start_svc();
    }
    if (bKill)
        return pService->stop_svc();
    if (bSetStartType)
        return pService->startup((unsigned long)nStartType);
    if (bVersion)
    {
        ACE_DEBUG((LM_INFO, "PXE Service version: %s\r\n", ProgramVersion()));
        ACE_OS::exit(1);
    }
    if (bDebug)
    {
        TSignalThread signals;
        signals.Start(ConsoleCtrlHandler, nullptr);
        pService->svc();
        signals.Stop();
        return 0;
    }

    errno = 0;
    if (pService->StartDispatcher() != 0)
        ACE_ERROR((LM_ERROR, "%p\n", "Couldn't start service"));
    return 0;
}
