#pragma once

#include <QIcon>
#include <QWidget>
#include <string_view>

#include "app/menu_title.h"

class QLabel;

namespace quorvel::tray {

// The first row of the status menu (260 x 36), for a QWidgetAction: the product logo,
// chosen for a dark or light palette and chosen again whenever the palette or the
// theme changes, and the state label the application's MenuTitle holds.
class MenuTitleView final : public QWidget {
public:
    explicit MenuTitleView(QWidget* parent = nullptr);

    void set(const app::MenuTitle& title);

    QSize sizeHint() const override;
    // The logo image shown now: "MenuLogoDark" or "MenuLogoLight".
    std::string_view logoName() const { return app::MenuTitle::logoName(darkLogo_); }
    const QLabel& label() const { return *label_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void restyle();

    app::MenuTitle title_;
    bool darkLogo_ = false;
    QIcon logo_;
    QLabel* label_;
};

}  // namespace quorvel::tray
