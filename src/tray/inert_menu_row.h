#pragma once

#include <QMouseEvent>
#include <QWidget>

namespace quorvel::tray {

// A row of the status menu that shows something and does nothing when clicked. It
// keeps its clicks, so that the menu neither triggers its action nor closes.
class InertMenuRow : public QWidget {
public:
    using QWidget::QWidget;

protected:
    void mousePressEvent(QMouseEvent* event) override { event->accept(); }
    void mouseReleaseEvent(QMouseEvent* event) override { event->accept(); }
};

}  // namespace quorvel::tray
