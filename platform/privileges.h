// Giving up root once the service holds what only root may take.
#pragma once

#include <string>

// Makes the whole process (every thread) run as strUser: its user id, its
// primary group and its supplementary groups from the user database. Checks
// afterwards that root can not be taken back. False with strWhy naming the
// step that failed and why (e.g. "no such user", "setgid: Operation not
// permitted"); the process may then hold some of the new ids already.
bool DropPrivileges(const std::string& strUser, std::string& strWhy);
