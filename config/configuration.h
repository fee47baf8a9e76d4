// Reading the service's configuration into gSettings and bAnyNic.
//
// Two XML files are read once at start-up: the service's own file (the
// program path with ".cfg" in place of its extension) for the TFTP root, the
// boot-server options and the console port, and the gateway's "Gateway.cfg"
// for the network interface to use. A missing TFTP root ends the process with
// status -1; an unreadable or malformed file throws TTiXmlException, which is
// left to the caller.
#pragma once

#include "config/tinyxml.h"
#include "platform/interfaces.h"

#include <functional>
#include <memory>
#include <stdexcept>
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

// The standard out-of-range error that an empty TFTP root raises, with the
// reason in plain words beside it.
class TSettingFault : public std::out_of_range
{
public:
    explicit TSettingFault(const std::string& strReason_)
        : std::out_of_range("invalid string position"), strReason(strReason_)
    {
    }
    std::string strReason;
};

// The service's own configuration file: the program path with ".cfg".
std::string OwnConfigurationFile(const TConfigPlatform& platform);
// The "Gateway.cfg" to read: the first of the two well-known places that
// exists, else the one above the program's folder (not tested). The places
// looked at, in order, in *pTried when given.
std::string GatewayConfigurationFile(const TConfigPlatform& platform,
                                     std::vector<std::string>* pTried = nullptr);

// Loads the Gateway.cfg chosen from the places in vTried (not parsed yet);
// when it cannot be opened either, the exception's reason names them all.
std::unique_ptr<TTiXmlDoc> LoadGatewayFile(const std::string& strFile,
                                           const std::vector<std::string>& vTried);

// The two files as read, for a look at them afterwards.
struct TConfigDocuments
{
    std::string strOwnFile, strGatewayFile;
    std::unique_ptr<TTiXmlDoc> pOwn, pGateway;  // null: not read
};

// Fills every field of gSettings and bAnyNic from the configuration files;
// keeps the documents read in *pKeep when given.
void ReadConfiguration();
void ReadConfiguration(const TConfigPlatform& platform, TConfigDocuments* pKeep = nullptr);

// Finds and reads "Gateway.cfg"; sets gSettings.strIpAddress and bAnyNic.
void ReadGatewayInterface();
void ReadGatewayInterface(const TConfigPlatform& platform, TConfigDocuments* pKeep = nullptr);

// The address to use when no interface is configured: "127.0.0.1" when the
// list cannot be had or is empty, else the first IPv4 address of the first
// wired Ethernet adapter that has one, else "any NIC".
std::string ChooseAdapterAddress(int iListResult, const std::vector<TAdapter>& vAdapters);
