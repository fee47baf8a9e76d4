// The process-wide stop event: manual-reset, initially not signalled, never
// reset while the service runs. The service threads test it at the top of every pass
// of their loops:
//   ACE_Time_Value tvZero(0); if (evStop.wait(&tvZero, 0) != -1) -> stop.
// and put its descriptor into their poll, so that the stop wakes them at once.
#pragma once

#include "platform/wakeup.h"

#include <ace/Event.h>

class TStopEvent : public ACE_Event
{
public:
    TStopEvent();
    // Signals the event; Descriptor() is readable from then on.
    int signal();
    int reset();
    // Readable (POLLIN) once the event is signalled.
    int Descriptor() const { return wake.Descriptor(); }

private:
    TWakeDescriptor wake;
};

extern TStopEvent& evStop;
