#include "platform/fatalexit.h"

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>

namespace
{
std::atomic<bool> bArmed{false};

void EndAtOnce()
{
    if (!bArmed)
        return;
    fflush(nullptr);
    // Every fatal exit of the service passes -1.
    _exit(255);
}

// Registered before main runs, after the libraries' own objects: it runs
// before they are destroyed.
struct TRegistration
{
    TRegistration() { atexit(EndAtOnce); }
} registration;
}  // namespace

void ArmFatalExit() { bArmed = true; }

void DisarmFatalExit() { bArmed = false; }
