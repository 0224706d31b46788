#include <iostream>

#include "app/link_form.h"
#include "cli/commands.h"
#include "cli/main_queue.h"
#include "config/config.h"
#include "net/device_api.h"

namespace quorvel::cli {

namespace {

const std::string kNotPaired = "This computer is not connected to a server yet. Run \u201Cquorvel pair\u201D first.";

int listLinks(const Config& config) {
    return runMainQueue([&](Executor& mainQueue, Finish finish) {
        DeviceAPI::list(config, *config.senderKey, mainQueue, [finish](auto result) {
            if (!result) return finish(fail(result.error().text));
            auto links = std::move(*result);
            sortNewestFirst(links);
            if (links.empty()) std::cout << "No links.\n";
            for (const auto& link : links)
                std::cout << link.id << '\t' << link.name << "\tlisteners: " << link.listeners << '/'
                          << link.maxListeners << '\t' << link.link << '\n';
            finish(0);
        });
    });
}

int createLink(const Config& config, const std::string& typedName, long long maxListeners) {
    // Checked before the password is asked for, in the dialog's order.
    const auto checkedName = app::LinkForm::checkName(typedName);
    if (!checkedName) return fail(checkedName.error().text);
    const std::string& name = *checkedName;
    // The dialog offers only its choices; the command line can say anything.
    if (maxListeners < 1 || maxListeners > app::LinkForm::maxListenerChoice)
        return fail("Choose how many listeners (1 to 5).");
    const auto password = readSecretLine("Client password: ");
    if (auto problem = app::LinkForm::checkPassword(password.value_or(""))) return fail(problem->text);
    return runMainQueue([&](Executor& mainQueue, Finish finish) {
        DeviceAPI::create(config, *config.senderKey, name, *password, maxListeners, mainQueue,
                          [finish](auto result) {
                              if (!result) return finish(fail(result.error().text));
                              std::cout << "Link for the client\n"
                                        << result->name << " \u00B7 listeners: up to " << result->maxListeners << '\n'
                                        << result->link << '\n'
                                        << "id: " << result->id << '\n';
                              finish(0);
                          });
    });
}

int endLink(const Config& config, const std::string& id) {
    return runMainQueue([&](Executor& mainQueue, Finish finish) {
        DeviceAPI::end(config, *config.senderKey, id, mainQueue, [finish](auto result) {
            if (!result) return finish(fail(result.error().text));
            std::cout << "Link ended.\n";
            finish(0);
        });
    });
}

}  // namespace

Command addLinksCommand(CLI::App& app) {
    auto* links = app.add_subcommand("links", "List the studio's links, newest first: id, name, listeners, link.");
    links->require_subcommand(0, 1);

    struct Options {
        std::string name;
        long long maxListeners = 5;
        std::string id;
    };
    auto options = std::make_shared<Options>();
    auto* create = links->add_subcommand(
        "create", "Create a link. Reads the client password (4 to 100 characters) from standard input.");
    create->add_option("NAME", options->name, "Name of the link (up to 80 characters)")->required();
    create->add_option("--max", options->maxListeners, "Most listeners at once, 1 to 5 (default 5)");
    auto* end = links->add_subcommand("end", "End a link; its listeners are disconnected.");
    end->add_option("ID", options->id, "Id of the link, as `quorvel links` shows it")->required();

    return {links, [options, create, end] {
                const Config config = Config::load();
                if (!config.senderKey) return fail(kNotPaired);
                if (create->parsed()) return createLink(config, options->name, options->maxListeners);
                if (end->parsed()) return endLink(config, options->id);
                return listLinks(config);
            },
            Reads::configuration};
}

}  // namespace quorvel::cli
