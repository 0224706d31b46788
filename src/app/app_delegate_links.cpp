#include <algorithm>
#include <cmath>
#include <limits>

#include "app/app_delegate.h"
#include "app/link_form.h"

namespace quorvel::app {

void AppDelegate::showMessage(const std::string& text) {
    ports_.dialogs.run(Alert{text, "", {"OK"}});
}

void AppDelegate::pairComputer() {
    PairingDialog dialog{{"Connect to Server", "Enter the studio password.", {"Connect", "Cancel"}},
                         {"", "Studio password", true}};
    if (ports_.dialogs.run(dialog) != 0) return;
    const std::string password = dialog.password.text;
    std::string name = ports_.host.computerName().value_or("");
    if (name.empty()) name = kUnnamedComputer;
    if (password.empty()) {
        showMessage("Enter the studio password.");
        return;
    }
    ports_.account.pair(state_.config, password, name,
                        weakly([](AppDelegate& d, Expected<std::string, AccountFailure> result) {
                            if (!result) return d.showMessage(result.error().text);
                            d.state_.config = d.ports_.config.load();
                            d.refresh();
                            d.showMessage("Done! Computer “" + *result + "” is connected.");
                        }));
}

void AppDelegate::setupStream() {
    if (!state_.paired()) return;
    SetupDialog dialog = LinkForm::dialog();
    LinkForm form;
    for (;;) {
        if (ports_.dialogs.run(dialog) != 0) return;
        auto checked = LinkForm::check(dialog);
        if (checked) {
            form = std::move(*checked);
            break;
        }
        showMessage(checked.error().text);
        dialog.focus = checked.error().focus;
    }
    // The dialog is modal, not exclusive: the computer may have been revoked meanwhile.
    if (!state_.paired()) return;
    ports_.account.createLink(
        state_.config, *state_.config.senderKey, form.name, form.password, form.maxListeners,
        weakly([password = form.password](AppDelegate& d, Expected<StreamLink, AccountFailure> result) {
            if (!result) return d.showMessage(result.error().text);
            d.state_.linkPasswords[result->id] = password;
            d.refreshLinks();
            d.showLinkCreated(*result, password);
        }));
}

void AppDelegate::showLinkCreated(const StreamLink& link, const std::string& password) {
    LinkCreatedDialog dialog;
    dialog.alert = {"Link for the client",
                    link.name + " · listeners: up to " + std::to_string(link.maxListeners) +
                        "\nSend the link and the password to the client in separate messages.",
                    {"Copy Link", "Copy Password", "Done"}};
    dialog.link = link.link;
    dialog.password = password;
    dialog.copyLink = weakly([](AppDelegate& d) { d.copyShownLink(); });
    dialog.copyPassword = weakly([](AppDelegate& d) { d.copyShownPassword(); });
    state_.shownLink = link;
    state_.shownPassword = password;
    ports_.dialogs.run(dialog);
    state_.shownLink.reset();
    state_.shownPassword.reset();
}

void AppDelegate::refreshLinks() {
    if (!state_.paired()) {
        state_.links.clear();
        return;
    }
    ports_.account.listLinks(state_.config, *state_.config.senderKey,
                             weakly([](AppDelegate& d, Expected<std::vector<StreamLink>, AccountFailure> result) {
                                 if (result) d.linksListed(std::move(*result));
                             }));
}

// Newest first; equal times keep the server's order.
void AppDelegate::linksListed(std::vector<StreamLink> links) {
    const auto order = [](const StreamLink& l) {
        return std::isnan(l.createdAt) ? -std::numeric_limits<double>::infinity() : l.createdAt;
    };
    std::stable_sort(links.begin(), links.end(),
                     [&](const StreamLink& a, const StreamLink& b) { return order(a) > order(b); });
    state_.links = std::move(links);
    if (state_.selectedSessionId && !state_.selectedLink()) {
        clearSelection();
        if (state_.mode == Mode::air) {
            state_.mode = Mode::off;
            stopBroadcast();
            refresh();
        }
    }
    refresh();
}

const StreamLink* AppDelegate::session(const std::optional<std::string>& represented) const {
    return represented ? state_.link(*represented) : nullptr;
}

void AppDelegate::selectSession(const std::optional<std::string>& represented) {
    if (state_.mode != Mode::off) return;
    const StreamLink* link = session(represented);
    if (!link) return;
    state_.selectedSessionId = link->id;
    ports_.preferences.setString("session", link->id);
    refresh();
}

void AppDelegate::copySessionLink(const std::optional<std::string>& represented) {
    if (const StreamLink* link = session(represented)) ports_.clipboard.setText(link->link);
}

void AppDelegate::copySessionPassword(const std::optional<std::string>& represented) {
    const StreamLink* link = session(represented);
    if (!link) return;
    auto it = state_.linkPasswords.find(link->id);
    if (it != state_.linkPasswords.end()) ports_.clipboard.setText(it->second);
}

void AppDelegate::copyShownLink() {
    if (state_.shownLink) ports_.clipboard.setText(state_.shownLink->link);
}

void AppDelegate::copyShownPassword() {
    if (state_.shownPassword) ports_.clipboard.setText(*state_.shownPassword);
}

void AppDelegate::endSession(const std::optional<std::string>& represented) {
    if (!state_.paired()) return;
    const StreamLink* listed = session(represented);
    if (!listed) return;
    // A copy: the list may be replaced while the confirmation is open.
    const StreamLink link = *listed;
    const Alert confirmation{"End Session “" + link.name + "”?",
                             "Listeners will be disconnected and the link will stop working.",
                             {"End Session", "Cancel"}};
    if (ports_.dialogs.run(confirmation) != 0) return;
    if (!state_.paired()) return;
    ports_.account.endLink(state_.config, *state_.config.senderKey, link.id,
                           weakly([id = link.id](AppDelegate& d, Expected<AccountPort::Done, AccountFailure> result) {
                               if (!result) d.showMessage(result.error().text);
                               d.state_.linkPasswords.erase(id);
                               d.refreshLinks();
                           }));
}

}  // namespace quorvel::app
