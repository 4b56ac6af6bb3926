// The recorder view against a scripted microphone answer, a fake capture device
// and a runner with a scripted recogniser, on the off-screen platform.
#include "test_recorderview_harness.h"

#include "platform/Console.h"
#include "platform/MainQueue.h"
#include "platform/System.h"

#include <QAbstractButton>
#include <QGraphicsOpacityEffect>
#include <QSignalSpy>

using recorderview::AudioWaveView;
using recorderview::ScrollableTextView;

using namespace recorderviewtest;

namespace {

QString renderDir()
{
    // Images go to a temporary folder, kept only when asked for by name.
    static QTemporaryDir temporary;
    const QString wanted = qEnvironmentVariable("QUENLO_RENDER_DIR");
    if (!wanted.isEmpty()) {
        QDir().mkpath(wanted);
        return wanted;
    }
    return temporary.path();
}

} // namespace

class RecorderViewTest final : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        platform::setLineSinkForTesting([](const QString&) {});
    }

    void cleanup()
    {
        platform::setLineSinkForTesting(nullptr);
    }

    void runnerIsBuiltOnFirstShowOnly()
    {
        Harness h;
        QCOMPARE(h.runnersBuilt, 0);
        QVERIFY(!h.view->whisperRunner());
        QVERIFY(h.show());
        QCOMPARE(h.runnersBuilt, 1);
        WhisperRunner* first = h.view->whisperRunner();
        h.view->hide();
        QVERIFY(h.show());
        QCOMPARE(h.runnersBuilt, 1);
        QCOMPARE(h.view->whisperRunner(), first);
        QCOMPARE(h.view->size(), QSize(480, 296));
    }

    void controlsFollowTheModels_data()
    {
        QTest::addColumn<bool>("recording");
        QTest::addColumn<bool>("processing");
        QTest::addColumn<bool>("copied");
        for (const bool copied : {false, true}) {
            const char* suffix = copied ? " copied" : "";
            QTest::addRow("idle%s", suffix) << false << false << copied;
            QTest::addRow("recording%s", suffix) << true << false << copied;
            QTest::addRow("transcribing%s", suffix) << false << true << copied;
            QTest::addRow("both%s", suffix) << true << true << copied;
        }
    }

    void controlsFollowTheModels()
    {
        QFETCH(bool, recording);
        QFETCH(bool, processing);
        QFETCH(bool, copied);
        Harness h;
        QVERIFY(h.show());
        if (recording)
            h.press();
        h.runner().setIsProcessing(processing);
        h.runner().setCopiedToClipboard(copied);

        const bool startStopEnabled = !processing;
        const bool closeEnabled = !recording && !processing;
        QTRY_COMPARE(h.startStop()->text(), recording ? QStringLiteral("Stop") : QStringLiteral("Start"));
        QTRY_COMPARE(h.startStop()->isEnabled(), startStopEnabled);
        QCOMPARE(h.close()->isEnabled(), closeEnabled);
        QTRY_COMPARE(h.confirmationLine()->isVisible(), copied);
        // Label areas never change size with their wording.
        QCOMPARE(h.startStop()->size(), QSize(80, 32));
        QCOMPARE(h.close()->size(), QSize(80, 32));
        QCOMPARE(h.startStop()->font().pixelSize(), 14);
        // The panel shows exactly one branch.
        QTRY_COMPARE(bool(h.waveView()), recording);
        QTRY_COMPARE(bool(h.textView()), !recording);
    }

    void authorizedStartsAtOnce()
    {
        Harness h;
        QVERIFY(h.show());
        h.press();
        QVERIFY(h.recorder->isRecording());
        QCOMPARE(h.device->records, 1);
        QVERIFY(h.authorization->pending.empty());
        QVERIFY(!h.view->showMicAccessAlert());
    }

    void notDeterminedGrantedStartsAfterTheHop()
    {
        Harness h;
        QVERIFY(h.show());
        h.authorization->status = platform::MicrophoneAuthorization::NotDetermined;
        h.press();
        QCOMPARE(h.authorization->pending.size(), size_t(1));
        QCOMPARE(h.device->created, 0);

        h.answerFromAnotherThread(0, true);
        // The answer only queues the toggle on the main thread.
        QVERIFY(!h.recorder->isRecording());
        QTRY_VERIFY(h.recorder->isRecording());
        QVERIFY(!h.view->showMicAccessAlert());
    }

    void notDeterminedRefusedRaisesTheAlertOnly()
    {
        Harness h;
        QVERIFY(h.show());
        h.runner().setTranscription(QStringLiteral("kept"));
        h.authorization->status = platform::MicrophoneAuthorization::NotDetermined;
        h.press();
        h.answerFromAnotherThread(0, false);
        QTRY_VERIFY(h.view->showMicAccessAlert());
        QCOMPARE(h.device->created, 0);
        QCOMPARE(h.runner().transcription(), QStringLiteral("kept"));
    }

    void refusedStatusRaisesTheAlertOnly_data()
    {
        QTest::addColumn<int>("status");
        for (const int status : {1, 2, 7, -1})
            QTest::addRow("status %d", status) << status;
    }

    void refusedStatusRaisesTheAlertOnly()
    {
        QFETCH(int, status);
        Harness h;
        QVERIFY(h.show());
        h.runner().setTranscription(QStringLiteral("kept"));
        h.runner().setCopiedToClipboard(true);

        h.authorization->status = status;
        h.press();
        QVERIFY(h.view->showMicAccessAlert());
        QVERIFY(h.authorization->pending.empty());
        QCOMPARE(h.device->created, 0);
        QVERIFY(!h.recorder->isRecording());
        QCOMPARE(h.runner().transcription(), QStringLiteral("kept"));
        QVERIFY(h.runner().copiedToClipboard());
        QTRY_VERIFY(h.confirmationLine()->isVisible());
        QCOMPARE(h.startStop()->text(), QStringLiteral("Start"));
    }

    void stopIsNeverRefused_data()
    {
        QTest::addColumn<int>("status");
        for (const int status : {0, 1, 2, 7, -1})
            QTest::addRow("status %d", status) << status;
    }

    void stopIsNeverRefused()
    {
        // The input vanished during the recording: the answer turns to "denied"
        // (or anything else), and Stop still stops and hands the file over.
        QFETCH(int, status);
        Harness h;
        QVERIFY(writeRecording(h.recorder->audioFileURL().toLocalFile()));
        QVERIFY(h.show());
        h.press();
        QVERIFY(h.recorder->isRecording());

        h.authorization->status = status;
        h.press();
        QVERIFY(!h.recorder->isRecording());
        QCOMPARE(h.device->stops, 1);
        QVERIFY(!h.view->showMicAccessAlert());
        QVERIFY(!h.alert());
        QVERIFY(h.authorization->pending.empty());
        QTRY_COMPARE(h.runner().transcription(), QStringLiteral("hello world"));

        // The next Start meets the check again.
        QTRY_VERIFY(h.startStop()->isEnabled());
        h.press();
        QVERIFY(!h.recorder->isRecording());
        QCOMPARE(h.device->records, 1);
        if (status == platform::MicrophoneAuthorization::NotDetermined)
            QCOMPARE(h.authorization->pending.size(), size_t(1));
        else
            QVERIFY(h.view->showMicAccessAlert());
    }

    void recordingThatEndsByItselfEndsAsAStop()
    {
        // The microphone is unplugged with nothing to take over: without a press, the
        // recording is saved and transcribed, and the window shows it.
        Harness h;
        QVERIFY(writeRecording(h.recorder->audioFileURL().toLocalFile()));
        QVERIFY(h.show());
        QStringList lines;
        platform::setLineSinkForTesting([&lines](const QString& line) { lines << line; });
        h.press();
        QVERIFY(h.recorder->isRecording());
        h.device->inputLost = true;
        QTRY_VERIFY(!h.recorder->isRecording());
        QCOMPARE(h.device->stops, 1);
        QCOMPARE(lines.first(), QStringLiteral("Recording saved to: ") + h.recorder->audioFileURL().toLocalFile());
        QTRY_COMPARE(h.runner().transcription(), QStringLiteral("hello world"));
        QVERIFY(h.runner().copiedToClipboard());
        QTRY_COMPARE(h.textView()->toPlainText(), QStringLiteral("hello world"));

        // The Stop the user was about to press starts nothing.
        h.device->inputLost = false;
        QTRY_VERIFY(h.startStop()->isEnabled());
        h.press();
        QVERIFY(!h.recorder->isRecording());
        QCOMPARE(h.device->records, 1);
        QCOMPARE(h.runner().transcription(), QStringLiteral("hello world"));
        // A later press is a Start again.
        QTest::qWait(1100);
        h.press();
        QVERIFY(h.recorder->isRecording());
        QCOMPARE(h.device->records, 2);
        platform::setLineSinkForTesting([](const QString&) {});
    }

    void lateAnswerAfterTheViewIsGone()
    {
        Harness h;
        QVERIFY(h.show());
        h.authorization->status = platform::MicrophoneAuthorization::NotDetermined;
        h.press();
        QCOMPARE(h.authorization->pending.size(), size_t(1));
        h.view.reset();

        h.answerFromAnotherThread(0, true);
        // Jobs on the main queue run in order: once this one has, so has the answer's.
        bool drained = false;
        platform::postToMain(h.recorder.get(), [&] { drained = true; });
        QTRY_VERIFY(drained);
        QCOMPARE(h.device->created, 0);
        QVERIFY(!h.recorder->isRecording());
    }

    void alertSaysItOnceAndOkDismissesIt()
    {
        Harness h;
        QVERIFY(h.show());
        h.authorization->status = platform::MicrophoneAuthorization::Denied;
        h.press();
        QMessageBox* alert = h.alert();
        QVERIFY(alert);
        QTRY_VERIFY(alert->isVisible());

        // Three U+2192 arrows, each between single spaces, and a final full stop.
        const QString message = QString::fromUtf8("Please enable microphone access in System Preferences \u2192 "
                                                  "Security & Privacy \u2192 Privacy \u2192 Microphone.");
        QCOMPARE(alert->informativeText().size(), 98);
        QCOMPARE(alert->informativeText().toUtf8().size(), 104);
        QCOMPARE(alert->windowTitle(), QStringLiteral("Microphone Access Denied"));
        QCOMPARE(alert->text(), QStringLiteral("Microphone Access Denied"));
        QCOMPARE(alert->informativeText(), message);
        QCOMPARE(alert->buttons().size(), 1);
        QCOMPARE(alert->buttons().first()->text(), QStringLiteral("OK"));

        // A second refusal while it is up does not stack another one.
        h.view->activateWindow();
        QMetaObject::invokeMethod(h.startStop(), &QPushButton::click);
        QCOMPARE(h.view->findChildren<QMessageBox*>().size(), 1);

        QTest::mouseClick(alert->buttons().first(), Qt::LeftButton);
        QVERIFY(!h.view->showMicAccessAlert());

        // It comes back on the next refusal, also one that arrives before the
        // dismissed alert has been deleted.
        h.press();
        QVERIFY(h.view->showMicAccessAlert());
        QTRY_VERIFY(h.alert() && h.alert()->isVisible());
        QCOMPARE(h.view->findChildren<QMessageBox*>().size(), 1);
    }

    void twoPressesWhileAskingBothGranted()
    {
        Harness h;
        QVERIFY(writeRecording(h.recorder->audioFileURL().toLocalFile()));
        QVERIFY(h.show());
        h.authorization->status = platform::MicrophoneAuthorization::NotDetermined;
        h.press();
        h.press();
        QCOMPARE(h.authorization->pending.size(), size_t(2));
        QCOMPARE(h.device->created, 0);

        h.answerFromAnotherThread(0, true);
        h.answerFromAnotherThread(1, true);
        QTRY_COMPARE(h.device->stops, 1);
        QCOMPARE(h.device->records, 1);
        QVERIFY(!h.recorder->isRecording());
        QTRY_COMPARE(h.runner().transcription(), QStringLiteral("hello world"));
    }

    void stopClearsTheTranscriptAndHandsTheFileOver()
    {
        Harness h;
        QVERIFY(writeRecording(h.recorder->audioFileURL().toLocalFile()));
        QVERIFY(h.show());
        h.press();
        QVERIFY(h.recorder->isRecording());
        h.runner().setTranscription(QStringLiteral("stale"));
        QSignalSpy changes(&h.runner(), &WhisperRunner::objectWillChange);
        QStringList seen; // the value before each change: the whole history
        connect(&h.runner(), &WhisperRunner::objectWillChange, &h.runner(),
                [&] { seen << h.runner().transcription(); });

        h.press();
        h.press(); // at once, as a double click: starts nothing over the file handed over
        QCOMPARE(h.device->stops, 1);
        QCOMPARE(h.device->records, 1);
        // Synchronously: only the clear; the engine's updates come through the queue.
        QCOMPARE(changes.size(), 1);
        QVERIFY(h.runner().transcription().isEmpty());
        QVERIFY(!h.runner().isProcessing());
        QVERIFY(!h.runner().copiedToClipboard());

        QTRY_COMPARE(h.runner().transcription(), QStringLiteral("hello world"));
        seen << h.runner().transcription();
        seen.removeDuplicates();
        QCOMPARE(seen, QStringList({QStringLiteral("stale"), QString(), QStringLiteral("Processing audio..."),
                                    QStringLiteral("hello world")}));
        QVERIFY(!h.runner().isProcessing());
        QVERIFY(h.runner().copiedToClipboard());
        QCOMPARE(platform::clipboardText(), QStringLiteral("hello world"));
        QTRY_VERIFY(h.confirmationLine()->isVisible());
        QTRY_COMPARE(h.textView()->toPlainText(), QStringLiteral("hello world"));
        h.press(); // the outcome is out: a Start again
        QCOMPARE(h.device->records, 2);
    }

    void withoutModelThePressAfterTheErrorStarts()
    {
        Harness h;
        QVERIFY(QFile::remove(h.resources.filePath(QStringLiteral("ggml-base.en.bin"))));
        QVERIFY(h.show());
        h.press();
        h.press();
        QTRY_COMPARE(h.runner().transcription(), QStringLiteral("Error: Whisper context not initialized"));
        h.press();
        QCOMPARE(h.device->records, 2);
    }

    void failedStartLeavesTheTranscriptEmpty()
    {
        Harness h;
        QVERIFY(h.show());
        h.runner().setTranscription(QStringLiteral("earlier result"));
        h.runner().setCopiedToClipboard(true);
        QTRY_VERIFY(h.confirmationLine()->isVisible());

        h.device->failToCreate = true;
        h.press();
        QVERIFY(!h.recorder->isRecording());
        QVERIFY(h.recorder->status().startsWith(QStringLiteral("Failed to start recording: ")));
        QVERIFY(h.runner().transcription().isEmpty());
        QVERIFY(!h.runner().copiedToClipboard());
        QTRY_VERIFY(!h.confirmationLine()->isVisible());
        QCOMPARE(h.startStop()->text(), QStringLiteral("Start"));
        QVERIFY(h.textView());
        QTRY_VERIFY(h.textView()->toPlainText().isEmpty());
    }

    void appearanceClearsButLeavesTheRecordingAlone()
    {
        Harness h;
        QVERIFY(h.show());
        h.press();
        h.runner().setTranscription(QStringLiteral("text"));
        h.runner().setCopiedToClipboard(true);

        h.view->hide();
        QVERIFY(h.show());
        QVERIFY(h.runner().transcription().isEmpty());
        QVERIFY(!h.runner().copiedToClipboard());
        QVERIFY(h.recorder->isRecording());
        QCOMPARE(h.device->stops, 0);
        QVERIFY(!h.view->showMicAccessAlert());
    }

    void closeOnlyHidesAndIsBlockedWhileBusy()
    {
        Harness h;
        QVERIFY(h.show());
        QTest::mouseClick(h.close(), Qt::LeftButton);
        QVERIFY(!h.showing);
        QVERIFY(!h.recorder->isRecording());

        h.showing = true;
        h.press();
        QTRY_VERIFY(!h.close()->isEnabled());
        QTest::mouseClick(h.close(), Qt::LeftButton);
        QVERIFY(h.showing);
        QVERIFY(h.recorder->isRecording());
    }

    void listeningPanelFollowsTheLevel()
    {
        Harness h;
        QVERIFY(h.show());
        h.press();
        QTRY_VERIFY(h.waveView());
        QVERIFY(h.caption());
        QCOMPARE(h.waveView()->bars().size(), 24);
        // The meter publishes -30 dB, level 0.5.
        QTRY_COMPARE(h.waveView()->audioLevel(), 0.5f);
        h.press();
        QTRY_VERIFY(!h.waveView());
        QVERIFY(!h.caption());
    }

    void renders_data()
    {
        QTest::addColumn<QString>("state");
        QTest::newRow("idle") << "idle";
        QTest::newRow("recording") << "recording";
        QTest::newRow("transcribing") << "transcribing";
        QTest::newRow("copied") << "copied";
    }

    void renders()
    {
        QFETCH(QString, state);
        Harness h;
        QVERIFY(h.show());
        if (state == QLatin1String("recording")) {
            h.press();
        } else if (state == QLatin1String("transcribing")) {
            h.runner().setIsProcessing(true);
            h.runner().setTranscription(QStringLiteral("Processing audio..."));
        } else if (state == QLatin1String("copied")) {
            h.runner().setTranscription(QStringLiteral("The quick brown fox jumps over the lazy dog."));
            h.runner().setCopiedToClipboard(true);
        }
        // Let the panel switch and the line's fade finish.
        const bool recording = state == QLatin1String("recording");
        QTRY_VERIFY(recording ? h.waveView() && !h.textView() : h.textView() && !h.waveView());
        QTRY_VERIFY(h.view->findChildren<QGraphicsOpacityEffect*>().size() <= 1);
        QTRY_COMPARE(h.startStop()->isEnabled(), state != QLatin1String("transcribing"));
        if (!recording)
            QTRY_COMPARE(h.textView()->toPlainText(), h.runner().transcription());
        QTRY_COMPARE(h.confirmationLine()->graphicsEffect()->property("opacity").toReal(),
                     state == QLatin1String("copied") ? 1.0 : 0.0);

        const QImage image = h.view->grab().toImage();
        QVERIFY(image.save(QDir(renderDir()).filePath(state + QStringLiteral(".png"))));
        QCOMPARE(h.view->size(), QSize(480, 296));

        const QRect view = h.view->rect();
        QWidget* panel = state == QLatin1String("recording") ? h.waveView()->parentWidget()->parentWidget()
                                                             : h.textView()->parentWidget();
        // Panel above, the two buttons centred 20 below it, everything inside the view.
        QCOMPARE(panel->width(), 440);
        QCOMPARE(panel->x(), 20);
        QCOMPARE_GE(panel->height(), 204);
        QCOMPARE(h.startStop()->geometry(), QRect(152, panel->geometry().bottom() + 21, 80, 32));
        QCOMPARE(h.close()->geometry(), h.startStop()->geometry().translated(96, 0));
        QVERIFY(view.contains(panel->geometry()));
        QVERIFY(view.contains(h.close()->geometry()));
        if (state == QLatin1String("copied")) {
            // The line needs more room than the margin leaves: the column grows, centred.
            QVERIFY(view.contains(h.confirmationLine()->geometry()));
            QCOMPARE(h.confirmationLine()->y(), h.startStop()->geometry().bottom() + 7);
            QCOMPARE(panel->height(), 204);
            QCOMPARE_LT(panel->y(), 20);
        } else {
            QCOMPARE(panel->geometry(), QRect(20, 20, 440, 204));
        }

        const qreal dpr = image.devicePixelRatio();
        const QColor base = h.view->palette().color(QPalette::Base);
        const QColor window = h.view->palette().color(QPalette::Window);
        QCOMPARE(image.pixelColor(QPoint(10, 150) * dpr), window);
        if (state == QLatin1String("recording")) {
            QVERIFY(h.caption()->isVisible());
            QCOMPARE(h.caption()->font().pixelSize(), 13);
            AudioWaveView* row = h.waveView();
            QVERIFY(row->isVisible());
            // The bars stand in the panel, painted in the accent colour over its fill.
            const QPoint barFoot = row->bars().at(0)->mapTo(h.view.get(), QPoint(3, 98));
            QVERIFY(panel->geometry().contains(barFoot));
            const QColor painted = image.pixelColor(barFoot * dpr);
            QVERIFY2(painted != base && painted.blue() > painted.red(), qPrintable(painted.name()));
            QCOMPARE(image.pixelColor(panel->mapTo(h.view.get(), QPoint(6, panel->height() / 2)) * dpr), base);
        } else {
            QVERIFY(h.textView()->isVisible());
            QVERIFY(!h.caption());
            QCOMPARE(h.confirmationLine()->isVisible(), state == QLatin1String("copied"));
            QCOMPARE(h.textView()->toPlainText(), h.runner().transcription());
            // The text view lets the panel's fill show through: a fill of its own,
            // in a colour the panel does not use, would show here.
            QPalette own = h.textView()->palette();
            own.setColor(QPalette::Base, QColor(250, 0, 250));
            own.setColor(QPalette::Window, QColor(0, 250, 0));
            h.textView()->setPalette(own);
            const QImage withOwnColours = h.view->grab().toImage();
            const QPoint inside = panel->mapTo(h.view.get(), QPoint(20, panel->height() - 16));
            QVERIFY(h.textView()->geometry().contains(h.textView()->parentWidget()->mapFrom(h.view.get(), inside)));
            QCOMPARE(withOwnColours.pixelColor(inside * dpr), base);
        }
        QCOMPARE(h.startStop()->isEnabled(), state != QLatin1String("transcribing"));
        QCOMPARE(h.close()->isEnabled(), state == QLatin1String("idle") || state == QLatin1String("copied"));
    }
};

QTEST_MAIN(RecorderViewTest)
#include "test_recorderview.moc"
