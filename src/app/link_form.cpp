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
    for (std::int64_t n = 1; n <= 5; ++n) d.listenerChoices.push_back({std::to_string(n), n});
    d.selectedChoice = d.listenerChoices.size() - 1;
    d.focus = SetupDialog::Focus::name;
    return d;
}

Expected<LinkForm, LinkForm::Invalid> LinkForm::check(const SetupDialog& dialog) {
    LinkForm form;
    form.name = text::trimSpacesAndTabs(dialog.name.text);
    form.password = dialog.password.text;
    const std::size_t nameLength = text::graphemeCount(form.name);
    if (nameLength == 0 || nameLength > maxNameLength)
        return Invalid{"Enter a name (up to 80 characters).", SetupDialog::Focus::name};
    const std::size_t passwordLength = text::graphemeCount(form.password);
    if (passwordLength < minPasswordLength || passwordLength > maxPasswordLength)
        return Invalid{"The client password must be 4 to 100 characters.", SetupDialog::Focus::password};
    if (dialog.selectedChoice && *dialog.selectedChoice < dialog.listenerChoices.size())
        form.maxListeners = dialog.listenerChoices[*dialog.selectedChoice].value;
    return form;
}

}  // namespace quorvel::app
