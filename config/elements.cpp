#include "config/elements.h"

#include "config/archfolders.h"
#include "config/baseurl.h"
#include "core/decimal.h"

#include <ace/OS_NS_strings.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>

// Adding an element: one row here, and its reading in configuration.cpp (or
// in the subsystem that reads it).
const std::vector<TElementRule> gKnownElements = {
    {"TFTP", "RootDirectory", EElementValue::Folder, 0, 0},
    {"TFTP", "Negotiate", EElementValue::YesNo, 0, 0},
    {"TFTP", "MaxBlockSize", EElementValue::Number, 8, 65464},
    {"TFTP", "MaxWindowSize", EElementValue::Number, 1, 64},
    {"TFTP", "MaxTransfers", EElementValue::Number, 1, 10000},
    {"TFTP", "MaxTransfersPerClient", EElementValue::Number, 1, 256},
    {"TFTP", "MaxTimeout", EElementValue::Number, 1, 255},
    {"BootServer", "MultiCast", EElementValue::Text, 0, 0},
    {"BootServer", "RunWithDhcp", EElementValue::YesNo, 0, 0},
    {"BootServer", "ArchFolders", EElementValue::ArchFolders, 0, 0},
    {"Communication", "ConsolePort", EElementValue::Port, 0, 0},
    {"Service", "User", EElementValue::Text, 0, 0},
    {"HTTP", "Port", EElementValue::Number, 1, 65535},
    {"HTTP", "MaxConnections", EElementValue::Number, 1, 10000},
    {"HTTP", "MaxConnectionsPerClient", EElementValue::Number, 1, 10000},
    {"HTTP", "BaseUrl", EElementValue::Url, 0, 0},
    {"HTTP", "ForIpxe", EElementValue::YesNo, 0, 0},
    {"Log", "Records", EElementValue::Text, 0, 0},
    {"Log", "Journal", EElementValue::YesNo, 0, 0},
};

const char* const kWrongArchSeparators = ",;=|";
const char* const kGatewayNic = "NIC";

