#include "config/configuration.h"

#include "config/archfolders.h"
#include "config/baseurl.h"
#include "config/elements.h"
#include "config/settings.h"
#include "config/tinyxml.h"
#include "core/decimal.h"
#include "platform/programpath.h"
#include "core/logfile.h"
#include "core/paths.h"
#include "platform/fatalexit.h"

#include <ace/Log_Msg.h>
#include <ace/OS_NS_stdlib.h>
#include <ace/OS_NS_strings.h>

#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

namespace
{
const char* const kAnyNic = "any NIC";
const char* const kDefaultMultiCast = "224.0.1.2";
const char* const kDefaultConsolePort = "40003";

// The child element of that name, or null (also when pParent is null).
TTiXmlElement* Child(const TTiXmlElement* pParent, const char* szName)
{
    return pParent == nullptr ? nullptr : pParent->FindChildElement(szName, 0);
}

// True when the number the text starts with (as atoi reads it) is a TCP port,
// 1 to 65535: 0, a text that is no number, and numbers that would wrap around
// in the port field are not.
bool IsConsolePort(const std::string& strPort)
{
    long lPort = std::strtol(strPort.c_str(), nullptr, 10);
    return lPort >= 1 && lPort <= 65535;
}

// Ends the start-up with status -1 (through the platform's exit when it has one).
[[noreturn]] void ExitFatal(const TConfigPlatform& platform)
{
    if (platform.fnExit)
        platform.fnExit(-1);
    FatalExit();
}

// One reading of the own file: a fatal fault logs its reason, found by the
// checks of the document, after the reader's own line.
struct TReading
{
    const TConfigPlatform& platform;
    const TTiXmlDoc& doc;
    const std::string& strFile;

