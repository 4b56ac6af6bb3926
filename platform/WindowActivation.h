#pragma once

class QWindow;

namespace platform {

// Asks the window manager to bring `window` to the user, as a taskbar does on a click:
// onto the desktop the user is on, unshaded, raised and focused. Qt's own activation
// request stays unsent while the window manager keeps the window unmapped, and
// window managers answer it by switching desktops or only by flagging the window, so
// a window left on another desktop would stay out of reach. Meant for a click of the
// user's: window managers let such requests take the focus from other programs. Does
// nothing where the display is not X11.
void activateOnUserRequest(QWindow* window);

} // namespace platform
