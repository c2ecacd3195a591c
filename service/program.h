#pragma once
// The whole run of the program: the process-wide objects, the one service module, the run
// mode chosen by the command line, and the end of the process.

#include <functional>
#include <memory>

class TService;

// Creates the process's one service module (a TService with its settings and callbacks).
using ModuleFactory = std::function<std::unique_ptr<TService>()>;

// Runs the program and answers its exit code: 0, or 1 when an install or uninstall failed or
// an exception escaped (shown in the "Application Error" box).
int RunServiceProgram(int argc, char** argv, const ModuleFactory& create_module);
