// A copy of the built pxeservice laid out as an install: <root>/bin/pxeservice
// with its pxeservice.cfg beside it, Gateway.cfg in <root>, a TFTP root with
// a boot file. The program finds both files and its log from its own path.
#pragma once

#include "common/testutil.h"

#include <sys/stat.h>

#include <string>

class TProgramLayout
{
public:
    TProgramLayout()
    {
        mkdir((dir / "bin").c_str(), 0755);
        mkdir((dir / "tftproot").c_str(), 0755);
        bOk = RunCommand("cp '" + BuiltProgram("pxeservice") + "' '" + Program() + "'") == 0;
        WriteFile(dir / "tftproot/hd.0", "boot file\n");
        WriteConfig(ConfigText());
        WriteFile(dir / "Gateway.cfg", "<Gateway>\n  <NIC>198.18.0.1</NIC>\n</Gateway>\n");
    }

    std::string ConfigText() const
    {
        return "<?xml version=\"1.0\"?>\n"
               "<PXEService>\n"
               "  <TFTP><RootDirectory>" + dir.Path() + "/tftproot</RootDirectory></TFTP>\n"
               "  <BootServer><MultiCast>224.0.1.2</MultiCast><RunWithDhcp>no</RunWithDhcp></BootServer>\n"
               "  <Communication><ConsolePort>40003</ConsolePort></Communication>\n"
               "</PXEService>\n";
    }
    void WriteConfig(const std::string& strText) { WriteFile(ConfigFile(), strText); }

    std::string Program() const { return dir / "bin/pxeservice"; }
    std::string ConfigFile() const { return dir / "bin/pxeservice.cfg"; }
    std::string LogFile() const { return dir / "bin/pxeservice.log"; }
    std::string Path(const std::string& strName) const { return dir / strName; }

    bool bOk = false;
    TTempDir dir;
};
