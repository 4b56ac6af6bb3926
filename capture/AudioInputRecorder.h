#pragma once

#include "capture/PlatformRecorder.h"
#include "capture/PowerMeter.h"
#include "capture/WavFileWriter.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QObject>

#include <memory>
#include <vector>

// Appends the whole 16-bit samples of `bytes` to `samples`. A sample split between two
// reads waits in `carry` (at most one byte) for the rest of it.
void appendSamples(std::vector<qint16>& samples, QByteArray& carry, QByteArrayView bytes);

// The real recorder: the sound server's default input, or its first real input where
// the default is the monitor of an output, at 16 kHz, mono, 16-bit, written to a
// WavFileWriter as it arrives. Never the monitor of an output: a recording moved to
// one goes on from a real input, or ends where none is left. Each recorder opens a
// connection of its own to the sound server (PulseAudio or PipeWire), so a server that
// restarted between two recordings is simply found again. The server's thread only
// queues the audio; the file, the meter and the messages are handled on the main thread.
class AudioInputRecorder final : public PlatformRecorder
{
public:
    // The PlatformRecorderFactory of the real recorder. Fails when no sound server
    // answers, or when the file cannot be created; the file is touched only once the
    // server has answered, and the previous recording only once the input has started.
    static std::unique_ptr<PlatformRecorder> create(const QUrl& url, platform::Error& error);
    ~AudioInputRecorder() override;

    void record() override;
    void stop() override;
    bool isRecording() const override;
    void updateMeters() override;
    float averagePower(int channel) const override;

private:
    struct Input; // the sound server's side

    AudioInputRecorder(std::unique_ptr<Input> input, std::unique_ptr<WavFileWriter> file, QString path);
    // Moves everything the input queued into the file and the meter, and reports an
    // input that was lost or a file that could not be written, once.
    void drain();
    // Ends the connection, keeping what it had queued.
    void closeInput();
    // False once the file refuses samples; the first refusal is printed.
    bool write(const QByteArray& bytes);

    std::unique_ptr<Input> m_input;
    std::unique_ptr<WavFileWriter> m_file;
    QString m_path;
    bool m_recording = false;
    PowerMeter m_meter;
    float m_averagePower = PowerMeter::silence;
    std::vector<qint16> m_samples;
    QByteArray m_carry;
    // Receives the input thread's wake-ups on the main thread; its destruction drops
    // any still queued.
    QObject m_mainThread;
};
