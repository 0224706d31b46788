#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace quorvel {

// What a new link's name and client password must be before anything is sent.
struct LinkInputProblem {
    enum class Field { name, password, maxListeners };
    Field field;
    std::string text;  // the message for the user
    bool operator==(const LinkInputProblem&) const = default;
};

// `name` without Unicode space separators and tabs at either end (line breaks stay).
std::string trimLinkName(std::string_view name);

// User-perceived characters (extended grapheme clusters) in UTF-8 text.
std::size_t graphemeCount(std::string_view text);

// A name of 1 to 80 characters (after trimming), counted as user-perceived characters.
std::optional<LinkInputProblem> checkLinkName(std::string_view trimmedName);
// A client password of 4 to 100 user-perceived characters.
std::optional<LinkInputProblem> checkLinkPassword(std::string_view password);
// The first problem, name before password.
std::optional<LinkInputProblem> checkLinkInput(std::string_view trimmedName, std::string_view password);

// The listener limit must be 1 to 5.
std::optional<LinkInputProblem> checkListenerLimit(long long maxListeners);

}  // namespace quorvel
