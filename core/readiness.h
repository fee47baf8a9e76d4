// When the service is ready: each service thread reports once that its
// sockets are bound, and the service main thread is told when all have.
#pragma once

#include <functional>

// Arms the count for one start-up: fnReady runs once, on the thread of the
// nThreads-th ServiceThreadBound after this call. With bHold, each earlier
// ServiceThreadBound waits until fnReady has returned (or until the count is
// armed again), so that no thread serves anything before it.
void ExpectServiceThreads(int nThreads, std::function<void()> fnReady, bool bHold = false);

// Called by a service thread once its sockets are bound.
void ServiceThreadBound();
