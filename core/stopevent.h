// The process-wide stop event: an ACE_Event, manual-reset, initially not
// signalled, never reset while the service runs, with a descriptor that poll
// sees readable once it is signalled. The service threads test it at the top
// of every pass of their loops:
//   ACE_Time_Value tvZero(0); if (evStop.wait(&tvZero, 0) != -1) -> stop.
// and put its descriptor into their poll, so that the stop wakes them at once.
#pragma once

#include "platform/wakeup.h"

#include <ace/Event.h>

class TStopEvent
{
public:
    TStopEvent();
    // Signals the event; Descriptor() is readable from then on.
    int signal();
    int reset();
    // As ACE_Event::wait: without a time, until signalled.
    int wait() { return event.wait(); }
    int wait(const ACE_Time_Value* pTime, int bAbsolute = 1)
    {
        return event.wait(pTime, bAbsolute);
    }
    // Readable (POLLIN) once the event is signalled.
    int Descriptor() const { return wake.Descriptor(); }

private:
    ACE_Event event{1, 0};
    TWakeDescriptor wake;
};

extern TStopEvent& evStop;
