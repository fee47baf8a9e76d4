#include "config/check.h"

#include "config/archfolders.h"
#include "core/logfile.h"
#include "platform/programpath.h"

#include <ace/Log_Msg.h>
#include <ace/OS_NS_strings.h>

#include <arpa/inet.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace
{
const uint16_t kDhcpPort = 67, kBinlPort = 4011, kTftpPort = 69;
const uint16_t kDefaultConsole = 40003;

// The parser's own error lines say nothing the findings do not: they are
// kept off while the check reads a file (a line is written when either mask
// lets it through). The check runs before any service thread exists.
class TQuietLog
{
public:
    TQuietLog()
        : nThread(ACE_LOG_MSG->priority_mask(0, ACE_Log_Msg::THREAD)),
          nProcess(ACE_LOG_MSG->priority_mask(0, ACE_Log_Msg::PROCESS))
    {
    }
    ~TQuietLog()
    {
        ACE_LOG_MSG->priority_mask(nProcess, ACE_Log_Msg::PROCESS);
        ACE_LOG_MSG->priority_mask(nThread, ACE_Log_Msg::THREAD);
    }

private:
    u_long nThread, nProcess;
};

// Loads and parses a file; null, with the fault as a finding, when it cannot be read.
std::unique_ptr<TTiXmlDoc> Parse(const std::function<std::unique_ptr<TTiXmlDoc>()>& fnLoad,
                                 const std::string& strFile, TFindings& vFindings)
{
    TQuietLog quiet;
    try
    {
        std::unique_ptr<TTiXmlDoc> pDoc = fnLoad();
        pDoc->Parse(nullptr);
        return pDoc;
    }
    catch (const TTiXmlException& e)
    {
        vFindings.push_back(XmlFaultFinding(e, strFile));
    }
    return nullptr;
}

const TTiXmlElement* Child(const TTiXmlElement* pParent, const char* szName)
{
    return pParent == nullptr ? nullptr : pParent->FindChildElement(szName, 0);
}

const TTiXmlElement* Setting(const TTiXmlDoc* pDoc, const char* szGroup, const char* szName)
{
    return pDoc == nullptr ? nullptr : Child(Child(pDoc->FirstElement(), szGroup), szName);
}

std::string FolderFault(int iError)
{
    switch (iError)
    {
    case ENOENT:
        return "does not exist";
    case ENOTDIR:
        return "is not a folder";
    case EACCES:
        return "cannot be read by this user";
    default:
        return std::string("cannot be used: ") + strerror(iError);
    }
}

// The TFTP root and the folders of BootServer/ArchFolders below it.
void CheckFolders(const TTiXmlDoc& own, const std::string& strFile,
                  const TCheckEnvironment& environment, TFindings& vFindings)
{
    const TTiXmlElement* pRoot = Setting(&own, "TFTP", "RootDirectory");
    if (pRoot == nullptr || pRoot->Value().empty() || !environment.fnFolderAccess)
        return;
    std::string strRoot = pRoot->Value();
    if (strRoot.back() != '/' && strRoot.back() != '\\')
        strRoot += '/';
    if (const int iError = environment.fnFolderAccess(strRoot))
    {
        AddFinding(vFindings, true, strFile, pRoot,
                   "<RootDirectory> \"" + pRoot->Value() + "\" " + FolderFault(iError) +
                       "; every boot file is looked for there");
        return;
    }
    const TTiXmlElement* pArch = Setting(&own, "BootServer", "ArchFolders");
    TArchFolders mapFolders;
    std::string strIgnored;
    if (pArch == nullptr || !ParseArchFolders(pArch->Value(), mapFolders, strIgnored))
        return;
    for (const auto& [nArch, strFolder] : mapFolders)
    {
        // A folder that a wrong separator made is reported as such already.
        if (strFolder.find_first_of(kWrongArchSeparators) != std::string::npos)
            continue;
        if (const int iError = environment.fnFolderAccess(strRoot + strFolder))
            AddFinding(vFindings, true, strFile, pArch,
                       "<ArchFolders> folder \"" + strFolder + "\" of architecture " +
                           std::to_string(nArch) + " " + FolderFault(iError) +
                           " in the TFTP root " + strRoot);
    }
}

// The interface named by NIC, or the one chosen for "any NIC"; the console's
// host in strHost ("" when there is none).
void CheckInterface(const TTiXmlDoc* pGateway, const std::string& strFile,
                    const TCheckEnvironment& environment, TFindings& vFindings,
                    std::string& strHost)
{
    const TTiXmlElement* pNic =
        pGateway == nullptr ? nullptr : Child(pGateway->FirstElement(), kGatewayNic);
    const std::string strNic = pNic == nullptr ? "" : pNic->Value();
    std::vector<TAdapter> vAdapters;
    const int iList = environment.fnAdapters ? environment.fnAdapters(vAdapters) : -1;
    if (strNic.empty() || ACE_OS::strcasecmp(strNic.c_str(), "any NIC") == 0)
    {
        strHost = ChooseAdapterAddress(iList, vAdapters);
        if (strHost == "any NIC")
        {
            AddFinding(vFindings, false, strFile, pNic,
                       "no wired Ethernet interface has an IPv4 address to take for \"any NIC\"; "
                       "name the address of the interface to serve on in <NIC>");
            strHost.clear();
        }
        return;
    }
    in_addr addr;
    if (inet_aton(strNic.c_str(), &addr) == 0)
    {
        AddFinding(vFindings, true, strFile, pNic,
                   "<NIC> is \"" + strNic + "\"; use the IPv4 address of an interface, or any NIC");
        return;
    }
    strHost = strNic;
    if (!environment.fnInterfaceOf || !environment.fnInterfaceOf(strNic).empty())
        return;
    std::string strKnown;
    for (const TAdapter& adapter : vAdapters)
        for (const std::string& strIp : adapter.vIpv4)
            strKnown += (strKnown.empty() ? "" : ", ") + adapter.strName + " " + strIp;
    AddFinding(vFindings, true, strFile, pNic,
               "<NIC> " + strNic + " is on no interface of this machine (" +
                   (strKnown.empty() ? "it has no IPv4 address" : "its addresses: " + strKnown) +
                   "); the console is looked for there and every boot fails");
}

// Ports 69 and 4011, and 67 unless a DHCP server is to keep it.
void CheckPorts(const TTiXmlDoc& own, const std::string& strFile,
                const TCheckEnvironment& environment, TFindings& vFindings)
{
    if (!environment.fnUdpPortUsers)
        return;
    const TTiXmlElement* pDhcp = Setting(&own, "BootServer", "RunWithDhcp");
    const bool bRunWithDhcp =
        pDhcp != nullptr && ACE_OS::strncasecmp(pDhcp->Value().c_str(), "yes", 3) == 0;
    for (const uint16_t nPort : {kDhcpPort, kBinlPort, kTftpPort})
    {
        if (nPort == kDhcpPort && bRunWithDhcp)
            continue;
        const std::vector<TPortUser> vUsers = environment.fnUdpPortUsers(nPort);
        if (vUsers.empty())
            continue;
        bool bOwn = true;
        for (const TPortUser& user : vUsers)
            bOwn = bOwn && user.strProgram == "pxeservice";
        if (bOwn)
            AddFinding(vFindings, false, strFile, nullptr,
                       "UDP port " + std::to_string(nPort) + " is held by pxeservice (pid " +
                           std::to_string(vUsers.front().iPid) + "): the service runs already");
        else
            AddFinding(vFindings, true, strFile, nPort == kDhcpPort ? pDhcp : nullptr,
                       BindFailureText(nPort, EADDRINUSE, vUsers));
    }
}

void CheckConsole(const TTiXmlDoc& own, const std::string& strFile, const std::string& strHost,
                  const TCheckEnvironment& environment, TFindings& vFindings)
{
    if (!environment.fnConnect || strHost.empty())
        return;
    const TTiXmlElement* pPort = Setting(&own, "Communication", "ConsolePort");
    long iPort = pPort == nullptr ? 0 : std::strtol(pPort->Value().c_str(), nullptr, 10);
    if (iPort < 1 || iPort > 65535)
        iPort = kDefaultConsole;
    if (const int iError = environment.fnConnect(strHost, static_cast<uint16_t>(iPort)))
        AddFinding(vFindings, true, strFile, pPort,
                   "the console does not answer at " + strHost + " port " + std::to_string(iPort) +
                       " (" + strerror(iError) +
                       "); no client gets an answer until it does: start it, or check <NIC> in "
                       "Gateway.cfg and <ConsolePort>");
}

}  // namespace

