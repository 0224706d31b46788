#include <CLI/CLI.hpp>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <vector>

#include "cli/commands.h"
#include "config/config.h"
#include "runtime/version.h"

namespace {

// The tray is an executable of its own, so that the commands never load Qt: beside
// this one (a build tree), else where it is installed. Returns only on failure.
int becomeTray(char** argv) {
    std::error_code error;
    std::filesystem::path tray = std::filesystem::read_symlink("/proc/self/exe", error).parent_path() / "quorvel-tray";
    if (error || !std::filesystem::exists(tray, error)) tray = QUORVEL_TRAY_EXECUTABLE;
    ::execv(tray.c_str(), argv);
    std::cerr << "quorvel: cannot start the tray (" << tray.string() << "): " << std::strerror(errno) << '\n';
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 1) return becomeTray(argv);

    CLI::App app{"Quorvel: streams a studio's programme audio to a relay server.\n"
                 "Without a subcommand it runs the tray application."};
    app.set_version_flag("--version", "quorvel " + std::string(quorvel::version()));
    app.require_subcommand(0, 1);

    std::vector<quorvel::cli::Command> commands{
        quorvel::cli::addPairCommand(app),     quorvel::cli::addLinksCommand(app),
        quorvel::cli::addKeystoreCommand(app), quorvel::cli::addSourcesCommand(app),
        quorvel::cli::addMeterCommand(app),    quorvel::cli::addListenCommand(app),
        quorvel::cli::addStreamCommand(app),   quorvel::cli::addStatusCommand(app),
    };

    CLI11_PARSE(app, argc, argv);

    for (const auto& command : commands) {
        if (!command.app->parsed()) continue;
        if (command.reads == quorvel::cli::Reads::configuration)
            if (const auto problem = quorvel::Config::fileProblem()) std::cerr << *problem << '\n';
        return command.run();
    }

    std::cout << app.help();
    return 0;
}
