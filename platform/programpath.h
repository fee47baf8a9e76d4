// The program's own path and the well-known folders, as the service finds them.
#pragma once
#include <string>

// Full path of the running program (from /proc/self/exe). False when it cannot be had.
bool GetModuleFileName(std::string& strPath);

// Folder that holds the configuration shared by the suite's programs.
std::string GetCommonAppDataFolder();

// 0 when strPath is a folder this user can list and enter; else the error
// (ENOENT, ENOTDIR for anything other than a folder, EACCES, ...).
int FolderAccess(const std::string& strPath);
