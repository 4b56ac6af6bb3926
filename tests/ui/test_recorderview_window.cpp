// The recorder view as the content of a real window on the test session's display,
// under its window manager: keys reach it as the window system delivers them, to
// whatever holds the focus, and its bars run on the real animation clock.
#include "test_recorderview_harness.h"

#include "platform/Console.h"

#include <QApplication>
#include <QPlainTextEdit>
#include <QWindow>

#include <cmath>

using recorderview::AudioWaveView;
using recorderview::ScrollableTextView;
using recorderview::WaveBar;

using namespace recorderviewtest;

namespace {

// A plain top-level window holding the view, as the application's recorder window
// does: not a dialog, so nothing of a dialog's default-button handling applies.
struct Window
{
    Window()
    {
        host.setWindowTitle(QStringLiteral("Quenlo test"));
        h = std::make_unique<Harness>(&host);
        host.setFixedSize(h->view->size());
    }

    ~Window() { h.reset(); }

    bool showActive()
    {
        host.show();
        host.raise();
        host.activateWindow();
        return QTest::qWaitForWindowActive(&host);
    }

    // To the window, as the window system sends it: the application routes it to
    // the focus, through the window's shortcuts.
    void key(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
    {
        QTest::keyClick(host.windowHandle(), key, modifiers);
    }

    void clickAt(QWidget* widget, QPoint pos)
    {
        QTest::mouseClick(host.windowHandle(), Qt::LeftButton, Qt::NoModifier, widget->mapTo(&host, pos));
    }

    QWidget host;
    std::unique_ptr<Harness> h;
};

// How many pixels of the bar's middle column differ from the panel's fill.
int drawnHeight(const QImage& image, const QWidget* window, const WaveBar* bar, const QColor& fill)
{
    const qreal dpr = image.devicePixelRatio();
    int drawn = 0;
    for (int y = 0; y < bar->QWidget::height(); ++y) {
        const QPoint at = bar->mapTo(window, QPoint(bar->width() / 2, y)) * dpr;
        if (image.pixelColor(at) != fill)
            ++drawn;
    }
    return drawn;
}

// True when every bar is drawn at the height of its level at the row's phase now,
// give or take the antialiased top pixel.
bool barsDrawnAt(QWidget* window, const AudioWaveView* row, const QColor& fill, QString* report)
{
    const QImage image = window->grab().toImage();
    for (qsizetype i = 0; i < row->bars().size(); ++i) {
        const double expected = WaveBar::height(row->barLevel(i));
        const int drawn = drawnHeight(image, window, row->bars().at(i), fill);
        if (std::abs(drawn - expected) > 1.5) {
            *report = QStringLiteral("bar %1 is drawn %2 px high, not %3 (level %4, phase %5)")
                          .arg(i).arg(drawn).arg(expected).arg(row->audioLevel()).arg(row->phase());
            return false;
        }
    }
    return true;
}

} // namespace

class RecorderViewWindowTest final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (QGuiApplication::platformName() == QLatin1String("offscreen"))
            QFAIL("needs a real display with a window manager: run it inside scripts/test-session.sh");
    }

    void init()
    {
        platform::setLineSinkForTesting([](const QString&) {});
    }

    void cleanup()
    {
        platform::setLineSinkForTesting(nullptr);
    }

    void returnKeyPressesStartStopUnlessDisabled()
    {
        Window w;
        Harness& h = *w.h;
        QVERIFY(writeRecording(h.recorder->audioFileURL().toLocalFile()));
        QVERIFY(w.showActive());

        // Three whole cycles by keyboard alone; the second begins with a click into
        // the transcript, which takes the focus with it when the panel switches, the
        // third with the focus on Close, which the key must not press.
        for (int cycle = 0; cycle < 3; ++cycle) {
            if (cycle == 1) {
                QVERIFY(h.textView());
                w.clickAt(h.textView()->viewport(), QPoint(30, 10));
                QTRY_VERIFY(h.textView()->hasFocus());
            } else if (cycle == 2) {
                h.close()->setFocus(Qt::TabFocusReason);
                QVERIFY(h.close()->hasFocus());
            }
            const Qt::Key key = cycle == 2 ? Qt::Key_Enter : Qt::Key_Return;
            const Qt::KeyboardModifiers modifiers = cycle == 2 ? Qt::KeypadModifier : Qt::NoModifier;
            w.key(key, modifiers); // Start
            QVERIFY2(h.recorder->isRecording(), qPrintable(QStringLiteral("cycle %1").arg(cycle)));
            QTRY_VERIFY(!h.textView() && h.waveView());
            // Wherever the focus went with the old branch, it is still in the window.
            QVERIFY(QApplication::focusWidget() && QApplication::focusWidget()->window() == &w.host);

            w.key(key, modifiers); // Stop
            QVERIFY2(!h.recorder->isRecording(), qPrintable(QStringLiteral("cycle %1").arg(cycle)));
            QTRY_COMPARE(h.runner().transcription(), QStringLiteral("hello world"));
            QTRY_VERIFY(h.textView() && !h.waveView());
            QTRY_COMPARE(h.textView()->toPlainText(), QStringLiteral("hello world"));
            QVERIFY(w.host.isActiveWindow());
            QVERIFY(QApplication::focusWidget() && QApplication::focusWidget()->window() == &w.host);
        }
        QCOMPARE(h.device->records, 3);
        QCOMPARE(h.device->stops, 3);
        QVERIFY(h.showing);
        // The read-only transcript took no line break from the keys.
        QCOMPARE(h.textView()->toPlainText(), QStringLiteral("hello world"));

        // While transcribing the button is disabled, and so is the key.
        h.runner().setIsProcessing(true);
        QTRY_VERIFY(!h.startStop()->isEnabled());
        const int reads = h.authorization->statusReads;
        w.key(Qt::Key_Return);
        w.key(Qt::Key_Enter, Qt::KeypadModifier);
        QCOMPARE(h.authorization->statusReads, reads);
        QVERIFY(!h.recorder->isRecording());
        QCOMPARE(h.startStop()->text(), QStringLiteral("Start"));
    }

    void returnKeyAfterCloseAndReopen()
    {
        Window w;
        Harness& h = *w.h;
        QVERIFY(writeRecording(h.recorder->audioFileURL().toLocalFile()));
        QVERIFY(w.showActive());
        w.key(Qt::Key_Return);
        QVERIFY(h.recorder->isRecording());
        w.key(Qt::Key_Return);
        QVERIFY(!h.recorder->isRecording());
        QTRY_COMPARE(h.runner().transcription(), QStringLiteral("hello world"));
        QTRY_VERIFY(h.textView() && h.startStop()->isEnabled());

        w.host.hide();
        // The window system takes the activation away in its own time.
        QTRY_VERIFY(!w.host.isActiveWindow());
        QVERIFY(w.showActive());
        w.key(Qt::Key_Return);
        QVERIFY(h.recorder->isRecording());
        w.key(Qt::Key_Return);
        QVERIFY(!h.recorder->isRecording());
    }

    void levelBarsFollowThePublishedLevel()
    {
        Window w;
        Harness& h = *w.h;
        QVERIFY(w.showActive());
        h.device->power = -160.0f;
        w.key(Qt::Key_Return);
        QVERIFY(h.recorder->isRecording());
        QTRY_VERIFY(h.waveView());
        AudioWaveView* row = h.waveView();
        // Once the panel's cross-fade is over, so that only the bars paint over the fill.
        QTRY_VERIFY(!row->parentWidget()->graphicsEffect());
        const QColor fill = h.view->palette().color(QPalette::Base);
        QString report;

        // Quiet: the quiet profile, moving with the phase.
        QTRY_VERIFY2(barsDrawnAt(&w.host, row, fill, &report), qPrintable(report));
        const double phase = row->phase();
        QTRY_VERIFY(row->phase() != phase);

        // Loud: the recorder publishes 0.8 every 0.05 s; the bars reach their
        // heights while the phase keeps moving.
        h.device->power = -12.0f;
        QTRY_COMPARE(row->audioLevel(), 0.8f);
        QTRY_VERIFY2(barsDrawnAt(&w.host, row, fill, &report), qPrintable(report));
        int tallest = 0;
        for (WaveBar* bar : row->bars())
            tallest = std::max(tallest, int(bar->shownHeight()));
        QCOMPARE_GT(tallest, 60);
        // And stay there, frame after frame.
        for (int frame = 0; frame < 5; ++frame) {
            const double before = row->phase();
            QTRY_VERIFY(row->phase() != before);
            QVERIFY2(barsDrawnAt(&w.host, row, fill, &report), qPrintable(report));
        }

        // Silence again: back to the quiet profile.
        h.device->power = -160.0f;
        QTRY_COMPARE(row->audioLevel(), 0.0f);
        QTRY_VERIFY2(barsDrawnAt(&w.host, row, fill, &report), qPrintable(report));
    }
};

QTEST_MAIN(RecorderViewWindowTest)
#include "test_recorderview_window.moc"
