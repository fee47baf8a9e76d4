// The boot-file folders by client architecture: the BootServer/ArchFolders
// setting, "NUMBER=FOLDER" pairs separated by blanks ("0=bios/ 7=efi64/").
#pragma once

#include <cstdint>
#include <map>
#include <string>

// Client architecture (DHCP option 93) -> folder below the TFTP root, ending with "/" or "\\".
using TArchFolders = std::map<uint16_t, std::string>;

// Longest folder taken: the folder and the longest boot file name ("linux.65535")
// must fit the 128 bytes of a reply's file field with room for its NUL.
constexpr size_t kMaxArchFolder = 100;

// Parses the list into mapFolders; a folder without a trailing "/" or "\\" gets
// a "/". An empty list gives an empty map. On a bad pair (no "=", a number that
// is not 0-65535, no folder, a folder starting with "/" or "\\", holding a ".."
// step or longer than kMaxArchFolder, a number given twice) returns false with
// strError naming the pair and the fault, and leaves mapFolders as it was.
bool ParseArchFolders(const std::string& strList, TArchFolders& mapFolders, std::string& strError);