TCheckEnvironment TCheckEnvironment::System()
{
    TCheckEnvironment environment;
    environment.fnAdapters = GetAdapterList;
    environment.fnInterfaceOf = InterfaceOfAddress;
    environment.fnFolderAccess = FolderAccess;
    environment.fnUdpPortUsers = FindUdpPortUsers;
    environment.fnConnect = [](const std::string& strHost, uint16_t nPort) {
        return ProbeTcp(strHost, nPort, kConsoleProbeMs);
    };
    return environment;
}

TFindings CheckDocuments(const TConfigDocuments& docs, const TCheckEnvironment& environment)
{
    TFindings vFindings;
    if (docs.pOwn != nullptr)
        CheckOwnDocument(*docs.pOwn, docs.strOwnFile, vFindings);
    if (docs.pGateway != nullptr)
        CheckGatewayDocument(*docs.pGateway, docs.strGatewayFile, vFindings);
    std::string strHost;
    CheckInterface(docs.pGateway.get(), docs.strGatewayFile, environment, vFindings, strHost);
    if (docs.pOwn == nullptr)
        return vFindings;
    CheckFolders(*docs.pOwn, docs.strOwnFile, environment, vFindings);
    CheckPorts(*docs.pOwn, docs.strOwnFile, environment, vFindings);
    CheckConsole(*docs.pOwn, docs.strOwnFile, strHost, environment, vFindings);
    return vFindings;
}

