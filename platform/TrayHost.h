#pragma once

#include <QObject>

#include <memory>

namespace platform {

// Whether a system tray runs, and word when one may have started. Qt chooses between a
// tray icon over D-Bus and an X11 one once per process, the first time a tray icon is
// made or a tray is asked for, and keeps that choice: an icon made while no tray runs
// never shows on a tray that hosts D-Bus items only. So nothing asks Qt about the tray
// before this says one runs.
class TrayHost : public QObject
{
    Q_OBJECT

public:
    virtual bool isRunning() = 0;

signals:
    // Emitted when a tray starts, possibly more than once.
    void started();
};

// A StatusNotifierWatcher on the session bus with a host registered, or, on X11, an owner
// of the default screen's tray selection.
std::unique_ptr<TrayHost> systemTrayHost();

} // namespace platform