    [[noreturn]] void Fatal(const char* szElement) const
    {
        const std::string strReason = ErrorAbout(doc, strFile, szElement);
        if (!strReason.empty())
            LOG_REASON(strReason);
        ExitFatal(platform);
    }
};

// The number an element of the group szGroup ("TFTP", "HTTP") holds, within
// the range of its row in the table of elements; iDefault when there is no
// such element. Anything else ends the start-up.
int NumberOrExit(const TReading& reading, const TTiXmlElement* pParent, const char* szName,
                 int iDefault, const char* szGroup = "TFTP")
{
    TTiXmlElement* pElement = Child(pParent, szName);
    if (pElement == nullptr)
        return iDefault;
    const TElementRule* pRule = FindElementRule(szGroup, szName);
    const std::string& strValue = pElement->Value();
    const long iValue = ParseDecimal(strValue.c_str());
    if (iValue < pRule->iMin || iValue > pRule->iMax)
    {
        ACE_DEBUG((LM_ERROR,
                   LOG_PREFIX
                   "Read %s setting error: %s \"%s\" is not a number from %d to %d at %D\n",
                   szGroup, szName, strValue.c_str(), pRule->iMin, pRule->iMax));
        reading.Fatal(szName);
    }
    return static_cast<int>(iValue);
}

// The HTTP server and the URLs clients are given: nothing is logged without
// the "HTTP" element.
void ReadHttpSettings(const TReading& reading, const TTiXmlElement* pHttp)
{
    gSettings.iHttpPort = NumberOrExit(reading, pHttp, "Port", 0, "HTTP");
    gSettings.iHttpMaxConnections = NumberOrExit(reading, pHttp, "MaxConnections", 256, "HTTP");
    gSettings.iHttpMaxConnectionsPerClient =
        NumberOrExit(reading, pHttp, "MaxConnectionsPerClient", 32, "HTTP");
    if (TTiXmlElement* pUrl = Child(pHttp, "BaseUrl"))
    {
        std::string strFault;
        if (!ParseBaseUrl(pUrl->Value(), gSettings.strHttpBaseUrl, strFault))
        {
            ACE_DEBUG((LM_ERROR, LOG_PREFIX "Read HTTP setting error: BaseUrl \"%s\" %s at %D\n",
                       pUrl->Value().c_str(), strFault.c_str()));
            reading.Fatal("BaseUrl");
        }
    }
    TTiXmlElement* pIpxe = Child(pHttp, "ForIpxe");
    gSettings.bHttpForIpxe =
        pIpxe == nullptr || ACE_OS::strncasecmp(pIpxe->Value().c_str(), "yes", 3) == 0;
    if (gSettings.iHttpPort != 0)
        ACE_DEBUG((LM_DEBUG, LOG_PREFIX "HTTP server on TCP port %d, up to %d connections at %D\n",
                   gSettings.iHttpPort, gSettings.iHttpMaxConnections));
    if (!gSettings.strHttpBaseUrl.empty())
        ACE_DEBUG(
            (LM_DEBUG, LOG_PREFIX "HTTP base URL %s at %D\n", gSettings.strHttpBaseUrl.c_str()));
}

// Option negotiation of the TFTP server and its limits: logged only when asked for.
void ReadTftpNegotiation(const TReading& reading, const TTiXmlElement* pTftp)
{
    TTiXmlElement* pNegotiate = Child(pTftp, "Negotiate");
    gSettings.bTftpNegotiate =
        pNegotiate != nullptr && ACE_OS::strncasecmp(pNegotiate->Value().c_str(), "yes", 3) == 0;
    gSettings.iTftpMaxBlockSize = NumberOrExit(reading, pTftp, "MaxBlockSize", 1468);
    gSettings.iTftpMaxWindowSize = NumberOrExit(reading, pTftp, "MaxWindowSize", 16);
    gSettings.iTftpMaxTransfers = NumberOrExit(reading, pTftp, "MaxTransfers", 256);
    gSettings.iTftpMaxTransfersPerClient = NumberOrExit(reading, pTftp, "MaxTransfersPerClient", 8);
    gSettings.iTftpMaxTimeout = NumberOrExit(reading, pTftp, "MaxTimeout", 10);
    if (gSettings.bTftpNegotiate)
        ACE_DEBUG((LM_DEBUG,
                   LOG_PREFIX
                   "TFTP option negotiation on: blocks up to %d bytes, windows up to %d at %D\n",
                   gSettings.iTftpMaxBlockSize, gSettings.iTftpMaxWindowSize));
}

std::string ProgramPathOrExit(const TConfigPlatform& platform)
{
    std::string strPath;
    if (!platform.fnProgramPath || !platform.fnProgramPath(strPath))
    {
        ACE_DEBUG((LM_ERROR, LOG_PREFIX "error: GetModuleFileName at %D\n"));
        ExitFatal(platform);
    }
    return strPath;
}

// "Gateway.cfg" in the folder above the program's folder; appended to the
// whole path when it has fewer than two "/".
std::string GatewayBesideProgram(const std::string& strProgram)
{
    std::string strPath = strProgram;
    std::string::size_type nLast = strPath.rfind('/');
    if (nLast != std::string::npos && nLast > 0)
    {
        std::string::size_type nAbove = strPath.rfind('/', nLast - 1);
        if (nAbove != std::string::npos)
            strPath.erase(nAbove);
    }
    return strPath + "/Gateway.cfg";
}
}  // namespace

TConfigPlatform TConfigPlatform::System()
{
    TConfigPlatform platform;
    platform.fnProgramPath = [](std::string& strPath) { return GetModuleFileName(strPath); };
    platform.fnAppDataFolder = [](std::string& strFolder) {
        strFolder = GetCommonAppDataFolder();
        return !strFolder.empty();
    };
    platform.fnAdapters = [](std::vector<TAdapter>& vAdapters) {
        return GetAdapterList(vAdapters);
    };
    return platform;
}

