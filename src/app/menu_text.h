#pragma once

#include <string>
#include <vector>

#include "app/menu_model.h"

namespace quorvel::app {

// The menu as plain text, one visible item per line, submenus indented under their
// item: what `quorvel status` prints. `sourceMenu` goes under "Input Source".
std::string renderMenu(const MenuModel& menu, const std::vector<MenuItem>& sourceMenu);

}  // namespace quorvel::app
