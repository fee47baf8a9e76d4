#include "core/stopevent.h"

// Never destroyed: the process may end (through exit() or a fatal error)
// while a thread still waits on the event, and destroying an event that has
// a waiter blocks until the waiter leaves, which it never does.
TStopEvent& evStop = *new TStopEvent;

TStopEvent::TStopEvent() = default;

int TStopEvent::signal()
{
    // The event first: a thread woken by the descriptor must find it signalled.
    int iResult = event.signal();
    wake.Raise();
    return iResult;
}

int TStopEvent::reset()
{
    wake.Lower();
    return event.reset();
}
