#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quorvel::app {

// The PRETTY_HOSTNAME of a machine-info file (/etc/machine-info), read the way
// hostnamectl reads it: shell-like assignments, single and double quotes, backslash
// escapes and line continuations, '#' and ';' comment lines; the last valid assignment
// wins. Nothing when it is unset, empty or not UTF-8.
std::optional<std::string> prettyHostName(std::string_view machineInfo);

}  // namespace quorvel::app