namespace
{
std::string Quoted(const std::string& strText) { return "\"" + strText + "\""; }

std::string Tag(const std::string& strName) { return "<" + strName + ">"; }

std::vector<const TTiXmlElement*> ChildElements(const TTiXmlElement& parent)
{
    std::vector<const TTiXmlElement*> vElements;
    for (const auto& node : parent.Children())
        if (const TTiXmlElement* pElement = dynamic_cast<const TTiXmlElement*>(node.get()))
            vElements.push_back(pElement);
    return vElements;
}

std::vector<std::string> GroupNames()
{
    std::vector<std::string> vGroups;
    for (const TElementRule& rule : gKnownElements)
        if (std::find(vGroups.begin(), vGroups.end(), rule.szGroup) == vGroups.end())
            vGroups.push_back(rule.szGroup);
    return vGroups;
}

std::vector<std::string> NamesIn(const std::string& strGroup)
{
    std::vector<std::string> vNames;
    for (const TElementRule& rule : gKnownElements)
        if (strGroup == rule.szGroup)
            vNames.push_back(rule.szName);
    return vNames;
}

// "; did you mean <X>?" for a near name, else "".
std::string Suggestion(const std::string& strName, const std::vector<std::string>& vKnown)
{
    const std::string strNear = NearestName(strName, vKnown);
    return strNear.empty() ? "" : "; did you mean " + Tag(strNear) + "?";
}

// The folders of an ArchFolders value that a separator other than a blank
// has run together with the next pair ("0=bios/,7=efi64/").
void CheckArchFolders(const TTiXmlElement& element, const std::string& strFile,
                      TFindings& vFindings)
{
    TArchFolders mapFolders;
    std::string strFault;
    if (!ParseArchFolders(element.Value(), mapFolders, strFault))
    {
        AddFinding(vFindings, true, strFile, &element,
                   "<ArchFolders> " + strFault + "; write NUMBER=FOLDER pairs separated by blanks");
        return;
    }
    for (const auto& [nArch, strFolder] : mapFolders)
    {
        const std::string::size_type nSeparator = strFolder.find_first_of(kWrongArchSeparators);
        if (nSeparator == std::string::npos)
            continue;
        std::string strFixed = element.Value();
        std::replace_if(
            strFixed.begin(), strFixed.end(),
            [](char c) { return c == ',' || c == ';' || c == '|'; }, ' ');
        AddFinding(vFindings, true, strFile, &element,
                   "<ArchFolders> gives architecture " + std::to_string(nArch) + " the folder " +
                       Quoted(strFolder) + ", which holds " +
                       Quoted(strFolder.substr(nSeparator, 1)) +
                       "; separate the pairs with blanks: " + strFixed);
    }
}

void CheckValue(const TElementRule& rule, const TTiXmlElement& element, const std::string& strFile,
                TFindings& vFindings)
{
    const std::string& strValue = element.Value();
    const std::string strIs = Tag(rule.szName) + " is " + Quoted(strValue);
    switch (rule.eValue)
    {
    case EElementValue::Text:
        break;
    case EElementValue::Folder:
        if (strValue.empty())
            AddFinding(vFindings, true, strFile, &element,
                       Tag(rule.szName) + " is empty; name the folder the files are served from");
        break;
    case EElementValue::YesNo:
        if (ACE_OS::strcasecmp(strValue.c_str(), "yes") != 0 &&
            ACE_OS::strcasecmp(strValue.c_str(), "no") != 0)
        {
            const bool bYes = ACE_OS::strncasecmp(strValue.c_str(), "yes", 3) == 0;
            AddFinding(vFindings, false, strFile, &element,
                       strIs + "; use yes or no (it reads as " + (bYes ? "yes)" : "no)"));
        }
        break;
    case EElementValue::Number: {
        const long iValue = ParseDecimal(strValue.c_str());
        if (iValue < rule.iMin || iValue > rule.iMax)
            AddFinding(vFindings, true, strFile, &element,
                       strIs + "; use a number from " + std::to_string(rule.iMin) + " to " +
                           std::to_string(rule.iMax));
        break;
    }
    case EElementValue::Port: {
        // Read as atoi reads it: the leading number counts, the rest is dropped.
        const long iPort = std::strtol(strValue.c_str(), nullptr, 10);
        const bool bDigits = !strValue.empty() && std::all_of(strValue.begin(), strValue.end(),
                                                              [](char c) { return isdigit(c); });
        if (iPort < 1 || iPort > 65535)
            AddFinding(vFindings, false, strFile, &element,
                       strIs + "; use a port from 1 to 65535 (the default port is used)");
        else if (!bDigits)
            AddFinding(vFindings, false, strFile, &element,
                       strIs + "; use a port from 1 to 65535 (it reads as " +
                           std::to_string(iPort) + ")");
        break;
    }
    case EElementValue::ArchFolders:
        CheckArchFolders(element, strFile, vFindings);
        break;
    case EElementValue::Url: {
        std::string strUrl, strFault;
        if (!ParseBaseUrl(strValue, strUrl, strFault))
            AddFinding(vFindings, true, strFile, &element,
                       strIs + ", which " + strFault + "; write http://HOST[:PORT]/[PATH]");
        break;
    }
    }
}

// Each name once: a later element of the same name is never read.
void CheckTwice(const std::vector<const TTiXmlElement*>& vElements, const std::string& strFile,
                TFindings& vFindings)
{
    for (size_t i = 0; i < vElements.size(); ++i)
        for (size_t j = 0; j < i; ++j)
            if (vElements[j]->Name() == vElements[i]->Name())
            {
                AddFinding(vFindings, false, strFile, vElements[i],
                           Tag(vElements[i]->Name()) + " is given again; only the first, at line " +
                               std::to_string(vElements[j]->Line()) + ", is read");
                break;
            }
}

void CheckGroup(const TTiXmlElement& group, const std::string& strFile, TFindings& vFindings)
{
    const std::vector<const TTiXmlElement*> vElements = ChildElements(group);
    CheckTwice(vElements, strFile, vFindings);
    const std::vector<std::string> vNames = NamesIn(group.Name());
    for (size_t i = 0; i < vElements.size(); ++i)
    {
        const TTiXmlElement& element = *vElements[i];
        if (const TElementRule* pRule = FindElementRule(group.Name(), element.Name()))
        {
            if (group.FindChildElement(element.Name().c_str(), 0) == &element)
                CheckValue(*pRule, element, strFile, vFindings);
            continue;
        }
        std::string strText =
            Tag(element.Name()) + " is not a setting of " + Tag(group.Name()) + " and is ignored";
        const auto itElsewhere =
            std::find_if(gKnownElements.begin(), gKnownElements.end(),
                         [&](const TElementRule& rule) { return element.Name() == rule.szName; });
        if (itElsewhere != gKnownElements.end())
            strText += "; it belongs in " + Tag(itElsewhere->szGroup);
        else
            strText += Suggestion(element.Name(), vNames);
        AddFinding(vFindings, false, strFile, &element, strText);
    }
}

// Levenshtein distance, letters compared without case.
size_t EditDistance(const std::string& a, const std::string& b)
{
    std::vector<size_t> vRow(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j)
        vRow[j] = j;
    for (size_t i = 1; i <= a.size(); ++i)
    {
        size_t nDiagonal = vRow[0];
        vRow[0] = i;
        for (size_t j = 1; j <= b.size(); ++j)
        {
            const size_t nAbove = vRow[j];
            const bool bSame = tolower(static_cast<unsigned char>(a[i - 1])) ==
                               tolower(static_cast<unsigned char>(b[j - 1]));
            vRow[j] = std::min({nAbove + 1, vRow[j - 1] + 1, nDiagonal + (bSame ? 0 : 1)});
            nDiagonal = nAbove;
        }
    }
    return vRow[b.size()];
}
}  // namespace

