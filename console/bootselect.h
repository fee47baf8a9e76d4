// Chooses the boot file that a PXE client is told to fetch, from its boot item
// and the task the console holds for it.
#pragma once

#include <cstdint>
#include <string>

// serverType, layer: the client's boot item, host order (0, 0 when it has none).
// bootFile: set to the chosen file name on success, untouched otherwise.
// mac, ip:  as for QueryConsoleTask, which is called for serverType 1 only.
//   type 0                      -> "foo-image" (the console is not asked)
//   type 1, task "linux..."     -> "linux.<layer>"
//   type 1, task "none..."      -> "hd.0"
//   type 1, task "dos..."       -> "dos.<layer>"
//   type 1, other or no task    -> false
//   any other type              -> false (the console is not asked)
bool SelectBootFile(uint16_t serverType, uint16_t layer, std::string& bootFile,
                    const std::string& mac, const std::string& ip);

// The file for a task word that the console returned (the type-1 rows above);
// false when the word names none of the three kinds. Free of I/O.
bool BootFileForTask(const std::string& strTask, uint16_t layer, std::string& bootFile);
