#include "service/stopevent.h"

// Never destroyed: a fatal error ends the process through exit() while the
// main thread still waits on the event, and destroying an event that has a
// waiter blocks until the waiter leaves, which it never does.
TStopEvent& evStop = *new TStopEvent;

TStopEvent::TStopEvent() : ACE_Event(1, 0)
{
}

int TStopEvent::signal()
{
    // The event first: a thread woken by the descriptor must find it signalled.
    int iResult = ACE_Event::signal();
    wake.Raise();
    return iResult;
}

int TStopEvent::reset()
{
    wake.Lower();
    return ACE_Event::reset();
}
