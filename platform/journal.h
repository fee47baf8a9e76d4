// The systemd journal.
#pragma once

#include <string>
#include <vector>

// Sends one entry of "NAME=value" fields (MESSAGE among them) to the journal;
// 0, or -1 when it is not there.
int JournalSend(const std::vector<std::string>& vFields);
