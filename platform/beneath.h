// Opening a file by a name a client gave, beneath a root folder only.
#pragma once

#include <string>

// Opens szName (relative to strRoot; leading "/" are taken off) for reading,
// resolving every part of it beneath strRoot: ".." steps, absolute symbolic
// links and links whose target lies outside strRoot are refused, and links
// that stay inside strRoot are followed. Only a regular file is opened, and
// the open never blocks (a FIFO or a device is refused, not opened). Returns
// the descriptor (O_CLOEXEC), or -1 with *piErrno set: ENOENT for a name that
// does not exist, EXDEV or ELOOP for one leading out of the root, EACCES for
// a file the process may not read, EISDIR/EINVAL for one that is no regular
// file.
int OpenBeneath(const std::string& strRoot, const char* szName, int* piErrno);
