// The settings the running service takes from its configuration.
// Written once at start-up by the configuration reader, before any service
// thread exists; only read afterwards, without a lock.
#pragma once

#include <string>

struct TSettings
{
    std::string strTftpRoot;     // TFTP root, always ends with "/" or "\\"
    std::string strMultiCast;    // dotted multicast address (read and logged only)
    std::string strIpAddress;    // own address, also the console's host; "any NIC" when none chosen
    std::string strConsolePort;  // decimal TCP port of the console
    bool bRunWithDhcp = false;   // an ordinary DHCP server answers on this machine: leave port 67 alone
};

extern TSettings gSettings;
extern bool bAnyNic;  // true when no particular network interface is configured
