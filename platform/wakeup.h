// A descriptor that poll sees readable once it is raised: lets a thread that
// waits for datagrams wake at once for an event of another thread.
#pragma once

class TWakeDescriptor
{
public:
    TWakeDescriptor();  // lowered
    ~TWakeDescriptor();
    TWakeDescriptor(const TWakeDescriptor&) = delete;
    TWakeDescriptor& operator=(const TWakeDescriptor&) = delete;

    // Readable from now on (however often raised), until Lower.
    void Raise();
    void Lower();
    // For poll with POLLIN; -1 when none could be made (poll then skips it).
    int Descriptor() const { return fd; }

private:
    int fd;
};
