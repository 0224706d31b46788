#pragma once

#include <QMenu>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/app_delegate.h"

namespace quorvel::tray {

class MenuTitleView;

// The status menu: renders the application's menu model into a QMenu and forwards
// each choice to AppDelegate::perform with the item's represented value. In full, the
// title and meter rows are our own views (a menu we pop ourselves, or the panel). A
// menu the tray host draws (exported over DBusMenu) holds plain actions only: the
// title row is a disabled line with the title's label, and where the meter would be,
// an item opens the panel that has it. Choices run on the main
// queue once the menu has closed, so a dialog they open never runs inside a signal
// of an action that the next rebuild may delete.
//
// The items of the layout are made once and updated in place on every render, also
// while the menu is open; only the link block is rebuilt, and only when it changed.
// The source submenu is built from AppDelegate::sourceMenu() each time it opens; in the
// host-drawn copy, whenever what it lists changes.
// GUI thread only.
class StatusMenu final : public QObject {
public:
    enum class Style { full, hostDrawn };
    static constexpr const char* showPanelTitle = "Show Panel";

    StatusMenu(app::AppDelegate& app, Executor& mainQueue, std::function<void()> quit, Style style = Style::full);
    ~StatusMenu() override;

    QMenu& menu() { return menu_; }
    void render(const app::MenuModel& model);
    // The status menu is opening (as a popup or in a window of its own).
    void opening();
    // What the source submenu lists may have changed: rebuilt if it is open.
    void sourcesChanged();

    // After each opening, for what a front end refreshes in the background.
    std::function<void()> onOpening;
    // The host-drawn menu's item that opens the panel was chosen.
    std::function<void()> onShowPanel;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QAction* insert(QMenu& into, const app::MenuItem& item, QAction* before, std::vector<QMenu*>& submenus);
    void forward(app::MenuAction action, const QAction& from);
    void buildLayout(const std::vector<const app::MenuItem*>& items);
    QAction* addRow(const app::MenuItem& item);
    void rebuildBlock(const std::vector<app::MenuItem>& block);
    void rebuildSources();

    app::AppDelegate& app_;
    Executor& mainQueue_;
    std::function<void()> quit_;
    Style style_;
    QMenu menu_;
    QMenu sourceMenu_;
    MenuTitleView* titleView_ = nullptr;
    QAction* titleLine_ = nullptr;  // the host-drawn title row
    std::vector<QAction*> layout_;  // the items of the layout, in order
    QAction* quitAction_ = nullptr;
    QAction* blockEnd_ = nullptr;   // the link block goes before this
    std::vector<app::MenuItem> block_;
    std::vector<QAction*> blockActions_;
    std::vector<QMenu*> blockMenus_;
    std::vector<QMenu*> sourceMenus_;
    std::vector<app::MenuItem> sources_;  // what the source submenu was built from
};

}  // namespace quorvel::tray
