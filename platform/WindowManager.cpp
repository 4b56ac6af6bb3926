#include "WindowManager.h"

#include <QGuiApplication>
#include <QWindow>

#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include <poll.h>

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

// The first `count` 32-bit values of a CARDINAL property, if it holds that many.
std::optional<std::vector<uint32_t>> cardinals(xcb_connection_t* connection, xcb_window_t window,
                                               xcb_atom_t property, uint32_t count)
{
    const std::unique_ptr<xcb_get_property_reply_t, FreeReply> reply(xcb_get_property_reply(
        connection, xcb_get_property(connection, 0, window, property, XCB_ATOM_CARDINAL, 0, count), nullptr));
    if (!reply || xcb_get_property_value_length(reply.get()) < int(count * sizeof(uint32_t)))
        return std::nullopt;
    const auto* values = static_cast<const uint32_t*>(xcb_get_property_value(reply.get()));
    return std::vector<uint32_t>(values, values + count);
}

std::optional<uint32_t> cardinal(xcb_connection_t* connection, xcb_window_t window, xcb_atom_t property)
{
    const auto values = cardinals(connection, window, property, 1);
    return values ? std::optional<uint32_t>(values->front()) : std::nullopt;
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

// The application's connection to the X server, or null.
xcb_connection_t* x11Connection(QWindow* window)
{
    // Other platforms, the offscreen one among them, may answer for X11 without a display.
    if (!window || !window->handle() || QGuiApplication::platformName() != QLatin1String("xcb"))
        return nullptr;
    const auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    return x11 ? x11->connection() : nullptr;
}

bool supportedByWindowManager(xcb_connection_t* connection, xcb_window_t root, xcb_atom_t hint)
{
    const std::unique_ptr<xcb_get_property_reply_t, FreeReply> reply(
        xcb_get_property_reply(connection,
                               xcb_get_property(connection, 0, root, atom(connection, "_NET_SUPPORTED"),
                                                XCB_ATOM_ATOM, 0, 4096),
                               nullptr));
    if (!reply)
        return false;
    const auto* hints = static_cast<const xcb_atom_t*>(xcb_get_property_value(reply.get()));
    const int count = xcb_get_property_value_length(reply.get()) / int(sizeof(xcb_atom_t));
    return std::find(hints, hints + count, hint) != hints + count;
}

std::optional<QMargins> frameExtents(xcb_connection_t* connection, xcb_window_t window, xcb_atom_t property)
{
    const auto extents = cardinals(connection, window, property, 4);
    if (!extents)
        return std::nullopt;
    // left, right, top, bottom
    return QMargins(int((*extents)[0]), int((*extents)[2]), int((*extents)[1]), int((*extents)[3]));
}

} // namespace

void activateOnUserRequest(QWindow* window)
{
    xcb_connection_t* connection = x11Connection(window);
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

std::optional<QMargins> expectedFrameMargins(QWindow* window)
{
    xcb_connection_t* application = x11Connection(window);
    if (!application)
        return std::nullopt;
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(application)).data->root;
    const xcb_atom_t request = atom(application, "_NET_REQUEST_FRAME_EXTENTS");
    const xcb_atom_t extents = atom(application, "_NET_FRAME_EXTENTS");
    if (!supportedByWindowManager(application, root, request))
        return std::nullopt;

    // The answer is a property change on the window. Qt reads the application's events
    // on its own thread, so a connection of our own watches for it.
    const std::unique_ptr<xcb_connection_t, decltype(&xcb_disconnect)> watcher(xcb_connect(nullptr, nullptr),
                                                                                &xcb_disconnect);
    if (xcb_connection_has_error(watcher.get()))
        return std::nullopt;
    const auto id = xcb_window_t(window->winId());
    const uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_change_window_attributes(watcher.get(), id, XCB_CW_EVENT_MASK, &mask);
    // Requests of one connection are served in order: every change after the event mask
    // is seen, and a value set before it is read here.
    if (const std::optional<QMargins> known = frameExtents(watcher.get(), id, extents))
        return known;

    sendToWindowManager(application, root, id, request, 0, 0);
    xcb_flush(application);

    // A window manager that supports the request answers at once; waiting longer would
    // only delay the window.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
    for (;;) {
        while (xcb_generic_event_t* event = xcb_poll_for_event(watcher.get())) {
            const bool answered = (event->response_type & 0x7f) == XCB_PROPERTY_NOTIFY
                && reinterpret_cast<xcb_property_notify_event_t*>(event)->atom == extents;
            std::free(event);
            if (answered)
                return frameExtents(watcher.get(), id, extents);
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || xcb_connection_has_error(watcher.get()))
            return std::nullopt;
        pollfd readable{xcb_get_file_descriptor(watcher.get()), POLLIN, 0};
        ::poll(&readable, 1, int(left.count()));
    }
}

} // namespace platform
