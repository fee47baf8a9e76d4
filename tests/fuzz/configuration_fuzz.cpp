// libFuzzer target: arbitrary files into the configuration reader. The input
// is the program's configuration file, and after a line "--Gateway.cfg--"
// the gateway's (else one naming 198.18.0.1). The reader either ends the
// start-up (TTiXmlException, the out-of-range error of an empty TFTP root, or
// its fatal exit, thrown here) or leaves settings the service can use: a TFTP
// root ending in a separator, a console port of 1 to 65535, and the address
// of the gateway's NIC or, without one, the adapter's.
#define FUZZ_QUIET_LOG
#include "config/configuration.h"
#include "config/settings.h"
#include "config/tinyxml.h"
#include "fuzzcheck.h"

#include <net/if_arp.h>
#include <strings.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>

namespace
{
struct TFatalExit
{
};

std::string strDir;

void Write(const std::string& strPath, const std::string& strText)
{
    std::ofstream(strPath, std::ios::binary | std::ios::trunc) << strText;
}

void RemoveDir()
{
    for (const char* sz : {"/bin/pxeservice.cfg", "/Gateway.cfg"})
        unlink((strDir + sz).c_str());
    rmdir((strDir + "/bin").c_str());
    rmdir(strDir.c_str());
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    QuietLog();
    char szTemplate[] = "/tmp/pxefuzz-XXXXXX";
    if (mkdtemp(szTemplate) == nullptr)
        std::abort();
    strDir = szTemplate;
    FUZZ_CHECK(mkdir((strDir + "/bin").c_str(), 0700) == 0, "no folder for the files");
    atexit(RemoveDir);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    const std::string strInput(reinterpret_cast<const char*>(pData), nSize),
        strMark = "\n--Gateway.cfg--\n";
    const size_t nMark = strInput.find(strMark);
    const std::string strGateway = nMark == std::string::npos
                                       ? "<G><NIC>198.18.0.1</NIC></G>"
                                       : strInput.substr(nMark + strMark.size());
    Write(strDir + "/bin/pxeservice.cfg", strInput.substr(0, nMark));
    Write(strDir + "/Gateway.cfg", strGateway);

    TConfigPlatform platform;
    platform.fnProgramPath = [](std::string& strPath) {
        return strPath = strDir + "/bin/pxeservice", true;
    };
    platform.fnAppDataFolder = [](std::string& strFolder) {
        return strFolder = strDir + "/none", true;
    };
    platform.fnAdapters = [](std::vector<TAdapter>& v) {
        return v = {{2, "eth0", ARPHRD_ETHER, false, {"198.18.0.5"}}}, 0;
    };
    platform.fnExit = [](int) { throw TFatalExit(); };
    gSettings = TSettings();
    bAnyNic = false;
    try
    {
        ReadConfiguration(platform);
    }
    catch (const TTiXmlException&)
    {
        return 0;
    }
    catch (const std::out_of_range&)
    {
        return 0;
    }
    catch (const TFatalExit&)
    {
        return 0;
    }
    const std::string& strRoot = gSettings.strTftpRoot;
    FUZZ_CHECK(!strRoot.empty() && (strRoot.back() == '/' || strRoot.back() == '\\'),
               "TFTP root without separator");
    const long lPort = std::strtol(gSettings.strConsolePort.c_str(), nullptr, 10);
    FUZZ_CHECK(lPort >= 1 && lPort <= 65535, "console port outside 1-65535");
    const std::string& strIp = gSettings.strIpAddress;
    FUZZ_CHECK(!strIp.empty(), "no address");
    FUZZ_CHECK(bAnyNic == (strIp == "198.18.0.5") ||
                   strGateway.find("198.18.0.5") != std::string::npos,
               "the adapter's address without any NIC, or any NIC with another address");
    FUZZ_CHECK(strcasecmp(strIp.c_str(), "any NIC") != 0, "\"any NIC\" left as the address");
    return 0;
}
