#include <iostream>

#include "app/adapters/headless_desktop.h"

#include "cli/commands.h"
#include "cli/main_queue.h"
#include "config/config.h"
#include "net/pairing.h"

namespace quorvel::cli {

Command addPairCommand(CLI::App& app) {
    auto* command = app.add_subcommand(
        "pair", "Connect this computer to the studio's server. Reads the studio password from standard input.");
    auto name = std::make_shared<std::string>();
    command->add_option("--name", *name, "Computer name to register (default: the host name)");
    return {command, [name] {
                const auto password = readSecretLine("Studio password: ");
                if (!password || password->empty()) return fail("Enter the studio password.");
                // The same default name as the application's.
                const std::string computer =
                    name->empty() ? app::SystemHost().computerName().value_or(app::kUnnamedComputer) : *name;
                return runMainQueue([&](Executor& mainQueue, Finish finish) {
                    Pairing::pair(Config::load(), *password, computer, mainQueue, [finish](Pairing::Result result) {
                        if (!result.isOk()) return finish(fail(result.text));
                        std::cout << "Done! Computer \u201C" << result.text << "\u201D is connected.\n";
                        finish(0);
                    });
                });
            },
            Reads::configuration};
}

}  // namespace quorvel::cli
