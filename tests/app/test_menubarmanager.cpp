#include "capture/AudioRecorder.h"
#include "platform/Bundle.h"
#include "platform/Console.h"
#include "transcription/WhisperRunner.h"
#include "ui/MenuBarManager.h"
#include "ui/QuenloApp.h"
#include "ui/RecorderView.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QScreen>
#include <QSettings>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWindow>

using menubar::TrayIconSource;
using menubar::TrayImage;

namespace {

class FakeIcons final : public TrayIconSource
{
public:
    FakeIcons(bool hasMenuIcon, bool hasSymbol) : m_hasMenuIcon(hasMenuIcon), m_hasSymbol(hasSymbol) {}

    std::optional<TrayImage> menuIcon() const override
    {
        if (!m_hasMenuIcon)
            return std::nullopt;
        return TrayImage{solidIcon(Qt::black), QSize(18, 16)};
    }
    QIcon microphoneSymbol() const override { return m_hasSymbol ? solidIcon(Qt::gray) : QIcon(); }

private:
    static QIcon solidIcon(Qt::GlobalColor colour)
    {
        QPixmap pixmap(16, 16);
        pixmap.fill(colour);
        return QIcon(pixmap);
    }

    bool m_hasMenuIcon;
    bool m_hasSymbol;
};

// A tray that runs from the start, or once told to start.
class FakeTray final : public platform::TrayHost
{
public:
    explicit FakeTray(bool running) : m_running(running) {}
    bool isRunning() override { return m_running; }
    void start()
    {
        m_running = true;
        emit started();
    }

private:
    bool m_running;
};

// A platform recorder that only remembers what it was told.
class FakePlatformRecorder final : public PlatformRecorder
{
public:
    explicit FakePlatformRecorder(int* stops) : m_stops(stops) {}
    void record() override { m_recording = true; }
    void stop() override
    {
        ++*m_stops;
        m_recording = false;
    }
    bool isRecording() const override { return m_recording; }
    void updateMeters() override {}
    float averagePower(int) const override { return -160.0f; }

private:
    int* m_stops;
    bool m_recording = false;
};

// Collects the printed lines while alive.
class PrintedLines
{
public:
    PrintedLines()
    {
        platform::setLineSinkForTesting([this](const QString& line) { lines.append(line); });
    }
    ~PrintedLines() { platform::setLineSinkForTesting({}); }
    QStringList lines;
};

// Builds the real view and records what the window handed it.
struct ViewProbe
{
    int views = 0;
    AudioRecorder* recorder = nullptr;
    RecorderView* view = nullptr;
    platform::Binding<bool> isShowing;

    menubar::RecorderViewFactory factory()
    {
        return [this](AudioRecorder* shared, platform::Binding<bool> binding, QWidget* parent) -> QWidget* {
            ++views;
            recorder = shared;
            isShowing = binding;
            view = new RecorderView(shared, std::move(binding), parent);
            return view;
        };
    }
};

QMenu* trayMenu(const MenuBarManager& manager)
{
    return manager.statusItem()->contextMenu();
}

void chooseMenuEntry(const MenuBarManager& manager, const QString& title)
{
    for (QAction* action : trayMenu(manager)->actions()) {
        if (action->iconText() == title) { // the text without its mnemonic mark
            action->trigger();
            return;
        }
    }
    QFAIL(qPrintable(QStringLiteral("no menu entry \"%1\"").arg(title)));
}

std::unique_ptr<MenuBarManager> makeManager(AudioRecorder& recorder, ViewProbe& probe)
{
    return std::make_unique<MenuBarManager>(recorder, std::make_unique<FakeIcons>(true, true), probe.factory(),
                                            std::make_unique<FakeTray>(true));
}

} // namespace

class TestMenuBarManager : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void startUpLines_data();
    void startUpLines();
    void ownArtworkIsAvailable();
    void menuEntries();
    void applicationSharesOneRecorder();

    void placement_data();
    void placement();
    void firstOpeningBuildsThePlacedWindowAndLaterOnesReuseIt();
    void savedFrameWins();
    void titleBarCloseOnlyHides();
    void openingUnminimises();
    void writesThroughIsShowing();

    void quitEndsTheLoopWithoutStoppingTheRecording();

private:
    QTemporaryDir m_noResources;
    std::unique_ptr<PrintedLines> m_printed;
};

