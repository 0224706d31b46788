#pragma once

#include <CLI/CLI.hpp>

#include <functional>
#include <memory>

namespace quorvel::cli {

// Each subcommand registers its options on `app` and returns the code to run when it
// was chosen; main() runs the one that CLI11 parsed. The run returns the exit status.
using CommandRun = std::function<int()>;

// Commands that use the configuration file say when it could not be read, since the
// configuration then falls back to the default server without a word.
enum class Reads { nothing, configuration };

struct Command {
    CLI::App* app = nullptr;
    CommandRun run;
    Reads reads = Reads::nothing;
};

Command addSourcesCommand(CLI::App& app);
Command addMeterCommand(CLI::App& app);
Command addListenCommand(CLI::App& app);
Command addPairCommand(CLI::App& app);
Command addLinksCommand(CLI::App& app);
Command addKeystoreCommand(CLI::App& app);
Command addStreamCommand(CLI::App& app);
Command addStatusCommand(CLI::App& app);

}  // namespace quorvel::cli
