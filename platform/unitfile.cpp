#include "platform/unitfile.h"

#include <sstream>

// "%" starts a specifier in unit files: a literal one is doubled.
static std::string EscapePercent(const std::string& strValue)
{
    std::string strOut;
    for (char c : strValue)
    {
        strOut += c;
        if (c == '%')
            strOut += '%';
    }
    return strOut;
}

std::string QuoteExecPath(const std::string& strPath)
{
    std::string strEscaped = EscapePercent(strPath);
    if (strEscaped.find_first_of(" \t\"'\\;") == std::string::npos)
        return strEscaped;
    std::string strOut = "\"";
    for (char c : strEscaped)
    {
        if (c == '\\' || c == '"')
            strOut += '\\';
        strOut += c;
    }
    return strOut + "\"";
}

std::string MakeUnitText(const std::string& strDisplayName, const std::string& strExePath)
{
    return "[Unit]\n"
           "Description=" +
           EscapePercent(strDisplayName) +
           "\n"
           "\n"
           "[Service]\n"
           "Type=notify\n"
           "ExecStart=" +
           QuoteExecPath(strExePath) +
           "\n"
           "\n"
           "[Install]\n"
           "WantedBy=multi-user.target\n";
}

static std::string Trim(const std::string& s)
{
    std::string::size_type b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos)
        return "";
    std::string::size_type e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

static std::vector<std::string> SplitLines(const std::string& strText)
{
    std::vector<std::string> vLines;
    std::istringstream in(strText);
    std::string strLine;
    while (std::getline(in, strLine))
        vLines.push_back(strLine);
    return vLines;
}

static std::string JoinLines(const std::vector<std::string>& vLines)
{
    std::string strOut;
    for (const auto& s : vLines)
        strOut += s + "\n";
    return strOut;
}

static bool IsSectionHeader(const std::string& strLine, std::string* pName = nullptr)
{
    std::string s = Trim(strLine);
    if (s.size() < 2 || s.front() != '[' || s.back() != ']')
        return false;
    if (pName)
        *pName = s.substr(1, s.size() - 2);
    return true;
}

// Key and value of a "key=value" line; false for blanks, comments, headers.
static bool SplitKeyLine(const std::string& strLine, std::string& strKey, std::string& strValue)
{
    std::string s = Trim(strLine);
    if (s.empty() || s[0] == '#' || s[0] == ';' || s[0] == '[')
        return false;
    std::string::size_type nEq = s.find('=');
    if (nEq == std::string::npos)
        return false;
    strKey = Trim(s.substr(0, nEq));
    strValue = Trim(s.substr(nEq + 1));
    return true;
}

std::vector<std::string> UnitDependencies(const std::string& strUnit)
{
    static const char* const aszKeys[] = {"Requires", "Wants", "BindsTo", "Requisite", "After"};
    std::vector<std::string> vDeps;
    std::string strSection;
    for (const auto& strLine : SplitLines(strUnit))
    {
        if (IsSectionHeader(strLine, &strSection))
            continue;
        std::string strKey, strValue;
        if (strSection != "Unit" || !SplitKeyLine(strLine, strKey, strValue))
            continue;
        bool bDependencyKey = false;
        for (const char* sz : aszKeys)
            bDependencyKey = bDependencyKey || strKey == sz;
        if (!bDependencyKey)
            continue;
        std::istringstream words(strValue);
        std::string strWord;
        while (words >> strWord)
            vDeps.push_back(strWord);
    }
    return vDeps;
}

// Index of the header line of a section, or -1.
static int FindSection(const std::vector<std::string>& vLines, const std::string& strSection)
{
    std::string strName;
    for (size_t i = 0; i < vLines.size(); ++i)
        if (IsSectionHeader(vLines[i], &strName) && strName == strSection)
            return (int)i;
    return -1;
}

std::string UnitAddKey(const std::string& strUnit, const std::string& strSection,
                       const std::string& strKey, const std::string& strValue)
{
    std::vector<std::string> vLines = SplitLines(strUnit);
    std::string strLine = strKey + "=" + EscapePercent(strValue);
    int iHeader = FindSection(vLines, strSection);
    if (iHeader < 0)
    {
        if (!vLines.empty() && !Trim(vLines.back()).empty())
            vLines.push_back("");
        vLines.push_back("[" + strSection + "]");
        vLines.push_back(strLine);
        return JoinLines(vLines);
    }
    size_t nEnd = iHeader + 1;
    while (nEnd < vLines.size() && !IsSectionHeader(vLines[nEnd]))
        ++nEnd;
    // After the section's last line, before the blank lines that part it from the next.
    while (nEnd > (size_t)iHeader + 1 && Trim(vLines[nEnd - 1]).empty())
        --nEnd;
    vLines.insert(vLines.begin() + nEnd, strLine);
    return JoinLines(vLines);
}

std::string UnitSetKey(const std::string& strUnit, const std::string& strSection,
                       const std::string& strKey, const std::string& strValue)
{
    std::vector<std::string> vLines = SplitLines(strUnit);
    int iHeader = FindSection(vLines, strSection);
    if (iHeader >= 0)
    {
        for (size_t i = iHeader + 1; i < vLines.size() && !IsSectionHeader(vLines[i]); ++i)
        {
            std::string k, v;
            if (SplitKeyLine(vLines[i], k, v) && k == strKey)
            {
                vLines[i] = strKey + "=" + EscapePercent(strValue);
                return JoinLines(vLines);
            }
        }
    }
    return UnitAddKey(strUnit, strSection, strKey, strValue);
}
