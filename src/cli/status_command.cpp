// quorvel status: the whole status menu as text.
#include <iostream>

#include "app/menu_text.h"
#include "cli/app_host.h"
#include "cli/commands.h"
#include "cli/main_queue.h"

namespace quorvel::cli {

Command addStatusCommand(CLI::App& app) {
    auto* command = app.add_subcommand("status", "Print the status menu as the tray would show it");
    return Command{command, [] {
                       std::unique_ptr<AppHost> host;
                       return runMainQueue([&](Executor& mainQueue, Finish finish) {
                           host = std::make_unique<AppHost>(mainQueue, std::cerr);
                           host->launch([&, finish](std::optional<std::string> failure) {
                               mainQueue.post([&, finish, failure] {
                                   std::cout << app::renderMenu(host->app().menu(), host->app().sourceMenu());
                                   host.reset();
                                   finish(failure ? fail(*failure) : 0);
                               });
                           });
                       });
                   },
                   Reads::configuration};
}

}  // namespace quorvel::cli
