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
#include <stdio.h>

#include <string>
#include <vector>

#ifndef PXE_VERSION
#define PXE_VERSION "1.0.0.0"
#endif

const char* ProgramVersion() { return PXE_VERSION; }

Process::Process()
    : bInstall(0), bRemove(0), bStart(0), bKill(0), bSetStartType(0), nStartType(0), bVersion(0),
      bCheck(0), bHelp(0)
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

// What "-h" and "--help" print on standard output.
const char* const kHelpText =
    "Usage: pxeservice [-i] [-r] [-s] [-k] [-t N] [-d] [-v] [--check] [-h]\n"
    "A network-boot server: PXE proxy DHCP (UDP 67), PXE boot server (UDP 4011) and\n"
    "TFTP (UDP 69). A client is answered only once the management console has a task\n"
    "for it. Without an option the program runs as the systemd service.\n"
    "  -i        install the systemd unit QvnPXE.service (started on demand)\n"
    "  -r        remove the unit\n"
    "  -s        start the service (systemctl start)\n"
    "  -k        stop the service (systemctl stop)\n"
    "  -t N      start type: 2 enable, 3 disable (on demand), 4 mask\n"
    "  -d        run in the foreground, logging to standard error, until SIGINT,\n"
    "            SIGTERM or SIGHUP\n"
    "  -v        print the version (exit status 1)\n"
    "  --check   check both configuration files and the machine, print one line\n"
    "            per finding; exit status 1 when one is an error\n"
    "  -h, --help  print this text\n"
    "Files: pxeservice.cfg and pxeservice.log beside the program, Gateway.cfg.\n"
    "See pxeservice(8).\n";

void Process::Help()
{
    fputs(kHelpText, stdout);
    fflush(stdout);
}

void Process::ParseArgs(int argc, char* argv[])
{
    // Skip the program name; the library's own error messages stay off.
    ACE_Get_Opt getOpt(argc, argv, "irskt:dvh", 1, 0);
    getOpt.long_option("help", 'h');
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
            bDebugMode = 1;
            break;
        case 'v':
            bVersion = 1;
            break;
        case kCheckOption:
            bCheck = 1;
            break;
        case 'h':
            bHelp = 1;
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
    if (bHelp)
    {
        Help();
        return 0;
    }
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
    if (bDebugMode)
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
