#include "AudioInputRecorder.h"

#include <QAudioDevice>
#include <QAudioFormat>
#include <QMediaDevices>

namespace {
QAudioFormat recordingFormat()
{
    QAudioFormat format;
    format.setSampleRate(WavFileWriter::sampleRate);
    format.setChannelCount(1);
    format.setSampleFormat(QAudioFormat::Int16);
    return format;
}
} // namespace

std::unique_ptr<PlatformRecorder> AudioInputRecorder::create(const QUrl& url, platform::Error& error)
{
    const QAudioDevice device = QMediaDevices::defaultAudioInput();
    if (device.isNull()) {
        error = {QString::fromLatin1(kRecorderErrorDomain), NoAudioInput,
                 QStringLiteral("No audio input device is available")};
        return nullptr;
    }
    std::unique_ptr<WavFileWriter> file = WavFileWriter::create(url.toLocalFile(), error);
    if (!file)
        return nullptr;
    return std::unique_ptr<PlatformRecorder>(new AudioInputRecorder(device, std::move(file)));
}

AudioInputRecorder::AudioInputRecorder(const QAudioDevice& device, std::unique_ptr<WavFileWriter> file)
    : m_source(device, recordingFormat())
    , m_file(std::move(file))
{
}

AudioInputRecorder::~AudioInputRecorder()
{
    // Whatever reached us is the user's speech: keep it even when nobody stopped.
    stop();
}

void AudioInputRecorder::record()
{
    if (m_input || !m_file)
        return;
    m_input = m_source.start();
    if (!m_input)
        return;
    QObject::connect(m_input, &QIODevice::readyRead, m_input, [this] { drain(); });
}

void AudioInputRecorder::stop()
{
    if (m_input) {
        drain();
        m_source.stop();
        m_input.clear();
    }
    m_file.reset(); // finishes the file; this recorder never records again
}

bool AudioInputRecorder::isRecording() const
{
    return m_input && m_source.state() != QAudio::StoppedState;
}

void AudioInputRecorder::updateMeters()
{
    drain();
    m_averagePower = m_meter.take();
}

float AudioInputRecorder::averagePower(int /*channel: the recording is mono*/) const
{
    return m_averagePower;
}

void AudioInputRecorder::drain()
{
    if (!m_input)
        return;
    auto* bytes = reinterpret_cast<char*>(m_buffer.data());
    for (;;) {
        qsizetype have = 0;
        if (m_hasPendingByte) {
            bytes[0] = m_pendingByte;
            have = 1;
        }
        const qint64 got = m_input->read(bytes + have, qint64(sizeof(m_buffer)) - have);
        if (got <= 0)
            return;
        have += got;
        const qsizetype samples = have / 2;
        m_hasPendingByte = have % 2 != 0;
        if (m_hasPendingByte)
            m_pendingByte = bytes[have - 1];
        m_meter.add(m_buffer.data(), samples);
        // A failed write (disk full) cannot be reported mid-recording; the header
        // still describes the samples written before it.
        m_file->write(m_buffer.data(), samples);
    }
}
