#include "service/stopevent.h"

ACE_Event evStop(1, 0);
