#include "WindowActivation.h"

#include <QGuiApplication>
#include <QWindow>

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>

namespace platform {
namespace {

// What a request comes from: a direct action of the user's, as from a taskbar.
constexpr uint32_t kSourceUser = 2;
constexpr uint32_t kAllDesktops = 0xFFFFFFFF;

struct FreeReply
{
    void operator()(void* reply) const { std::free(reply); }
};

xcb_atom_t atom(xcb_connection_t* connection, const char* name)
{
    const std::unique_ptr<xcb_intern_atom_reply_t, FreeReply> reply(xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 0, uint16_t(std::strlen(name)), name), nullptr));
    return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
}

std::optional<uint32_t> cardinal(xcb_connection_t* connection, xcb_window_t window, xcb_atom_t property)
{
    const std::unique_ptr<xcb_get_property_reply_t, FreeReply> reply(xcb_get_property_reply(
        connection, xcb_get_property(connection, 0, window, property, XCB_ATOM_CARDINAL, 0, 1), nullptr));
    if (!reply || xcb_get_property_value_length(reply.get()) < 4)
        return std::nullopt;
    return *static_cast<const uint32_t*>(xcb_get_property_value(reply.get()));
}

void sendToWindowManager(xcb_connection_t* connection, xcb_window_t root, xcb_window_t window, xcb_atom_t type,
                         uint32_t first, uint32_t second)
{
    xcb_client_message_event_t message;
    std::memset(&message, 0, sizeof message);
    message.response_type = XCB_CLIENT_MESSAGE;
    message.format = 32;
    message.window = window;
    message.type = type;
    message.data.data32[0] = first;
    message.data.data32[1] = second;
    xcb_send_event(connection, 0, root, XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&message));
}

} // namespace

void activateOnUserRequest(QWindow* window)
{
    // Other platforms, the offscreen one among them, may answer for X11 without a display.
    if (!window || !window->handle() || QGuiApplication::platformName() != QLatin1String("xcb"))
        return;
    const auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    xcb_connection_t* connection = x11 ? x11->connection() : nullptr;
    if (!connection)
        return;
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
    const auto id = xcb_window_t(window->winId());

    const xcb_atom_t wmDesktop = atom(connection, "_NET_WM_DESKTOP");
    const std::optional<uint32_t> current = cardinal(connection, root, atom(connection, "_NET_CURRENT_DESKTOP"));
    const std::optional<uint32_t> own = cardinal(connection, id, wmDesktop);
    if (current && own && *own != *current && *own != kAllDesktops)
        sendToWindowManager(connection, root, id, wmDesktop, *current, kSourceUser);

    // Source, then the time of the request: none known here, so the window manager's.
    sendToWindowManager(connection, root, id, atom(connection, "_NET_ACTIVE_WINDOW"), kSourceUser, XCB_CURRENT_TIME);
    xcb_flush(connection);
}

} // namespace platform
