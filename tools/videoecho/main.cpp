// videoecho: send, watch, snapshot and probe shared-memory echo channels, run the two-process
// echo demo, and print the channel benchmarks as ratios.
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include <host/spdlogapplication.h>

#include "commands.h"

namespace {

std::vector<videoecho::Command> allCommands() {
    return {videoecho::sendCommand(),       videoecho::probeCommand(),
            videoecho::snapshotCommand(),   videoecho::watchCommand(),
            videoecho::cleanCommand(),      videoecho::demoCommand(),
            videoecho::benchCommand(),      videoecho::playCommand(),
            videoecho::serveCommand(),      videoecho::demoSourceCommand(),
            videoecho::demoViewerCommand(), videoecho::demoMachineCommand()};
}

void printUsage(FILE* out, const std::vector<videoecho::Command>& commands) {
    std::fprintf(out, "usage: videoecho COMMAND [ARGS] [--help]\n\ncommands:\n");
    for (const auto& c : commands) {
        if (!c.hidden) {
            std::fprintf(out, "  %-10s %s\n", c.info.name.c_str(), c.info.summary.c_str());
        }
    }
    std::fprintf(out, "\n'videoecho COMMAND --help' describes a command.\n");
}

}  // namespace

int main(int argc, char** argv) {
    // A child that has gone away must show as a failed write, not end this process.
    std::signal(SIGPIPE, SIG_IGN);
    const auto commands = allCommands();
    if (argc < 2) {
        std::fprintf(stderr, "videoecho: missing command (try 'videoecho --help')\n");
        return 2;
    }
    const std::string name = argv[1];
    if (name == "--help" || name == "-h" || name == "help") {
        printUsage(stdout, commands);
        return 0;
    }
    for (const auto& command : commands) {
        if (command.info.name != name) {
            continue;
        }
        try {
            videoecho::ParsedArgs args;
            if (!videoecho::parseArgs(command.info, argc - 1, argv + 1, args)) {
                return 0;
            }
            // The library's progress lines are for a host's log; the tool prints its own.
            if (auto logger = RW::SpdlogApplication::instance().logger()) {
                logger->set_level(args.has("verbose") ? spdlog::level::info : spdlog::level::warn);
            }
            return command.run(args, argv[0]);
        } catch (const videoecho::UsageError& e) {
            std::fprintf(stderr, "videoecho %s: %s (try 'videoecho %s --help')\n", name.c_str(),
                         e.what(), name.c_str());
            return 2;
        } catch (const videoecho::RunError& e) {
            std::fprintf(stderr, "videoecho %s: %s\n", name.c_str(), e.what());
            return 1;
        } catch (const std::exception& e) {
            std::fprintf(stderr, "videoecho %s: %s\n", name.c_str(), e.what());
            return 1;
        }
    }
    std::fprintf(stderr, "videoecho: unknown command '%s' (try 'videoecho --help')\n",
                 name.c_str());
    return 2;
}
