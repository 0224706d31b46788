#pragma once

#include <string>
#include <string_view>

namespace quorvel::text {

// `utf8` without spaces and tabs (Unicode space separators and U+0009) at either end;
// line breaks are kept.
std::string trimSpacesAndTabs(std::string_view utf8);

}  // namespace quorvel::text
