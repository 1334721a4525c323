// Requests to end the program: SIGTERM (a logout, a kill), SIGINT (Ctrl+C)
// and SIGHUP (the terminal went away). They never end the program by
// themselves: they are blocked in every thread and read on the user-interface
// thread, where the program decides when to end. SIGKILL cannot be held.
#pragma once

#include <functional>

// Blocks the three signals in the calling thread, and so in every thread it
// starts afterwards. Called first in main, before any other thread exists.
void BlockTerminationSignals();

// Reads the blocked signals on the user-interface thread: `onRequest` runs
// there with the signal's number, once for each request. Needs the
// application object. False when they cannot be read (the program then
// stays as it is: the signals remain blocked and pending).
bool WatchTerminationRequests(std::function<void(int signal)> onRequest);

// A write to a pipe or socket whose reader has gone (standard error read by a
// program that ended) fails with EPIPE instead of ending the program.
void IgnoreBrokenPipes();
