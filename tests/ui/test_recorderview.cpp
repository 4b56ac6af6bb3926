// The recorder view against a scripted microphone answer, a fake capture device
// and a runner with a scripted recogniser.
#include "ui/RecorderView.h"

#include "capture/AudioRecorder.h"
#include "capture/PlatformRecorder.h"
#include "platform/Bundle.h"
#include "platform/Console.h"
#include "platform/MicrophoneAuthorization.h"
#include "platform/System.h"
#include "transcription/Recognizer.h"
#include "transcription/WhisperRunner.h"

#include <QAbstractButton>
#include <QDir>
#include <QFile>
#include <QGraphicsOpacityEffect>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <cmath>
#include <memory>
#include <thread>
#include <vector>

using recorderview::AudioWaveView;
using recorderview::ScrollableTextView;

namespace {

// --- fakes -------------------------------------------------------------------

struct DeviceLog
{
    int created = 0;
    int records = 0;
    int stops = 0;
    bool failToCreate = false;
};

class FakeDevice final : public PlatformRecorder
{
public:
    explicit FakeDevice(std::shared_ptr<DeviceLog> log) : m_log(std::move(log)) {}
    void record() override { ++m_log->records; m_recording = true; }
    void stop() override { ++m_log->stops; m_recording = false; }
    bool isRecording() const override { return m_recording; }
    void updateMeters() override {}
    float averagePower(int) const override { return -30.0f; }

private:
    std::shared_ptr<DeviceLog> m_log;
    bool m_recording = false;
};

struct AuthorizationScript
{
    int status = platform::MicrophoneAuthorization::Authorized;
    int statusReads = 0;
    std::vector<std::function<void(bool)>> pending;
};

class ScriptedAuthorization final : public platform::MicrophoneAuthorization
{
public:
    explicit ScriptedAuthorization(std::shared_ptr<AuthorizationScript> script) : m_script(std::move(script)) {}
    int authorizationStatus() const override { ++m_script->statusReads; return m_script->status; }
    void requestAccess(std::function<void(bool)> completion) override
    {
        m_script->pending.push_back(std::move(completion));
    }

private:
    std::shared_ptr<AuthorizationScript> m_script;
};

// A recogniser that "hears" one fixed sentence.
class ScriptedRecognizer final : public Recognizer
{
public:
    whisper_context_params contextDefaultParams() override { return {}; }
    whisper_context* initFromFile(const char*, whisper_context_params) override { return context(); }
    whisper_full_params fullDefaultParams(whisper_sampling_strategy) override { return {}; }
    int full(whisper_context*, whisper_full_params, const float*, int) override { return 0; }
    int segmentCount(whisper_context*) override { return 1; }
    const char* segmentText(whisper_context*, int) override { return " hello world"; }
    void free(whisper_context*) override {}

private:
    static whisper_context* context()
    {
        static char token;
        return reinterpret_cast<whisper_context*>(&token);
    }
};

// One second of a quiet tone as a 16 kHz mono 16-bit WAV file.
bool writeRecording(const QString& path)
{
    constexpr int rate = 16000;
    QByteArray data;
    for (int i = 0; i < rate; ++i) {
        const auto sample = qint16(3000 * std::sin(2 * 3.14159265 * 440 * i / rate));
        data.append(reinterpret_cast<const char*>(&sample), 2);
    }
    auto le32 = [](quint32 v) { v = qToLittleEndian(v); return QByteArray(reinterpret_cast<const char*>(&v), 4); };
    auto le16 = [](quint16 v) { v = qToLittleEndian(v); return QByteArray(reinterpret_cast<const char*>(&v), 2); };
    QByteArray file = "RIFF" + le32(36 + data.size()) + "WAVE" + "fmt " + le32(16) + le16(1) + le16(1)
        + le32(rate) + le32(rate * 2) + le16(2) + le16(16) + "data" + le32(data.size()) + data;
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile out(path);
    return out.open(QIODevice::WriteOnly) && out.write(file) == file.size();
}

// --- harness -----------------------------------------------------------------

struct Harness
{
    Harness()
    {
        QFile model(resources.filePath(QStringLiteral("ggml-base.en.bin")));
        if (model.open(QIODevice::WriteOnly))
            model.write("model");
        platform::setResourceSearchPathsForTesting({resources.path()});
        recorder = std::make_unique<AudioRecorder>(
            [log = device](const QUrl&, platform::Error& error) -> std::unique_ptr<PlatformRecorder> {
                ++log->created;
                if (log->failToCreate) {
                    error = {QStringLiteral("Test"), 1, QStringLiteral("No audio input")};
                    return nullptr;
                }
                return std::make_unique<FakeDevice>(log);
            });
        // Each test starts without a recording left by an earlier one.
        QFile::remove(recorder->audioFileURL().toLocalFile());
        view = std::make_unique<RecorderView>(
            recorder.get(), platform::Binding<bool>{[this] { return showing; }, [this](bool v) { showing = v; }},
            std::make_unique<ScriptedAuthorization>(authorization),
            [this] {
                ++runnersBuilt;
                return std::make_unique<WhisperRunner>(std::make_unique<ScriptedRecognizer>());
            });
    }

