// The recorder view against a scripted microphone answer, a fake capture device
// and a runner with a scripted recogniser; shared by the recorder view's tests.
#pragma once

#include "ui/RecorderView.h"

#include "capture/AudioRecorder.h"
#include "capture/PlatformRecorder.h"
#include "platform/Bundle.h"
#include "platform/MicrophoneAuthorization.h"
#include "transcription/Recognizer.h"
#include "transcription/WhisperRunner.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <cmath>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace recorderviewtest {

using recorderview::AudioWaveView;
using recorderview::ScrollableTextView;

// --- fakes -------------------------------------------------------------------

struct DeviceLog
{
    int created = 0;
    int records = 0;
    int stops = 0;
    bool failToCreate = false;
    bool inputLost = false; // the input went away: the device records no more
    float power = -30.0f; // what the meter reads, in dB
};

class FakeDevice final : public PlatformRecorder
{
public:
    explicit FakeDevice(std::shared_ptr<DeviceLog> log) : m_log(std::move(log)) {}
    void record() override { ++m_log->records; m_recording = true; }
    void stop() override { ++m_log->stops; m_recording = false; }
    bool isRecording() const override { return m_recording && !m_log->inputLost; }
    void updateMeters() override {}
    float averagePower(int) const override { return m_log->power; }

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
inline bool writeRecording(const QString& path)
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
    // With a host, the view is the content of that window, as in the application.
    explicit Harness(QWidget* host = nullptr)
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
            },
            host);
    }

    ~Harness()
    {
        view.reset();
        platform::setResourceSearchPathsForTesting({});
    }

    bool show()
    {
        view->window()->show();
        return QTest::qWaitForWindowExposed(view->window());
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

} // namespace recorderviewtest
