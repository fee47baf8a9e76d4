// "pxeservice --check": both configuration files read as a start reads them,
// every mistake collected instead of the first one ending the run, and the
// machine looked at as the running service would meet it: the interface,
// the TFTP root and its folders, the UDP ports, the console.
#pragma once

#include "config/configuration.h"
#include "config/elements.h"
#include "platform/ports.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// What the check asks of the machine. System() gives the real one; a
// function left empty is a check left out.
struct TCheckEnvironment
{
    // The network interfaces (see GetAdapterList); 0 on success.
    std::function<int(std::vector<TAdapter>&)> fnAdapters;
    // The interface that carries a dotted IPv4 address; "" when none does.
    std::function<std::string(const std::string&)> fnInterfaceOf;
    // 0 when the path is a folder this user can read and enter; else the
    // error (ENOENT, ENOTDIR, EACCES, ...).
    std::function<int(const std::string&)> fnFolderAccess;
    // The sockets bound to a UDP port, with their holders.
    std::function<std::vector<TPortUser>(uint16_t)> fnUdpPortUsers;
    // A TCP connect to a dotted address and port within a short time; 0 or the error.
    std::function<int(const std::string&, uint16_t)> fnConnect;

    static TCheckEnvironment System();
};

// How long the console gets to accept the check's connection.
constexpr int kConsoleProbeMs = 2000;

// Every finding about the documents read (null ones are left out) and the
// machine, in the order of the files and of the checks.
TFindings CheckDocuments(const TConfigDocuments& docs, const TCheckEnvironment& environment);

// Reads both files as a start does, each fault of them a finding, and
// checks what could be read.
TFindings CheckSetup(const TConfigPlatform& platform, const TCheckEnvironment& environment);

// Reads the configuration (ReadConfiguration), then logs what the check
// finds in the documents read, their folders and the interface as LM_WARNING
// lines: a start never fails because of them.
void ReadAndCheckConfiguration();

// Prints every finding on standard output, one a line, and a last line that
// counts them; the exit status: 1 when there is an error, else 0.
int RunConfigurationCheck();
