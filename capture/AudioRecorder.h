#pragma once

#include "capture/PlatformRecorder.h"
#include "platform/ObservableObject.h"

#include <QString>
#include <QUrl>

#include <memory>

class QTimer;

// Maps an average input power in dB to the 0..1 meter level: -60 dB and below give 0,
// 0 dB and above give 1, linear between; NaN gives 1 and -inf gives 0.
float levelForAveragePower(float decibels);

// The recorder model: records the default input into "recording.wav" in the documents
// folder and publishes the recording state and the live input level. Main thread only.
class AudioRecorder final : public platform::ObservableObject
{
    Q_OBJECT

public:
    explicit AudioRecorder(QObject* parent = nullptr);
    explicit AudioRecorder(PlatformRecorderFactory factory, QObject* parent = nullptr);
    ~AudioRecorder() override;

    bool isRecording() const { return m_isRecording; }
    const QString& status() const { return m_status; }
    float audioLevel() const { return m_audioLevel; }
    const QUrl& audioFileURL() const { return m_audioFileURL; }

    void startRecording();
    void stopRecording();
    // At exit: writes what the input still holds into the recording file and closes
    // it, without the state change and the line of a stop. Nothing records after it.
    void finishRecordingFile();

signals:
    // The recording ended without a stop: the input was lost or the file cannot take
    // more. Sent once, from the main loop, while isRecording() is still true, so that
    // whoever drives the recorder can stop it as the user would.
    void recordingEndedByItself();

private:
    // Publishes and prints why a start failed; nothing else changes.
    void reportFailedStart(const platform::Error& error);
    void startMeterUpdates();
    void updateMeterLevel();

    PlatformRecorderFactory m_factory;
    // The recorder of the last successful start; it stays after a stop.
    std::unique_ptr<PlatformRecorder> m_audioRecorder;
    // Present from a successful start to the next stop.
    std::unique_ptr<QTimer> m_meterTimer;
    bool m_isRecording = false;
    QString m_status;
    float m_audioLevel = 0.0f;
    QUrl m_audioFileURL;
};