std::string ChooseAdapterAddress(int iListResult, const std::vector<TAdapter>& vAdapters)
{
    if (iListResult != 0 || vAdapters.empty())
        return "127.0.0.1";
    // An Ethernet adapter without an address would name this server 0.0.0.0
    // in every reply: it is passed over.
    for (const TAdapter& adapter : vAdapters)
    {
        if (adapter.IsEthernet() && !adapter.vIpv4.empty())
            return adapter.vIpv4.front();
    }
    return kAnyNic;
}

void ReadConfiguration() { ReadConfiguration(TConfigPlatform::System()); }

void ReadGatewayInterface() { ReadGatewayInterface(TConfigPlatform::System()); }

std::string OwnConfigurationFile(const TConfigPlatform& platform)
{
    return ReplaceExtension(ProgramPathOrExit(platform), ".cfg");
}

void ReadConfiguration(const TConfigPlatform& platform, TConfigDocuments* pKeep)
{
    std::string strFile = OwnConfigurationFile(platform);

    auto pDoc = std::make_unique<TTiXmlDoc>(strFile, true);
    const TTiXmlDoc& doc = *pDoc;
    pDoc->Parse(nullptr);
    TTiXmlElement* pRoot = doc.FirstElement();
    const TReading reading{platform, doc, strFile};

    TTiXmlElement* pTftp = Child(pRoot, "TFTP");
    TTiXmlElement* pDir = Child(pTftp, "RootDirectory");
    if (pDir == nullptr)
    {
        ACE_DEBUG((LM_ERROR, LOG_PREFIX "Read TFTP setting error: %s at %D\n",
                   gSettings.strTftpRoot.c_str()));
        reading.Fatal("RootDirectory");
    }
    gSettings.strTftpRoot = pDir->Value();
    if (gSettings.strTftpRoot.empty())
        throw TSettingFault(ErrorAbout(doc, strFile, "RootDirectory"));
    char cLast = gSettings.strTftpRoot.back();
    if (cLast != '/' && cLast != '\\')
        gSettings.strTftpRoot += '/';
    ReadTftpNegotiation(reading, pTftp);

    TTiXmlElement* pBoot = Child(pRoot, "BootServer");
    TTiXmlElement* pMultiCast = Child(pBoot, "MultiCast");
    if (pMultiCast != nullptr)
        gSettings.strMultiCast = pMultiCast->Value();
    else
    {
        gSettings.strMultiCast = kDefaultMultiCast;
        ACE_DEBUG((LM_DEBUG, LOG_PREFIX "Set MultiCast to default 224.0.1.2 at %D\n"));
    }

    TTiXmlElement* pDhcp = Child(pBoot, "RunWithDhcp");
    gSettings.bRunWithDhcp =
        pDhcp != nullptr && ACE_OS::strncasecmp(pDhcp->Value().c_str(), "yes", 3) == 0;
    if (gSettings.bRunWithDhcp)
        ACE_DEBUG((LM_DEBUG, LOG_PREFIX "Running with dhcp at %D\n"));
    else
        ACE_DEBUG((LM_DEBUG, LOG_PREFIX "Running alone without dhcp at %D\n"));

    std::string strFault;
    TTiXmlElement* pArch = Child(pBoot, "ArchFolders");
    if (pArch != nullptr && !ParseArchFolders(pArch->Value(), gSettings.mapArchFolders, strFault))
    {
        ACE_DEBUG(
            (LM_ERROR, LOG_PREFIX "Read ArchFolders setting error: %s at %D\n", strFault.c_str()));
        reading.Fatal("ArchFolders");
    }

    TTiXmlElement* pLog = Child(pRoot, "Log");
    if (TTiXmlElement* pRecords = Child(pLog, "Records"))
        gSettings.strLogRecords = pRecords->Value();
    TTiXmlElement* pJournal = Child(pLog, "Journal");
    gSettings.bLogJournal =
        pJournal != nullptr && ACE_OS::strncasecmp(pJournal->Value().c_str(), "yes", 3) == 0;
    ReadHttpSettings(reading, Child(pRoot, "HTTP"));

    TTiXmlElement* pComm = Child(pRoot, "Communication");
    if (TTiXmlElement* pUser = Child(Child(pRoot, "Service"), "User"))
        gSettings.strServiceUser = pUser->Value();

    ReadGatewayInterface(platform, pKeep);
    ACE_DEBUG(
        (LM_DEBUG, LOG_PREFIX "Info: Use ip address %s at %D\n", gSettings.strIpAddress.c_str()));

    TTiXmlElement* pPort = Child(pComm, "ConsolePort");
    if (pPort != nullptr)
        gSettings.strConsolePort = pPort->Value();
    if (!IsConsolePort(gSettings.strConsolePort))
        gSettings.strConsolePort = kDefaultConsolePort;
    if (pKeep != nullptr)
    {
        pKeep->strOwnFile = strFile;
        pKeep->pOwn = std::move(pDoc);
    }
}

