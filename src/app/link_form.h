#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "app/desktop_ports.h"
#include "runtime/expected.h"

namespace quorvel::app {

// The "Setup Stream" dialog's contents, checked against the link's field rules
// (text/link_fields.h) before anything is sent.
struct LinkForm {
    static constexpr std::int64_t maxListenerChoice = 5;  // choices are 1 to this
    static constexpr std::int64_t defaultListeners = 5;

    std::string name;      // trimmed
    std::string password;  // untrimmed
    std::int64_t maxListeners = defaultListeners;

    // What to tell the user, and which field gets the focus when the dialog repeats.
    struct Invalid {
        std::string text;
        SetupDialog::Focus focus;
    };

    // The dialog as first shown: empty fields, five listeners chosen, focus on the name.
    static SetupDialog dialog();
    // The name is checked first.
    static Expected<LinkForm, Invalid> check(const SetupDialog& dialog);
    // The same rules one field at a time, for asking field by field: the trimmed name,
    // and what is wrong with a password.
    static Expected<std::string, Invalid> checkName(std::string_view typed);
    static std::optional<Invalid> checkPassword(std::string_view password);
};

}  // namespace quorvel::app
