#pragma once

#include "platform/Binding.h"
#include "platform/ObservableObject.h"
#include "platform/TrayHost.h"

#include <QIcon>
#include <QMargins>
#include <QPoint>
#include <QPointF>
#include <QRect>
#include <QRectF>
#include <QSize>

#include <functional>
#include <memory>
#include <optional>

class AudioRecorder;
class QMenu;
class QSystemTrayIcon;
class QWidget;

namespace menubar {

// An image for the tray and the size it was drawn at.
struct TrayImage
{
    QIcon icon;
    QSize size;
};

// Where the tray icon comes from: our own "MenuIcon" artwork first, the icon theme's
// microphone as the stand-in. Tests replace both to reach every start-up branch.
class TrayIconSource
{
public:
    virtual ~TrayIconSource() = default;
    // Empty when the artwork cannot be read.
    virtual std::optional<TrayImage> menuIcon() const = 0;
    // Null when the theme has no microphone icon.
    virtual QIcon microphoneSymbol() const = 0;
};

// The compiled-in MenuIcon.svg and the theme's "audio-input-microphone".
std::unique_ptr<TrayIconSource> defaultTrayIconSource();

// Builds the recorder window's content; the default builds RecorderView. The result
// is parented to `parent`.
using RecorderViewFactory =
    std::function<QWidget*(AudioRecorder* recorder, platform::Binding<bool> isShowing, QWidget* parent)>;

// The recorder window's placement rule works in coordinates whose y grows upward
// from the bottom of the primary screen; Qt's grow downward from the top.

// `availableGeometry` (Qt coordinates) in y-up terms.
QRectF visibleFrame(const QRect& availableGeometry, const QRect& primaryScreenGeometry);

// The bottom-left corner of the window frame in y-up terms: 480 + 20 left of the
// visible frame's right edge and 280 + 20 below its top.
QPointF recorderWindowOrigin(const QRectF& visibleFrame);

// Qt's top-left position for a frame `frameHeight` tall whose bottom-left corner is
// `originYUp`.
QPoint frameTopLeft(const QPointF& originYUp, const QRect& primaryScreenGeometry, int frameHeight);

// Where the window itself (inside its decorations, `frameMargins`) goes so that its
// frame's bottom-left corner is `originYUp`; lowered where that would lift the title
// bar above the top of `availableGeometry`, where it could no longer be dragged.
QPoint windowTopLeft(const QPointF& originYUp, const QRect& primaryScreenGeometry, const QRect& availableGeometry,
                     QSize windowSize, const QMargins& frameMargins);

} // namespace menubar

// The tray item with its menu, and the one recorder window, built on first use and
// then only shown and hidden for the life of the process. The item is made once a tray
// runs: at once when one does, else when one starts.
class MenuBarManager final : public platform::ObservableObject
{
    Q_OBJECT

public:
    // A manager always has its recorder; there is no constructor without one.
    explicit MenuBarManager(AudioRecorder& recorder,
                            std::unique_ptr<menubar::TrayIconSource> icons = menubar::defaultTrayIconSource(),
                            menubar::RecorderViewFactory makeView = {},
                            std::unique_ptr<platform::TrayHost> tray = platform::systemTrayHost(),
                            QObject* parent = nullptr);
    ~MenuBarManager() override;

    // Whether the recorder window is meant to be on screen. Storing it shows or hides
    // nothing by itself.
    bool isRecorderWindowVisible() const { return m_isRecorderWindowVisible; }
    void setIsRecorderWindowVisible(bool visible);

    AudioRecorder& recorder() const { return m_recorder; }

    // Read-only views for observers and tests. No status item until a tray runs.
    const QSystemTrayIcon* statusItem() const { return m_statusItem.get(); }
    QWidget* recorderWindow() const;

    // Asked by the recorder window before it closes: hides it instead and refuses.
    bool windowShouldClose(QWidget* window);

private:
    void setupMenuBar();
    void setupMenu();
    void createStatusItem();
    void statusBarButtonClicked();
    void openQuenlo();
    void quitApplication();
    void createRecorderWindow();

    class RecorderWindow;

    // Fields in declaration order, which is the order they are initialised in; the
    // menu is made later, by setupMenu(), and the status item once a tray runs.
    std::unique_ptr<QSystemTrayIcon> m_statusItem;
    std::unique_ptr<RecorderWindow> m_recorderWindow; // top level, never deleted before exit
    bool m_isRecorderWindowVisible = false;
    AudioRecorder& m_recorder; // shared with the application, outlives the manager

    std::unique_ptr<menubar::TrayIconSource> m_icons;
    menubar::RecorderViewFactory m_makeView;
    std::unique_ptr<platform::TrayHost> m_tray;
    QIcon m_image; // the status item's, null when neither image was found
    std::unique_ptr<QMenu> m_menu; // the tray does not own its context menu
};
