#pragma once
// The -status switch: asks the running service of this executable's directory what it is
// doing and prints its answer: one line per channel, with every connected peer (-peers), or
// one JSON object (-json). Main thread, before the service program runs.

#include <string>
#include <vector>

// Exit codes besides 0: no service of this directory answers (as systemctl status uses it for
// "not running"), the service refuses the caller, and any other failure (a service too busy to
// answer in time, an endpoint held by a process of another user, an answer too long).
constexpr int kStatusFailed = 1;
constexpr int kStatusNotRunning = 3;
constexpr int kStatusRefused = 4;

// Answers the exit code.
int RunStatusSwitch(const std::vector<std::string>& arguments);
