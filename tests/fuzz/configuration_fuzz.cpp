// libFuzzer target: arbitrary files into the configuration reader. The input
// is the program's configuration file, and after a line "--Gateway.cfg--"
// the gateway's (else one naming 198.18.0.1). The reader either ends the
// start-up (TTiXmlException, the out-of-range error of an empty TFTP root, or
// its fatal exit, thrown here) or leaves settings the service can use: a TFTP
// root ending in a separator, a console port of 1 to 65535 and an address.
#define FUZZ_QUIET_LOG
#include "config/configuration.h"
#include "config/settings.h"
#include "config/tinyxml.h"
#include "fuzzcheck.h"

#include <net/if_arp.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

static std::string strDir;  // the program's folder is bin/ in it, Gateway.cfg beside that

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    QuietLog();
    char szTemplate[] = "/tmp/pxefuzz-XXXXXX";
    FUZZ_CHECK(mkdtemp(szTemplate) != nullptr, "no folder for the files");
    strDir = szTemplate;
    atexit([] { std::filesystem::remove_all(strDir); });
    std::filesystem::create_directory(strDir + "/bin");  // throws when it cannot be made
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    const std::string strInput(reinterpret_cast<const char*>(pData), nSize),
        strMark = "\n--Gateway.cfg--\n";
    const size_t nMark = strInput.find(strMark);
    std::ofstream(strDir + "/bin/pxeservice.cfg", std::ios::binary) << strInput.substr(0, nMark);
    std::ofstream(strDir + "/Gateway.cfg", std::ios::binary)
        << (nMark == std::string::npos ? "<G><NIC>198.18.0.1</NIC></G>"
                                       : strInput.substr(nMark + strMark.size()));
    TConfigPlatform platform{
        [](std::string& strPath) { return strPath = strDir + "/bin/pxeservice", true; },
        [](std::string& strFolder) { return strFolder = strDir + "/none", true; },
        [](std::vector<TAdapter>& v) {
            return v = {{2, "eth0", ARPHRD_ETHER, false, {"198.18.0.5"}}}, 0;
        },
        [](int iStatus) { throw iStatus; }};
    gSettings = TSettings();
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
    catch (int)
    {
        return 0;
    }
    const std::string& strRoot = gSettings.strTftpRoot;
    FUZZ_CHECK(!strRoot.empty() && (strRoot.back() == '/' || strRoot.back() == '\\'),
               "TFTP root without separator");
    const long lPort = std::strtol(gSettings.strConsolePort.c_str(), nullptr, 10);
    FUZZ_CHECK(lPort >= 1 && lPort <= 65535, "console port outside 1-65535");
    FUZZ_CHECK(!gSettings.strIpAddress.empty(), "no address");
    return 0;
}
