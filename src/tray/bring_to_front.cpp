#include "tray/bring_to_front.h"

#include <QGuiApplication>
#include <QWidget>
#include <QWindow>

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>

namespace quorvel::tray {

namespace {

struct FreeReply {
    void operator()(void* reply) const { std::free(reply); }
};
template <typename T>
using Reply = std::unique_ptr<T, FreeReply>;

// The server's present time: a property changed on a window of our own reports it.
xcb_timestamp_t serverTime(xcb_connection_t* connection, xcb_window_t root) {
    const xcb_window_t window = xcb_generate_id(connection);
    const std::uint32_t events = XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_create_window(connection, XCB_COPY_FROM_PARENT, window, root, -1, -1, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                      XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, &events);
    xcb_change_property(connection, XCB_PROP_MODE_APPEND, window, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8, 0, nullptr);
    xcb_flush(connection);
    xcb_timestamp_t time = XCB_CURRENT_TIME;
    while (Reply<xcb_generic_event_t> event{xcb_wait_for_event(connection)}) {
        if ((event->response_type & 0x7f) != XCB_PROPERTY_NOTIFY) continue;
        time = reinterpret_cast<xcb_property_notify_event_t*>(event.get())->time;
        break;
    }
    xcb_destroy_window(connection, window);
    return time;
}

// _NET_ACTIVE_WINDOW with source "pager", which window managers honour.
void activateOnX11(WId id) {
    std::unique_ptr<xcb_connection_t, void (*)(xcb_connection_t*)> connection(xcb_connect(nullptr, nullptr),
                                                                               xcb_disconnect);
    if (xcb_connection_has_error(connection.get())) return;
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection.get())).data;
    if (!screen) return;
    const char name[] = "_NET_ACTIVE_WINDOW";
    Reply<xcb_intern_atom_reply_t> atom{xcb_intern_atom_reply(
        connection.get(), xcb_intern_atom(connection.get(), 0, sizeof name - 1, name), nullptr)};
    if (!atom) return;
    xcb_client_message_event_t message{};
    message.response_type = XCB_CLIENT_MESSAGE;
    message.format = 32;
    message.window = static_cast<xcb_window_t>(id);
    message.type = atom->atom;
    message.data.data32[0] = 2;  // from a pager
    message.data.data32[1] = serverTime(connection.get(), screen->root);
    xcb_send_event(connection.get(), 0, screen->root,
                   XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&message));
    xcb_flush(connection.get());
}

// Asks once the window manager has the window on screen; before, it would ignore it.
class WhenExposed final : public QObject {
public:
    explicit WhenExposed(QWindow& window) : QObject(&window) { window.installEventFilter(this); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        auto* window = static_cast<QWindow*>(watched);
        if (event->type() == QEvent::Expose && window->isExposed()) {
            activateOnX11(window->winId());
            deleteLater();
        }
        return false;
    }
};

}  // namespace

void bringToFront(QWidget& window) {
    window.raise();
    window.activateWindow();
    if (QGuiApplication::platformName() != QStringLiteral("xcb") || !window.windowHandle()) return;
    if (window.windowHandle()->isExposed()) activateOnX11(window.winId());
    else new WhenExposed(*window.windowHandle());
}

}  // namespace quorvel::tray
