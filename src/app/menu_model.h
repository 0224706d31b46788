#pragma once

#include <optional>
#include <string>
#include <vector>

#include "app/menu_title.h"

namespace quorvel::app {

// What choosing an item does; the renderer forwards it with the item's represented
// value to AppDelegate::perform.
enum class MenuAction {
    none, toggleStream, setupStream, pairComputer, quit,
    selectSession, copySessionLink, copySessionPassword, endSession, chooseSource,
};

// Which item of the layout this is, so that a renderer can put the custom views and
// the quit shortcut in place.
enum class MenuRole {
    title, statusLine, detailLine, meter, separator, airItem, sourceItem, setupItem,
    sessionLink, sessionCommand, deviceLine, pairItem, quitItem,
    sourceChoice, sourceHeading, sourceDevice,
};

struct MenuItem {
    MenuRole role = MenuRole::separator;
    std::string title;
    bool enabled = true;
    bool hidden = false;
    bool checked = false;
    std::optional<std::string> represented;
    MenuAction action = MenuAction::none;
    std::string keyEquivalent;
    std::vector<MenuItem> submenu;
};

// The colour of the menu-bar icon.
enum class Tint { none, orange, green };

// The whole status item as refresh() leaves it. The source submenu is built apart,
// each time it opens (AppDelegate::sourceMenu).
struct MenuModel {
    std::vector<MenuItem> items;  // in layout order, hidden ones included
    std::string statusText;
    std::string detailText;
    Tint tint = Tint::none;
    bool live = false;
    MenuTitle title;  // the title view's label
};

}  // namespace quorvel::app
