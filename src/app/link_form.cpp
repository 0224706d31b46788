#include "app/link_form.h"

#include "text/link_fields.h"

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
    auto name = text::link_fields::name(typed);
    if (!name) return Invalid{std::string(text::link_fields::nameRuleText), SetupDialog::Focus::name};
    return std::move(*name);
}

std::optional<LinkForm::Invalid> LinkForm::checkPassword(std::string_view password) {
    if (!text::link_fields::passwordFits(password))
        return Invalid{std::string(text::link_fields::passwordRuleText), SetupDialog::Focus::password};
    return std::nullopt;
}

}  // namespace quorvel::app
