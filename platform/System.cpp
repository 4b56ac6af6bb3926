#include "System.h"

#include <QClipboard>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QStandardPaths>

#include <sched.h>

#include <algorithm>

namespace platform {

QString documentsDirectory()
{
    return QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
}

int activeProcessorCount()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) != 0)
        return 1;
    return std::max(1, CPU_COUNT(&set));
}

bool graphicalSessionAvailable(const QStringList& arguments)
{
    // Qt's own order: -platform, then QT_QPA_PLATFORM, then its default, X11 (Wayland
    // first in a Wayland session); either needs a display.
    QString platforms = qEnvironmentVariable("QT_QPA_PLATFORM");
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString option = arguments[i].startsWith(u"--") ? arguments[i].mid(1) : arguments[i];
        if (option == u"-display")
            return true;
        if (option == u"-platform" && i + 1 < arguments.size())
            platforms = arguments[i + 1];
    }
    if (platforms.isEmpty())
        platforms = qEnvironmentVariable("XDG_SESSION_TYPE") == u"wayland" ? QStringLiteral("wayland;xcb")
                                                                           : QStringLiteral("xcb");
    bool wayland = false;
    for (const QString& entry : platforms.split(u';', Qt::SkipEmptyParts)) {
        const QString plugin = entry.section(u':', 0, 0);
        if (plugin.startsWith(u"wayland"))
            wayland = true;
        else if (plugin != u"xcb")
            return true;
    }
    if (!qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")
        || !qEnvironmentVariableIsEmpty("WAYLAND_SOCKET"))
        return true;
    // Without WAYLAND_DISPLAY a Wayland client still tries the compositor's usual socket.
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    return wayland && !runtime.isEmpty() && QFileInfo::exists(QDir(runtime).filePath(QStringLiteral("wayland-0")));
}

void setClipboardText(const QString& text)
{
    // setText replaces every format the clipboard held before.
    QGuiApplication::clipboard()->setText(text, QClipboard::Clipboard);
}

QString clipboardText()
{
    return QGuiApplication::clipboard()->text(QClipboard::Clipboard);
}

} // namespace platform
