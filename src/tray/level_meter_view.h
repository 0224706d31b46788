#pragma once

#include <QWidget>

#include "app/level_meter.h"

namespace quorvel::tray {

// Draws the application's stereo level meter (260 x 38) as a row of the status menu,
// for a QWidgetAction. The meter ticks at 30 Hz only while this view is shown, that
// is while its menu is open. The meter must outlive the view.
class LevelMeterView final : public QWidget {
public:
    explicit LevelMeterView(app::LevelMeter& meter, QWidget* parent = nullptr);
    ~LevelMeterView() override;

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    app::LevelMeter& meter_;
};

}  // namespace quorvel::tray
