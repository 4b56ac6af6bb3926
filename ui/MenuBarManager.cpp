#include "MenuBarManager.h"

#include "RecorderView.h"
#include "platform/Console.h"
#include "platform/WindowManager.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QCursor>
#include <QDebug>
#include <QHideEvent>
#include <QImageReader>
#include <QKeyEvent>
#include <QKeySequence>
#include <QMenu>
#include <QMoveEvent>
#include <QScreen>
#include <QSettings>
#include <QSystemTrayIcon>
#include <QVBoxLayout>
#include <QWindow>

#include <algorithm>
#include <cmath>

// Q_INIT_RESOURCE must be used outside any namespace; the icon lives in this
// static library, so nothing registers it unless asked.
static void initTrayResources()
{
    Q_INIT_RESOURCE(quenlo);
}

namespace menubar {
namespace {

// The content rectangle the placement reserves, and the margin to the screen edges.
constexpr double kContentWidth = 480;
constexpr double kContentHeight = 280;
constexpr double kMargin = 20;

class SystemTrayIconSource final : public TrayIconSource
{
public:
    std::optional<TrayImage> menuIcon() const override
    {
        initTrayResources();
        const QString path = QStringLiteral(":/quenlo/MenuIcon.svg");
        QImageReader reader(path);
        // canRead() is false when the file is missing and when no SVG reader is installed.
        if (!reader.canRead())
            return std::nullopt;
        return TrayImage{QIcon(path), reader.size()};
    }

    QIcon microphoneSymbol() const override
    {
        return QIcon::fromTheme(QStringLiteral("audio-input-microphone"));
    }
};

// The tray item's menu. Qt matches an action's shortcut only against the window its
// widgets belong to, and a tray menu belongs to none; so while the menu is open it
// answers the shortcuts it shows itself.
class TrayMenu final : public QMenu
{
protected:
    void keyPressEvent(QKeyEvent* event) override
    {
        const QKeySequence pressed(event->keyCombination());
        for (QAction* action : actions()) {
            if (action->isEnabled() && !action->shortcut().isEmpty()
                && action->shortcut().matches(pressed) == QKeySequence::ExactMatch) {
                event->accept();
                close();
                action->trigger();
                return;
            }
        }
        QMenu::keyPressEvent(event);
    }
};

QString sizeText(QSize size)
{
    QString text;
    QDebug(&text).nospace() << size;
    return text;
}

} // namespace

std::unique_ptr<TrayIconSource> defaultTrayIconSource()
{
    return std::make_unique<SystemTrayIconSource>();
}

QRectF visibleFrame(const QRect& availableGeometry, const QRect& primaryScreenGeometry)
{
    const double screenBottom = double(primaryScreenGeometry.y()) + primaryScreenGeometry.height();
    const double bottom = double(availableGeometry.y()) + availableGeometry.height();
    return {double(availableGeometry.x()), screenBottom - bottom, double(availableGeometry.width()),
            double(availableGeometry.height())};
}

QPointF recorderWindowOrigin(const QRectF& visibleFrame)
{
    const double maxX = visibleFrame.x() + visibleFrame.width();
    const double maxY = visibleFrame.y() + visibleFrame.height();
    return {(maxX - kContentWidth) - kMargin, (maxY - kContentHeight) - kMargin};
}

QPoint frameTopLeft(const QPointF& originYUp, const QRect& primaryScreenGeometry, int frameHeight)
{
    const double screenBottom = double(primaryScreenGeometry.y()) + primaryScreenGeometry.height();
    const double frameBottom = screenBottom - originYUp.y();
    return {int(std::lround(originYUp.x())), int(std::lround(frameBottom - frameHeight))};
}

QPoint windowTopLeft(const QPointF& originYUp, const QRect& primaryScreenGeometry, const QRect& availableGeometry,
                     QSize windowSize, const QMargins& frameMargins)
{
    const int frameHeight = frameMargins.top() + windowSize.height() + frameMargins.bottom();
    QPoint frame = frameTopLeft(originYUp, primaryScreenGeometry, frameHeight);
    frame.setY(std::max(frame.y(), availableGeometry.y()));
    return frame + QPoint(frameMargins.left(), frameMargins.top());
}

} // namespace menubar

// The one recorder window. A close from the title bar asks the manager, which hides
// the window and refuses; the frame is remembered across runs under "RecorderWindow".
class MenuBarManager::RecorderWindow final : public QWidget
{
public:
    explicit RecorderWindow(MenuBarManager& delegate)
        : QWidget(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint)
        , m_delegate(delegate)
        , m_settings(QStringLiteral("quenlo"), QStringLiteral("quenlo"))
    {
    }

