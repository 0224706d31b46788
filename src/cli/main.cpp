#include <CLI/CLI.hpp>

#include <iostream>
#include <vector>

#include "cli/commands.h"
#include "config/config.h"
#include "runtime/version.h"
#include "tray/tray_main.h"

int main(int argc, char** argv) {
    if (argc == 1) return quorvel::tray::runTray(argc, argv);

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
