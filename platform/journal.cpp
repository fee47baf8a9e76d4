#include "platform/journal.h"

#include <sys/uio.h>
#include <systemd/sd-journal.h>

int JournalSend(const std::vector<std::string>& vFields)
{
    std::vector<iovec> vIov;
    vIov.reserve(vFields.size());
    for (const std::string& s : vFields)
        vIov.push_back(iovec{const_cast<char*>(s.data()), s.size()});
    return sd_journal_sendv(vIov.data(), static_cast<int>(vIov.size())) == 0 ? 0 : -1;
}
