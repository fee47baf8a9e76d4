// The process-wide stop event: manual-reset, initially not signalled, never reset.
// The service threads test it at the top of every pass of their loops:
//   ACE_Time_Value tvZero(0); if (evStop.wait(&tvZero, 0) != -1) -> stop.
#pragma once

#include <ace/Event.h>

extern ACE_Event evStop;
