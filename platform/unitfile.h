// The text of a systemd unit file: written for a program, read back for its
// dependencies, and changed one key at a time. No I/O.
#pragma once

#include <string>
#include <vector>

// The unit for a program: Description, Type=notify, ExecStart, WantedBy.
std::string MakeUnitText(const std::string& strDisplayName, const std::string& strExePath);
// A path as one ExecStart word: "%" doubled, quoted when it holds blanks,
// quotes or backslashes.
std::string QuoteExecPath(const std::string& strPath);
// Values of the dependency keys of [Unit], split at blanks; empty values drop out.
std::vector<std::string> UnitDependencies(const std::string& strUnit);
// Adds "strKey=strValue" as the last line of section strSection (the section
// is added at the end when missing).
std::string UnitAddKey(const std::string& strUnit, const std::string& strSection,
                       const std::string& strKey, const std::string& strValue);
// Replaces the first strKey of strSection, or adds it when there is none.
std::string UnitSetKey(const std::string& strUnit, const std::string& strSection,
                       const std::string& strKey, const std::string& strValue);
