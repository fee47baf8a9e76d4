#include "platform/wakeup.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

TWakeDescriptor::TWakeDescriptor() : fd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

TWakeDescriptor::~TWakeDescriptor()
{
    if (fd >= 0)
        close(fd);
}

void TWakeDescriptor::Raise()
{
    // Nobody reads the counter but Lower: it stays above 0, so the descriptor
    // stays readable.
    uint64_t nOne = 1;
    if (fd >= 0 && write(fd, &nOne, sizeof(nOne)) < 0)
        return;
}

void TWakeDescriptor::Lower()
{
    uint64_t nCount = 0;
    if (fd >= 0 && read(fd, &nCount, sizeof(nCount)) < 0)
        return;
}
