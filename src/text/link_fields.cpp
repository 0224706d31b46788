#include "text/link_fields.h"

#include "text/graphemes.h"
#include "text/trim.h"

namespace quorvel::text::link_fields {

std::optional<std::string> name(std::string_view typed) {
    std::string trimmed = trimSpacesAndTabs(typed);
    const std::size_t length = graphemeCount(trimmed);
    if (length == 0 || length > maxNameLength) return std::nullopt;
    return trimmed;
}

bool passwordFits(std::string_view password) {
    const std::size_t length = graphemeCount(password);
    return length >= minPasswordLength && length <= maxPasswordLength;
}

}  // namespace quorvel::text::link_fields
