#include "config/settings.h"

TSettings gSettings;
bool bAnyNic = false;
