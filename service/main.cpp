// pxeservice: PXE proxy DHCP and boot server with its TFTP server.
#include "service/process.h"

#include <ace/Object_Manager.h>

int main(int argc, char* argv[])
{
    ACE_OS_Object_Manager omOs;
    ACE_Object_Manager om;
    return PROCESS::instance()->Run(argc, argv);
}