TFindings CheckSetup(const TConfigPlatform& platform, const TCheckEnvironment& environment)
{
    TFindings vFaults;
    TConfigDocuments docs;
    docs.strOwnFile = OwnConfigurationFile(platform);
    docs.pOwn = Parse([&] { return std::make_unique<TTiXmlDoc>(docs.strOwnFile, true); },
                      docs.strOwnFile, vFaults);
    std::vector<std::string> vTried;
    docs.strGatewayFile = GatewayConfigurationFile(platform, &vTried);
    docs.pGateway = Parse([&] { return LoadGatewayFile(docs.strGatewayFile, vTried); },
                          docs.strGatewayFile, vFaults);
    TFindings vFindings = CheckDocuments(docs, environment);
    vFindings.insert(vFindings.begin(), vFaults.begin(), vFaults.end());
    return vFindings;
}

void ReadAndCheckConfiguration()
{
    TConfigDocuments docs;
    ReadConfiguration(TConfigPlatform::System(), &docs);
    // The ports are bound a moment later, and the console is asked at the
    // first request: both say for themselves what is wrong.
    TCheckEnvironment environment = TCheckEnvironment::System();
    environment.fnUdpPortUsers = nullptr;
    environment.fnConnect = nullptr;
    // Nothing here stops the start: no line says "error".
    for (const TFinding& finding : CheckDocuments(docs, environment))
        ACE_DEBUG((LM_WARNING, LOG_PREFIX "Check: %s: %s at %D\n", finding.Where().c_str(),
                   finding.strText.c_str()));
}

int RunConfigurationCheck()
{
    const TFindings vFindings = CheckSetup(TConfigPlatform::System(), TCheckEnvironment::System());
    int nErrors = 0;
    for (const TFinding& finding : vFindings)
    {
        printf("%s\n", finding.Format().c_str());
        nErrors += finding.bError ? 1 : 0;
    }
    const size_t nWarnings = vFindings.size() - nErrors;
    printf("pxeservice --check: %d error%s, %zu warning%s\n", nErrors, nErrors == 1 ? "" : "s",
           nWarnings, nWarnings == 1 ? "" : "s");
    fflush(stdout);
    return nErrors == 0 ? 0 : 1;
}
