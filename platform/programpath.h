// The program's own path and the well-known folders, as the service finds them.
#pragma once
#include <string>

// Full path of the running program (from /proc/self/exe). False when it cannot be had.
bool GetModuleFileName(std::string& strPath);

// Folder that holds the configuration shared by the suite's programs.
std::string GetCommonAppDataFolder();
