#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <vector>

// What a reader finds in a WAV file, read the way the transcription engine reads it.
struct WavInfo
{
    bool readable = false;
    int format = 0;
    int sampleRate = 0;
    int channels = 0;
    sf_count_t frames = 0;     // as the header says
    sf_count_t framesRead = 0; // as actually read back
    double peak = 0.0;         // of the samples, full scale 1.0
    double rmsDecibels = -160.0;
    // The RIFF header's own sizes, which stricter readers than libsndfile trust as is.
    qint64 fileSize = 0;
    qint64 riffSize = -1;
    qint64 dataOffset = -1;
    qint64 dataSize = -1;

    static WavInfo read(const QString& path)
    {
        WavInfo info;
        SF_INFO sf{};
        SNDFILE* file = sf_open(QFile::encodeName(path).constData(), SFM_READ, &sf);
        if (!file)
            return info;
        info.readable = true;
        info.format = sf.format;
        info.sampleRate = sf.samplerate;
        info.channels = sf.channels;
        info.frames = sf.frames;
        std::vector<float> samples(size_t(sf.frames) * size_t(std::max(1, sf.channels)));
        info.framesRead = sf_readf_float(file, samples.data(), sf.frames);
        sf_close(file);
        double sum = 0.0;
        for (float s : samples) {
            info.peak = std::max(info.peak, double(std::fabs(s)));
            sum += double(s) * double(s);
        }
        if (sum > 0.0)
            info.rmsDecibels = 10.0 * std::log10(sum / double(samples.size()));
        info.readHeader(path);
        return info;
    }

private:
    static qint64 le32(const QByteArray& bytes, qsizetype at)
    {
        qint64 value = 0;
        for (int i = 3; i >= 0; --i)
            value = value << 8 | quint8(bytes[at + i]);
        return value;
    }

    void readHeader(const QString& path)
    {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return;
        fileSize = file.size();
        const QByteArray bytes = file.read(4096);
        if (bytes.size() < 12 || !bytes.startsWith("RIFF") || bytes.mid(8, 4) != "WAVE")
            return;
        riffSize = le32(bytes, 4);
        for (qsizetype at = 12; at + 8 <= bytes.size(); at += 8 + le32(bytes, at + 4) + (le32(bytes, at + 4) & 1)) {
            if (bytes.mid(at, 4) == "data") {
                dataOffset = at + 8;
                dataSize = le32(bytes, at + 4);
                return;
            }
        }
    }
};
