#pragma once

#include <QMargins>

#include <optional>

class QWindow;

// What a program asks of the X11 window manager directly, where Qt has no call for it.
namespace platform {

// Asks the window manager to bring `window` to the user, as a taskbar does on a click:
// onto the desktop the user is on, unshaded, raised and focused. Qt's own activation
// request stays unsent while the window manager keeps the window unmapped, and
// window managers answer it by switching desktops or only by flagging the window, so
// a window left on another desktop would stay out of reach. Meant for a click of the
// user's: window managers let such requests take the focus from other programs. Does
// nothing where the display is not X11.
void activateOnUserRequest(QWindow* window);

// The decorations the window manager will put around `window`, asked for before the
// window is first shown, so that it can be placed by its frame from the start. Empty
// where the window manager does not answer within a moment, or the display is not X11.
std::optional<QMargins> expectedFrameMargins(QWindow* window);

} // namespace platform
