#pragma once

#include "app/account_port.h"
#include "runtime/executor.h"

namespace quorvel::app {

// The account port over Pairing and DeviceAPI; completions arrive on `mainQueue`.
class AccountAdapter final : public AccountPort {
public:
    explicit AccountAdapter(Executor& mainQueue) : mainQueue_(mainQueue) {}

    void pair(const Config& config, const std::string& password, const std::string& name,
              Completion<std::string> completion) override;
    void createLink(const Config& config, const std::string& key, const std::string& name,
                    const std::string& password, std::int64_t maxListeners,
                    Completion<StreamLink> completion) override;
    void listLinks(const Config& config, const std::string& key,
                   Completion<std::vector<StreamLink>> completion) override;
    void endLink(const Config& config, const std::string& key, const std::string& id,
                 Completion<Done> completion) override;

private:
    Executor& mainQueue_;
};

}  // namespace quorvel::app
