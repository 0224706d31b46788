#include "tray/status_menu.h"

#include <QCoreApplication>
#include <QKeyEvent>
#include <QWidgetAction>

#include "tray/level_meter_view.h"
#include "tray/menu_title_view.h"

namespace quorvel::tray {

namespace {

const QKeySequence quitKey(Qt::CTRL | Qt::Key_Q);

using app::MenuItem;
using app::MenuRole;

bool same(const MenuItem& a, const MenuItem& b) {
    if (a.role != b.role || a.title != b.title || a.enabled != b.enabled || a.hidden != b.hidden ||
        a.checked != b.checked || a.represented != b.represented || a.action != b.action ||
        a.submenu.size() != b.submenu.size())
        return false;
    for (std::size_t i = 0; i < a.submenu.size(); ++i)
        if (!same(a.submenu[i], b.submenu[i])) return false;
    return true;
}

bool same(const std::vector<MenuItem>& a, const std::vector<MenuItem>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (!same(a[i], b[i])) return false;
    return true;
}

// Everything of an item but its kind and its submenu's items.
void apply(QAction& action, const MenuItem& item) {
    if (!action.isSeparator()) action.setText(QString::fromStdString(item.title));
    action.setEnabled(item.enabled);
    action.setVisible(!item.hidden);
    action.setCheckable(item.checked);
    action.setChecked(item.checked);
    action.setData(item.represented ? QVariant(QString::fromStdString(*item.represented)) : QVariant());
}

void deleteAll(std::vector<QMenu*>& menus) {
    for (QMenu* menu : menus) menu->deleteLater();
    menus.clear();
}

// The layout's items and the link block: the sessions and the separator before them.
struct Split {
    std::vector<const MenuItem*> layout;
    std::vector<MenuItem> block;
};

Split split(const std::vector<MenuItem>& items) {
    Split result;
    for (std::size_t i = 0; i < items.size(); ++i) {
        const bool opensBlock = items[i].role == MenuRole::separator && i > 0 &&
                                items[i - 1].role == MenuRole::setupItem && i + 1 < items.size() &&
                                items[i + 1].role == MenuRole::sessionLink;
        if (opensBlock || items[i].role == MenuRole::sessionLink) result.block.push_back(items[i]);
        else result.layout.push_back(&items[i]);
    }
    return result;
}

}  // namespace

StatusMenu::StatusMenu(app::AppDelegate& app, Executor& mainQueue, std::function<void()> quit)
    : app_(app), mainQueue_(mainQueue), quit_(std::move(quit)) {
    connect(&menu_, &QMenu::aboutToShow, this, &StatusMenu::opening);
    connect(&sourceMenu_, &QMenu::aboutToShow, this, &StatusMenu::rebuildSources);
    QCoreApplication::instance()->installEventFilter(this);
}

// An open popup menu takes the keys before any shortcut sees them: the quit key is
// caught on its way to any of our menus.
bool StatusMenu::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::KeyPress || !quitAction_ || !qobject_cast<QMenu*>(watched)) return false;
    const auto* key = static_cast<QKeyEvent*>(event);
    if (QKeySequence(key->keyCombination()) != quitKey) return false;
    quitAction_->trigger();
    return true;
}

StatusMenu::~StatusMenu() {
    // The views of the layout hold the delegate's meter: they go before it does.
    menu_.clear();
}

void StatusMenu::opening() {
    app_.menuWillOpen();
    if (onOpening) onOpening();
}

void StatusMenu::render(const app::MenuModel& model) {
    const Split parts = split(model.items);
    if (layout_.empty()) buildLayout(parts.layout);
    for (std::size_t i = 0; i < layout_.size() && i < parts.layout.size(); ++i) apply(*layout_[i], *parts.layout[i]);
    if (titleView_) titleView_->set(model.title);
    if (!same(parts.block, block_)) rebuildBlock(parts.block);
}

void StatusMenu::buildLayout(const std::vector<const MenuItem*>& items) {
    for (const MenuItem* item : items) {
        QAction* action = nullptr;
        if (item->role == MenuRole::title || item->role == MenuRole::meter) {
            auto* widget = new QWidgetAction(&menu_);
            if (item->role == MenuRole::title) widget->setDefaultWidget(titleView_ = new MenuTitleView);
            else widget->setDefaultWidget(new LevelMeterView(app_.meter()));
            menu_.addAction(widget);
            action = widget;
        } else if (item->role == MenuRole::sourceItem) {
            action = sourceMenu_.menuAction();
            menu_.addAction(action);
        } else {
            std::vector<QMenu*> none;
            action = insert(menu_, *item, nullptr, none);
        }
        if (item->role == MenuRole::quitItem) {
            action->setShortcut(quitKey);
            action->setShortcutContext(Qt::ApplicationShortcut);
            quitAction_ = action;
        }
        layout_.push_back(action);
    }
    // The link block goes between the set-up item and the separator after it.
    for (std::size_t i = 0; i + 1 < items.size(); ++i)
        if (items[i]->role == MenuRole::setupItem) blockEnd_ = layout_[i + 1];
}

QAction* StatusMenu::insert(QMenu& into, const MenuItem& item, QAction* before, std::vector<QMenu*>& submenus) {
    QAction* action = nullptr;
    if (item.role == MenuRole::separator) {
        action = into.insertSeparator(before);
    } else if (!item.submenu.empty()) {
        auto* submenu = new QMenu(&into);
        submenus.push_back(submenu);
        for (const MenuItem& child : item.submenu) insert(*submenu, child, nullptr, submenus);
        action = submenu->menuAction();
        into.insertAction(before, action);
    } else {
        action = new QAction(&into);
        into.insertAction(before, action);
        if (item.action != app::MenuAction::none)
            connect(action, &QAction::triggered, this, [this, action, kind = item.action] { forward(kind, *action); });
    }
    apply(*action, item);
    return action;
}

void StatusMenu::forward(app::MenuAction action, const QAction& from) {
    if (action == app::MenuAction::quit) {
        mainQueue_.post(quit_);
        return;
    }
    std::optional<std::string> represented;
    if (from.data().isValid()) represented = from.data().toString().toStdString();
    mainQueue_.post([weak = app_.weak_from_this(), action, represented] {
        if (auto app = weak.lock()) app->perform(action, represented);
    });
}

void StatusMenu::rebuildBlock(const std::vector<MenuItem>& block) {
    for (QAction* action : blockActions_) {
        menu_.removeAction(action);
        if (action->parent() == &menu_) action->deleteLater();
    }
    blockActions_.clear();
    deleteAll(blockMenus_);
    for (const MenuItem& item : block) blockActions_.push_back(insert(menu_, item, blockEnd_, blockMenus_));
    block_ = block;
}

void StatusMenu::sourcesChanged() {
    if (sourceMenu_.isVisible()) rebuildSources();
}

void StatusMenu::rebuildSources() {
    sourceMenu_.clear();
    deleteAll(sourceMenus_);
    for (const MenuItem& item : app_.sourceMenu()) insert(sourceMenu_, item, nullptr, sourceMenus_);
}

}  // namespace quorvel::tray
