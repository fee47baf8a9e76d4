// The end of the process on a fatal error while service threads run.
//
// A fatal error ends the process through exit() with status -1, on whatever
// thread meets it. Run in full, exit() destroys the logging facility and the
// other process-wide objects under threads that still use them: the process
// could crash or hang instead of ending with -1. While armed, exit() instead
// flushes the standard streams and ends the process at once, after the exit
// handlers registered later than this module's (the status for systemd).
#pragma once

// The service threads are about to start / have been joined.
void ArmFatalExit();
void DisarmFatalExit();
