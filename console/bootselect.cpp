#include "console/bootselect.h"

#include "console/consolequery.h"
#include "core/logfile.h"

#include <ace/Log_Msg.h>
#include <ace/OS_NS_strings.h>

bool BootFileForTask(const std::string& strTask, uint16_t layer, std::string& bootFile)
{
    // Prefix comparisons of fixed length: "linuxfoo" selects the linux row.
    if (ACE_OS::strncasecmp(strTask.c_str(), "Linux", 5) == 0)
        bootFile = "linux." + std::to_string(layer);
    else if (ACE_OS::strncasecmp(strTask.c_str(), "none", 4) == 0)
        bootFile = "hd.0";
    else if (ACE_OS::strncasecmp(strTask.c_str(), "dos", 3) == 0)
        bootFile = "dos." + std::to_string(layer);
    else
        return false;
    return true;
}

bool SelectBootFile(uint16_t serverType, uint16_t layer, std::string& bootFile,
                    const std::string& mac, const std::string& ip)
{
    if (serverType == 0)
    {
        bootFile = "foo-image";
        return true;
    }
    if (serverType != 1)
        return false;

    ACE_DEBUG((LM_DEBUG, LOG_PREFIX "Info: Check Mac Address %s...\n", mac.c_str()));
    std::string strTask;
    if (!QueryConsoleTask(mac, ip, strTask))
        return false;
    return BootFileForTask(strTask, layer, bootFile);
}
