#pragma once

#include <QString>
#include <QStringList>

namespace platform {

// The user's documents folder (XDG user directories); it may not exist yet.
QString documentsDirectory();

// Processors this process may run on, at least 1.
int activeProcessorCount();

// False when the platform plugin Qt would load is the X11 or the Wayland one and finds
// no display to connect to, as over ssh or on a text console, where Qt would abort.
// `arguments` are the command line's, which may choose the plugin (-platform) or the
// display (-display). A plugin that needs no display (offscreen, vnc, eglfs...) counts
// as a session.
bool graphicalSessionAvailable(const QStringList& arguments);

// The desktop clipboard (not the X11 primary selection), as plain text.
void setClipboardText(const QString& text);
QString clipboardText();

} // namespace platform
