#pragma once

#include "capture/PlatformRecorder.h"
#include "capture/PowerMeter.h"
#include "capture/WavFileWriter.h"

#include <QAudioDevice>
#include <QAudioSource>
#include <QIODevice>
#include <QPointer>

#include <array>
#include <memory>

// The real recorder: the default audio input through QAudioSource at 16 kHz, mono,
// 16-bit, written to a WavFileWriter as it arrives. Lives on the main thread; the
// sound server buffers the input between two reads.
class AudioInputRecorder final : public PlatformRecorder
{
public:
    // The PlatformRecorderFactory of the real recorder. Fails when there is no audio
    // input, or when the file cannot be created; the file is touched only if an
    // input exists.
    static std::unique_ptr<PlatformRecorder> create(const QUrl& url, platform::Error& error);
    ~AudioInputRecorder() override;

    void record() override;
    void stop() override;
    bool isRecording() const override;
    void updateMeters() override;
    float averagePower(int channel) const override;

private:
    AudioInputRecorder(const QAudioDevice& device, std::unique_ptr<WavFileWriter> file);
    // Moves everything the source holds into the file and the meter.
    void drain();

    QAudioSource m_source;
    std::unique_ptr<WavFileWriter> m_file;
    // Owned by m_source, which deletes it on stop and also when the sound server
    // goes away mid-recording.
    QPointer<QIODevice> m_input;
    PowerMeter m_meter;
    float m_averagePower = PowerMeter::silence;
    std::array<qint16, 4096> m_buffer{};
    char m_pendingByte = 0; // half a sample left over from an odd-sized read
    bool m_hasPendingByte = false;
};
