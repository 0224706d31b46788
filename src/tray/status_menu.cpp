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

// The host-drawn title row: the product, and the title view's label when it has one.
QString titleLineText(const app::MenuModel& model) {
    QString text = QString::fromUtf8(app::AppDelegate::productName.data(),
                                     static_cast<qsizetype>(app::AppDelegate::productName.size()));
    if (!model.title.text().empty()) text += QStringLiteral(" · ") + QString::fromStdString(model.title.text());
    return text;
}

}  // namespace

StatusMenu::StatusMenu(app::AppDelegate& app, Executor& mainQueue, std::function<void()> quit, Style style)
    : app_(app), mainQueue_(mainQueue), quit_(std::move(quit)), style_(style) {
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
    for (std::size_t i = 0; i < layout_.size() && i < parts.layout.size(); ++i) {
        const MenuItem& item = *parts.layout[i];
        if (style_ == Style::hostDrawn && (item.role == MenuRole::title || item.role == MenuRole::meter)) continue;
        apply(*layout_[i], item);
    }
    if (titleView_) titleView_->set(model.title);
    if (titleLine_) titleLine_->setText(titleLineText(model));
    // A host may open the submenu without asking first: it is kept current instead.
    if (style_ == Style::hostDrawn) rebuildSources();
    if (!same(parts.block, block_)) rebuildBlock(parts.block);
}

void StatusMenu::buildLayout(const std::vector<const MenuItem*>& items) {
    for (const MenuItem* item : items) {
        QAction* action = nullptr;
        if (item->role == MenuRole::title || item->role == MenuRole::meter) {
            action = addRow(*item);
        } else if (item->role == MenuRole::sourceItem) {
            action = sourceMenu_.menuAction();
            menu_.addAction(action);
        } else {
            std::vector<QMenu*> none;
            action = insert(menu_, *item, nullptr, none);
        }
        // One shortcut in the application: a second, in the host's menu, would make it
        // ambiguous, and the host does not pass keys on anyway.
        if (item->role == MenuRole::quitItem && style_ == Style::full) {
            action->setShortcut(quitKey);
            action->setShortcutContext(Qt::ApplicationShortcut);
        }
        if (item->role == MenuRole::quitItem) quitAction_ = action;
        layout_.push_back(action);
    }
    // The link block goes between the set-up item and the separator after it.
    for (std::size_t i = 0; i + 1 < items.size(); ++i)
        if (items[i]->role == MenuRole::setupItem) blockEnd_ = layout_[i + 1];
}

// The title and meter rows: our own views, or in a host-drawn menu a disabled line
// with the title and the item that opens the panel.
QAction* StatusMenu::addRow(const MenuItem& item) {
    if (style_ == Style::hostDrawn) {
        auto* action = menu_.addAction(QString());
        if (item.role == MenuRole::title) {
            titleLine_ = action;
            action->setEnabled(false);
        } else {
            action->setText(QString::fromLatin1(showPanelTitle));
            connect(action, &QAction::triggered, this, [this] {
                if (onShowPanel) mainQueue_.post(onShowPanel);
            });
        }
        return action;
    }
    auto* widget = new QWidgetAction(&menu_);
    if (item.role == MenuRole::title) widget->setDefaultWidget(titleView_ = new MenuTitleView);
    else widget->setDefaultWidget(new LevelMeterView(app_.meter()));
    menu_.addAction(widget);
    return widget;
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
    if (sourceMenu_.isVisible() || style_ == Style::hostDrawn) rebuildSources();
}

void StatusMenu::rebuildSources() {
    std::vector<MenuItem> items = app_.sourceMenu();
    if (style_ == Style::hostDrawn && !sourceMenu_.isEmpty() && same(items, sources_)) return;
    sourceMenu_.clear();
    deleteAll(sourceMenus_);
    for (const MenuItem& item : items) insert(sourceMenu_, item, nullptr, sourceMenus_);
    sources_ = std::move(items);
}

}  // namespace quorvel::tray