void AddFinding(TFindings& vFindings, bool bError, const std::string& strFile,
                const TTiXmlElement* pAt, const std::string& strText)
{
    TFinding finding;
    finding.bError = bError;
    finding.strFile = strFile;
    if (pAt != nullptr)
    {
        finding.iLine = pAt->Line();
        finding.iColumn = pAt->Column();
    }
    finding.strText = strText;
    if (strText.compare(0, 1, "<") == 0)
        finding.strElement = strText.substr(1, strText.find('>') - 1);
    vFindings.push_back(finding);
}

const TElementRule* FindElementRule(const std::string& strGroup, const std::string& strName)
{
    for (const TElementRule& rule : gKnownElements)
        if (strGroup == rule.szGroup && strName == rule.szName)
            return &rule;
    return nullptr;
}

void CheckRequiredElements(const TTiXmlElement* pRoot, const std::string& strFile,
                           TFindings& vFindings)
{
    for (const TElementRule& rule : gKnownElements)
    {
        if (rule.eValue != EElementValue::Folder)
            continue;
        const TTiXmlElement* pGroup =
            pRoot == nullptr ? nullptr : pRoot->FindChildElement(rule.szGroup, 0);
        if (pGroup != nullptr && pGroup->FindChildElement(rule.szName, 0) != nullptr)
            continue;
        std::string strText = Tag(rule.szName) + " is missing (it belongs in " + Tag(rule.szGroup) +
                              " below the root element); it is required";
        const TTiXmlElement* pAt = pGroup != nullptr ? pGroup : pRoot;
        // A misspelt group or element is likely what was meant.
        if (pAt != nullptr)
            for (const TTiXmlElement* pNear : ChildElements(*pAt))
                if (!NearestName(pNear->Name(), {pGroup != nullptr ? rule.szName : rule.szGroup})
                         .empty())
                    strText += " (" + Tag(pNear->Name()) + " at line " +
                               std::to_string(pNear->Line()) + " is not read)";
        AddFinding(vFindings, true, strFile, pAt, strText);
    }
}

