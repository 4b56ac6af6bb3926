#pragma once

#include <QString>

namespace platform {

// The user's documents folder (XDG user directories); it may not exist yet.
QString documentsDirectory();

// Processors this process may run on, at least 1.
int activeProcessorCount();

// The desktop clipboard (not the X11 primary selection), as plain text.
void setClipboardText(const QString& text);
QString clipboardText();

} // namespace platform
