#include <iostream>

#include "cli/commands.h"
#include "config/keychain.h"

namespace quorvel::cli {

Command addKeystoreCommand(CLI::App& app) {
    auto* command = app.add_subcommand("keystore", "Say which key store holds the device key, and whether it does.");
    return {command, [] {
                auto store = Keychain::store();
                std::cout << "Key store: " << store->description() << '\n';
                auto bytes = store->read();
                if (!bytes) {
                    std::cout << "Device key: unknown (" << bytes.error().detail << ")\n";
                    return 1;
                }
                std::cout << "Device key: " << (Keychain::keyFromBytes(*bytes) ? "stored" : "none") << '\n';
                return 0;
            }};
}

}  // namespace quorvel::cli