std::string ErrorAbout(const TTiXmlDoc& doc, const std::string& strFile, const char* szElement)
{
    TFindings vFindings;
    CheckOwnDocument(doc, strFile, vFindings);
    for (const TFinding& finding : vFindings)
        if (finding.bError && finding.strElement == szElement)
            return finding.Where() + ": " + finding.strText;
    return "";
}

std::string TFinding::Where() const
{
    if (iLine <= 0)
        return strFile;
    return strFile + ":" + std::to_string(iLine) +
           (iColumn > 0 ? ":" + std::to_string(iColumn) : "");
}

std::string TFinding::Format() const
{
    return Where() + (bError ? ": error: " : ": warning: ") + strText;
}

TFinding XmlFaultFinding(const TTiXmlException& e, const std::string& strFile)
{
    TFinding finding;
    finding.bError = true;
    finding.strFile = strFile;
    finding.iLine = e.SourceLine();
    finding.iColumn = e.SourceColumn();
    finding.strText = e.Reason().empty() ? e.Message() : e.Reason();
    return finding;
}

std::string NearestName(const std::string& strName, const std::vector<std::string>& vKnown)
{
    std::string strBest;
    size_t nBest = 0;
    for (const std::string& strKnown : vKnown)
    {
        const size_t nDistance = EditDistance(strName, strKnown);
        if (nDistance <= std::max<size_t>(1, strKnown.size() / 4) &&
            (strBest.empty() || nDistance < nBest))
        {
            strBest = strKnown;
            nBest = nDistance;
        }
    }
    return strBest;
}

void CheckOwnDocument(const TTiXmlDoc& doc, const std::string& strFile, TFindings& vFindings)
{
    const TTiXmlElement* pRoot = doc.FirstElement();
    CheckRequiredElements(pRoot, strFile, vFindings);
    if (pRoot == nullptr)
        return;
    const std::vector<const TTiXmlElement*> vGroups = ChildElements(*pRoot);
    CheckTwice(vGroups, strFile, vFindings);
    const std::vector<std::string> vKnownGroups = GroupNames();
    for (const TTiXmlElement* pGroup : vGroups)
    {
        if (std::find(vKnownGroups.begin(), vKnownGroups.end(), pGroup->Name()) ==
            vKnownGroups.end())
            AddFinding(vFindings, false, strFile, pGroup,
                       Tag(pGroup->Name()) + " is not a group of settings and is ignored" +
                           Suggestion(pGroup->Name(), vKnownGroups));
        else if (pRoot->FindChildElement(pGroup->Name().c_str(), 0) == pGroup)
            CheckGroup(*pGroup, strFile, vFindings);
    }
}

void CheckGatewayDocument(const TTiXmlDoc& doc, const std::string& strFile, TFindings& vFindings)
{
    const TTiXmlElement* pRoot = doc.FirstElement();
    if (pRoot == nullptr)
        return;
    // The gateway keeps settings of its own here: only the one that is read counts.
    std::vector<const TTiXmlElement*> vNics;
    for (const TTiXmlElement* pElement : ChildElements(*pRoot))
    {
        if (pElement->Name() == kGatewayNic)
            vNics.push_back(pElement);
        else if (ACE_OS::strcasecmp(pElement->Name().c_str(), kGatewayNic) == 0)
            AddFinding(vFindings, false, strFile, pElement,
                       Tag(pElement->Name()) + " is not read; the element is " + Tag(kGatewayNic) +
                           " (names are compared with case)");
    }
    CheckTwice(vNics, strFile, vFindings);
}