void TestMenuBarManager::initTestCase()
{
    QVERIFY(m_noResources.isValid());
    // No model: the view's runner opens nothing and says so in one printed line.
    platform::setResourceSearchPathsForTesting({m_noResources.path()});
}

void TestMenuBarManager::init()
{
    QSettings(QStringLiteral("quenlo"), QStringLiteral("quenlo")).clear();
    m_printed.reset(); // before the next one takes over the sink
    m_printed = std::make_unique<PrintedLines>();
}

void TestMenuBarManager::startUpLines_data()
{
    QTest::addColumn<bool>("hasMenuIcon");
    QTest::addColumn<bool>("hasSymbol");
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<bool>("hasImage");

    QTest::newRow("own artwork") << true << true
                                 << QStringList{QStringLiteral("✅ MenuBar: Successfully loaded MenuIcon from Assets.xcassets"),
                                                QStringLiteral("📏 MenuBar: Icon size = QSize(18, 16)")}
                                 << true;
    QTest::newRow("theme microphone") << false << true
                                      << QStringList{QStringLiteral("⚠️ MenuBar: MenuIcon not found, using fallback system icon"),
                                                     QStringLiteral("✅ MenuBar: Using fallback mic.circle icon")}
                                      << true;
    QTest::newRow("neither") << false << false
                             << QStringList{QStringLiteral("⚠️ MenuBar: MenuIcon not found, using fallback system icon"),
                                            QStringLiteral("❌ MenuBar: Both MenuIcon and fallback failed!")}
                             << false;
}

void TestMenuBarManager::startUpLines()
{
    QFETCH(bool, hasMenuIcon);
    QFETCH(bool, hasSymbol);
    QFETCH(QStringList, expected);
    QFETCH(bool, hasImage);

    AudioRecorder recorder;
    auto* tray = new FakeTray(false); // owned by the manager
    MenuBarManager manager(recorder, std::make_unique<FakeIcons>(hasMenuIcon, hasSymbol), {},
                           std::unique_ptr<FakeTray>(tray));

    // The lines come at start; the item, which fixes Qt's kind of tray, once a tray runs.
    QCOMPARE(m_printed->lines, expected);
    QVERIFY(!manager.statusItem());
    tray->start();
    const QSystemTrayIcon* item = manager.statusItem();
    QVERIFY(item);
    tray->start(); // a tray host that restarts: the item stays
    QCOMPARE(manager.statusItem(), item);
    QCOMPARE(m_printed->lines, expected);
    QCOMPARE(manager.statusItem()->icon().isNull(), !hasImage);
    QCOMPARE(manager.statusItem()->toolTip(), QStringLiteral("Quenlo"));
    if (hasImage)
        QVERIFY(manager.statusItem()->icon().isMask());
    // The menu is attached whatever became of the image.
    QVERIFY(trayMenu(manager));
    QCOMPARE(trayMenu(manager)->actions().size(), 3);
    QVERIFY(!manager.recorderWindow());
    QVERIFY(!manager.isRecorderWindowVisible());
}

void TestMenuBarManager::ownArtworkIsAvailable()
{
    const std::optional<TrayImage> image = menubar::defaultTrayIconSource()->menuIcon();
    QVERIFY2(image, "MenuIcon.svg is not compiled in, or Qt cannot read SVG");
    QCOMPARE(image->size, QSize(22, 22));
    QVERIFY(!image->icon.pixmap(22, 22).toImage().isNull());
}

