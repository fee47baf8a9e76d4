// The end of the process on a fatal error.
//
// A fatal error (a socket that cannot be created or bound, a bad
// configuration) ends the process with exit status 255, the -1 of every fatal
// error, on whatever thread meets it, while other threads may still run and
// log. exit() would run the exit handlers and destroy the process-wide
// objects (the logging facility's callback, the log file's stream, ACE's
// objects) under those threads, which could crash instead of ending with
// 255. FatalExit runs none of them: it sends the one report set for it, then
// flushes the standard streams and ends the process at once. The error's log
// line is written and flushed by the logging facility before.
#pragma once

// The report FatalExit sends before the end (the service manager's status);
// null: none. Set before the service threads start.
void SetFatalExitReport(void (*pfnReport)());

// Ends the process with exit status 255. A second thread that fails while
// the first one ends the process waits for that end.
[[noreturn]] void FatalExit();
