#include "TrayHost.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QGuiApplication>
#include <QSocketNotifier>

#include <xcb/xcb.h>

#include <cstdlib>

namespace platform {
namespace {

const QString kWatcher = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString kWatcherPath = QStringLiteral("/StatusNotifierWatcher");

class SystemTrayHost final : public TrayHost
{
    Q_OBJECT

public:
    SystemTrayHost()
    {
        // The watcher may start, or its host register, at any time.
        if (QDBusConnection bus = QDBusConnection::sessionBus(); bus.isConnected()) {
            auto* names = new QDBusServiceWatcher(kWatcher, bus, QDBusServiceWatcher::WatchForRegistration, this);
            connect(names, &QDBusServiceWatcher::serviceRegistered, this, &SystemTrayHost::check);
            bus.connect(kWatcher, kWatcherPath, kWatcher, QStringLiteral("StatusNotifierHostRegistered"), this,
                        SLOT(check()));
        }
        // Where Qt draws through X11 it falls back to the X11 tray; elsewhere only the
        // D-Bus tray can show the icon.
        if (QGuiApplication::platformName() == QLatin1String("xcb"))
            watchX11Tray();
    }

    bool isRunning() override { return statusNotifierHostRegistered() || x11TrayOwned(); }

private slots:
    void check()
    {
        if (isRunning())
            emit started();
    }

private:
    static bool statusNotifierHostRegistered()
    {
        const QDBusConnection bus = QDBusConnection::sessionBus();
        if (!bus.isConnected())
            return false;
        QDBusMessage get = QDBusMessage::createMethodCall(
            kWatcher, kWatcherPath, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
        get << kWatcher << QStringLiteral("IsStatusNotifierHostRegistered");
        // A local bus answers at once; a hung watcher must not hold up the start.
        const QDBusMessage reply = bus.call(get, QDBus::Block, 2000);
        return reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()
            && reply.arguments().constFirst().value<QDBusVariant>().variant().toBool();
    }

    // A connection of our own: Qt reads its connection's events on its own thread.
    void watchX11Tray()
    {
        int screen = 0;
        m_connection.reset(xcb_connect(nullptr, &screen));
        xcb_connection_t* const x11 = m_connection.get();
        if (xcb_connection_has_error(x11))
            return;
        xcb_screen_iterator_t roots = xcb_setup_roots_iterator(xcb_get_setup(x11));
        for (int i = 0; i < screen && roots.rem > 1; ++i)
            xcb_screen_next(&roots);
        // A new owner of the selection announces itself to the root window (MANAGER);
        // listening starts before the first look, so no start falls in between.
        const uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
        xcb_change_window_attributes(x11, roots.data->root, XCB_CW_EVENT_MASK, &mask);
        const QByteArray name = "_NET_SYSTEM_TRAY_S" + QByteArray::number(screen);
        xcb_intern_atom_reply_t* reply
            = xcb_intern_atom_reply(x11, xcb_intern_atom(x11, 0, uint16_t(name.size()), name.constData()), nullptr);
        m_selection = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
        std::free(reply);

        m_readable = std::make_unique<QSocketNotifier>(xcb_get_file_descriptor(x11), QSocketNotifier::Read);
        connect(m_readable.get(), &QSocketNotifier::activated, this, [this, x11] {
            // Each look reads on, and may queue events that came with its answer.
            for (;;) {
                bool any = false;
                while (xcb_generic_event_t* event = xcb_poll_for_event(x11)) {
                    std::free(event);
                    any = true;
                }
                if (xcb_connection_has_error(x11)) {
                    m_readable->setEnabled(false);
                    return;
                }
                if (!any)
                    return;
                check();
            }
        });
    }

    bool x11TrayOwned() const
    {
        xcb_connection_t* const x11 = m_connection.get();
        if (!x11 || m_selection == XCB_ATOM_NONE || xcb_connection_has_error(x11))
            return false;
        xcb_get_selection_owner_reply_t* reply
            = xcb_get_selection_owner_reply(x11, xcb_get_selection_owner(x11, m_selection), nullptr);
        const bool owned = reply && reply->owner != XCB_NONE;
        std::free(reply);
        return owned;
    }

    std::unique_ptr<xcb_connection_t, decltype(&xcb_disconnect)> m_connection{nullptr, &xcb_disconnect};
    xcb_atom_t m_selection = XCB_ATOM_NONE;
    std::unique_ptr<QSocketNotifier> m_readable; // goes before the connection it reads
};

} // namespace

std::unique_ptr<TrayHost> systemTrayHost()
{
    return std::make_unique<SystemTrayHost>();
}

} // namespace platform

#include "TrayHost.moc"