void TestMenuBarManager::menuEntries()
{
    AudioRecorder recorder;
    MenuBarManager manager(recorder, std::make_unique<FakeIcons>(true, true), {}, std::make_unique<FakeTray>(true));

    const QList<QAction*> entries = trayMenu(manager)->actions();
    QCOMPARE(entries.size(), 3);
    QCOMPARE(entries[0]->text(), QStringLiteral("&Open Quenlo")); // drawn as "Open Quenlo"
    QCOMPARE(entries[0]->shortcut(), QKeySequence(QStringLiteral("Ctrl+O")));
    QVERIFY(entries[1]->isSeparator());
    QCOMPARE(entries[2]->text(), QStringLiteral("&Quit"));
    QCOMPARE(entries[2]->shortcut(), QKeySequence(QStringLiteral("Ctrl+Q")));

    // A plain click opens the same menu; a double click does not open it twice.
    // Stands in for the desktop, which delivers the clicks.
    auto* item = const_cast<QSystemTrayIcon*>(manager.statusItem());
    QVERIFY(!trayMenu(manager)->isVisible());
    emit item->activated(QSystemTrayIcon::Trigger);
    QTRY_VERIFY(trayMenu(manager)->isVisible());
    trayMenu(manager)->hide();
    emit item->activated(QSystemTrayIcon::DoubleClick);
    QVERIFY(!trayMenu(manager)->isVisible());

    // The open menu answers the shortcut it shows, and the mnemonic; each closes it.
    // Quit's keys end the process and are tried on the real tray (menu_keys_test.sh).
    const std::pair<Qt::Key, Qt::KeyboardModifiers> openKeys[] = {{Qt::Key_O, Qt::ControlModifier},
                                                                   {Qt::Key_O, Qt::NoModifier}};
    for (const auto& [key, modifiers] : openKeys) {
        if (QWidget* window = manager.recorderWindow())
            window->hide();
        manager.setIsRecorderWindowVisible(false);
        trayMenu(manager)->popup(QPoint(100, 100));
        QTRY_VERIFY(trayMenu(manager)->isVisible());
        QTest::keyClick(trayMenu(manager), key, modifiers);
        QVERIFY(manager.isRecorderWindowVisible());
        QTRY_VERIFY(manager.recorderWindow()->isVisible());
        QTRY_VERIFY(!trayMenu(manager)->isVisible());
    }
}

void TestMenuBarManager::applicationSharesOneRecorder()
{
    QuenloAppApp app(std::make_unique<FakeTray>(true));
    QCOMPARE(&app.menuBarManager().recorder(), &app.recorder());
    QVERIFY(!app.menuBarManager().recorderWindow()); // no window at start

    chooseMenuEntry(app.menuBarManager(), QStringLiteral("Open Quenlo"));
    QWidget* window = app.menuBarManager().recorderWindow();
    QVERIFY(window);
    // The view is built from the manager's recorder (see the window tests).
    QCOMPARE(window->findChildren<RecorderView*>().size(), 1);
}

void TestMenuBarManager::placement_data()
{
    QTest::addColumn<QRect>("screen");
    QTest::addColumn<QRect>("available");
    QTest::addColumn<QRectF>("visibleFrame");
    QTest::addColumn<QPointF>("origin");
    QTest::addColumn<QPoint>("topLeft"); // for a frame 296 tall
    QTest::addColumn<QMargins>("decorations");
    QTest::addColumn<QPoint>("windowTopLeft"); // for a 480 x 296 window in those decorations

    // A 1440 x 900 screen under a 25-pixel top panel. A 20-pixel title bar makes the
    // frame 317 tall: its bottom 300 below the panel would lift the title bar under the
    // panel, so the frame's top stays at the panel instead.
    QTest::newRow("top panel") << QRect(0, 0, 1440, 900) << QRect(0, 25, 1440, 875)
                               << QRectF(0, 0, 1440, 875) << QPointF(940, 575) << QPoint(940, 29)
                               << QMargins(1, 20, 1, 1) << QPoint(941, 45);
    // Undecorated: the window is the frame.
    QTest::newRow("bottom panel") << QRect(0, 0, 1920, 1080) << QRect(0, 0, 1920, 1040)
                                  << QRectF(0, 40, 1920, 1040) << QPointF(1420, 780) << QPoint(1420, 4)
                                  << QMargins() << QPoint(1420, 4);
    // A frame exactly 300 tall fits between the panel and the rule's bottom edge.
    QTest::newRow("left and top panels") << QRect(0, 0, 1920, 1080) << QRect(48, 32, 1872, 1048)
                                         << QRectF(48, 0, 1872, 1048) << QPointF(1420, 748) << QPoint(1420, 36)
                                         << QMargins(2, 2, 2, 2) << QPoint(1422, 34);
    // Primary screen right of another one, lower than the desktop's origin.
    QTest::newRow("offset screen") << QRect(1280, 200, 1440, 900) << QRect(1280, 225, 1440, 875)
                                   << QRectF(1280, 0, 1440, 875) << QPointF(2220, 575) << QPoint(2220, 229)
                                   << QMargins(1, 20, 1, 1) << QPoint(2221, 245);
}