    // Puts the frame's bottom-left corner at `originYUp`. Until the window manager has
    // framed the window, its decorations are the ones it announced, or none; the first
    // showing places the window again once the real ones are known.
    void placeFrame(const QPointF& originYUp, const QRect& primaryScreen, const QRect& available,
                    const QMargins& expectedDecorations)
    {
        m_placement = Placement{originYUp, primaryScreen, available, expectedDecorations};
        applyPlacement();
    }

    // A frame saved by an earlier run replaces the current one.
    void restoreSavedFrame()
    {
        const QByteArray saved = m_settings.value(kFrameKey).toByteArray();
        if (!saved.isEmpty() && restoreGeometry(saved))
            m_placement.reset();
    }

protected:
    void closeEvent(QCloseEvent* event) override
    {
        if (m_delegate.windowShouldClose(this))
            event->accept();
        else
            event->ignore();
    }

    void moveEvent(QMoveEvent* event) override
    {
        QWidget::moveEvent(event);
        if (isVisible())
            saveFrame();
    }

    void hideEvent(QHideEvent* event) override
    {
        QWidget::hideEvent(event);
        // Hidden before any decorations came: nobody frames this window.
        m_placement.reset();
        saveFrame();
    }

    bool eventFilter(QObject* watched, QEvent* event) override
    {
        // The window manager has framed the window by the time it is first exposed.
        if (m_placement && watched == windowHandle() && event->type() == QEvent::Expose
            && !windowHandle()->frameMargins().isNull()) {
            applyPlacement();
            m_placement.reset();
        }
        return QWidget::eventFilter(watched, event);
    }

private:
    struct Placement
    {
        QPointF originYUp;
        QRect primaryScreen;
        QRect available;
        QMargins expectedDecorations;
    };

    void applyPlacement()
    {
        QMargins margins = windowHandle() ? windowHandle()->frameMargins() : QMargins();
        if (margins.isNull())
            margins = m_placement->expectedDecorations;
        setGeometry(QRect(menubar::windowTopLeft(m_placement->originYUp, m_placement->primaryScreen,
                                                 m_placement->available, size(), margins),
                          size()));
    }

    // QSettings writes the file from the event loop, so a drag's many moves cost one write.
    void saveFrame() { m_settings.setValue(kFrameKey, saveGeometry()); }

    std::optional<Placement> m_placement;

    static inline const QString kFrameKey = QStringLiteral("RecorderWindow");

    MenuBarManager& m_delegate;
    QSettings m_settings;
};

MenuBarManager::MenuBarManager(AudioRecorder& recorder, std::unique_ptr<menubar::TrayIconSource> icons,
                               menubar::RecorderViewFactory makeView, std::unique_ptr<platform::TrayHost> tray,
                               QObject* parent)
    : platform::ObservableObject(parent)
    , m_recorder(recorder)
    , m_icons(std::move(icons))
    , m_makeView(std::move(makeView))
    , m_tray(std::move(tray))
{
    if (!m_makeView) {
        m_makeView = [](AudioRecorder* shared, platform::Binding<bool> isShowing, QWidget* host) -> QWidget* {
            return new RecorderView(shared, std::move(isShowing), host);
        };
    }
    setupMenuBar();
}

MenuBarManager::~MenuBarManager() = default;

void MenuBarManager::setIsRecorderWindowVisible(bool visible)
{
    store(m_isRecorderWindowVisible, visible);
}

QWidget* MenuBarManager::recorderWindow() const
{
    return m_recorderWindow.get();
}

void MenuBarManager::setupMenuBar()
{
    if (const std::optional<menubar::TrayImage> image = m_icons->menuIcon()) {
        platform::printLine(QStringLiteral("✅ MenuBar: Successfully loaded MenuIcon from Assets.xcassets"));
        platform::printLine(QStringLiteral("📏 MenuBar: Icon size = ") + menubar::sizeText(image->size));
        m_image = image->icon;
    } else {
        platform::printLine(QStringLiteral("⚠️ MenuBar: MenuIcon not found, using fallback system icon"));
        m_image = m_icons->microphoneSymbol();
        if (!m_image.isNull())
            platform::printLine(QStringLiteral("✅ MenuBar: Using fallback mic.circle icon"));
        else
            platform::printLine(QStringLiteral("❌ MenuBar: Both MenuIcon and fallback failed!"));
    }
    if (!m_image.isNull())
        m_image.setIsMask(true); // monochrome: the desktop may recolour it

    setupMenu();
    if (m_tray->isRunning())
        createStatusItem();
    else
        connect(m_tray.get(), &platform::TrayHost::started, this, &MenuBarManager::createStatusItem,
                Qt::SingleShotConnection);
}