std::string GatewayConfigurationFile(const TConfigPlatform& platform,
                                     std::vector<std::string>* pTried)
{
    std::string strFolder;
    if (!platform.fnAppDataFolder || !platform.fnAppDataFolder(strFolder))
    {
        ACE_DEBUG((LM_ERROR, LOG_PREFIX "error: GetCommonAppDataFolder at %D\n"));
        ExitFatal(platform);
    }
    // The two well-known places, then (untested) the folder above the program's.
    for (const char* szPlace :
         {"/Tarn/Quillon/Gateway/Gateway.cfg", "/Mervane/Quillon/Gateway/Gateway.cfg"})
    {
        const std::string strFile = strFolder + szPlace;
        if (pTried != nullptr)
            pTried->push_back(strFile);
        if (access(strFile.c_str(), F_OK) == 0)
            return strFile;
    }
    const std::string strFile = GatewayBesideProgram(ProgramPathOrExit(platform));
    if (pTried != nullptr)
        pTried->push_back(strFile);
    return strFile;
}

std::unique_ptr<TTiXmlDoc> LoadGatewayFile(const std::string& strFile,
                                           const std::vector<std::string>& vTried)
{
    try
    {
        return std::make_unique<TTiXmlDoc>(strFile, true);
    }
    catch (TTiXmlException& e)
    {
        std::string strPlaces;
        for (const std::string& strPlace : vTried)
            strPlaces += (strPlaces.empty() ? "" : ", ") + strPlace;
        e.SetReason("Gateway.cfg is in none of the places looked at: " + strPlaces + " (" +
                    e.Reason() + ")");
        throw;
    }
}
void ReadGatewayInterface(const TConfigPlatform& platform, TConfigDocuments* pKeep)
{
    std::vector<std::string> vTried;
    const std::string strFile = GatewayConfigurationFile(platform, &vTried);
    std::unique_ptr<TTiXmlDoc> pDoc = LoadGatewayFile(strFile, vTried);
    pDoc->Parse(nullptr);

    gSettings.strIpAddress = kAnyNic;
    bAnyNic = true;
    if (TTiXmlElement* pNic = Child(pDoc->FirstElement(), "NIC"))
    {
        bAnyNic = false;
        gSettings.strIpAddress = pNic->Value();
        if (gSettings.strIpAddress.empty())
            gSettings.strIpAddress = kAnyNic;
    }

    if (ACE_OS::strcasecmp(gSettings.strIpAddress.c_str(), kAnyNic) == 0)
    {
        bAnyNic = true;
        std::vector<TAdapter> vAdapters;
        int iResult = platform.fnAdapters ? platform.fnAdapters(vAdapters) : -1;
        gSettings.strIpAddress = ChooseAdapterAddress(iResult, vAdapters);
    }
    if (pKeep != nullptr)
    {
        pKeep->strGatewayFile = strFile;
        pKeep->pGateway = std::move(pDoc);
    }
}