void TestMenuBarManager::placement()
{
    QFETCH(QRect, screen);
    QFETCH(QRect, available);
    QFETCH(QRectF, visibleFrame);
    QFETCH(QPointF, origin);
    QFETCH(QPoint, topLeft);
    QFETCH(QMargins, decorations);
    QFETCH(QPoint, windowTopLeft);

    QCOMPARE(menubar::visibleFrame(available, screen), visibleFrame);
    QCOMPARE(menubar::recorderWindowOrigin(visibleFrame), origin);
    QCOMPARE(menubar::frameTopLeft(origin, screen, 296), topLeft);
    QCOMPARE(menubar::windowTopLeft(origin, screen, available, QSize(480, 296), decorations), windowTopLeft);
}

void TestMenuBarManager::firstOpeningBuildsThePlacedWindowAndLaterOnesReuseIt()
{
    AudioRecorder recorder;
    ViewProbe probe;
    auto manager = makeManager(recorder, probe);
    QSignalSpy changes(manager.get(), &MenuBarManager::objectWillChange);

    chooseMenuEntry(*manager, QStringLiteral("Open Quenlo"));
    QWidget* window = manager->recorderWindow();
    QVERIFY(window);
    QCOMPARE(probe.views, 1);
    QCOMPARE(probe.recorder, &recorder);
    QCOMPARE(window->windowTitle(), QStringLiteral("Quenlo"));
    QVERIFY(window->isVisible());
    QVERIFY(manager->isRecorderWindowVisible());
    QCOMPARE(changes.count(), 1);

    // Titled and closable, not resizable, nor minimisable; exactly the view's size.
    const Qt::WindowFlags flags = window->windowFlags();
    QVERIFY(flags.testFlag(Qt::WindowCloseButtonHint));
    QVERIFY(!flags.testFlag(Qt::WindowMinimizeButtonHint));
    QVERIFY(!flags.testFlag(Qt::WindowMaximizeButtonHint));
    QCOMPARE(window->size(), QSize(480, 296));
    QCOMPARE(window->minimumSize(), window->maximumSize());

    // Top right of the available area: the frame's left edge 480 + 20 in from the
    // right edge, its bottom edge 280 + 20 below the top. The decorations (this
    // platform draws a thin frame) count once the window has been shown.
    const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
    QVERIFY(!window->windowHandle()->frameMargins().isNull());
    QTRY_COMPARE(window->frameGeometry().x(), available.x() + available.width() - 500);
    QTRY_COMPARE(window->frameGeometry().y() + window->frameGeometry().height(), available.y() + 300);

    // The view's appearance built its one runner.
    WhisperRunner* runner = probe.view->whisperRunner();
    QVERIFY(runner);

    chooseMenuEntry(*manager, QStringLiteral("Open Quenlo"));
    chooseMenuEntry(*manager, QStringLiteral("Open Quenlo"));
    QCOMPARE(manager->recorderWindow(), window);
    QCOMPARE(probe.views, 1);
    QCOMPARE(window->findChildren<RecorderView*>().size(), 1);
    QCOMPARE(probe.view->whisperRunner(), runner);
    QCOMPARE(changes.count(), 3); // true stored again on every opening
}

void TestMenuBarManager::savedFrameWins()
{
    AudioRecorder recorder;
    const QPoint saved(60, 90);
    {
        ViewProbe probe;
        auto earlierRun = makeManager(recorder, probe);
        chooseMenuEntry(*earlierRun, QStringLiteral("Open Quenlo"));
        earlierRun->recorderWindow()->move(saved);
        QCOMPARE(earlierRun->recorderWindow()->pos(), saved);
        // Written as the window moves, before any hide.
        QTRY_VERIFY(QSettings(QStringLiteral("quenlo"), QStringLiteral("quenlo")).contains(QStringLiteral("RecorderWindow")));
    }

    ViewProbe probe;
    auto manager = makeManager(recorder, probe);
    chooseMenuEntry(*manager, QStringLiteral("Open Quenlo"));
    QCOMPARE(manager->recorderWindow()->pos(), saved);
}

