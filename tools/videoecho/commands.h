// The subcommands of videoecho. Each is a info (for parsing and --help) and a function that runs
// it and returns the exit code; RunError and UsageError escape to main, which prints them.
#pragma once

#include <vector>

#include "cli.h"

namespace videoecho {

struct Command {
    CommandInfo info;
    int (*run)(const ParsedArgs& args, const char* self);  // `self`: path of this executable
    bool hidden = false;  // internal: the processes that `demo` starts
};

Command sendCommand();
Command probeCommand();
Command snapshotCommand();
Command watchCommand();
Command cleanCommand();
Command demoCommand();
Command demoSourceCommand();
Command demoViewerCommand();
Command demoMachineCommand();
Command benchCommand();
Command playCommand();
Command serveCommand();

// Every subcommand's info gets this option.
OptionInfo verboseOption();

}  // namespace videoecho
