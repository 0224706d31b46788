#include "app/link_form.h"

#include "app/text.h"

namespace quorvel::app {

SetupDialog LinkForm::dialog() {
    SetupDialog d;
    d.alert = {"Setup Stream", "Create a link for the client. The link plays the stream of this computer.",
               {"Create Link", "Cancel"}};
    d.nameLabel = "Name";
    d.passwordLabel = "Client password";
    d.password.placeholder = "at least 4 characters";
    d.listenersLabel = "Listeners (max)";
    for (std::int64_t n = 1; n <= maxListenerChoice; ++n) d.listenerChoices.push_back({std::to_string(n), n});
    d.selectedChoice = d.listenerChoices.size() - 1;
    d.focus = SetupDialog::Focus::name;
    return d;
}

Expected<LinkForm, LinkForm::Invalid> LinkForm::check(const SetupDialog& dialog) {
    auto name = checkName(dialog.name.text);
    if (!name) return name.error();
    if (auto problem = checkPassword(dialog.password.text)) return *problem;
    LinkForm form;
    form.name = std::move(*name);
    form.password = dialog.password.text;
    if (dialog.selectedChoice && *dialog.selectedChoice < dialog.listenerChoices.size())
        form.maxListeners = dialog.listenerChoices[*dialog.selectedChoice].value;
    return form;
}

Expected<std::string, LinkForm::Invalid> LinkForm::checkName(std::string_view typed) {
    std::string name = text::trimSpacesAndTabs(typed);
    const std::size_t length = text::graphemeCount(name);
    if (length == 0 || length > maxNameLength)
        return Invalid{"Enter a name (up to 80 characters).", SetupDialog::Focus::name};
    return name;
}

std::optional<LinkForm::Invalid> LinkForm::checkPassword(std::string_view password) {
    const std::size_t length = text::graphemeCount(password);
    if (length < minPasswordLength || length > maxPasswordLength)
        return Invalid{"The client password must be 4 to 100 characters.", SetupDialog::Focus::password};
    return std::nullopt;
}

}  // namespace quorvel::app
