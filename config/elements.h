// The elements the configuration files may hold, and the checks of a read
// document against them: unknown or misspelt names, values out of range,
// values that are read other than they look.
#pragma once

#include "config/tinyxml.h"

#include <string>
#include <vector>

// What an element's text must be.
enum class EElementValue
{
    Text,         // anything
    Folder,       // a folder; required and not empty
    YesNo,        // yes or no (the first three letters compared with "yes", without case)
    Number,       // a decimal number from iMin to iMax; anything else ends the start-up
    Port,         // a TCP or UDP port, 1 to 65535; anything else gives the default
    ArchFolders,  // "NUMBER=FOLDER" pairs separated by blanks
    Url,          // a base URL (config/baseurl.h); anything else ends the start-up
};

// One element of the service's own file, below one group element of the root.
struct TElementRule
{
    const char* szGroup;
    const char* szName;
    EElementValue eValue;
    int iMin;
    int iMax;
};

// Every element of the service's own file: one row each.
extern const std::vector<TElementRule> gKnownElements;

// The row for that group and name; null when there is none.
const TElementRule* FindElementRule(const std::string& strGroup, const std::string& strName);

// Characters that end up in an ArchFolders folder when the pairs are not
// separated by blanks ("0=bios/,7=efi64/" gives architecture 0 "bios/,7=efi64/").
extern const char* const kWrongArchSeparators;

// The element of Gateway.cfg that the service reads.
extern const char* const kGatewayNic;

// One mistake found: where, how grave, and what to do about it.
struct TFinding
{
    bool bError = false;  // an error: the start fails or the service cannot work; else a warning
    std::string strFile;
    int iLine = 0;  // 0: the file as a whole
    int iColumn = 0;
    std::string strElement;  // the name of the element it is about, if any
    std::string strText;

    // "FILE:LINE:COLUMN" (without the line or column when unknown).
    std::string Where() const;
    // "FILE:LINE:COLUMN: error: TEXT".
    std::string Format() const;
};
using TFindings = std::vector<TFinding>;

// Adds a finding about the element at pAt (null: the file as a whole).
void AddFinding(TFindings& vFindings, bool bError, const std::string& strFile,
                const TTiXmlElement* pAt, const std::string& strText);

// The finding for a file that cannot be read or parsed.
TFinding XmlFaultFinding(const TTiXmlException& e, const std::string& strFile);

// Checks the service's own file: known groups and names (with the nearest
// known name for an unknown one), elements given twice, the values.
void CheckOwnDocument(const TTiXmlDoc& doc, const std::string& strFile, TFindings& vFindings);
// The required elements that the root (null: none) lacks.
void CheckRequiredElements(const TTiXmlElement* pRoot, const std::string& strFile,
                           TFindings& vFindings);
// "FILE:LINE:COLUMN: TEXT" of the first error of the own file about the
// element of that name; "" when there is none.
std::string ErrorAbout(const TTiXmlDoc& doc, const std::string& strFile, const char* szElement);

// Checks Gateway.cfg: a NIC element under a name that differs only in case.
void CheckGatewayDocument(const TTiXmlDoc& doc, const std::string& strFile, TFindings& vFindings);

// The known name nearest to strName by edit distance (letters compared
// without case), or "" when none is near enough to be a slip of the keyboard.
std::string NearestName(const std::string& strName, const std::vector<std::string>& vKnown);
