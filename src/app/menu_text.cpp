#include "app/menu_text.h"

namespace quorvel::app {

namespace {

const char* tintName(Tint tint) {
    switch (tint) {
        case Tint::none: return "none";
        case Tint::orange: return "orange";
        case Tint::green: return "green";
    }
    return "none";
}

void renderItems(std::string& out, const std::vector<MenuItem>& items, int depth,
                 const std::vector<MenuItem>& sourceMenu, const MenuModel& menu) {
    const std::string indent(static_cast<std::size_t>(depth) * 4, ' ');
    for (const MenuItem& item : items) {
        if (item.hidden) continue;
        out += indent;
        switch (item.role) {
            case MenuRole::separator: out += "----\n"; continue;
            case MenuRole::meter: out += "[level meter]\n"; continue;
            case MenuRole::title:
                out += item.title;
                if (!menu.title.text().empty()) out += " [" + menu.title.text() + "]";
                out += '\n';
                continue;
            default: break;
        }
        if (item.checked) out += "✓ ";
        out += item.title;
        const std::vector<MenuItem>& submenu = item.role == MenuRole::sourceItem ? sourceMenu : item.submenu;
        const bool command = item.action != MenuAction::none || !submenu.empty();
        if (!submenu.empty()) out += " >";
        if (!item.enabled && command) out += " (disabled)";
        if (!item.keyEquivalent.empty()) out += " [" + item.keyEquivalent + "]";
        out += '\n';
        renderItems(out, submenu, depth + 1, {}, menu);
    }
}

}  // namespace

std::string renderMenu(const MenuModel& menu, const std::vector<MenuItem>& sourceMenu) {
    std::string out;
    renderItems(out, menu.items, 0, sourceMenu, menu);
    out += std::string("Icon tint: ") + tintName(menu.tint) + '\n';
    return out;
}

}  // namespace quorvel::app
