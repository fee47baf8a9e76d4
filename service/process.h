// The program's front: the command line and what it asks for.
//
//   -i  install the service      -r  remove it
//   -s  start it                 -k  stop ("kill") it
//   -t N  start type: 2 enabled, 3 on demand, 4 disabled
//   -d  run in the foreground until SIGINT, SIGTERM or SIGHUP
//   -v  show the version
//   --check  check the configuration and the machine, print what is wrong
//   -h, --help  print the usage text on standard output
// Without options the program expects to have been started by the service
// manager and runs as the service.
#pragma once

#include <ace/Mutex.h>
#include <ace/Singleton.h>

class Process
{
public:
    Process();
    ~Process();

    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    // Does what the command line asks; the result is the exit status.
    int Run(int argc, char* argv[]);
    // Fills the flags ("-d" sets bDebugMode, the one debug flag of the
    // process); an option error ends the process through Usage.
    void ParseArgs(int argc, char* argv[]);
    // Logs the usage text and ends the process with status 1.
    [[noreturn]] void Usage();
    // Prints the description of the options on standard output.
    void Help();

    char szProgName[128];
    int bInstall;
    int bRemove;
    int bStart;
    int bKill;
    int bSetStartType;
    int nStartType;
    int bVersion;
    int bCheck;
    int bHelp;
};

typedef ACE_Singleton<Process, ACE_Mutex> PROCESS;

// The version shown by "-v": four numbers joined by ".".
const char* ProgramVersion();
