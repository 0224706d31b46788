#include "app/app_delegate.h"
#include "app/status_text.h"
#include "capture/audio_sources.h"

namespace quorvel::app {

namespace {

MenuItem separator() {
    return MenuItem{};
}

MenuItem item(MenuRole role, std::string title, MenuAction action = MenuAction::none) {
    MenuItem result;
    result.role = role;
    result.title = std::move(title);
    result.action = action;
    return result;
}

MenuItem line(MenuRole role, std::string text) {
    MenuItem result = item(role, std::move(text));
    result.enabled = false;
    result.hidden = result.title.empty();
    return result;
}

MenuItem heading(std::string title) {
    MenuItem result = item(MenuRole::sourceHeading, std::move(title));
    result.enabled = false;
    return result;
}

MenuItem command(MenuRole role, std::string title, MenuAction action, const std::string& represented) {
    MenuItem result = item(role, std::move(title), action);
    result.represented = represented;
    return result;
}

}  // namespace

void AppDelegate::refresh() {
    const StatusView view = statusView(state_);
    title_.set(view.live, state_.mode == Mode::off);
    menu_.items = menuItems(view);
    menu_.statusText = view.status;
    menu_.detailText = view.detail;
    menu_.tint = view.tint;
    menu_.live = view.live;
    menu_.title = title_;
    if (!(state_.mode == Mode::air && state_.capture)) meter_.reset();
    if (onMenuChanged) onMenuChanged(menu_);
}

std::vector<MenuItem> AppDelegate::menuItems(const StatusView& view) const {
    const bool paired = state_.paired();
    const bool onAir = state_.mode == Mode::air;
    std::vector<MenuItem> items;

    items.push_back(item(MenuRole::title, std::string(productName)));
    items.push_back(line(MenuRole::statusLine, view.status));
    items.push_back(line(MenuRole::detailLine, view.detail));
    items.push_back(item(MenuRole::meter, ""));
    items.push_back(separator());

    MenuItem air = item(MenuRole::airItem, onAir ? "Stop Stream" : "Start Stream", MenuAction::toggleStream);
    air.enabled = paired && (onAir || state_.selectedLink());
    items.push_back(air);
    items.push_back(separator());

    MenuItem source = item(MenuRole::sourceItem, "Input Source");
    source.enabled = !onAir;
    items.push_back(source);
    items.push_back(separator());

    MenuItem setup = item(MenuRole::setupItem, "Setup Stream…", MenuAction::setupStream);
    setup.enabled = paired;
    items.push_back(setup);
    for (MenuItem& link : sessionBlock()) items.push_back(std::move(link));
    items.push_back(separator());

    std::string device = "Computer not connected to server";
    if (paired) device = "Computer: " + state_.config.deviceName.value_or("connected");
    items.push_back(line(MenuRole::deviceLine, device));
    MenuItem pair = item(MenuRole::pairItem, "Connect to Server…", MenuAction::pairComputer);
    pair.hidden = paired;
    items.push_back(pair);
    items.push_back(separator());

    MenuItem quit = item(MenuRole::quitItem, "Quit", MenuAction::quit);
    quit.keyEquivalent = "q";
    items.push_back(quit);
    return items;
}

// A separator and one item per link, each with its four commands.
std::vector<MenuItem> AppDelegate::sessionBlock() const {
    std::vector<MenuItem> block;
    if (state_.links.empty()) return block;
    block.push_back(separator());
    for (const StreamLink& link : state_.links) {
        const bool selected = state_.selectedSessionId == link.id;
        MenuItem entry = item(MenuRole::sessionLink, link.name);
        entry.checked = selected;

        MenuItem select = command(MenuRole::sessionCommand, "Select", MenuAction::selectSession, link.id);
        select.checked = selected;
        select.enabled = state_.mode == Mode::off;
        entry.submenu.push_back(select);
        entry.submenu.push_back(command(MenuRole::sessionCommand, "Copy Link", MenuAction::copySessionLink, link.id));
        MenuItem password =
            command(MenuRole::sessionCommand, "Copy Password", MenuAction::copySessionPassword, link.id);
        password.enabled = state_.linkPasswords.contains(link.id);
        entry.submenu.push_back(password);
        entry.submenu.push_back(command(MenuRole::sessionCommand, "End Session", MenuAction::endSession, link.id));
        block.push_back(std::move(entry));
    }
    return block;
}

void AppDelegate::menuWillOpen() {
    refreshLinks();
}

std::vector<MenuItem> AppDelegate::sourceMenu() const {
    std::vector<MenuItem> items;
    const SourceChoice directChoice = SourceChoice::direct();
    MenuItem direct = command(MenuRole::sourceChoice, std::string(AudioSources::directTitle),
                              MenuAction::chooseSource, directChoice.key());
    direct.enabled = ports_.capture.directAvailable();
    direct.checked = state_.source == directChoice;
    items.push_back(direct);
    items.push_back(separator());
    items.push_back(heading("System Drivers:"));

    const std::vector<InputDeviceEntry> devices = ports_.capture.inputDevices();
    if (devices.empty()) {
        items.push_back(heading("No audio interfaces with inputs"));
        return items;
    }
    for (const InputDeviceEntry& device : devices) {
        MenuItem entry = item(MenuRole::sourceDevice, device.name);
        for (std::int64_t first = 1; first <= device.channels; first += 2) {
            const SourceChoice choice = SourceChoice::input(device.uid, first);
            MenuItem pair = command(MenuRole::sourceChoice, device.pairTitle ? device.pairTitle(first) : "",
                                    MenuAction::chooseSource, choice.key());
            pair.checked = state_.source == choice;
            entry.submenu.push_back(pair);
        }
        entry.checked = state_.source && state_.source->kind() == SourceChoice::Kind::input &&
                        state_.source->uid() == device.uid;
        items.push_back(std::move(entry));
    }
    return items;
}

void AppDelegate::chooseSource(const std::optional<std::string>& represented) {
    if (!represented) return;
    auto choice = SourceChoice::fromKey(*represented);
    if (!choice) return;
    state_.source = choice;
    ports_.preferences.setString("source", *represented);
    state_.problem.reset();
    if (state_.mode == Mode::air) {
        stopCapture();
        startCapture();
    }
    refresh();
}

void AppDelegate::perform(MenuAction action, const std::optional<std::string>& represented) {
    switch (action) {
        case MenuAction::none:
        case MenuAction::quit: return;
        case MenuAction::toggleStream: return toggleStream();
        case MenuAction::setupStream: return setupStream();
        case MenuAction::pairComputer: return pairComputer();
        case MenuAction::selectSession: return selectSession(represented);
        case MenuAction::copySessionLink: return copySessionLink(represented);
        case MenuAction::copySessionPassword: return copySessionPassword(represented);
        case MenuAction::endSession: return endSession(represented);
        case MenuAction::chooseSource: return chooseSource(represented);
    }
}

}  // namespace quorvel::app
