#pragma once

// Stand-ins for the artwork, the custom menu views, the dialogs and the clipboard,
// until their own versions land.

#include <QIcon>
#include <QLabel>
#include <QWidget>

#include "app/desktop_ports.h"
#include "app/level_meter.h"
#include "app/menu_model.h"

namespace quorvel::tray {

QIcon menuIcon(app::Tint tint);

class MenuTitleView final : public QWidget {
public:
    explicit MenuTitleView(QWidget* parent = nullptr);
    void set(const app::MenuTitle& title);

private:
    QLabel* label_;
};

class LevelMeterView final : public QWidget {
public:
    LevelMeterView(app::LevelMeter& meter, QWidget* parent = nullptr);
    ~LevelMeterView() override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    app::LevelMeter& meter_;
};

class QtDialogs final : public app::DialogsPort {
public:
    int run(const app::Alert& alert) override;
    int run(app::PairingDialog& dialog) override;
    int run(app::SetupDialog& dialog) override;
    void run(const app::LinkCreatedDialog& dialog) override;
};

class QtClipboard final : public app::ClipboardPort {
public:
    void setText(const std::string& text) override;
};

}  // namespace quorvel::tray
