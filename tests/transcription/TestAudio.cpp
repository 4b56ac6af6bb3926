#include "TestAudio.h"

#include <QFile>

#include <sndfile.h>

#include <cmath>
#include <numbers>

namespace testaudio {

bool writeWav(const QString& path, int sampleRate, int channels,
              const std::vector<int16_t>& interleaved)
{
    SF_INFO info{};
    info.samplerate = sampleRate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(QFile::encodeName(path).constData(), SFM_WRITE, &info);
    if (!file)
        return false;
    const sf_count_t frames = sf_count_t(interleaved.size()) / channels;
    const bool written = sf_writef_short(file, interleaved.data(), frames) == frames;
    return sf_close(file) == 0 && written;
}

bool writeSparseWav(const QString& path, int sampleRate, int64_t frames)
{
    const auto le32 = [](QByteArray& out, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            out.append(char((v >> (8 * i)) & 0xff));
    };
    const auto le16 = [](QByteArray& out, uint16_t v) {
        out.append(char(v & 0xff));
        out.append(char(v >> 8));
    };
    const uint32_t dataBytes = uint32_t(frames * 2);
    QByteArray header;
    header.append("RIFF");
    le32(header, 36 + dataBytes);
    header.append("WAVEfmt ");
    le32(header, 16);
    le16(header, 1); // PCM
    le16(header, 1); // mono
    le32(header, uint32_t(sampleRate));
    le32(header, uint32_t(sampleRate) * 2);
    le16(header, 2);
    le16(header, 16);
    header.append("data");
    le32(header, dataBytes);

    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(header) == header.size()
           && file.resize(header.size() + qint64(dataBytes));
}

std::vector<int16_t> sine(int sampleRate, double frequency, double amplitude, int64_t frames)
{
    std::vector<int16_t> out(static_cast<size_t>(frames));
    for (int64_t i = 0; i < frames; ++i)
        out[size_t(i)] = int16_t(std::lround(
            32767.0 * amplitude * std::sin(2 * std::numbers::pi * frequency * double(i) / sampleRate)));
    return out;
}

} // namespace testaudio
