// The settings the running service takes from its configuration.
// Written once at start-up by the configuration reader, before any service
// thread exists; only read afterwards, without a lock.
#pragma once

#include <cstdint>
#include <map>
#include <string>

struct TSettings
{
    std::string strTftpRoot;     // TFTP root, always ends with "/" or "\\"
    std::string strMultiCast;    // dotted multicast address (read and logged only)
    std::string strIpAddress;    // own address, also the console's host; "any NIC" when none chosen
    std::string strConsolePort;  // decimal TCP port of the console
    bool bRunWithDhcp =
        false;  // an ordinary DHCP server answers on this machine: leave port 67 alone
    // Boot-file folder by client architecture (option 93), each ending with "/"
    // or "\\"; empty: every client gets the same names
    std::map<uint16_t, std::string> mapArchFolders;
    bool bTftpNegotiate =
        false;  // TFTP option negotiation (blksize, windowsize, timeout, tsize) switched on
    int iTftpMaxBlockSize = 1468;  // largest TFTP block size granted, 8 to 65464
    int iTftpMaxWindowSize = 16;   // largest TFTP window granted, 1 to 64
    int iTftpMaxTransfers = 256;         // TFTP transfers at once, 1 to 10000
    int iTftpMaxTransfersPerClient = 8;  // TFTP transfers at once from one address, 1 to 256
    int iTftpMaxTimeout = 10;            // largest "timeout" option granted, 1 to 255 seconds
    // User the service runs as once its ports are bound; empty: stay as started
    std::string strServiceUser;
    // File that takes a record (a JSON line) of every boot event; empty: none
    std::string strLogRecords;
    bool bLogJournal = false;  // the same events go to the systemd journal
    int iHttpPort = 0;                      // TCP port of the HTTP server, 1 to 65535; 0: none
    int iHttpMaxConnections = 256;          // HTTP connections at once, 1 to 10000
    int iHttpMaxConnectionsPerClient = 32;  // HTTP connections at once from one address, 1 to 10000
    // Prefix of the URLs clients are given, ending with "/" (see config/baseurl.h);
    // empty: http://<address the request arrived on>:<iHttpPort>/
    std::string strHttpBaseUrl;
    bool bHttpForIpxe = true;  // iPXE clients are to be given the HTTP URL
};

extern TSettings gSettings;
extern bool bAnyNic;  // true when no particular network interface is configured
