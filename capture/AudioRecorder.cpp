#include "AudioRecorder.h"

#include "capture/AudioInputRecorder.h"
#include "platform/Console.h"
#include "platform/MainQueue.h"
#include "platform/System.h"

#include <QDir>
#include <QTimer>

#include <cmath>

PlatformRecorder::~PlatformRecorder() = default;

float levelForAveragePower(float decibels)
{
    const float level = std::fmin((decibels + 60.0f) / 60.0f, 1.0f); // fmin drops a NaN operand
    return level >= 0.0f ? level : 0.0f;
}

AudioRecorder::AudioRecorder(QObject* parent)
    : AudioRecorder(&AudioInputRecorder::create, parent)
{
}

AudioRecorder::AudioRecorder(PlatformRecorderFactory factory, QObject* parent)
    : platform::ObservableObject(parent)
    , m_factory(std::move(factory))
    , m_status(QStringLiteral("Ready to record"))
    , m_audioFileURL(QUrl::fromLocalFile(
          QDir(platform::documentsDirectory()).filePath(QStringLiteral("recording.wav"))))
{
}

// Out of line: the header only declares QTimer.
AudioRecorder::~AudioRecorder() = default;

void AudioRecorder::startRecording()
{
    // Two recorders must never write the one file: finish the running recording first.
    if (m_isRecording)
        stopRecording();

    platform::Error error;
    std::unique_ptr<PlatformRecorder> recorder = m_factory(m_audioFileURL, error);
    if (!recorder) {
        reportFailedStart(error);
        return;
    }
    recorder->record();
    // A refused start would otherwise show "Recording..." while nothing is captured,
    // and the user's speech would be lost.
    if (!recorder->isRecording()) {
        recorder->stop();
        reportFailedStart({QString::fromLatin1(kRecorderErrorDomain), RecordingRefused,
                           QStringLiteral("The audio input could not be started")});
        return;
    }

    m_audioRecorder = std::move(recorder);
    store(m_isRecording, true);
    store(m_status, QStringLiteral("Recording..."));
    store(m_audioLevel, 0.0f);
    startMeterUpdates();
}

void AudioRecorder::reportFailedStart(const platform::Error& error)
{
    store(m_status, QStringLiteral("Failed to start recording: ") + error.description);
    platform::printLine(QStringLiteral("Failed to start recording: Error Domain=%1 Code=%2 \"%3\"")
                            .arg(error.domain)
                            .arg(error.code)
                            .arg(error.description));
}

void AudioRecorder::stopRecording()
{
    m_meterTimer.reset();
    if (m_audioRecorder)
        m_audioRecorder->stop();
    store(m_isRecording, false);
    store(m_audioLevel, 0.0f);
    store(m_status, QStringLiteral("Recording saved"));
    platform::printLine(QStringLiteral("Recording saved to: ") + m_audioFileURL.toLocalFile());
}

void AudioRecorder::finishRecordingFile()
{
    m_meterTimer.reset();
    if (m_audioRecorder)
        m_audioRecorder->stop();
}

void AudioRecorder::startMeterUpdates()
{
    m_meterTimer = std::make_unique<QTimer>();
    m_meterTimer->setTimerType(Qt::PreciseTimer);
    m_meterTimer->setInterval(50);
    connect(m_meterTimer.get(), &QTimer::timeout, this, &AudioRecorder::updateMeterLevel);
    m_meterTimer->start();
}

void AudioRecorder::updateMeterLevel()
{
    if (!m_audioRecorder)
        return;
    if (!m_audioRecorder->isRecording()) {
        // Nothing more will come in: no more ticks, and one word to the driver. Sent
        // from a job of its own, as a stop may destroy the timer that ticks here.
        m_meterTimer->stop();
        platform::postToMain(this, [this] {
            // Unless a stop, or a stop and a new start, came first.
            if (m_isRecording && !m_audioRecorder->isRecording())
                emit recordingEndedByItself();
        });
        return;
    }
    m_audioRecorder->updateMeters();
    const float level = levelForAveragePower(m_audioRecorder->averagePower(0));
    // Published by a job of its own; postToMain drops it if this object is gone.
    platform::postToMain(this, [this, level] { store(m_audioLevel, level); });
}
