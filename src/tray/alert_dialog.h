#pragma once

#include <QDialog>
#include <functional>
#include <vector>

#include "app/desktop_ports.h"

class QHBoxLayout;
class QPushButton;
class QVBoxLayout;

namespace quorvel::tray {

// An application-modal alert: the application's icon, the message in bold, the
// informative text, an optional accessory of controls, and the alert's buttons in a
// row with the default one rightmost. Return presses the default button (the first
// unless told otherwise) wherever the focus is; Escape cancels. It has no parent, so
// it owes nothing to the menu it was started from.
class AlertDialog final : public QDialog {
public:
    explicit AlertDialog(const app::Alert& alert);

    // Shown below the texts; the dialog takes ownership.
    void setAccessory(QWidget* accessory);
    void setDefaultButton(std::size_t index);
    // The button runs `action` instead of ending the dialog.
    void keepOpen(std::size_t index, std::function<void()> action);

    // Brings the dialog to the front with the keyboard focus on `focus` (the default
    // button when null) and runs it in a nested event loop until it ends. Returns the
    // index of the button that ended it, -1 when it was cancelled or closed.
    int run(QWidget* focus = nullptr);

protected:
    void showEvent(QShowEvent* event) override;

private:
    std::vector<QPushButton*> buttons_;
    std::size_t defaultButton_ = 0;
    QVBoxLayout* texts_;
    QHBoxLayout* buttonRow_;
    QWidget* focus_ = nullptr;
    int ended_ = -1;
};

}  // namespace quorvel::tray
