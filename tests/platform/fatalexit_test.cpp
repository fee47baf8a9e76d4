// The end of the process on a fatal error, in a child process of its own (a death test): the
// status, the report, the flushed streams, and no exit handler run under the threads that
// still work.
#include "platform/fatalexit.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <thread>

using ::testing::AllOf;
using ::testing::ExitedWithCode;
using ::testing::HasSubstr;
using ::testing::Not;

namespace
{
void Report()
{
    fputs("report sent\n", stderr);
    // Long enough for a second failing thread to arrive meanwhile.
    usleep(100 * 1000);
}

// What the child writes before it fails: a line an exit handler would write, and one left in
// the buffer of standard error.
void PrepareChild()
{
    atexit([] { fputs("exit handler ran\n", stderr); });
    static char aBuffer[256];
    setvbuf(stderr, aBuffer, _IOFBF, sizeof(aBuffer));
    fputs("buffered line\n", stderr);
    SetFatalExitReport(Report);
}
}  // namespace

TEST(FatalExit, EndsAtOnceWithStatus255AfterItsReport)
{
    // On two threads at once: one report, after the buffered line, and no exit handler.
    EXPECT_EXIT(
        {
            PrepareChild();
            std::thread([] { FatalExit(); }).detach();
            FatalExit();
        },
        ExitedWithCode(255),
        AllOf(HasSubstr("buffered line\nreport sent\n"), Not(HasSubstr("report sent\nreport sent")),
              Not(HasSubstr("exit handler"))));
    // Without a report (a foreground run): the streams alone.
    EXPECT_EXIT(
        {
            PrepareChild();
            SetFatalExitReport(nullptr);
            FatalExit();
        },
        ExitedWithCode(255), AllOf(HasSubstr("buffered line\n"), Not(HasSubstr("report"))));
}
