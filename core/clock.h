// The monotonic clock the servers time their waits and transfers by.
#pragma once

#include <cstdint>

// Milliseconds of CLOCK_MONOTONIC: never goes back, whatever the wall clock does.
int64_t MonotonicMs();
