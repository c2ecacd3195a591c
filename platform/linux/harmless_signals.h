#pragma once
// Signals that carry no request for the service yet end a process by default. A long-running
// service must not be ended by a stray `kill` or by a reader that went away, so it ignores
// them:
//   SIGPIPE            a write to a pipe or socket whose reader is gone (the write fails instead)
//   SIGUSR1, SIGUSR2   user signals, which have no meaning here
//   SIGALRM, SIGVTALRM, SIGPROF   timers this process never sets
//   SIGIO              descriptors this process never asks to be signalled for
//   SIGXFSZ            a log grown past the file size limit (the append fails instead)
// Left as they are: the control codes' signals (SIGTERM, SIGINT, SIGHUP, SIGPWR), those that
// report a fault (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGSYS, SIGTRAP) or ask for a core
// (SIGQUIT), SIGXCPU (the CPU limit an administrator set) and the stop signals. SIGCHLD, SIGURG,
// SIGWINCH and SIGCONT are harmless already.

#include <signal.h>

namespace platform::linux_side {

sigset_t HarmlessSignals();

// Ignores each of them whose handling is still the default: a handler that a tool installed
// before the program started (a profiler's, a sanitizer's) stays. Any thread.
void IgnoreHarmlessSignals();

}  // namespace platform::linux_side
