// File names derived from the program's path: its configuration and its log
// file sit beside it, named after it.
#pragma once

#include <string>

// The path with the file name's extension (from the last "." after the last
// "/") replaced by szExtension; a file name without a "." gets it appended.
// Programs on Linux have no extension, so a "." in a folder name never counts.
std::string ReplaceExtension(const std::string& strPath, const char* szExtension);
