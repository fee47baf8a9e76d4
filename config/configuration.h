// Reading the service's configuration into gSettings and bAnyNic.
//
// Two XML files are read once at start-up: the service's own file (the
// program path with ".cfg" in place of its extension) for the TFTP root, the
// boot-server options and the console port, and the gateway's "Gateway.cfg"
// for the network interface to use. A missing TFTP root ends the process with
// status -1; an unreadable or malformed file throws TTiXmlException, which is
// left to the caller.
#pragma once

#include "platform/interfaces.h"

#include <functional>
#include <string>
#include <vector>

// What the reader needs from the machine. System() gives the real program
// path, the common application-data folder and the adapter list; tests give
// their own.
struct TConfigPlatform
{
    // The program's full path; false when it cannot be had.
    std::function<bool(std::string&)> fnProgramPath;
    // The folder of application data shared by all users, without a trailing "/".
    std::function<bool(std::string&)> fnAppDataFolder;
    // The network adapters (see GetAdapterList); 0 on success.
    std::function<int(std::vector<TAdapter>&)> fnAdapters;
    // Ends the start-up on a fatal error with the status given; none: FatalExit().
    std::function<void(int)> fnExit;

    static TConfigPlatform System();
};

// Fills every field of gSettings and bAnyNic from the configuration files.
void ReadConfiguration();
void ReadConfiguration(const TConfigPlatform& platform);

// Finds and reads "Gateway.cfg"; sets gSettings.strIpAddress and bAnyNic.
void ReadGatewayInterface();
void ReadGatewayInterface(const TConfigPlatform& platform);

// The address to use when no interface is configured: "127.0.0.1" when the
// list cannot be had or is empty, else the first IPv4 address of the first
// wired Ethernet adapter that has one, else "any NIC".
std::string ChooseAdapterAddress(int iListResult, const std::vector<TAdapter>& vAdapters);