void MenuBarManager::setupMenu()
{
    m_menu = std::make_unique<menubar::TrayMenu>();

    // "&" marks the mnemonic; the menu draws the text without it.
    QAction* open = m_menu->addAction(tr("&Open Quenlo"));
    open->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
    connect(open, &QAction::triggered, this, &MenuBarManager::openQuenlo);

    m_menu->addSeparator();

    QAction* quit = m_menu->addAction(tr("&Quit"));
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    connect(quit, &QAction::triggered, this, &MenuBarManager::quitApplication);
}

void MenuBarManager::createStatusItem()
{
    m_statusItem = std::make_unique<QSystemTrayIcon>();
    // Trays show an item's name only as its tooltip.
    m_statusItem->setToolTip(QStringLiteral("Quenlo"));
    m_statusItem->setIcon(m_image);

    connect(m_statusItem.get(), &QSystemTrayIcon::activated, this, &MenuBarManager::statusBarButtonClicked);
    m_statusItem->setContextMenu(m_menu.get());
    // An item with a menu opens it on a plain click too; X11 trays would otherwise
    // show it for the right button only.
    connect(m_statusItem.get(), &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger)
            m_menu->popup(QCursor::pos());
    });
    // Qt refuses to show an item without an image; the menu stays attached all the same.
    if (!m_image.isNull())
        m_statusItem->show();
}

void MenuBarManager::statusBarButtonClicked()
{
    // The item's menu answers clicks; the item's own action has nothing to do.
}

void MenuBarManager::openQuenlo()
{
    if (!m_recorderWindow)
        createRecorderWindow();

    // A window manager may minimise the window from its own menu or a key, the missing
    // button notwithstanding.
    m_recorderWindow->setWindowState(m_recorderWindow->windowState() & ~Qt::WindowMinimized);
    m_recorderWindow->show();
    m_recorderWindow->raise();
    m_recorderWindow->activateWindow();
    platform::activateOnUserRequest(m_recorderWindow->windowHandle());
    setIsRecorderWindowVisible(true);
}

void MenuBarManager::quitApplication()
{
    // At once: a recording in progress is not stopped first (its file is already a
    // readable WAV up to the last samples written). Not quit(), which asks every
    // window to close first and gives up when the recorder window refuses.
    QCoreApplication::exit(0);
}

void MenuBarManager::createRecorderWindow()
{
    // Both closures hold the manager, which outlives the window.
    platform::Binding<bool> isShowing{
        [this] { return m_isRecorderWindowVisible; },
        [this](bool visible) {
            setIsRecorderWindowVisible(visible);
            // The view's Close is refused and hidden like the title bar's.
            if (!visible)
                windowShouldClose(m_recorderWindow.get());
        },
    };

    m_recorderWindow = std::make_unique<RecorderWindow>(*this);
    m_recorderWindow->setWindowTitle(QStringLiteral("Quenlo"));

    // The view fixes its own size; the window takes exactly that size and keeps it.
    auto* layout = new QVBoxLayout(m_recorderWindow.get()); // owned by the window
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    layout->addWidget(m_makeView(&m_recorder, std::move(isShowing), m_recorderWindow.get()));
    layout->activate();

    // The native window exists before any position is given, so positions are the
    // window's own and not its frame's (X11 static gravity): a window manager then
    // puts the window where asked, whatever decorations it adds around it.
    m_recorderWindow->winId();
    m_recorderWindow->windowHandle()->installEventFilter(m_recorderWindow.get());
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect primary = screen->geometry();
        const QRect available = screen->availableGeometry();
        m_recorderWindow->placeFrame(menubar::recorderWindowOrigin(menubar::visibleFrame(available, primary)), primary,
                                     available,
                                     platform::expectedFrameMargins(m_recorderWindow->windowHandle()).value_or(QMargins()));
    }
    m_recorderWindow->restoreSavedFrame();
}

bool MenuBarManager::windowShouldClose(QWidget* /*window*/)
{
    // The manager is the delegate of its own window only, so that is the one to hide.
    if (m_recorderWindow)
        m_recorderWindow->hide();
    setIsRecorderWindowVisible(false);
    return false;
}