    ~Harness()
    {
        view.reset();
        platform::setResourceSearchPathsForTesting({});
    }

    bool show()
    {
        view->show();
        return QTest::qWaitForWindowExposed(view.get());
    }

    WhisperRunner& runner() const { return *view->whisperRunner(); }
    QPushButton* startStop() const { return button("Start", "Stop"); }
    QPushButton* close() const { return button("Close", "Close"); }
    QLabel* confirmationLine() const { return label(QStringLiteral("Copied to clipboard")); }
    QLabel* caption() const { return label(QString::fromUtf8("Listening\u2026")); }
    ScrollableTextView* textView() const { return view->findChild<ScrollableTextView*>(); }
    AudioWaveView* waveView() const { return view->findChild<AudioWaveView*>(); }
    QMessageBox* alert() const { return view->findChild<QMessageBox*>(); }

    QPushButton* button(const char* a, const char* b) const
    {
        for (QPushButton* button : view->findChildren<QPushButton*>(Qt::FindDirectChildrenOnly)) {
            if (button->text() == QLatin1String(a) || button->text() == QLatin1String(b))
                return button;
        }
        return nullptr;
    }

    QLabel* label(const QString& text) const
    {
        for (QLabel* label : view->findChildren<QLabel*>()) {
            if (label->text() == text)
                return label;
        }
        return nullptr;
    }

    // Through the real button, as the user would.
    void press() const { QTest::mouseClick(startStop(), Qt::LeftButton); }

    void answerFromAnotherThread(size_t index, bool granted)
    {
        std::thread([completion = authorization->pending.at(index), granted] { completion(granted); }).join();
    }

    QTemporaryDir resources;
    std::shared_ptr<DeviceLog> device = std::make_shared<DeviceLog>();
    std::shared_ptr<AuthorizationScript> authorization = std::make_shared<AuthorizationScript>();
    std::unique_ptr<AudioRecorder> recorder;
    bool showing = true;
    int runnersBuilt = 0;
    std::unique_ptr<RecorderView> view;
};

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

    void returnKeyPressesStartStopUnlessDisabled()
    {
        Harness h;
        QVERIFY(h.show());
        h.textView()->setFocus();
        QTest::keyClick(h.textView(), Qt::Key_Return);
        QVERIFY(h.recorder->isRecording());
        // Wherever the focus is: Close may have it too.
        QTRY_VERIFY(h.textView() == nullptr);
        QTest::keyClick(h.close(), Qt::Key_Return);
        QVERIFY(!h.recorder->isRecording());
        // No recording file here: the engine answers with an error text.
        QTRY_VERIFY(h.runner().transcription().startsWith(QStringLiteral("Error")));
        QVERIFY(!h.runner().isProcessing());

        h.runner().setIsProcessing(true);
        QTRY_VERIFY(!h.startStop()->isEnabled());
        const int reads = h.authorization->statusReads;
        QTest::keyClick(h.view.get(), Qt::Key_Return);
        QTest::keyClick(h.view.get(), Qt::Key_Enter, Qt::KeypadModifier);
        QTest::mouseClick(h.startStop(), Qt::LeftButton);
        QCOMPARE(h.authorization->statusReads, reads);
        QVERIFY(!h.recorder->isRecording());
        QCOMPARE(h.startStop()->text(), QStringLiteral("Start"));
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
        QTest::addColumn<bool>("duringRecording");
        for (const int status : {1, 2, 7, -1}) {
            QTest::addRow("status %d at Start", status) << status << false;
            QTest::addRow("status %d at Stop", status) << status << true;
        }
    }

    void refusedStatusRaisesTheAlertOnly()
    {
        QFETCH(int, status);
        QFETCH(bool, duringRecording);
        Harness h;
        QVERIFY(h.show());
        if (duringRecording)
            h.press();
        h.runner().setTranscription(QStringLiteral("kept"));
        h.runner().setCopiedToClipboard(true);
        const int created = h.device->created;

        h.authorization->status = status;
        h.press();
        QVERIFY(h.view->showMicAccessAlert());
        QVERIFY(h.authorization->pending.empty());
        QCOMPARE(h.device->created, created);
        QCOMPARE(h.device->stops, 0);
        QCOMPARE(h.recorder->isRecording(), duringRecording);
        QCOMPARE(h.runner().transcription(), QStringLiteral("kept"));
        QVERIFY(h.runner().copiedToClipboard());
        QTRY_VERIFY(h.confirmationLine()->isVisible());
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
        QCOMPARE(message.size(), 98);
        QCOMPARE(message.toUtf8().size(), 104);
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
        QCOMPARE(h.device->stops, 1);
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
            // The text view lets the panel's fill show through.
            QCOMPARE(image.pixelColor(panel->mapTo(h.view.get(), QPoint(20, panel->height() - 16)) * dpr), base);
        }
        QCOMPARE(h.startStop()->isEnabled(), state != QLatin1String("transcribing"));
        QCOMPARE(h.close()->isEnabled(), state == QLatin1String("idle") || state == QLatin1String("copied"));
    }
};

QTEST_MAIN(RecorderViewTest)
#include "test_recorderview.moc"