void TestMenuBarManager::titleBarCloseOnlyHides()
{
    AudioRecorder recorder;
    ViewProbe probe;
    auto manager = makeManager(recorder, probe);
    chooseMenuEntry(*manager, QStringLiteral("Open Quenlo"));
    QWidget* window = manager->recorderWindow();
    QSignalSpy changes(manager.get(), &MenuBarManager::objectWillChange);

    QVERIFY(!window->close()); // the close is refused
    QVERIFY(!window->isVisible());
    QVERIFY(!manager->isRecorderWindowVisible());
    QCOMPARE(changes.count(), 1);
    QCOMPARE(manager->recorderWindow(), window);

    QVERIFY(!manager->windowShouldClose(window)); // refused on every call
    QCOMPARE(changes.count(), 2);

    // Showing the hidden window again is a new appearance of its view.
    probe.view->whisperRunner()->setTranscription(QStringLiteral("earlier"));
    probe.view->whisperRunner()->setCopiedToClipboard(true);
    chooseMenuEntry(*manager, QStringLiteral("Open Quenlo"));
    QCOMPARE(manager->recorderWindow(), window);
    QVERIFY(window->isVisible());
    QCOMPARE(probe.views, 1);
    QVERIFY(probe.view->whisperRunner()->transcription().isEmpty());
    QVERIFY(!probe.view->whisperRunner()->copiedToClipboard());
}

void TestMenuBarManager::openingUnminimises()
{
    AudioRecorder recorder;
    ViewProbe probe;
    auto manager = makeManager(recorder, probe);
    chooseMenuEntry(*manager, QStringLiteral("Open Quenlo"));
    QWidget* window = manager->recorderWindow();
    const QPoint placed = window->pos();

    // The window manager minimises it; the manager is not told.
    window->setWindowState(window->windowState() | Qt::WindowMinimized);
    QTRY_VERIFY(window->isMinimized());

    chooseMenuEntry(*manager, QStringLiteral("Open Quenlo"));
    QTRY_VERIFY(!window->isMinimized());
    QVERIFY(window->isVisible());
    QCOMPARE(window->windowState() & (Qt::WindowMaximized | Qt::WindowFullScreen), Qt::WindowNoState);
    QCOMPARE(window->pos(), placed);
    QCOMPARE(window->size(), QSize(480, 296));
}

void TestMenuBarManager::writesThroughIsShowing()
{
    AudioRecorder recorder;
    ViewProbe probe;
    auto manager = makeManager(recorder, probe);
    chooseMenuEntry(*manager, QStringLiteral("Open Quenlo"));
    QWidget* window = manager->recorderWindow();
    QVERIFY(probe.isShowing.get());

    // Each notification sees the flag as it was before that store.
    QList<bool> seen;
    connect(manager.get(), &MenuBarManager::objectWillChange, this,
            [&] { seen.append(manager->isRecorderWindowVisible()); });

    probe.isShowing.set(false);
    QVERIFY(!window->isVisible());
    QVERIFY(!probe.isShowing.get());
    QCOMPARE(seen, (QList<bool>{true, false}));

    seen.clear();
    probe.isShowing.set(false); // already hidden
    QVERIFY(!window->isVisible());
    QCOMPARE(seen, (QList<bool>{false, false}));

    seen.clear();
    probe.isShowing.set(true); // stores only
    QVERIFY(manager->isRecorderWindowVisible());
    QVERIFY(!window->isVisible());
    QCOMPARE(seen, QList<bool>{false});
}

void TestMenuBarManager::quitEndsTheLoopWithoutStoppingTheRecording()
{
    int stops = 0;
    AudioRecorder recorder([&stops](const QUrl&, platform::Error&) -> std::unique_ptr<PlatformRecorder> {
        return std::make_unique<FakePlatformRecorder>(&stops);
    });
    ViewProbe probe;
    auto manager = makeManager(recorder, probe);
    chooseMenuEntry(*manager, QStringLiteral("Open Quenlo")); // a window that refuses to close
    recorder.startRecording();
    QVERIFY(recorder.isRecording());

    QTimer::singleShot(0, manager.get(), [&] { chooseMenuEntry(*manager, QStringLiteral("Quit")); });
    // Returns only if Quit ends the main loop. The watchdog ends a loop Quit left
    // running, with a status Quit never gives.
    QTimer::singleShot(5000, manager.get(), [] { QCoreApplication::exit(1); });
    QCOMPARE(QApplication::exec(), 0);
    QCOMPARE(stops, 0);
    QVERIFY(recorder.isRecording());
    // Nothing was asked to close on the way out.
    QVERIFY(manager->recorderWindow()->isVisible());
    QVERIFY(manager->isRecorderWindowVisible());
}

QTEST_MAIN(TestMenuBarManager)
#include "test_menubarmanager.moc"
